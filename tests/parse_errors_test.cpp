// Parse failures: the code, message and location each one records, the
// tree a failed parse leaves, and the nesting limit.
#include "test_util.h"

using namespace vexatest;

const int kNone = -1;  // row or column of an error without a location

static void ExpectError(const VexaDocument& doc, int code, int row, int col, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(doc.Error());
    EXPECT_EQ(code, doc.ErrorCode());
    EXPECT_STREQ(VexaBase::errorString[code], doc.ErrorText());
    EXPECT_EQ(std::make_pair(row, col), std::make_pair(doc.ErrorRow(), doc.ErrorCol()));
}

TEST(ParseErrors, Messages) {
    std::string all;
    // The classic codes and the entity ones; strict mode tests its own.
    for (int code = 0; code <= VEXA_ERROR_ENTITY_DEPTH; ++code) all += VexaBase::errorString[code] + std::string("|");
    EXPECT_EQ(all,
              "No error|Error|Failed to open file|Memory allocation failed.|Error parsing Element.|"
              "Failed to read Element name|Error reading Element value.|Error reading Attributes.|Error: empty tag.|"
              "Error reading end tag.|Error parsing Unknown.|Error parsing Comment.|Error parsing Declaration.|"
              "Error document empty.|Element nesting too deep.|Text outside any element.|Invalid text encoding.|"
              "Entity refers to itself.|Entity expansion exceeds its limit.|Entity text breaks the document.|"
              "Entity references nest too deeply.|");
}

// Content cut short (code 6) has no location: the end of the text has none.
TEST(ParseErrors, CodesMessagesAndLocations) {
    const std::tuple<const char*, int, int, int, int> cases[] = {
        {"<a b=\"x", 4, VEXA_ERROR_ELEMENT, 0, 3},
        {"<a\n\tb=x", 4, VEXA_ERROR_ELEMENT, 1, 4},
        {"<abc", 4, VEXA_ERROR_ELEMENT_NAME, 0, 1},
        {"<r>\r\n<abc", 4, VEXA_ERROR_ELEMENT_NAME, 1, 1},
        {"<a>", 4, VEXA_ERROR_ELEMENT_VALUE, kNone, kNone},
        {"<a>text", 4, VEXA_ERROR_ELEMENT_VALUE, kNone, kNone},
        {"<a><!--c", 4, VEXA_ERROR_ELEMENT_VALUE, kNone, kNone},
        {"<a><b/>\r\n", 4, VEXA_ERROR_ELEMENT_VALUE, kNone, kNone},
        {"<a b>", 4, VEXA_ERROR_ATTRIBUTES, 0, 4},
        {"<a\r\r1=\"x\">", 4, VEXA_ERROR_ATTRIBUTES, 2, 0},
        {"<a b", 4, VEXA_ERROR_ATTRIBUTES, 0, 3},
        {"<a b='1' ", 4, VEXA_ERROR_ATTRIBUTES, 0, 8},
        {"<a b=", 4, VEXA_ERROR_ATTRIBUTES, kNone, kNone},
        {"<a b=\n\t", 4, VEXA_ERROR_ATTRIBUTES, 1, 4},
        {"<a b='1' c='2' b='3'/>", 4, VEXA_ERROR_ATTRIBUTES, 0, 15},
        {"<a\n\tb='1'\n\tb='3'/>", 8, VEXA_ERROR_ATTRIBUTES, 2, 8},
        // More attributes than the parser compares by hand: a repeat is still found.
        {"<a a='' b='' c='' d='' e='' f='' g='' h='' i='' j='' k='' l='' m='' n='' o='' p='' q='' c=''/>", 4,
         VEXA_ERROR_ATTRIBUTES, 0, 88},
        {"<a / >", 4, VEXA_ERROR_EMPTY_TAG, 0, 4},
        {"<a></a x>", 4, VEXA_ERROR_END_TAG, 0, 3},
        {"<a></ a>", 4, VEXA_ERROR_END_TAG, 0, 3},
        {"<a>\n\r<b>x</c></a>", 4, VEXA_ERROR_END_TAG, 1, 4},
        {"<a>\n\t\t<b></c>", 0, VEXA_ERROR_END_TAG, 0, 0},
        // Top-level markup cut off by the end of the text, located at its "<".
        {"<!-- c", 4, VEXA_ERROR_COMMENT, 0, 0},
        {"<r/>\n\t<?xml version='1.0'", 4, VEXA_ERROR_DECLARATION, 1, 4},
        {"<r/><!DOCTYPE r [ <!ENTITY e 'x'> ]", 4, VEXA_ERROR_UNKNOWN, 0, 4},
        {"<r/><![CDATA[ a>b", 4, VEXA_ERROR_UNKNOWN, 0, 4},
        // Text outside any element, before, between or after top-level markup.
        {"hello<r/>", 4, VEXA_ERROR_OUTSIDE_ELEMENT, 0, 0},
        {"<r/>text<s/>", 4, VEXA_ERROR_OUTSIDE_ELEMENT, 0, 4},
        {"<?xml version='1.0'?>\n<r/>\n\t x", 4, VEXA_ERROR_OUTSIDE_ELEMENT, 2, 5},
        {"<!-- c --> &amp;<r/>", 4, VEXA_ERROR_OUTSIDE_ELEMENT, 0, 11},
        {"", 4, VEXA_ERROR_DOCUMENT_EMPTY, kNone, kNone},
        {"\xEF\xBB\xBF", 4, VEXA_ERROR_DOCUMENT_EMPTY, kNone, kNone},
        {nullptr, 4, VEXA_ERROR_DOCUMENT_EMPTY, kNone, kNone}};
    for (const auto& [text, tabsize, code, row, col] : cases) {
        const std::string what = text ? Escaped(text) : "null";
        VexaDocument doc;
        doc.SetTabSize(tabsize);
        EXPECT_EQ(nullptr, doc.Parse(text)) << what;
        ExpectError(doc, code, row, col, what);
    }
}

// Each node parser called on markup of the wrong kind, as a child of a document.
TEST(ParseErrors, NodeParsersOnForeignMarkup) {
    const std::tuple<int, const char*, int, int, int> cases[] = {
        {VexaNode::UNKNOWN, "  x<", VEXA_ERROR_UNKNOWN, 0, 2},
        {VexaNode::UNKNOWN, "", VEXA_ERROR_UNKNOWN, kNone, kNone},
        {VexaNode::COMMENT, "\n <!-x", VEXA_ERROR_COMMENT, 1, 1},
        {VexaNode::DECLARATION, "<?XML version='1'?>", VEXA_ERROR_DECLARATION, kNone, kNone},
        {VexaNode::DECLARATION, " <!x>", VEXA_ERROR_DECLARATION, kNone, kNone},
        {VexaNode::ELEMENT, "  x", VEXA_ERROR_ELEMENT, 0, 2},
        {VexaNode::ELEMENT, " \t ", VEXA_ERROR_ELEMENT, kNone, kNone},
        {VexaNode::ELEMENT, "< 9a/>", VEXA_ERROR_ELEMENT_NAME, 0, 2},
        {VexaNode::ELEMENT, "<", VEXA_ERROR_ELEMENT_NAME, kNone, kNone}};
    for (const auto& [type, text, code, row, col] : cases) {
        VexaDocument doc;
        VexaParsingData data(text, 4, 0, 0);
        EXPECT_EQ(nullptr, doc.LinkEndChild(NewNode(type))->Parse(text, &data)) << text;
        ExpectError(doc, code, row, col, text);
        // Without a document or a tracker the same failure records nothing.
        EXPECT_EQ(nullptr, std::unique_ptr<VexaNode>(NewNode(type))->Parse(text, nullptr)) << text;
    }
}

// The mends: a repeated attribute takes the later value, content cut short
// keeps what was read; the document then parses anew.
TEST(ParseErrors, FailedParseKeepsPartialTreeAndDocumentStaysUsable) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"<a b='1' c='2' b='3' d='4'/>", VEXA_ERROR_ATTRIBUTES, "element 'a' b='3' c='2'\n"},
        {"<a><b/><c>t</a>", VEXA_ERROR_END_TAG, "element 'a'\n  element 'b'\n  element 'c'\n    text 't'\n"},
        {"<!--k--><a>x<!--y", VEXA_ERROR_ELEMENT_VALUE, "comment 'k'\nelement 'a'\n  text 'x'\n  comment 'y'\n"}};
    for (const auto& [text, code, dump] : cases) {
        VexaDocument doc;
        doc.Parse(text);
        EXPECT_EQ(code, doc.ErrorCode()) << text;
        EXPECT_EQ(dump, DumpChildren(doc)) << text;
        doc.Clear();
        doc.Parse("<ok/>");
        EXPECT_FALSE(doc.Error()) << text;
        EXPECT_EQ("element 'ok'\n", DumpChildren(doc));
    }
}

// Repeated attribute names, however many came before and whatever they look
// like (names alike in first byte, last byte and length are the ones the
// parser's quick check cannot tell apart), and only those, fail the parse.
TEST(ParseErrors, RepeatedAttributeNamesAmongMany) {
    const auto name = [](bool alike, int i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, alike ? "x%04dy" : "n%d", i);
        return std::string(buf);
    };
    for (const bool alike : {false, true}) {
        for (const int count : {1, 2, 7, 15, 16, 17, 63, 64, 65, 300}) {
            std::string tag = "<e";
            for (int i = 0; i < count; ++i) tag += " " + name(alike, i) + "='" + std::to_string(i) + "'";
            VexaDocument distinct;
            distinct.Parse((tag + "/>").c_str());
            EXPECT_FALSE(distinct.Error()) << count << (alike ? " alike" : " distinct") << ": " << distinct.ErrorText();
            for (const int repeated : {0, count / 2, count - 1}) {
                VexaDocument doc;
                doc.Parse((tag + " " + name(alike, repeated) + "='again' z='1'/>").c_str());
                const std::string what = std::to_string(count) + (alike ? " alike, " : " distinct, ") + "repeating " +
                                         std::to_string(repeated);
                EXPECT_EQ(VEXA_ERROR_ATTRIBUTES, doc.ErrorCode()) << what;
                const VexaElement* e = doc.FirstChildElement();
                ASSERT_NE(nullptr, e) << what;
                EXPECT_STREQ("again", e->Attribute(name(alike, repeated).c_str())) << what;
                EXPECT_EQ(nullptr, e->Attribute("z")) << what;
            }
        }
    }
    // Parsed into an element that has attributes already: they count too.
    VexaElement element("e");
    element.SetAttribute("a", "1");
    EXPECT_EQ(nullptr, element.Parse("<e b='2' a='3'/>", nullptr));
    EXPECT_STREQ("3", element.Attribute("a"));
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
    small.Parse("<a><b><c/></b></a>");
    EXPECT_FALSE(small.Error());
    small.Parse("<a>\n <b><c><d/></c></b></a>");
    ExpectError(small, VEXA_ERROR_DEPTH, 1, 7, "limit 3");
    small.SetMaxDepth(0);
    EXPECT_EQ(1, small.MaxDepth());
}
