// Hostile input: huge values, huge fan-out, every byte value, and every
// truncation of a document. None may crash, hang, fire an assertion or be
// taken for success. The large cases are in HostileSize so that slow runners
// (valgrind) can leave them out; 100,000-deep nesting against the limit is
// in StreamIn.NestingLimit and ParseErrors.NestingDepth, entity bombs in
// ParseText.TreeShapes.

#include <cctype>
#include <climits>
#include <functional>

#include "test_util.h"

using namespace vexatest;

// A million levels, as deep as the limit allows: nothing walks the tree on
// the call stack, so parsing, reading a stream, copying, writing and
// destroying take no stack in proportion to the depth.
TEST(HostileSize, MillionDeep) {
    const size_t n = 1000000;
    const std::string text = Nest(n);
    // The compact form closes the innermost element on its own.
    const std::string compact = Repeat("<a>", n - 1) + "<a />" + Repeat("</a>", n - 1);
    VexaPrintOptions flat;  // without indentation the printed form stays linear
    flat.indent = "";
    flat.lineBreak = "";

    VexaDocument parsed;
    parsed.SetMaxDepth(INT_MAX);
    parsed.Parse(text.c_str());
    ASSERT_FALSE(parsed.Error()) << parsed.ErrorText();
    std::istringstream in(text + "R");
    VexaDocument streamed;
    streamed.SetMaxDepth(INT_MAX);
    in >> streamed;
    ASSERT_FALSE(streamed.Error()) << streamed.ErrorText();
    EXPECT_EQ("R", std::string(std::istreambuf_iterator<char>(in), {}));

    // Built in code, the same tree.
    VexaDocument built;
    VexaNode* parent = &built;
    for (size_t i = 0; i < n; ++i) parent = parent->LinkEndChild(new VexaElement("a"));

    for (const VexaDocument* doc : {&parsed, &streamed, &built}) {
        size_t depth = 0;
        for (const VexaNode* node = doc->FirstChild(); node; node = node->FirstChild()) ++depth;
        EXPECT_EQ(n, depth);
        EXPECT_TRUE(Compact(*doc) == compact);
        std::string out;
        doc->PrintTo(&out, flat);
        EXPECT_TRUE(out == compact);  // the same bytes, with no indent and no line break
        const std::unique_ptr<VexaNode> copy(doc->Clone());
        EXPECT_TRUE(Compact(*copy) == compact);
        std::ostringstream stream;
        stream << *copy->FirstChild();
        EXPECT_TRUE(stream.str() == compact);
    }
    // Deleting a deep subtree through its parent.
    EXPECT_TRUE(built.RemoveChild(built.FirstChild()));
    EXPECT_EQ(nullptr, built.FirstChild());
}

TEST(HostileSize, HugeValuesAndFanOutAreKeptWhole) {
    const size_t big = 20u << 20;
    const std::string value(big, 'v');
    std::string attributes;
    for (int i = 0; i < 200000; ++i) attributes += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    // The checks compare without printing: a failure would show 20 MB.
    const std::tuple<const char*, std::string, std::function<void(const VexaDocument&)>> cases[] = {
        {"attribute value", "<r a=\"" + value + "\"/>",
         [&](const VexaDocument& d) { EXPECT_TRUE(d.FirstChildElement()->Attribute("a") == value); }},
        {"text run", "<r>" + value + "</r>",
         [&](const VexaDocument& d) { EXPECT_TRUE(d.FirstChildElement()->FirstChild()->ValueStr() == value); }},
        {"200000 attributes", "<r" + attributes + "/>",
         [](const VexaDocument& d) {
             size_t n = 0;
             for (const VexaAttribute* a = d.FirstChildElement()->FirstAttribute(); a; a = a->Next()) ++n;
             EXPECT_EQ(n, 200000u);
             EXPECT_STREQ(d.FirstChildElement()->Attribute("a199999"), "199999");
         }},
        {"1000000 siblings", "<r>" + Repeat("<s/>", 1000000) + "</r>",
         [](const VexaDocument& d) { EXPECT_EQ(CountChildren(*d.FirstChildElement()), 1000000u); }},
    };
    for (const auto& [what, text, check] : cases) {
        SCOPED_TRACE(what);
        VexaDocument doc, again;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorText();
        check(doc);
        again.Parse(Compact(doc).c_str());  // written out and read back, the tree is the same
        ASSERT_FALSE(again.Error()) << again.ErrorText();
        check(again);
    }
    // Among many, a repeated name is still caught, and the first takes its value.
    VexaDocument repeated;
    repeated.Parse(("<r" + attributes + " a77='again'/>").c_str());
    EXPECT_EQ(repeated.ErrorCode(), VEXA_ERROR_ATTRIBUTES);
    EXPECT_STREQ(repeated.FirstChildElement()->Attribute("a77"), "again");
}

// Bytes beyond ASCII are name characters whatever the locale.
static bool IsNameChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || std::isalnum(u) || (c && std::strchr("_-.:", c));
}

// Each byte in each place: the tree it gives (as its children's dump, from
// the byte and the byte escaped), "" for an error; written and read back,
// the tree stays the same.
TEST(Hostile, EveryByteValueInEveryPlace) {
    typedef const std::string& S;
    const std::tuple<const char*, const char*, std::string (*)(char c, S e)> cases[] = {
        {"<r", "s/>", [](char c, S e) { return IsNameChar(c) ? "element 'r" + e + "s'\n" : ""; }},
        {"<r a", "b='v'/>",
         [](char c, S e) {
             return c == '=' ? "element 'r' a='b='v''\n" : IsNameChar(c) ? "element 'r' a" + e + "b='v'\n" : "";
         }},
        {"<r a=\"x", "y\"/>",
         [](char c, S e) {
             return c == 0 || c == '"'                    ? ""
                    : c == '\t' || c == '\n' || c == '\r' ? "element 'r' a='x y'\n"  // read as XML reads values
                                                          : "element 'r' a='x" + e + "y'\n";
         }},
        {"<r>x", "y</r>",
         [](char c, S e) {
             return c == 0 || c == '<'                   ? ""
                    : c && std::strchr(" \t\n\r\v\f", c) ? "element 'r'\n  text 'x y'\n"
                                                         : "element 'r'\n  text 'x" + e + "y'\n";
         }},
        {"<!--x", "y--><r/>", [](char c, S e) { return c ? "comment 'x" + e + "y'\nelement 'r'\n" : ""; }},
    };
    for (const auto& [before, after, expect] : cases) {
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            SCOPED_TRACE(std::string(before) + ", byte " + std::to_string(b));
            VexaDocument doc, again;
            doc.Parse((before + std::string(1, c) + after).c_str());  // a zero byte ends the text there
            const std::string expected = expect(c, Escaped(std::string(1, c)));
            EXPECT_EQ(expected.empty(), doc.Error()) << doc.ErrorText();
            if (expected.empty()) continue;
            EXPECT_EQ(expected, DumpChildren(doc));
            again.Parse(Compact(doc).c_str());
            EXPECT_EQ(Dump(again), Dump(doc));
        }
    }
}

TEST(Hostile, EveryTruncationInsideTheRootIsAnError) {
    const std::string prolog =
        "<?xml version=\"1.0\" encoding='UTF-8'?>\n<!-- prolog -->\n<!DOCTYPE r [ <!ENTITY e \"]>\"> ]>\n";
    const std::string root =
        "<r a=\"1\" b='two words' c=bare>\n  text &amp; more &#x41;\n  <child x=\"&lt;\"/>\n"
        "  <!-- inner -- comment -->\n  <![CDATA[ <raw> ]]>\n  <?pi x?>\n"
        "  <mixed>a <b>bold</b> c</mixed>\n  <deep><er><est>t</est></er></deep>\n</r>";
    const std::string sample = prolog + root;
    for (bool stream : {false, true}) {
        for (size_t n = 0; n <= sample.size(); ++n) {
            SCOPED_TRACE((stream ? "stream, " : "buffer, ") + std::to_string(n) + " bytes");
            VexaDocument doc;
            const std::string text = sample.substr(0, n);
            std::istringstream in(text);
            if (stream) in >> doc;
            if (!stream) doc.Parse(text.c_str());
            // The root element is recognised from its name's first letter on.
            EXPECT_TRUE(n < prolog.size() + 2 || doc.Error() == (n < sample.size())) << doc.ErrorText();
        }
    }
}
