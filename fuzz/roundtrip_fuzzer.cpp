// The round trip: what the library writes, it reads back. Parse the input,
// write both forms, parse the stream form again and compare the trees; the
// printed form of the reread tree must match too, and each written form read
// back must write the same bytes again. The first byte picks the
// white-space flag. Inputs the format cannot carry through by design are
// normalised by one more write and read before the comparison (see Clean).
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

// A value holding "&#x", one or two hexadecimal digits and ";" as literal
// characters: output passes it on as written and the reader decodes it.
bool HoldsReference(const std::string& v) {
    for (size_t i = v.find("&#x"); i != std::string::npos; i = v.find("&#x", i + 1)) {
        size_t j = i + 3;
        while (j < v.size() && j < i + 6 && std::isxdigit(static_cast<unsigned char>(v[j]))) ++j;
        if (j > i + 3 && j < i + 6 && j < v.size() && v[j] == ';') return true;
    }
    return false;
}

// Spaces that the reader drops or condenses when it meets them again as
// text: spaces are the only white space written as they are.
bool SpaceSensitive(const std::string& text, bool condense) {
    if (!text.empty() && text[0] == ' ') return true;
    return condense && (text[text.size() - 1] == ' ' || text.find("  ") != std::string::npos);
}

bool CleanNode(const VexaNode& node, bool condense) {
    if (HoldsReference(node.ValueStr())) return false;
    if (node.ToText() && SpaceSensitive(node.ValueStr(), condense)) return false;
    // Text next to text (an entity's text beside the document's) is read
    // back as one node: XML has no boundary between them.
    const VexaNode* before = node.PreviousSibling();
    if (node.ToText() && before && before->ToText() && !before->ToText()->IsReference() &&
        !node.ToText()->IsReference()) {
        return false;
    }
    if (const VexaElement* e = node.ToElement()) {
        for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            if (HoldsReference(a->Value())) return false;
        }
    }
    if (const VexaDeclaration* d = node.ToDeclaration()) {
        if (HoldsReference(d->Version()) || HoldsReference(d->Encoding()) || HoldsReference(d->Standalone())) {
            return false;
        }
    }
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        if (!CleanNode(*child, condense)) return false;
    }
    return true;
}

// Whether the tree parsed from source reads back unchanged by design. Also
// out: unknown markup cut off by the end of the text, which gains a ">".
bool Clean(const VexaDocument& doc, const std::string& source, const char* end, bool condense) {
    const VexaNode* last = doc.LastChild();
    if (last && last->ToUnknown() && (!end || !*end)) {
        const std::string closed = "<" + last->ValueStr() + ">";
        size_t n = source.size();
        while (n > 0 && VexaBase::IsWhiteSpace(source[n - 1])) --n;
        if (n < closed.size() || source.compare(n - closed.size(), closed.size(), closed) != 0) return false;
    }
    return CleanNode(doc, condense);
}

// The printed form of the part of a document that its stream form holds:
// the top-level nodes up to the first element, each on its own line.
std::string PrintedPart(const VexaDocument& doc) {
    std::string out;
    for (const VexaNode* child = doc.FirstChild(); child; child = child->NextSibling()) {
        out += Printed(*child) + "\n";
        if (child->ToElement()) break;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool condense = (data[0] & 1) == 0;
    CondenseFlag flag(condense);
    std::string source(std::string(reinterpret_cast<const char*>(data) + 1, size - 1).c_str());

    std::unique_ptr<VexaDocument> doc(new VexaDocument());
    const char* end = doc->Parse(source.c_str());
    if (doc->Error()) return 0;
    Printed(*doc);

    // Both written forms are fixed points: what is read back from one is
    // written to the same bytes again.
    for (int compact = 0; compact < 2; ++compact) {
        std::string written;
        if (compact) {
            written = Compact(*doc);
        } else {
            doc->PrintTo(&written);
        }
        VexaDocument again;
        again.SetTextEncoding(doc->TextEncoding());
        again.Parse(written.c_str());
        VEXA_FUZZ_CHECK(!again.Error() || written.empty());
        std::string rewritten;
        if (compact) {
            rewritten = Compact(again);
        } else {
            again.PrintTo(&rewritten);
        }
        VEXA_FUZZ_CHECK(rewritten == written);
    }

    // Each pass writes the stream form and reads it back; a tree that is
    // not clean yet gets another pass.
    for (int pass = 0; pass < 4; ++pass) {
        const bool clean = Clean(*doc, source, end, condense);
        const std::string expected = Dump(*doc, false, true);
        source = Compact(*doc);
        if (source.empty()) {
            VEXA_FUZZ_CHECK(!doc->FirstChild());
            return 0;
        }
        // The stream form carries no byte order mark: read it as the
        // document was read.
        std::unique_ptr<VexaDocument> again(new VexaDocument());
        again->SetTextEncoding(doc->TextEncoding());
        end = again->Parse(source.c_str());
        VEXA_FUZZ_CHECK(!again->Error());
        CheckTree(again.get());
        if (clean) {
            VEXA_FUZZ_CHECK(Dump(*again) == expected);
            VEXA_FUZZ_CHECK(Printed(*again) == PrintedPart(*doc));
            return 0;
        }
        doc.swap(again);
    }
    return 0;
}
