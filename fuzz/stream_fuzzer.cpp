// operator>> from a stream of the input, reading one node after another
// until the stream is no longer good. The first byte picks the kind of node
// that is read (mostly documents) and the white-space flag. A first
// document read from the stream is also held against Parse of the buffer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

VexaNode* NewNode(uint8_t kind) {
    switch (kind % 8) {
        case 1:
            return new VexaElement("");
        case 2:
            return new VexaComment();
        case 3:
            return new VexaUnknown();
        case 4:
            return new VexaText("");
        case 5:
            return new VexaDeclaration();
        default:
            return new VexaDocument();
    }
}

// Where the two readers differ by design, the stream reader deciding on
// less: a greater-than sign in an attribute value or inside a declaration
// ends a tag for it, and "<" with white space or more "<" before "/"
// closes an element.
bool ReadersAgree(const VexaNode& node) {
    if (const VexaElement* e = node.ToElement()) {
        for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            if (std::strchr(a->Value(), '>')) return false;
        }
    }
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        if (!ReadersAgree(*child)) return false;
        if (node.ToDocument() && child->ToElement()) break;
    }
    return true;
}

// A declaration's field may be overwritten by a later one, so its text is
// checked where it stands: the parser's end against the first ">".
bool DeclarationHoldsGreater(const std::string& text) {
    for (size_t i = text.find("<?xml"); i != std::string::npos; i = text.find("<?xml", i + 1)) {
        VexaDeclaration declaration;
        const char* start = text.c_str() + i;
        const char* end = declaration.Parse(start, 0);
        const char* greater = std::strchr(start, '>');
        if (greater && (!end || greater < end - 1)) return true;
    }
    return false;
}

// A short character reference takes any two characters as its digits, a
// "<" or ">" too, where the stream reader sees markup or the end of a tag
// (the decoded value no longer shows it).
bool ReferenceHoldsMarkup(const std::string& text) {
    for (size_t i = text.find("&#x"); i != std::string::npos; i = text.find("&#x", i + 1)) {
        for (size_t j = i + 3; j < i + 5 && j < text.size(); ++j) {
            if (text[j] == '<' || text[j] == '>') return true;
        }
    }
    return false;
}

bool SpacedClosingTag(const std::string& text) {
    for (size_t i = text.find('<'); i != std::string::npos; i = text.find('<', i + 1)) {
        size_t j = i + 1;
        while (j < text.size() && (VexaBase::IsWhiteSpace(text[j]) || text[j] == '<')) ++j;
        if (j > i + 1 && j < text.size() && text[j] == '/') return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CondenseFlag flag((data[0] & 0x10) == 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::istringstream in(text);

    // The stream reader must end the first document where the parser ends
    // its first element: a buffer that parses cleanly up to an element
    // reads the same from a stream.
    const std::unique_ptr<VexaNode> kind(NewNode(data[0]));
    VexaDocument parsed;
    parsed.Parse(text.c_str());
    if (kind->ToDocument() && !parsed.Error() && parsed.FirstChildElement() && ReadersAgree(parsed) &&
        !SpacedClosingTag(text) && !DeclarationHoldsGreater(text) && !ReferenceHoldsMarkup(text)) {
        std::istringstream first(text);
        VexaDocument streamed;
        first >> streamed;
        VEXA_FUZZ_CHECK(!streamed.Error());
        VEXA_FUZZ_CHECK(Dump(streamed) == Dump(parsed, false, true));
    }

    for (int round = 0; round < 256 && in.good(); ++round) {
        const std::streampos before = in.tellg();
        std::unique_ptr<VexaNode> node(NewNode(data[0]));
        in >> *node;
        CheckTree(node.get());
        Compact(*node);
        // A reader that takes nothing from a good stream would make every
        // "while (in >> doc)" loop spin for ever. Text stops before markup
        // by design, so only the other kinds must move on.
        VEXA_FUZZ_CHECK(!in.good() || in.tellg() > before || node->Type() == VexaNode::TEXT);
    }
    return 0;
}
