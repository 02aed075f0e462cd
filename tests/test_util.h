// Helpers shared by the tests, and the headers most of them use.
#ifndef VEXA_TEST_UTIL_H
#define VEXA_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "vexa.h"

namespace vexatest {

// A test's "using namespace vexatest" brings in the library's names too.
using namespace ORMELA;

// The compact form, through operator<< for a node and StreamOut for any item.
inline std::string Compact(const VexaNode& node) {
    std::string out;
    return out << node;
}
inline std::string Streamed(const VexaBase& item) {
    std::ostringstream out;
    item.StreamOut(&out);
    return out.str();
}

inline std::string Printed(const VexaBase& item, int depth = 0) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* file = ::open_memstream(&buffer, &size);
    if (!file) return "<open_memstream failed>";
    item.Print(file, depth);
    std::fclose(file);
    const std::string out(buffer, size);
    std::free(buffer);
    return out;
}

// s with C-style escapes for bytes outside printable ASCII.
inline std::string Escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char hex[8] = {static_cast<char>(c), 0};
        if (c < 0x20 || c >= 0x7F) std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c == '\\' ? "\\\\" : hex;
    }
    return out;
}

// A structural dump: one line per node with its kind, value and attributes
// (or declaration fields), indented by depth.
inline std::string Dump(const VexaNode& node, int depth = 0) {
    static const char* const kinds[] = {"document", "element", "comment", "unknown", "text", "declaration"};
    const int type = node.Type();
    std::string out = std::string(static_cast<size_t>(depth) * 2, ' ') + (type >= 0 && type <= 5 ? kinds[type] : "?") +
                      " '" + Escaped(node.ValueStr()) + "'";
    const VexaElement* e = node.ToElement();
    for (const VexaAttribute* a = e ? e->FirstAttribute() : nullptr; a; a = a->Next())
        out += " " + Escaped(a->Name()) + "='" + Escaped(a->Value()) + "'";
    if (const VexaDeclaration* d = node.ToDeclaration())
        out += std::string(" v='") + d->Version() + "' e='" + d->Encoding() + "' s='" + d->Standalone() + "'";
    out += "\n";
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) out += Dump(*c, depth + 1);
    return out;
}

inline std::string DumpChildren(const VexaNode& node) {
    std::string out;
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) out += Dump(*c);
    return out;
}

// Checks the links of a tree, both ways, and of every attribute list.
inline void ExpectLinked(const VexaNode& node) {
    const VexaNode* previous = nullptr;
    for (const VexaNode* c = node.FirstChild(); c; previous = c, c = c->NextSibling()) {
        ASSERT_TRUE(c->Parent() == &node && c->PreviousSibling() == previous) << c->Value();
        ExpectLinked(*c);
    }
    EXPECT_EQ(node.LastChild(), previous);
    if (const VexaElement* element = node.ToElement()) {
        const VexaAttribute* last = nullptr;
        for (const VexaAttribute* a = element->FirstAttribute(); a; last = a, a = a->Next())
            ASSERT_EQ(a->Previous(), last);
        EXPECT_EQ(element->LastAttribute(), last);
    }
}

inline size_t CountChildren(const VexaNode& node) {
    size_t n = 0;
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) ++n;
    return n;
}

// A fresh, unlinked node of the given type (VexaNode::NodeType).
inline VexaNode* NewNode(int type) {
    if (type == VexaNode::DOCUMENT) return new VexaDocument();
    if (type == VexaNode::ELEMENT) return new VexaElement("");
    if (type == VexaNode::COMMENT) return new VexaComment();
    if (type == VexaNode::UNKNOWN) return new VexaUnknown();
    if (type == VexaNode::TEXT) return new VexaText("");
    return new VexaDeclaration();
}

inline std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    while (n--) out += s;
    return out;
}

inline std::string Nest(size_t n) { return Repeat("<a>", n) + Repeat("</a>", n); }

// What a stream still holds, taken through its buffer.
inline std::string Rest(std::istream& in) {
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct CondenseScope {
    explicit CondenseScope(bool on) : saved(VexaBase::IsWhiteSpaceCondensed()) { VexaBase::SetCondenseWhiteSpace(on); }
    ~CondenseScope() { VexaBase::SetCondenseWhiteSpace(saved); }
    bool saved;
};

#ifdef VEXA_TEST_DATA_DIR
// Path of a fixture in tests/data, and the paths of them all.
inline std::string DataPath(const std::string& name) { return std::string(VEXA_TEST_DATA_DIR) + "/" + name; }
inline std::vector<std::string> DataFiles() {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(VEXA_TEST_DATA_DIR))
        if (entry.path().extension() == ".xml") paths.push_back(entry.path().string());
    EXPECT_FALSE(paths.empty()) << "no fixtures in " VEXA_TEST_DATA_DIR;
    return paths;
}
#endif

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return Rest(in);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

// A file name unique to this test process, under the temporary directory.
inline std::string TempPath(const std::string& stem) {
    static int counter = 0;
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vexa_test_" + stem + "_" + std::to_string(::getpid()) + "_" +
           std::to_string(counter++);
}

}  // namespace vexatest

#endif  // VEXA_TEST_UTIL_H
