// Parse failures: the code, message and location each one records, the
// tree a failed parse leaves, and the nesting limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;

namespace {

const char* const kMessage[] = {"No error",
                                "Error",
                                "Failed to open file",
                                "Memory allocation failed.",
                                "Error parsing Element.",
                                "Failed to read Element name",
                                "Error reading Element value.",
                                "Error reading Attributes.",
                                "Error: empty tag.",
                                "Error reading end tag.",
                                "Error parsing Unknown.",
                                "Error parsing Comment.",
                                "Error parsing Declaration.",
                                "Error document empty.",
                                "Element nesting too deep."};

void ExpectError(const VexaDocument& doc, int code, int row, int col, const std::string& what) {
    EXPECT_TRUE(doc.Error()) << what;
    EXPECT_EQ(code, doc.ErrorCode()) << what;
    EXPECT_STREQ(kMessage[code], doc.ErrorText()) << what;
    EXPECT_EQ(row, doc.ErrorRow()) << what;
    EXPECT_EQ(col, doc.ErrorCol()) << what;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

VexaNode* NewUnknown() { return new VexaUnknown(); }
VexaNode* NewComment() { return new VexaComment(); }
VexaNode* NewDeclaration() { return new VexaDeclaration(); }
VexaNode* NewElement() { return new VexaElement(""); }

std::string Nest(int n) { return Repeat("<a>", n) + Repeat("</a>", n); }

TEST(ParseErrors, CodesMessagesAndLocations) {
    const struct {
        const char* text;
        int tabsize, code, row, col;
    } cases[] = {{"<a b=\"x", 4, VEXA_ERROR_ELEMENT, 0, 3},
                 {"<a\n\tb=x", 4, VEXA_ERROR_ELEMENT, 1, 4},
                 {"<a b=\"1\"", 4, VEXA_ERROR_ELEMENT, 0, 3},
                 {"<abc", 4, VEXA_ERROR_ELEMENT_NAME, 0, 1},
                 {"<r>\r\n<abc", 4, VEXA_ERROR_ELEMENT_NAME, 1, 1},
                 {"<a>", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a>text", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a><b/>", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a><!--c", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a>\n ", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a><b/>\r\n", 4, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
                 {"<a b>", 4, VEXA_ERROR_ATTRIBUTES, 0, 4},
                 {"<a\r\r1=\"x\">", 4, VEXA_ERROR_ATTRIBUTES, 2, 0},
                 {"<a b", 4, VEXA_ERROR_ATTRIBUTES, 0, 3},
                 {"<a ", 4, VEXA_ERROR_ATTRIBUTES, 0, 2},
                 {"<a b='1' ", 4, VEXA_ERROR_ATTRIBUTES, 0, 8},
                 {"<a b=", 4, VEXA_ERROR_ATTRIBUTES, -1, -1},
                 {"<a b=\n\t", 4, VEXA_ERROR_ATTRIBUTES, 1, 4},
                 {"<a b='1' c='2' b='3'/>", 4, VEXA_ERROR_ATTRIBUTES, 0, 15},
                 {"<a\n\tb='1'\n\tb='3'/>", 8, VEXA_ERROR_ATTRIBUTES, 2, 8},
                 {"<a / >", 4, VEXA_ERROR_EMPTY_TAG, 0, 4},
                 {"<a></a >", 4, VEXA_ERROR_END_TAG, 0, 3},
                 {"<a>\n\r<b>x</c></a>", 4, VEXA_ERROR_END_TAG, 1, 4},
                 {"<a>\n\t\t<b></c>", 0, VEXA_ERROR_END_TAG, 0, 0},
                 {"", 4, VEXA_ERROR_DOCUMENT_EMPTY, -1, -1},
                 {"\xEF\xBB\xBF", 4, VEXA_ERROR_DOCUMENT_EMPTY, -1, -1}};
    for (const auto& c : cases) {
        VexaDocument doc;
        doc.SetTabSize(c.tabsize);
        EXPECT_EQ(nullptr, doc.Parse(c.text)) << c.text;
        ExpectError(doc, c.code, c.row, c.col, c.text);
    }
    VexaDocument doc;
    EXPECT_EQ(nullptr, doc.Parse(nullptr));
    ExpectError(doc, VEXA_ERROR_DOCUMENT_EMPTY, -1, -1, "null");
    EXPECT_EQ(14, VEXA_ERROR_DEPTH);
    EXPECT_EQ(15, VEXA_ERROR_STRING_COUNT);
}

// Each node parser called on markup of the wrong kind, as a child of a document.
TEST(ParseErrors, NodeParsersOnForeignMarkup) {
    const struct {
        VexaNode* (*make)();
        const char* text;
        int code, row, col;
    } cases[] = {{NewUnknown, "  x<", VEXA_ERROR_UNKNOWN, 0, 2},
                 {NewUnknown, "", VEXA_ERROR_UNKNOWN, -1, -1},
                 {NewComment, "\n <!-x", VEXA_ERROR_COMMENT, 1, 1},
                 {NewDeclaration, "<?XML version='1'?>", VEXA_ERROR_DECLARATION, -1, -1},
                 {NewDeclaration, " <!x>", VEXA_ERROR_DECLARATION, -1, -1},
                 {NewElement, "  x", VEXA_ERROR_ELEMENT, 0, 2},
                 {NewElement, " \t ", VEXA_ERROR_ELEMENT, -1, -1},
                 {NewElement, "< 9a/>", VEXA_ERROR_ELEMENT_NAME, 0, 2},
                 {NewElement, "<", VEXA_ERROR_ELEMENT_NAME, -1, -1}};
    for (const auto& c : cases) {
        VexaDocument doc;
        VexaNode* node = doc.LinkEndChild(c.make());
        VexaParsingData data(c.text, 4, 0, 0);
        EXPECT_EQ(nullptr, node->Parse(c.text, &data)) << c.text;
        ExpectError(doc, c.code, c.row, c.col, c.text);
        // Without a document or a tracker the same failure records nothing.
        std::unique_ptr<VexaNode> alone(c.make());
        EXPECT_EQ(nullptr, alone->Parse(c.text, nullptr)) << c.text;
    }
}

TEST(ParseErrors, FailedParseKeepsPartialTreeAndDocumentStaysUsable) {
    const struct {
        const char* text;
        int code;
        const char* dump;
    } cases[] = {
        {"<a b='1' c='2' b='3' d='4'/>", VEXA_ERROR_ATTRIBUTES, "  element 'a' b='3' c='2'\n"},
        {"<a><b/><c>t</a>", VEXA_ERROR_END_TAG, "  element 'a'\n    element 'b'\n    element 'c'\n      text 't'\n"},
        {"<!--k--><a>x<!--y", VEXA_ERROR_ELEMENT_VALUE,
         "  comment 'k'\n  element 'a'\n    text 'x'\n    comment 'y'\n"}};
    for (const auto& c : cases) {
        VexaDocument doc;
        doc.Parse(c.text);
        EXPECT_EQ(c.code, doc.ErrorCode()) << c.text;
        EXPECT_EQ(std::string("document ''\n") + c.dump, vexatest::Dump(doc)) << c.text;
        doc.Clear();
        doc.Parse("<ok/>");
        EXPECT_FALSE(doc.Error()) << c.text;
        EXPECT_EQ("document ''\n  element 'ok'\n", vexatest::Dump(doc));
    }
}

TEST(ParseErrors, NestingDepth) {
    VexaDocument doc;
    EXPECT_EQ(1000, doc.MaxDepth());
    doc.Parse((Nest(1000) + Nest(1000)).c_str());  // the count falls again between siblings
    EXPECT_FALSE(doc.Error()) << doc.ErrorText();
    doc.Parse(Nest(1001).c_str());
    ExpectError(doc, VEXA_ERROR_DEPTH, 0, 3000, "1001 deep");

    VexaDocument hostile;
    EXPECT_EQ(nullptr, hostile.Parse(Nest(100000).c_str()));
    ExpectError(hostile, VEXA_ERROR_DEPTH, 0, 3000, "100000 deep");

    VexaDocument small;
    small.SetMaxDepth(3);
    EXPECT_EQ(3, small.MaxDepth());
    small.Parse("<a><b><c/></b></a>");
    EXPECT_FALSE(small.Error());
    small.Parse("<a>\n <b><c><d/></c></b></a>");
    ExpectError(small, VEXA_ERROR_DEPTH, 1, 7, "limit 3");
    small.SetMaxDepth(0);
    EXPECT_EQ(1, small.MaxDepth());
}

}  // namespace
