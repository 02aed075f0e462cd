// Reading XML from text: the scanning statics, every node kind, the tree
// shapes the element and document rules give, and what Parse returns.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;
using vexatest::Dump;

namespace {

// Sets the white-space flag for one test and restores it afterwards.
struct CondenseScope {
    explicit CondenseScope(bool on) : saved(VexaBase::IsWhiteSpaceCondensed()) { VexaBase::SetCondenseWhiteSpace(on); }
    ~CondenseScope() { VexaBase::SetCondenseWhiteSpace(saved); }
    bool saved;
};

// Offset of a returned position, -1 for null.
long Offset(const char* base, const char* p) { return p ? p - base : -1; }

// The dump of every top-level node of a parse; fails the test on an error.
std::string Tree(const char* text) {
    VexaDocument doc;
    doc.Parse(text);
    EXPECT_FALSE(doc.Error()) << text << ": " << doc.ErrorText();
    std::string out;
    for (const VexaNode* n = doc.FirstChild(); n; n = n->NextSibling()) out += Dump(*n);
    return out;
}

TEST(Lexical, SkipWhiteSpaceAndStringEqual) {
    EXPECT_EQ(nullptr, VexaBase::SkipWhiteSpace(""));
    EXPECT_EQ(nullptr, VexaBase::SkipWhiteSpace(nullptr));
    const struct {
        const char* text;
        long stop;
    } skips[] = {{"   ", 3}, {"\t\r\n\v\fx", 5}, {"\xA0 ", 0}, {"x ", 0}};
    for (const auto& c : skips) EXPECT_EQ(c.stop, Offset(c.text, VexaBase::SkipWhiteSpace(c.text))) << c.text;

    const struct {
        const char *text, *tag;
        bool exact, equal;
    } cases[] = {
        {"<?XML v", "<?xml", false, true}, {"<?XML v", "<?xml", true, false}, {"<?xmlns", "<?xml", true, true},
        {"<?xm", "<?xml", false, false},   {"Abc", "abc", true, false},       {"ABC", "abc", false, true},
        {"", "a", false, false},           {"x", "", false, false},           {"\xC9t", "\xE9t", false, false}};
    for (const auto& c : cases) EXPECT_EQ(c.equal, VexaBase::StringEqual(c.text, c.tag, c.exact)) << c.text;
    EXPECT_FALSE(VexaBase::StringEqual(nullptr, "a", false));
}

TEST(Lexical, ReadName) {
    const struct {
        const char *text, *name;
        long stop;
    } cases[] = {{"a_b-c.d:e9 rest", "a_b-c.d:e9", 10},
                 {"_x=", "_x", 2},
                 {"abc", "abc", 3},
                 {"a\xC3\xA9", "a", 1},
                 {"9a", "", -1},
                 {"-a", "", -1},
                 {".a", "", -1},
                 {":a", "", -1},
                 {"\xC3\xA9t", "", -1},
                 {"", "", -1}};
    for (const auto& c : cases) {
        std::string name = "junk";
        EXPECT_EQ(c.stop, Offset(c.text, VexaBase::ReadName(c.text, &name))) << c.text;
        EXPECT_EQ(c.name, name) << c.text;
    }
}

TEST(Lexical, GetEntity) {
    const struct {
        const char* text;
        char value;
        long advance;
    } cases[] = {{"&#x41;", 'A', 6},   {"&#x9;", '\t', 5}, {"&#xfF;", '\xFF', 6}, {"&#xgg;", '\x10', 6},
                 {"&#x0041;", '&', 1}, {"&#65;", '&', 1},  {"&#X41;", '&', 1},    {"&#x4", '&', 1},
                 {"&amp;", '&', 5},    {"&lt;x", '<', 4},  {"&gt;", '>', 4},      {"&quot;", '"', 6},
                 {"&apos;", '\'', 6},  {"&AMP;", '&', 1},  {"&amp", '&', 1},      {"&nbsp;", '&', 1}};
    for (const auto& c : cases) {
        char value = 0;
        EXPECT_EQ(c.advance, Offset(c.text, VexaBase::GetEntity(c.text, &value))) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
}

TEST(Lexical, ReadTextCondensingAndVerbatim) {
    const struct {
        const char* text;
        bool trim, condense;
        const char *end, *out;
        long stop;
    } cases[] = {{"  a \r\n b  <x", true, true, "<", "a b", 11},
                 {"  a \r\n b  <x", true, false, "<", "  a \r\n b  ", 11},
                 {"  a \r\n b  <x", false, true, "<", "  a \r\n b  ", 11},
                 {"a &#x20; b<", true, true, "<", "a   b", 11},
                 {"x&lt;&#x41;&bogus; y-->z", false, true, "-->", "x<A&bogus; y", 23},
                 {"x&lt;&#x41;&bogus; y-->z", true, true, "-->", "x<A&bogus; y", 23},
                 {"ab</A>", true, true, "</a>", "ab", 6},
                 {"<rest", true, true, "<", "", 1},
                 {"  a  b", true, true, "<", "a b", -1},
                 {"abc", false, true, "\"", "abc", -1},
                 {"   ", true, true, "<", "", -1}};
    for (const auto& c : cases) {
        CondenseScope scope(c.condense);
        std::string text = "junk";
        EXPECT_EQ(c.stop, Offset(c.text, VexaBase::ReadText(c.text, &text, c.trim, c.end, false))) << c.text;
        EXPECT_EQ(c.out, text) << c.text << " condense " << c.condense;
    }
}

TEST(ParseText, TreeShapes) {
    const struct {
        const char *text, *dump;
    } cases[] = {
        {"<?xml version='1.0' encoding=\"UTF-8\"?><r/>", "declaration '' v='1.0' e='UTF-8' s=''\nelement 'r'\n"},
        {"<?xml standalone=\"yes\" version=\"1.1\" ?>", "declaration '' v='1.1' e='' s='yes'\n"},
        {"<?xml version=1.0?>", "declaration '' v='1.0?' e='' s=''\n"},
        {"<?xml-stylesheet href=\"a.css\"?>", "declaration '' v='' e='' s=''\n"},
        {"<!-- a -- b --><!----><!--&lt;x\n-->", "comment ' a -- b '\ncomment ''\ncomment '<x\\x0A'\n"},
        {"<?php echo 1; ?><!DOCTYPE html></stray>< r/><1x/>",
         "unknown '?php echo 1; ?'\nunknown '!DOCTYPE html'\nunknown '/stray'\nunknown ' r/'\nunknown '1x/'\n"},
        {"<!DOCTYPE r [<!ENTITY e \"a>]\"><!-- ]> --><?pi ]>?>]><r/>",
         "unknown '!DOCTYPE r [<!ENTITY e \"a>]\"><!-- ]> --><?pi ]>?>]'\nelement 'r'\n"},
        {"<r><![CDATA[a<b>c]]>d]]></r>", "element 'r'\n  unknown '![CDATA[a<b>c]]'\n  text 'd]]>'\n"},
        {"<A b = 'say \"hi\"' c=\"it's\" d=plain e=/>", "element 'A' b='say \"hi\"' c='it's' d='plain' e=''\n"},
        {"<r x=\"&#x41;&lt;\" y='a&amp;b'/>", "element 'r' x='A<' y='a&b'\n"},
        {"<_a.b-c:d/>", "element '_a.b-c:d'\n"},
        {"<r>a <b>x</b>\n c</r>", "element 'r'\n  text 'a'\n  element 'b'\n    text 'x'\n  text 'c'\n"},
        {"<r>  \n  </r><s>&#x20;</s><t></T>", "element 'r'\nelement 's'\nelement 't'\n"},
        {"<r>x &amp; &lt;y&gt; &quot;&apos;</r>", "element 'r'\n  text 'x & <y> \"''\n"},
        {"<r>caf\xC3\xA9<?xml-x v?><!DOCTYPE d><1/>< /r></r>",
         "element 'r'\n  text 'caf\\xC3\\xA9'\n  declaration '' v='' e='' s=''\n  unknown '!DOCTYPE d'\n"
         "  unknown '1/'\n  unknown ' /r'\n"},
        {"<a><b><c/></b><d/></a>", "element 'a'\n  element 'b'\n    element 'c'\n  element 'd'\n"},
        {"\xEF\xBB\xBF<r>\xEF\xBB\xBF</r>", "element 'r'\n  text '\\xEF\\xBB\\xBF'\n"}};
    for (const auto& c : cases) EXPECT_EQ(c.dump, Tree(c.text)) << c.text;
}

TEST(ParseText, ReturnValues) {
    const struct {
        const char* text;
        long stop;
        int children;
    } cases[] = {{"<r/>", -1, 1},
                 {"<r/>\n", 5, 1},
                 {"   ", 3, 0},
                 {"<r/>text<s/>", 4, 1},
                 {"hello<r/>", 0, 0},
                 {" <!--c-->", -1, 1},
                 {"<?xml version='1'?><!--c--><a/><b/> ", 36, 4}};
    for (const auto& c : cases) {
        VexaDocument doc;
        EXPECT_EQ(c.stop, Offset(c.text, doc.Parse(c.text))) << c.text;
        EXPECT_FALSE(doc.Error()) << c.text;
        int n = 0;
        for (const VexaNode* child = doc.FirstChild(); child; child = child->NextSibling()) ++n;
        EXPECT_EQ(c.children, n) << c.text;
    }
    VexaDocument doc;  // a second parse appends
    doc.Parse("<a/>");
    doc.Parse("<b/>");
    EXPECT_EQ("document ''\n  element 'a'\n  element 'b'\n", Dump(doc));
}

TEST(ParseText, ManyDistinctAttributes) {
    const int n = 200000;
    std::string text = "<r";
    for (int i = 0; i < n; ++i) text += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    VexaDocument doc;
    doc.Parse((text + "/>").c_str());
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    const VexaElement* r = doc.FirstChildElement();
    ASSERT_NE(nullptr, r);
    int count = 0;
    for (const VexaAttribute* a = r->FirstAttribute(); a; a = a->Next()) ++count;
    EXPECT_EQ(n, count);
    EXPECT_STREQ("a199999", r->LastAttribute()->Name());
    EXPECT_STREQ("123456", r->Attribute("a123456"));

    // Among many, a repeated name is still caught, and the first takes its value.
    VexaDocument repeated;
    repeated.Parse((text + " a77='again'/>").c_str());
    EXPECT_EQ(VEXA_ERROR_ATTRIBUTES, repeated.ErrorCode());
    EXPECT_STREQ("again", repeated.FirstChildElement()->Attribute("a77"));
}

}  // namespace
