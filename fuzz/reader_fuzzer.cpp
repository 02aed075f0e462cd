// The reader against a full parse of the same text. The first byte picks
// the tab size (low three bits, less one), a nesting limit of 4 (bit 3),
// the white-space flag (bit 4) and the subtrees read (bits 5 and 6: each
// child of the root, or the name of the first, second or third element of
// the full tree); the rest is the text. Where loading a file would treat
// the bytes otherwise (a zero byte, UTF-16), the reader runs alone.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

// Each node below top, with its kind, value, attributes and locations, in
// document order; no recursion.
std::string Outline(const VexaNode& top) {
    std::string out;
    const VexaNode* n = &top;
    for (;;) {
        out += std::to_string(n->Type()) + "@" + std::to_string(n->Row()) + ":" + std::to_string(n->Column()) + "=" +
               n->ValueStr();
        if (const VexaElement* e = n->ToElement()) {
            for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                out += " " + std::string(a->Name()) + "@" + std::to_string(a->Row()) + ":" +
                       std::to_string(a->Column()) + "=" + a->Value();
            }
        }
        out += n->FirstChild() ? "{" : ";";
        if (n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n != &top && !n->NextSibling()) {
            n = n->Parent();
            out += "}";
        }
        if (n == &top) return out;
        n = n->NextSibling();
    }
}

bool LoadsAsParsed(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CondenseFlag flag((data[0] & 0x10) == 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int tabSize = (data[0] & 0x07) - 1;
    const int maxDepth = (data[0] & 0x08) ? 4 : 1000;

    VexaDocument full;
    full.SetTabSize(tabSize);
    full.SetMaxDepth(maxDepth);
    const bool compare = LoadsAsParsed(text);
    if (compare) full.Parse(text.c_str());

    // The subtrees wanted, as a full parse finds them.
    std::string name;
    const int pick = (data[0] >> 5) & 3;
    int seen = 0;
    for (const VexaNode* n = full.FirstChild(); n && pick; n = n->FirstChild() ? n->FirstChild() : n->NextSibling()) {
        if (n->ToElement() && ++seen == pick) {
            name = n->ValueStr();
            break;
        }
    }
    const char* const wanted = pick && !name.empty() ? name.c_str() : nullptr;
    std::vector<const VexaElement*> expected;
    for (const VexaNode* n = full.FirstChild(); n;) {
        const VexaElement* e = n->ToElement();
        const bool take = e && (wanted ? name == e->Value() : n->Parent()->Parent() == &full);
        if (take) expected.push_back(e);
        if (!take && n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n != &full && !n->NextSibling()) n = n->Parent();
        n = n == &full ? nullptr : n->NextSibling();
    }

    std::istringstream in(text);
    VexaReader reader;
    reader.Settings().SetTabSize(tabSize);
    reader.Settings().SetMaxDepth(maxDepth);
    reader.Open(in);
    size_t given = 0;
    while (VexaElement* e = reader.Next(wanted)) {
        CheckTree(e);
        VEXA_FUZZ_CHECK(reader.Depth() >= 0 && reader.Depth() < maxDepth);
        for (int i = 0; i < reader.Depth(); ++i) VEXA_FUZZ_CHECK(reader.Ancestor(i) != nullptr);
        if (compare) {
            VEXA_FUZZ_CHECK(given < expected.size());
            VEXA_FUZZ_CHECK(Outline(*e) == Outline(*expected[given]));
        }
        ++given;
        if (given % 3 == 0) delete reader.Release();
        if (given % 3 == 1) {
            VexaDocument* taken = reader.ReleaseDocument();
            CheckTree(taken);
            delete taken;
        }
    }
    if (!compare) return 0;
    VEXA_FUZZ_CHECK(reader.ErrorCode() == full.ErrorCode());
    if (full.Error()) {
        VEXA_FUZZ_CHECK(reader.ErrorRow() == full.ErrorRow() && reader.ErrorCol() == full.ErrorCol());
    } else {
        VEXA_FUZZ_CHECK(given == expected.size());
    }
    return 0;
}
