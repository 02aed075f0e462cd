// XPath queries: every axis, node test, function and conversion rule over a
// small tree, the data model's text merging, compile errors with offsets,
// variables, the shortcuts, and hostile expressions and documents.
#include "test_util.h"

#ifndef VEXA_NO_XPATH

#include <cmath>
#include <functional>

using namespace vexatest;

namespace {

// The document most cases query: mixed content, CDATA, a comment, a
// processing instruction, namespace declarations and a prefixed name.
const char kDoc[] =
    "<?xml version=\"1.0\"?><!DOCTYPE r><?top t?>"
    "<r a=\"1\" xmlns=\"u\" xmlns:p=\"v\">"
    "<x id=\"1\">one<!--c1--><y>two</y>three<![CDATA[four]]>five</x>"
    "<?pi  some data?>"
    "<x id=\"2\" xml:lang=\"en-US\"><y n=\"3\">six</y><p:z p:b=\"4\"/></x>"
    "</r>";

// One item as a short token: /, name, @name=value, "text", <!--c-->, <?target?>.
std::string Token(const VexaXPathNode& item) {
    if (item.Attribute()) return std::string("@") + item.Attribute()->Name() + "=" + item.Attribute()->Value();
    const VexaNode* n = item.Node();
    switch (n->Type()) {
        case VexaNode::DOCUMENT:
            return "/";
        case VexaNode::ELEMENT:
            return n->Value();
        case VexaNode::COMMENT:
            return std::string("<!--") + n->Value() + "-->";
        case VexaNode::UNKNOWN:
            if (n->Value()[0] == '?')
                return "<?" + VexaXPath("name()").EvaluateString(VexaXPathNode(const_cast<VexaNode*>(n))) + "?>";
            return "\"" + item.StringValue() + "\"";
        default:
            return "\"" + item.StringValue() + "\"";
    }
}

// A result as text: node-sets as their tokens, other values as their string.
std::string Render(const VexaXPathValue& v) {
    if (v.Type() != VEXA_XPATH_NODESET) return v.String();
    std::string out;
    for (const VexaXPathNode& item : v.NodeSet()) out += (out.empty() ? "" : " ") + Token(item);
    return out.empty() ? "(none)" : out;
}

class XPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        VexaBase::SetCondenseWhiteSpace(false);
        doc = new VexaDocument();
        doc->Parse(kDoc);
        VexaBase::SetCondenseWhiteSpace(true);
    }
    static void TearDownTestSuite() { delete doc; }

    static std::string Run(const char* expr, const VexaXPathNode& context) {
        VexaXPath q(expr);
        if (!q.Valid())
            return std::string("error ") + std::to_string(q.ErrorCode()) + " at " + std::to_string(q.ErrorOffset());
        return Render(q.Evaluate(context));
    }
    static std::string Run(const char* expr) { return Run(expr, VexaXPathNode(doc)); }

    static VexaDocument* doc;
};
VexaDocument* XPathTest::doc = nullptr;

struct Case {
    const char* expr;
    const char* expected;
};

void RunTable(const Case* cases, size_t n, const std::function<std::string(const char*)>& run) {
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(run(cases[i].expr), cases[i].expected) << cases[i].expr;
}
#define TABLE(cases, run) RunTable(cases, sizeof cases / sizeof cases[0], run)

TEST_F(XPathTest, DataModel) {
    const Case cases[] = {
        // The declaration and DOCTYPE are not nodes; the PI is.
        {"/node()", "<?top?> r"},
        // Text and CDATA side by side make one text node.
        {"/r/x[1]/node()", "\"one\" <!--c1--> y \"threefourfive\""},
        {"count(//text())", "4"},
        {"string(/r/x[1])", "onetwothreefourfive"},
        {"string((//text())[3])", "threefourfive"},
        {"//text()[2]", "\"threefourfive\""},
        // xmlns attributes are declarations, not attributes.
        {"/r/@*", "@a=1"},
        {"count(//@*)", "6"},
        {"//namespace::*", "(none)"},
        // Names as written, prefixes included.
        {"//p:z", "p:z"},
        {"//p:*", "p:z"},
        {"//@p:*", "@p:b=4"},
        {"string(//processing-instruction('pi'))", "some data"},
        {"//processing-instruction('top')", "<?top?>"},
        {"string(/)", "onetwothreefourfivesix"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

TEST_F(XPathTest, Axes) {
    const Case cases[] = {
        {"/r/child::x", "x x"},
        {"/r/x[1]/descendant::node()", "\"one\" <!--c1--> y \"two\" \"threefourfive\""},
        {"/r/x[2]/descendant-or-self::*", "x y p:z"},
        {"//y/parent::*", "x x"},
        {"//y[@n]/ancestor::*", "r x"},
        {"//y[@n]/ancestor-or-self::node()", "/ r x y"},
        {"//y[@n]/ancestor::*[1]", "x"},  // reverse axis: nearest first
        {"//y/following-sibling::node()", "\"threefourfive\" p:z"},
        {"//p:z/preceding-sibling::*", "y"},
        {"/r/x[2]/preceding::node()", "<?top?> x \"one\" <!--c1--> y \"two\" \"threefourfive\" <?pi?>"},
        {"/r/x[2]/preceding::node()[2]", "\"threefourfive\""},
        {"/r/x[2]/preceding::*[last()]/@id", "@id=1"},
        {"/r/x[1]/y/following::*", "x y p:z"},
        {"//comment()/following::text()[1]", "\"two\""},
        {"//y/self::y", "y y"},
        {"//y/self::x", "(none)"},
        {"/r/x/attribute::id", "@id=1 @id=2"},
        // From an attribute: its element is the parent; its content follows it.
        {"//@n/..", "y"},
        {"//@n/ancestor::*", "r x y"},
        {"//@n/following::node()", "\"six\" p:z"},
        {"//@n/preceding::y", "y"},
        {"//@n/child::node()", "(none)"},
        {"//@n/self::node()", "@n=3"},
        {"//@n/self::*", "(none)"},
        {"//@n/following-sibling::node()", "(none)"},
        // Sets with nested members stay in order and without duplicates.
        {"//*/descendant::y", "y y"},
        {"//node()/..", "/ r x y x y"},
        {"(//y | //x | /r)", "r x y x y"},
        {"//x/y/ancestor::*", "r x x"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

TEST_F(XPathTest, PredicatesAndAbbreviations) {
    const Case cases[] = {
        {"//x[2]/y", "y"},
        {"//y[1]", "y y"},  // per parent
        {"(//y)[1]", "y"},
        {"//x[last()]/@id", "@id=2"},
        {"//x[position() = 1]/@id", "@id=1"},
        {"//*[@id][2]", "x"},
        {"//x[@id = '2']//y", "y"},
        {"//x[y = 'six']/@id", "@id=2"},
        {"//x[y][1]/@id", "@id=1"},
        {"//*[not(*)]", "y y p:z"},
        {"/r/x[1]/node()[last()]", "\"threefourfive\""},
        {"/r/x[1]/node()[3]", "y"},
        {"//x[.//@n]/@id", "@id=2"},
        {"./r/../r/x[1]/.", "x"},
        {"//x/*[2]", "p:z"},
        {"//x[1.5]", "(none)"},
        {"//x[true()]", "x x"},
        {"//x[@id > 1 and @id < 3]/@id", "@id=2"},
        {"//x[@id = 1 or @id = 2][last()]/@id", "@id=2"},
        {"/r/x[@id=2]/y[@n=3][1]/@n", "@n=3"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

TEST_F(XPathTest, Operators) {
    const Case cases[] = {
        {"1 + 2 * 3 - 4 div 8", "6.5"},
        {"7 mod 3", "1"},
        {"-7 mod 3", "-1"},
        {"7 mod -3", "1"},
        {"- - 2", "2"},
        {"1 div 0", "Infinity"},
        {"-1 div 0", "-Infinity"},
        {"0 div 0", "NaN"},
        {"-0", "0"},
        {"0.1 + 0.2", "0.30000000000000004"},
        {"1000000 * 1000000 * 1000000 * 1000000", "1000000000000000000000000"},
        {"1 div 3", "0.3333333333333333"},
        {"0.000001", "0.000001"},
        {"1 < 2", "true"},
        {"2 <= 1", "false"},
        {"'10' > '9'", "true"},  // relational compares numbers
        {"'a' = 'a'", "true"},
        {"'1.0' = 1", "true"},
        {"true() = 'x'", "true"},
        {"1 = 1 = 1", "true"},
        {"//@id = 2", "true"},
        {"//@id != 2", "true"},
        {"//@id = 3", "false"},
        {"//@id < 2", "true"},
        {"//@id > 2", "false"},
        {"2 > //@id", "true"},
        {"//y = //x/y", "true"},
        {"//y != //y", "true"},
        {"//x/@id = //y/@n", "false"},
        {"//x/@id < //y/@n", "true"},
        {"//nothing = ''", "false"},
        {"//nothing != ''", "false"},
        {"//nothing = false()", "true"},
        {"//y = true()", "true"},
        {"count(//x | //y | //x)", "4"},
        {"2 = 2 and 1 = 0 or 3 = 3", "true"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

// id() selects by the attributes the internal subset declares of type ID,
// in document order and once each, whatever the attribute is named.
TEST(XPathId, FollowsTheDeclaredIdAttributes) {
    VexaDocument doc;
    doc.Parse(
        "<!DOCTYPE r [<!ATTLIST e key ID #IMPLIED><!ATTLIST f id CDATA #IMPLIED>]>"
        "<r><e key='a'/><f id='b'/><e key=' c '/><e id='d'/></r>");
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    const struct {
        const char* expr;
        double count;
    } cases[] = {
        {"count(id('a'))", 1},      {"count(id('b'))", 0},  // f's id is CDATA
        {"count(id('c a c'))", 2},  {"count(id('d'))", 0},  // only e's key is declared
        {"count(id(//e/@key))", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(VexaXPath(c.expr).EvaluateNumber(doc), c.count) << c.expr;
    EXPECT_EQ(VexaXPath("name(id('c a')[2]/@*)").EvaluateString(doc), "key");
}

TEST_F(XPathTest, Functions) {
    const Case cases[] = {
        {"last()", "1"},
        {"position()", "1"},
        {"count(//y)", "2"},
        {"id('1')", "(none)"},  // nothing is declared of type ID
        {"id(//@id)", "(none)"},
        {"local-name(//p:z)", "z"},
        {"local-name(//@p:b)", "b"},
        {"name(//p:z)", "p:z"},
        {"name(//processing-instruction())", "top"},
        {"name()", ""},
        {"name(//comment())", ""},
        {"namespace-uri(//p:z)", ""},
        {"string(//@n)", "3"},
        {"string(//nothing)", ""},
        {"string(1 = 1)", "true"},
        {"string(-3.50)", "-3.5"},
        {"concat('a', 1, true(), //@n)", "a1true3"},
        {"starts-with('abc', 'ab')", "true"},
        {"starts-with('abc', '')", "true"},
        {"contains('abc', 'bd')", "false"},
        {"contains(/r/x[1], 'twothree')", "true"},
        {"substring-before('1999/04/01', '/')", "1999"},
        {"substring-after('1999/04/01', '/')", "04/01"},
        {"substring-after('abc', 'x')", ""},
        {"substring('12345', 2, 3)", "234"},
        {"substring('12345', 2)", "2345"},
        {"substring('12345', 1.5, 2.6)", "234"},
        {"substring('12345', 0, 3)", "12"},
        {"substring('12345', 0 div 0, 3)", ""},
        {"substring('12345', 1, 0 div 0)", ""},
        {"substring('12345', -42, 1 div 0)", "12345"},
        {"substring('12345', -1 div 0, 1 div 0)", ""},
        {"string-length('abc')", "3"},
        {"string-length(//y[@n])", "3"},
        {"normalize-space('  a \t\n b  ')", "a b"},
        {"translate('bar', 'abc', 'ABC')", "BAr"},
        {"translate('--aaa--', 'abc-', 'ABC')", "AAA"},
        {"translate('abc', 'aa', 'xy')", "xbc"},
        {"boolean(//y)", "true"},
        {"boolean('')", "false"},
        {"boolean(0 div 0)", "false"},
        {"not(0)", "true"},
        {"true()", "true"},
        {"false()", "false"},
        {"number('  12.5  ')", "12.5"},
        {"number('1e3')", "NaN"},
        {"number('-.5')", "-0.5"},
        {"number('+1')", "NaN"},
        {"number('')", "NaN"},
        {"number(true())", "1"},
        {"number(//@n)", "3"},
        {"sum(//@id)", "3"},
        {"sum(//y)", "NaN"},
        {"floor(-1.5)", "-2"},
        {"ceiling(-1.5)", "-1"},
        {"ceiling(-0.5)", "0"},
        {"round(2.5)", "3"},
        {"round(-2.5)", "-2"},
        {"round(-0.4)", "0"},
        {"round(0 div 0)", "NaN"},
        {"//y[lang('en')]", "y"},
        {"//y[lang('EN-us')]", "y"},
        {"//y[lang('en-GB')]", "(none)"},
        {"//y[lang('e')]", "(none)"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

TEST_F(XPathTest, ContextFunctionsSeeTheirContext) {
    const VexaXPathNode y = doc->SelectNode("//y[@n]");
    ASSERT_FALSE(y.IsNull());
    const VexaXPathNode n(y.Node(), y.Node()->ToElement()->FirstAttribute());
    const Case cases[] = {
        {"name()", "y"},         {"string()", "six"}, {"string-length()", "3"},
        {"number(@n) + 1", "4"}, {"..", "x"},         {"/r/@a", "@a=1"},
    };
    TABLE(cases, [&](const char* e) { return Run(e, y); });
    EXPECT_EQ(Run("name()", n), "n");
    EXPECT_EQ(Run("number()", n), "3");
    EXPECT_EQ(Run("lang('en')", n), "true");
    // A text node in the middle of a run stands for the run.
    VexaNode* cdata = doc->SelectNode("/r/x[1]/text()[2]").Node()->NextSibling();
    ASSERT_NE(cdata, nullptr);
    EXPECT_EQ(Run("string()", VexaXPathNode(cdata)), "threefourfive");
}

TEST_F(XPathTest, CompileErrorsCarryCodeAndOffset) {
    const struct {
        const char* expr;
        int code;
        int offset;
    } cases[] = {
        {"", VEXA_XPATH_EMPTY, 0},
        {"   ", VEXA_XPATH_EMPTY, 3},
        {"1 +", VEXA_XPATH_SYNTAX, 3},
        {"//x[", VEXA_XPATH_SYNTAX, 4},
        {"//x]", VEXA_XPATH_SYNTAX, 3},
        {"(1", VEXA_XPATH_SYNTAX, 2},
        {"a b", VEXA_XPATH_SYNTAX, 2},
        {"'abc", VEXA_XPATH_LITERAL, 0},
        {"concat('a', \"b)", VEXA_XPATH_LITERAL, 12},
        {"foo(1)", VEXA_XPATH_FUNCTION, 0},
        {"count()", VEXA_XPATH_ARGUMENTS, 0},
        {"concat('a')", VEXA_XPATH_ARGUMENTS, 0},
        {"true(1)", VEXA_XPATH_ARGUMENTS, 0},
        {"count(1)", VEXA_XPATH_NOT_NODESET, 0},
        {"1 | //x", VEXA_XPATH_NOT_NODESET, 0},
        {"//x | 'a'", VEXA_XPATH_NOT_NODESET, 6},
        {"'a'/x", VEXA_XPATH_NOT_NODESET, 0},
        {"'a'[1]", VEXA_XPATH_NOT_NODESET, 0},
        {"bogus::x", VEXA_XPATH_SYNTAX, 0},
        {"child::", VEXA_XPATH_SYNTAX, 7},
        {"@", VEXA_XPATH_SYNTAX, 1},
        {"$", VEXA_XPATH_SYNTAX, 0},
        {"1 ! 2", VEXA_XPATH_SYNTAX, 2},
        {"x:", VEXA_XPATH_SYNTAX, 1},
        {"text(", VEXA_XPATH_SYNTAX, 5},
        {"//", VEXA_XPATH_SYNTAX, 2},
    };
    for (const auto& c : cases) {
        VexaXPath q(c.expr);
        EXPECT_FALSE(q.Valid()) << c.expr;
        EXPECT_EQ(q.ErrorCode(), c.code) << c.expr;
        EXPECT_EQ(q.ErrorOffset(), c.offset) << c.expr;
        EXPECT_STREQ(q.ErrorText(), VexaXPath::errorString[c.code]) << c.expr;
        EXPECT_TRUE(q.SelectNodes(*doc).Empty()) << c.expr;
    }
    // A failed compile leaves no part of the old query behind; a good one clears the error.
    VexaXPath q("//y");
    EXPECT_FALSE(q.Compile("//y["));
    EXPECT_TRUE(q.SelectNodes(*doc).Empty());
    EXPECT_TRUE(q.Compile("//y"));
    EXPECT_EQ(q.ErrorOffset(), -1);
    EXPECT_EQ(q.SelectNodes(*doc).Size(), 2u);
}

TEST_F(XPathTest, OperatorNamesAndStarsByPosition) {
    // A name after an operand is an operator, and '*' a multiplication.
    const Case cases[] = {
        {"count(//div)", "0"},
        {"2*3", "6"},
        {"//x/*", "y y p:z"},
        {"count(//*) * 2", "12"},
        {"3 div 2", "1.5"},
        {"count(/r/and)", "0"},
        {"count(child::*/child::x)", "2"},
        {"-1 - -1", "0"},
        {"/r/x[1]/@id*2", "2"},
    };
    TABLE(cases, [](const char* e) { return Run(e); });
}

TEST_F(XPathTest, Variables) {
    VexaXPath q("$n * 2 + string-length($s) + number($b)");
    EXPECT_TRUE(q.Valid());
    q.SetVariable("n", 4.0);
    q.SetVariable("s", "abc");
    q.SetVariable("b", true);
    EXPECT_EQ(q.EvaluateNumber(*doc), 12);
    q.SetVariable("n", 1.0);  // rebinding replaces
    EXPECT_EQ(q.EvaluateNumber(*doc), 6);

    VexaXPath p("$set[3]/@n | $set/@id");
    p.SetVariable("set", doc->SelectNodes("//y | //x[1]"));
    EXPECT_EQ(Render(p.Evaluate(*doc)), "@id=1 @n=3");
    // Unbound: an empty node-set.
    EXPECT_EQ(Render(VexaXPath("$nothing").Evaluate(*doc)), "(none)");
    EXPECT_EQ(VexaXPath("count($nothing/x)").EvaluateNumber(*doc), 0);
    // A variable of another type where a node-set is needed gives an empty set.
    VexaXPath r("$s/x");
    r.SetVariable("s", "abc");
    EXPECT_TRUE(r.SelectNodes(*doc).Empty());
    // A variable's type decides what a predicate means.
    VexaXPath pos("//x[$k]");
    pos.SetVariable("k", 2.0);
    EXPECT_EQ(Render(pos.Evaluate(*doc)), "x");
    EXPECT_EQ(pos.SelectNode(*doc).Node()->ToElement()->Attribute("id"), std::string("2"));
    pos.SetVariable("k", true);
    EXPECT_EQ(pos.SelectNodes(*doc).Size(), 2u);
}

TEST_F(XPathTest, TypedEvaluationAndShortcuts) {
    VexaXPath count("count(//y)");
    EXPECT_EQ(count.ReturnType(), VEXA_XPATH_NUMBER);
    EXPECT_EQ(count.EvaluateNumber(*doc), 2);
    EXPECT_EQ(count.EvaluateString(*doc), "2");
    EXPECT_TRUE(count.EvaluateBoolean(*doc));
    EXPECT_TRUE(count.SelectNodes(*doc).Empty());  // not a node-set
    VexaXPath set("//y");
    EXPECT_EQ(set.ReturnType(), VEXA_XPATH_NODESET);
    EXPECT_EQ(set.EvaluateString(*doc), "two");
    EXPECT_TRUE(std::isnan(set.EvaluateNumber(*doc)));
    const VexaXPathValue v = VexaXPath("//y/@n").Evaluate(*doc);
    EXPECT_EQ(v.Number(), 3);
    EXPECT_EQ(v.String(), "3");
    EXPECT_TRUE(v.Boolean());

    EXPECT_EQ(doc->SelectNodes("//x").Size(), 2u);
    EXPECT_EQ(doc->SelectNodes("//x[").Size(), 0u);
    EXPECT_TRUE(doc->SelectNode("//nothing").IsNull());
    EXPECT_EQ(doc->SelectNode(set).StringValue(), "two");
    EXPECT_EQ(doc->SelectNodes(set).Size(), 2u);
    const VexaXPathNode n = doc->SelectNode("//@n");
    EXPECT_EQ(n.Node()->Value(), std::string("y"));
    EXPECT_STREQ(n.Attribute()->Name(), "n");
    EXPECT_EQ(n.Row(), 0);
    EXPECT_GT(n.Column(), doc->SelectNode("//y[@n]").Column());

    // Handles stay null-safe through queries.
    VexaHandle h(doc);
    EXPECT_EQ(h.SelectNode("r/x[2]").SelectNode("y").ToElement()->Attribute("n"), std::string("3"));
    EXPECT_EQ(h.SelectNode("//nothing").SelectNode("y").GetNode(), nullptr);
    EXPECT_EQ(h.SelectNode("//@n").GetNode(), nullptr);  // an attribute is no node
    EXPECT_TRUE(VexaHandle(nullptr).SelectNodes("//y").Empty());
    EXPECT_EQ(h.SelectNodes("//y").Size(), 2u);
}

TEST(XPathTreeTest, DetachedAndEditedTrees) {
    // Built by hand, without a document: the topmost node is the root.
    VexaElement top("top");
    VexaElement* a = static_cast<VexaElement*>(top.LinkEndChild(new VexaElement("a")));
    a->LinkEndChild(new VexaText("x"));
    a->LinkEndChild(new VexaText(""));
    a->LinkEndChild(new VexaText("y"));
    top.LinkEndChild(new VexaText(""));  // no characters: no text node
    EXPECT_EQ(Render(VexaXPath("/").Evaluate(*a)), "top");
    EXPECT_EQ(VexaXPath("count(/node())").EvaluateNumber(top), 1);
    EXPECT_EQ(VexaXPath("string(a/text())").EvaluateString(top), "xy");
    EXPECT_EQ(VexaXPath("count(//text())").EvaluateNumber(top), 1);
}

TEST(XPathTreeTest, StringFunctionsCountCharactersInUtf8AndBytesUnderLegacy) {
    const char text[] = "<a>h\xC3\xA9llo</a>";
    VexaDocument utf8;
    utf8.SetTextEncoding(VEXA_ENCODING_UTF8);
    utf8.Parse(text);
    VexaDocument legacy;
    legacy.SetTextEncoding(VEXA_ENCODING_LEGACY);
    legacy.Parse(text);
    const struct {
        const char* expr;
        const char* inUtf8;
        const char* inLegacy;
    } cases[] = {
        {"string-length(/a)", "5", "6"},
        {"substring(/a, 2, 1)", "\xC3\xA9", "\xC3"},
        {"translate(/a, '\xC3\xA9', 'e')", "hello", "hello"},
        {"translate(/a, '\xC3\xA9l', 'E')", "hEo", "hEo"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VexaXPath(c.expr).EvaluateString(utf8), c.inUtf8) << c.expr;
        EXPECT_EQ(VexaXPath(c.expr).EvaluateString(legacy), c.inLegacy) << c.expr;
    }
}

TEST(XPathHostileTest, DeepExpressionsFailToCompile) {
    const std::string deep[] = {
        std::string(100000, '(') + "1" + std::string(100000, ')'),
        std::string(100000, '-') + "1",
        "//x" + std::string(0, ' ') +
            [] {
                std::string s;
                for (int i = 0; i < 50000; ++i) s += "[x";
                for (int i = 0; i < 50000; ++i) s += "]";
                return s;
            }(),
        [] {
            std::string s = "1";
            for (int i = 0; i < 50000; ++i) s += "+1";
            return s;
        }(),
        [] {
            std::string s;
            for (int i = 0; i < 50000; ++i) s += "concat(";
            return s + "'a'";
        }(),
    };
    for (const std::string& e : deep) {
        VexaXPath q(e.c_str());
        EXPECT_EQ(q.ErrorCode(), VEXA_XPATH_DEPTH) << e.substr(0, 20);
    }
    // Just under the limit compiles and runs.
    std::string ok = "1";
    for (int i = 0; i < 150; ++i) ok = "(" + ok + "+1)";
    EXPECT_EQ(VexaXPath(ok.c_str()).EvaluateNumber(VexaDocument()), 151);
}

TEST(XPathHostileTest, DeepDocumentsWalkWithoutRecursion) {
    const int depth = 200000;
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<e>";
    text += "t";
    for (int i = 0; i < depth; ++i) text += "</e>";
    VexaDocument doc;
    doc.SetMaxDepth(depth + 1);
    doc.Parse(text.c_str());
    ASSERT_FALSE(doc.Error());
    const Case cases[] = {
        {"count(//e)", "200000"},
        {"count(//text()/ancestor::*)", "200000"},
        {"count(//e[not(e)]/preceding::node())", "0"},
        {"count((//e)[last()]/following::node())", "0"},
        {"count((//e)[last()]/node())", "1"},
        {"string-length(/)", "1"},
        {"count(//e[1])", "200000"},
        {"count(/e/descendant-or-self::node()/..)", "200001"},
    };
    TABLE(cases, [&](const char* e) { return Render(VexaXPath(e).Evaluate(doc)); });
}

}  // namespace

#endif  // VEXA_NO_XPATH
