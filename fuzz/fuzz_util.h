// Helpers shared by the fuzz targets: tree dumps, invariant checks, and a
// way to turn a failed check into a crash that libFuzzer reports.
#ifndef VEXA_FUZZ_UTIL_H
#define VEXA_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vexa.h"

namespace vexafuzz {

using namespace ORMELA;

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "vexa fuzz check failed: %s\n", what);
    std::abort();
}

#define VEXA_FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : ::vexafuzz::Fail(#cond))

// One line per node: depth, kind, value, attributes in order, declaration
// fields. Lengths are spelled out so that no value can fake a boundary.
// With asCopied, values and attributes are cut at a zero byte as Clone
// copies them (the declaration's fields travel whole) and the leaf kinds
// show no children, which Clone leaves behind; with firstElement,
// the top level stops after its first element, as the stream form does.
struct DumpMode {
    bool asCopied;
    bool firstElement;
};

inline std::string Field(const std::string& v, bool cut) {
    const std::string s = cut ? std::string(v.c_str()) : v;
    return std::to_string(s.size()) + ":" + s;
}

inline void DumpInto(const VexaNode& node, int depth, DumpMode mode, std::string* out) {
    *out += std::to_string(depth) + ":" + std::to_string(node.Type()) + ":" + Field(node.ValueStr(), mode.asCopied);
    if (const VexaElement* e = node.ToElement()) {
        for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            *out += std::string(" ") + a->Name() + "=" + Field(a->Value(), false);
        }
    }
    if (const VexaDeclaration* d = node.ToDeclaration()) {
        *out += " v=" + Field(d->Version(), false) + " e=" + Field(d->Encoding(), false) +
                " s=" + Field(d->Standalone(), false);
    }
    *out += "\n";
    if (mode.asCopied && !node.ToElement() && !node.ToDocument()) return;
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        DumpInto(*child, depth + 1, mode, out);
        if (mode.firstElement && depth == 0 && child->ToElement()) break;
    }
}

inline std::string Dump(const VexaNode& node, bool asCopied = false, bool firstElement = false) {
    std::string out;
    DumpMode mode = {asCopied, firstElement};
    DumpInto(node, 0, mode, &out);
    return out;
}

inline std::string Compact(const VexaNode& node) {
    std::string out;
    out << node;
    return out;
}

// The printed form, through a memory stream.
inline std::string Printed(const VexaNode& node) {
    char* data = 0;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    if (!file) Fail("open_memstream");
    node.Print(file, 0);
    std::fclose(file);
    std::string out(data, size);
    std::free(data);
    return out;
}

// Checks the links of the whole tree under root (child lists both ways,
// parents, both ends) and of every element's attribute list; returns the
// number of nodes. limit bounds every walk, so a cycle fails instead of hanging.
inline size_t CheckTree(const VexaNode* root, size_t limit = 1000000) {
    size_t count = 0;
    std::vector<const VexaNode*> pending(1, root);
    while (!pending.empty()) {
        const VexaNode* node = pending.back();
        pending.pop_back();
        VEXA_FUZZ_CHECK(++count <= limit);
        VEXA_FUZZ_CHECK((node->FirstChild() == 0) == (node->LastChild() == 0));
        const VexaNode* previous = 0;
        size_t children = 0;
        for (const VexaNode* child = node->FirstChild(); child; child = child->NextSibling()) {
            VEXA_FUZZ_CHECK(++children <= limit);
            VEXA_FUZZ_CHECK(child->Parent() == node);
            VEXA_FUZZ_CHECK(child->PreviousSibling() == previous);
            VEXA_FUZZ_CHECK(child != root);
            pending.push_back(child);
            previous = child;
        }
        VEXA_FUZZ_CHECK(node->LastChild() == previous);
        size_t backwards = 0;
        for (const VexaNode* child = node->LastChild(); child; child = child->PreviousSibling()) {
            VEXA_FUZZ_CHECK(++backwards <= children);
        }
        VEXA_FUZZ_CHECK(backwards == children);
        if (const VexaElement* element = node->ToElement()) {
            std::vector<const VexaAttribute*> forward;
            for (const VexaAttribute* a = element->FirstAttribute(); a; a = a->Next()) {
                VEXA_FUZZ_CHECK(forward.size() < limit);
                forward.push_back(a);
            }
            size_t i = forward.size();
            for (const VexaAttribute* a = element->LastAttribute(); a; a = a->Previous()) {
                VEXA_FUZZ_CHECK(i > 0 && forward[--i] == a);
            }
            VEXA_FUZZ_CHECK(i == 0);
            for (const VexaAttribute* a : forward) VEXA_FUZZ_CHECK(element->Attribute(a->Name()) == a->Value());
        }
    }
    return count;
}

// Restores the process-wide white-space flag when a target returns.
class CondenseFlag {
public:
    explicit CondenseFlag(bool condense) : saved(VexaBase::IsWhiteSpaceCondensed()) {
        VexaBase::SetCondenseWhiteSpace(condense);
    }
    ~CondenseFlag() { VexaBase::SetCondenseWhiteSpace(saved); }

private:
    bool saved;
};

}  // namespace vexafuzz

#endif  // VEXA_FUZZ_UTIL_H
