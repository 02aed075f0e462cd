// Hostile input: deep nesting, huge values, huge fan-out, entity bombs,
// every byte value, and every truncation of a document. None may crash,
// hang, fire an assertion or be taken for success. The large cases are in
// HostileSize so that slow runners (valgrind) can leave them out.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;

namespace {

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

void ParseVia(bool stream, const std::string& text, VexaDocument* doc) {
    if (stream) {
        std::istringstream in(text);
        in >> *doc;
    } else {
        doc->Parse(text.c_str());
    }
}

size_t CountChildren(const VexaNode& node) {
    size_t n = 0;
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) ++n;
    return n;
}

TEST(HostileSize, DeepNestingStopsAtTheLimitInBothReaders) {
    const std::string deep = Repeat("<a>", 100000) + "x" + Repeat("</a>", 100000);
    for (bool stream : {false, true}) {
        VexaDocument doc;
        ParseVia(stream, deep, &doc);
        EXPECT_EQ(doc.ErrorCode(), VEXA_ERROR_DEPTH) << (stream ? "stream" : "buffer");
    }
}

TEST(HostileSize, HugeValuesAndFanOutAreKeptWhole) {
    const size_t big = 20u << 20;
    const std::string value(big, 'v');
    std::string attributes;
    for (int i = 0; i < 200000; ++i) attributes += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    // The checks compare without printing: a failure would show 20 MB.
    struct Case {
        const char* what;
        std::string text;
        std::function<void(const VexaDocument&)> check;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VexaDocument doc;
        doc.Parse(c.text.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorText();
        c.check(doc);
        // Written out and read back, the tree is the same.
        VexaDocument again;
        again.Parse(vexatest::Compact(doc).c_str());
        ASSERT_FALSE(again.Error()) << again.ErrorText();
        c.check(again);
    }
}

TEST(Hostile, EntitiesThatReferToEachOtherAreNeverExpanded) {
    const std::string subset =
        "!DOCTYPE r [ <!ENTITY a \"&b;&b;&b;&b;\"> <!ENTITY b \"&a;&a;&a;&a;\">"
        " <!ENTITY l1 \"lol\"> <!ENTITY l2 \"&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;\"> ]";
    VexaDocument doc;
    doc.Parse(("<" + subset + "><r>&a;&l2;</r>").c_str());
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    ASSERT_TRUE(doc.FirstChild()->ToUnknown());
    EXPECT_EQ(doc.FirstChild()->ValueStr(), subset);
    EXPECT_EQ(doc.FirstChildElement()->FirstChild()->ValueStr(), "&a;&l2;");
}

// Where a byte is put, and what the tree then holds ("" for an error).
struct ByteCase {
    const char* where;
    const char* before;
    const char* after;
    std::function<std::string(const VexaDocument&)> read;
    std::function<std::string(char)> expect;
};

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("_-.:", c)); }
bool IsSpace(char c) { return c && std::strchr(" \t\n\r\v\f", c); }
std::string Wrap(char c) { return std::string("x") + c + "y"; }

TEST(Hostile, EveryByteValueInEveryPlace) {
    const auto root = [](const VexaDocument& d) { return d.FirstChildElement(); };
    const ByteCase cases[] = {
        {"element name", "<r", "s/>", [&](const VexaDocument& d) { return root(d)->ValueStr(); },
         [](char c) { return IsNameChar(c) ? std::string("r") + c + "s" : ""; }},
        {"attribute name", "<r a", "b='v'/>",
         [&](const VexaDocument& d) {
             return std::string(root(d)->FirstAttribute()->Name()) + "=" + root(d)->FirstAttribute()->Value();
         },
         [](char c) { return c == '='        ? std::string("a=b='v'")
                             : IsNameChar(c) ? std::string("a") + c + "b=v"
                                             : ""; }},
        {"attribute value", "<r a=\"x", "y\"/>",
         [&](const VexaDocument& d) { return std::string(root(d)->Attribute("a")); },
         [](char c) { return c == 0 || c == '"' ? "" : Wrap(c); }},
        {"text", "<r>x", "y</r>", [&](const VexaDocument& d) { return root(d)->FirstChild()->ValueStr(); },
         [](char c) { return c == 0 || c == '<' ? ""
                             : IsSpace(c)       ? "x y"
                                                : Wrap(c); }},
        {"comment", "<!--x", "y--><r/>", [](const VexaDocument& d) { return d.FirstChild()->ValueStr(); },
         [](char c) { return c == 0 ? std::string("x") : Wrap(c); }},
    };
    for (const ByteCase& bc : cases) {
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            SCOPED_TRACE(std::string(bc.where) + ", byte " + std::to_string(b));
            const std::string text = std::string(bc.before) + c + bc.after;
            VexaDocument doc;
            doc.Parse(text.c_str());  // a zero byte ends the text there
            const std::string expected = bc.expect(c);
            if (expected.empty()) {
                EXPECT_TRUE(doc.Error());
                continue;
            }
            ASSERT_FALSE(doc.Error()) << doc.ErrorText();
            EXPECT_EQ(bc.read(doc), expected);
            VexaDocument again;
            again.Parse(vexatest::Compact(doc).c_str());
            EXPECT_EQ(vexatest::Dump(again), vexatest::Dump(doc));
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
            ParseVia(stream, sample.substr(0, n), &doc);
            // The root element is recognised from its name's first letter on.
            if (n >= prolog.size() + 2) {
                EXPECT_EQ(doc.Error(), n < sample.size()) << doc.ErrorText();
            }
        }
    }
}

}  // namespace
