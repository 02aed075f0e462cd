// Interoperability: libxml2, an independent reader, judges what Vexa writes.
// Each fixture (in tests/data/encodings and, with the DOCTYPE's entities
// included, tests/data/dtd) is loaded and saved with the default
// settings, and libxml2 must read the same thing from the copy as from the
// original: element names, attributes in order, text (white space collapsed,
// since Vexa condenses it by default), comments and processing instructions.
// Loaded with white space kept, the copy must hold every text exactly.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

#include "test_util.h"

using namespace vexatest;

namespace {

// The error callback's parameter became const in libxml2 2.12.
#if LIBXML_VERSION >= 21200
using ErrorPtr = const xmlError*;
#else
using ErrorPtr = xmlError*;
#endif

class LibXml2Environment : public ::testing::Environment {
public:
    void SetUp() override {
        LIBXML_TEST_VERSION
        xmlInitParser();
    }
    // Frees libxml2's global state, so that the leak checker sees only ours.
    void TearDown() override { xmlCleanupParser(); }
};

const ::testing::Environment* const libxml2Environment = ::testing::AddGlobalTestEnvironment(new LibXml2Environment);

// s in double quotes, with control characters, quotes and backslashes
// escaped; other bytes (UTF-8 from libxml2) as they are.
std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Runs of white space as one space, none at either end.
std::string Collapsed(const std::string& s) {
    std::string out;
    bool space = false;
    for (char c : s) {
        if (IsXmlSpace(c)) {
            space = !out.empty();
        } else {
            if (space) out += ' ';
            space = false;
            out += c;
        }
    }
    return out;
}

std::string Str(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

std::string QualifiedName(const xmlNs* ns, const xmlChar* name) {
    return ns && ns->prefix ? Str(ns->prefix) + ":" + Str(name) : Str(name);
}

std::string Indent(int depth) { return std::string(static_cast<size_t>(depth) * 2, ' '); }

void DescribeChildren(const xmlNode* first, int depth, bool exact, std::string* out);

// One line per node, children indented below their element. Namespace
// declarations are listed before attributes, as libxml2 keeps them apart.
void DescribeElement(const xmlNode* element, int depth, bool exact, std::string* out) {
    *out += Indent(depth) + "element " + QualifiedName(element->ns, element->name) + "\n";
    for (const xmlNs* ns = element->nsDef; ns; ns = ns->next)
        *out += Indent(depth + 1) + "@" + (ns->prefix ? "xmlns:" + Str(ns->prefix) : std::string("xmlns")) + "=" +
                Quoted(Str(ns->href)) + "\n";
    for (const xmlAttr* a = element->properties; a; a = a->next) {
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(a));
        *out += Indent(depth + 1) + "@" + QualifiedName(a->ns, a->name) + "=" + Quoted(Str(value)) + "\n";
        xmlFree(value);
    }
    DescribeChildren(element->children, depth + 1, exact, out);
}

// With exact, text is taken as it is, blank text included; otherwise
// collapsed.
void DescribeChildren(const xmlNode* first, int depth, bool exact, std::string* out) {
    // Adjacent text, CDATA and entity references read as one text.
    std::string text;
    const auto flushText = [&] {
        const std::string collapsed = exact ? text : Collapsed(text);
        if (!collapsed.empty()) *out += Indent(depth) + "text " + Quoted(collapsed) + "\n";
        text.clear();
    };
    for (const xmlNode* n = first; n; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            text += Str(n->content);
            continue;
        }
        if (n->type == XML_ENTITY_REF_NODE) {
            text += "&" + Str(n->name) + ";";
            continue;
        }
        flushText();
        if (n->type == XML_ELEMENT_NODE) {
            DescribeElement(n, depth, exact, out);
        } else if (n->type == XML_COMMENT_NODE) {
            *out += Indent(depth) + "comment " + Quoted(Str(n->content)) + "\n";
        } else if (n->type == XML_PI_NODE) {
            *out += Indent(depth) + "pi " + Str(n->name) + " " + Quoted(Str(n->content)) + "\n";
        } else if (n->type != XML_DTD_NODE) {
            *out += Indent(depth) + "node of type " + std::to_string(n->type) + "\n";
        }
    }
    flushText();
}

// What libxml2 makes of a file.
struct Reading {
    bool wellFormed = false;
    std::string errors;  // libxml2's messages of level error and above
    std::string tree;
};

void CollectError(void* sink, ErrorPtr error) {
    if (!error || error->level < XML_ERR_ERROR) return;
    *static_cast<std::string*>(sink) +=
        "line " + std::to_string(error->line) + ": " + (error->message ? error->message : "(no message)\n");
}

// The one file the loader below opens: nothing external is read.
const char* documentPath = nullptr;
xmlExternalEntityLoader defaultLoader = nullptr;
xmlParserInputPtr OnlyTheDocument(const char* url, const char* id, xmlParserCtxtPtr context) {
    if (!url || !documentPath || std::strcmp(url, documentPath) != 0) return nullptr;
    return defaultLoader(url, id, context);
}

// With entities, libxml2 includes those of the internal subset (and reads
// no external one, nor the external subset).
Reading ReadWithLibXml2(const std::string& path, bool entities = false, bool exact = false) {
    Reading reading;
    if (entities && !defaultLoader) {
        defaultLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(OnlyTheDocument);
    }
    documentPath = path.c_str();
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) {
        reading.errors = "xmlNewParserCtxt failed";
        return reading;
    }
    xmlSetStructuredErrorFunc(&reading.errors, CollectError);
    xmlDocPtr doc = xmlCtxtReadFile(context, path.c_str(), nullptr, XML_PARSE_NONET | (entities ? XML_PARSE_NOENT : 0));
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    documentPath = nullptr;
    reading.wellFormed = doc && context->wellFormed && reading.errors.empty();
    if (doc) DescribeChildren(doc->children, 0, exact, &reading.tree);
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    return reading;
}

// Bytes for a failure message: control bytes escaped, line breaks kept.
std::string Shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if ((c < 0x20 && c != '\n') || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct Fixture {
    const char* file;  // in tests/data
    const char* sees;  // a line that libxml2's reading of the original holds
};

// What each file holds, and one line libxml2 reads in it: that line proves
// the file's bytes are what its name says.
const Fixture kFixtures[] = {
    // Markup characters and entities in ASCII.
    {"encodings/ascii.xml", "@note=\"a < b && c > d, \\\"quoted\\\" 'too'\""},
    // UTF-8 declared, without and with a byte order mark: text, attribute
    // values and a comment in several scripts, an emoji among them.
    {"encodings/utf8.xml", "text \"Crème brûlée à la vanille\""},
    {"encodings/utf8_bom.xml", "text \"Σαλάτα — 😀\""},
    // The same document in UTF-16, each byte order with its mark.
    {"encodings/utf16le.xml", "@title=\"Café crème – 3 €\""},
    {"encodings/utf16be.xml", "text \"寿司と味噌汁\""},
    // ISO-8859-1 declared, Latin-1 bytes in names, values, text and a
    // comment, and a reference in each form.
    {"encodings/latin1.xml", "text \"Où est la gare ? Ça va très bien. été\""},
    // Shift_JIS declared: two-byte characters whose second byte is an ASCII
    // letter or a backslash, in names, values, text and a comment.
    {"encodings/shift_jis.xml", "text \"日本語の表示とソフト 日本 A\""},
    // Non-ASCII element and attribute names, first character included.
    {"encodings/names.xml", "@αβγ=\"δ\""},
    // The same without a declaration: names are the only non-ASCII.
    {"encodings/names_undeclared.xml", "element 名前"},
    // Every form of character reference, in text and in attribute values,
    // with and without a declaration, and text that reads as a reference
    // once its '&amp;' is decoded.
    {"encodings/charrefs.xml", "@d=\"-Aé€😀\""},
    {"encodings/charrefs_undeclared.xml", "text \"-A©€😀\""},
    // Text that reads as a reference once its '&amp;' is decoded, here one
    // that would name a control character.
    {"encodings/escaped_control_ref.xml", "text \"Controls are written as &#x1; to &#x1f;, never as bytes.\""},
    // Line breaks and tabs written as they are in attribute values, which a
    // reader takes for spaces, next to ones written as references, which it
    // keeps; CR LF line ends.
    {"encodings/attribute_spaces.xml", "@kept=\"tab\\x09line\\x0Areturn\\x0Dby reference\""},
    // Processing instructions: xml-stylesheet, one holding a '>', and one
    // after the root element.
    {"encodings/stylesheet.xml", "pi xml-stylesheet \"href=\\\"a.xsl\\\" type=\\\"text/xsl\\\"\""},
    // Mixed content, blank text between elements, xml:space and CR LF,
    // lone CR and a CR by reference: kept, every text reads the same.
    {"white_space.xml", "text \", please.\""},
};

// gtest names the row in a failure by its file.
void PrintTo(const Fixture& fixture, std::ostream* out) { *out << fixture.file; }

class Interop : public ::testing::TestWithParam<Fixture> {};

TEST_P(Interop, CopyReadsLikeTheOriginal) {
    const Fixture& row = GetParam();
    const std::string original = DataPath(row.file);
    const Reading before = ReadWithLibXml2(original);
    ASSERT_TRUE(before.wellFormed) << original << ": " << before.errors;
    ASSERT_NE(std::string::npos, before.tree.find(row.sees)) << before.tree;

    VexaDocument doc;
    ASSERT_TRUE(doc.LoadFile(original.c_str())) << "Vexa rejects the original: " << doc.ErrorText() << " (row "
                                                << doc.ErrorRow() + 1 << ", column " << doc.ErrorCol() + 1 << ")";
    const std::string copy = TempPath("interop");
    ASSERT_TRUE(doc.SaveFile(copy.c_str())) << copy;
    const Reading after = ReadWithLibXml2(copy);
    const std::string bytes = ReadFile(copy);
    std::remove(copy.c_str());

    EXPECT_TRUE(after.wellFormed) << "libxml2 rejects the copy:\n" << after.errors;
    EXPECT_EQ(before.tree, after.tree) << "the copy:\n" << Shown(bytes);
}

// With white space kept, the copy holds every text exactly as the original
// does, blank text and line ends included.
TEST_P(Interop, CopyWithWhiteSpaceKeptHoldsTheSameTexts) {
    const std::string original = DataPath(GetParam().file);
    const Reading before = ReadWithLibXml2(original, true, true);
    ASSERT_TRUE(before.wellFormed) << original << ": " << before.errors;
    VexaDocument doc;
    doc.SetWhiteSpaceMode(VEXA_WHITESPACE_KEEP);
    ASSERT_TRUE(doc.LoadFile(original.c_str())) << doc.ErrorText();
    const std::string copy = TempPath("interop_kept");
    ASSERT_TRUE(doc.SaveFile(copy.c_str())) << copy;
    const Reading after = ReadWithLibXml2(copy, true, true);
    const std::string bytes = ReadFile(copy);
    std::remove(copy.c_str());
    EXPECT_TRUE(after.wellFormed) << "libxml2 rejects the copy:\n" << after.errors;
    EXPECT_EQ(before.tree, after.tree) << "the copy:\n" << Shown(bytes);
}

std::string RowName(const ::testing::TestParamInfo<Fixture>& info) {
    const std::string path = info.param.file;
    const std::string file = path.substr(path.rfind('/') + 1);
    return file.substr(0, file.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Encodings, Interop, ::testing::ValuesIn(kFixtures), RowName);

// Documents whose DOCTYPE declares what they use: libxml2, including the
// internal subset's entities, reads the same from Vexa's copy as from the
// original, references that neither reads kept as references.
const Fixture kDoctypeFixtures[] = {
    // Namespaces and styles declared as entities, as drawing programs write them.
    {"svg_entities.svg", "@style=\"fill-rule:nonzero;clip-rule:nonzero;fill:#FFFFFF;stroke:#000000;\""},
    // XHTML's &nbsp; and &copy;, declared in the external DTD that nobody reads.
    {"xhtml_nbsp.xhtml", "text \"One&nbsp;two &nbsp; three, &copy; 2026, &nbsp; written out, © as a number.\""},
    // DocBook-style text entities holding markup, default and ID attributes.
    {"docbook_entities.xml", "text \"Copyright © 2026 the\""},
};

class DoctypeInterop : public ::testing::TestWithParam<Fixture> {};

TEST_P(DoctypeInterop, CopyReadsLikeTheOriginal) {
    const Fixture& row = GetParam();
    const std::string original = DataPath(std::string("dtd/") + row.file);
    const Reading before = ReadWithLibXml2(original, true);
    ASSERT_NE(std::string::npos, before.tree.find(row.sees)) << before.tree << before.errors;

    VexaDocument doc;
    ASSERT_TRUE(doc.LoadFile(original.c_str())) << doc.ErrorText();
    const std::string copy = TempPath("interop");
    ASSERT_TRUE(doc.SaveFile(copy.c_str())) << copy;
    const Reading after = ReadWithLibXml2(copy, true);
    const std::string bytes = ReadFile(copy);
    std::remove(copy.c_str());
    EXPECT_EQ(before.tree, after.tree) << "the copy:\n" << Shown(bytes);
}

INSTANTIATE_TEST_SUITE_P(Doctype, DoctypeInterop, ::testing::ValuesIn(kDoctypeFixtures), RowName);

}  // namespace
