// Compile-only check, run by CTest with -std=c++11 and -std=c++17: the public
// header comes first (so it needs nothing before it) and survives a second
// inclusion, version macros included.
#include "vexa.h"

#if !defined(VEXA_VERSION_MAJOR) || !defined(VEXA_VERSION_MINOR) || !defined(VEXA_VERSION_PATCH)
#error "vexa.h must define its version macros"
#endif

static_assert(VEXA_VERSION == VEXA_VERSION_MAJOR * 10000 + VEXA_VERSION_MINOR * 100 + VEXA_VERSION_PATCH,
              "VEXA_VERSION is not major * 10000 + minor * 100 + patch");

// Instantiate the inline parts of the API so that their bodies are checked too.
int UseInlineApi(ORMELA::VexaDocument& doc, ORMELA::VexaElement& element) {
    doc.SetTabSize(8);
    doc.SetMaxDepth(0);
    ORMELA::VexaHandle handle(&doc);
    ORMELA::VexaCursor cursor;
    cursor.Clear();
    return doc.ErrorRow() + doc.ErrorCol() + doc.TabSize() + doc.MaxDepth() + element.Row() + element.Column() +
           static_cast<int>(handle.GetNode() == nullptr) + cursor.row + (element.FirstAttribute() ? 1 : 0) +
           static_cast<int>(element.ValueStr().size()) + ORMELA::VEXA_ERROR_STRING_COUNT + ORMELA::VEXA_QUERY_OK;
}

// The range-for walks, the typed attributes and the moves, in C++11.
int UseEverydayApi(ORMELA::VexaDocument& doc, const ORMELA::VexaElement& element) {
    int count = 0;
    for (ORMELA::VexaNode* node : doc.Children()) count += node->Type();
    for (ORMELA::VexaElement* child : doc.ChildElements("item")) count += child->IntAttribute("n", 1);
    for (const ORMELA::VexaElement* child : element.ChildElements()) count += child->BoolAttribute("b") ? 1 : 0;
    for (const ORMELA::VexaAttribute* attribute : element.Attributes()) count += attribute->Name()[0];
    ORMELA::VexaRange<const ORMELA::VexaNode> children = element.Children();
    ORMELA::VexaIterator<const ORMELA::VexaNode> it = children.begin();
    count += (it++ != children.end()) ? 1 : 0;
    int64_t big = 0;
    count += element.QueryInt64Attribute("big", &big) + (element.GetText() ? 1 : 0);
    ORMELA::VexaDocument moved(static_cast<ORMELA::VexaDocument&&>(doc));
    doc = static_cast<ORMELA::VexaDocument&&>(moved);
    doc.SetWhiteSpaceMode(ORMELA::VEXA_WHITESPACE_KEEP);
    return count + doc.WhiteSpaceMode() + (children.empty() ? 1 : 0);
}
