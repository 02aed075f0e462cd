// Small helpers shared by the tests: parse a literal, render a tree.
#ifndef VEXA_TEST_UTIL_H
#define VEXA_TEST_UTIL_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "vexa.h"

namespace vexatest {

// The compact (stream) form of a node.
inline std::string Compact(const ORMELA::VexaNode& node) {
    std::string out;
    out << node;
    return out;
}

// The indented (printed) form of a node at the given depth, read back
// through a temporary file.
inline std::string Printed(const ORMELA::VexaBase& item, int depth = 0) {
    FILE* file = std::tmpfile();
    if (!file) return "<tmpfile failed>";
    item.Print(file, depth);
    std::fflush(file);
    std::rewind(file);
    std::string out;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, got);
    std::fclose(file);
    return out;
}

// A structural dump of a tree that shows every kind, value and attribute,
// one node per line, indented by depth. Values are shown with C-style
// escapes so that white space differences are visible.
inline std::string Escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

inline void DumpInto(const ORMELA::VexaNode& node, int depth, std::string* out) {
    static const char* const kinds[] = {"document", "element", "comment", "unknown", "text", "declaration"};
    out->append(static_cast<size_t>(depth) * 2, ' ');
    const int type = node.Type();
    *out += (type >= 0 && type <= 5) ? kinds[type] : "?";
    *out += " '" + Escaped(node.ValueStr()) + "'";
    if (const ORMELA::VexaElement* e = node.ToElement()) {
        for (const ORMELA::VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            *out += " " + Escaped(a->Name()) + "='" + Escaped(a->Value()) + "'";
        }
    }
    if (const ORMELA::VexaDeclaration* d = node.ToDeclaration()) {
        *out += std::string(" v='") + d->Version() + "' e='" + d->Encoding() + "' s='" + d->Standalone() + "'";
    }
    *out += "\n";
    for (const ORMELA::VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        DumpInto(*child, depth + 1, out);
    }
}

inline std::string Dump(const ORMELA::VexaNode& node) {
    std::string out;
    DumpInto(node, 0, &out);
    return out;
}

// Path of a fixture in tests/data.
inline std::string DataPath(const std::string& name) { return std::string(VEXA_TEST_DATA_DIR) + "/" + name; }

// The bytes of a file.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A file name unique to this test process, under the temporary directory.
inline std::string TempPath(const std::string& stem) {
    static int counter = 0;
    std::ostringstream name;
    const char* dir = std::getenv("TMPDIR");
    name << (dir && *dir ? dir : "/tmp") << "/vexa_test_" << stem << "_" << ::getpid() << "_" << counter++;
    return name.str();
}

}  // namespace vexatest

#endif  // VEXA_TEST_UTIL_H
