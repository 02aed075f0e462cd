// The compact form through the free operators: a document's worth of
// output, appending to strings, and writing to streams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;
using vexatest::Compact;

namespace {

TEST(StreamOut, DocumentStopsAfterItsFirstElement) {
    const struct {
        const char* xml;
        const char* streamed;
    } cases[] = {
        // The worked example, read back from its saved form.
        {"<?xml version=\"1.0\" ?>\n<!--note-->\n<root id=\"7\">\n    <item>a&lt;b</item>\n    <empty />\n</root>\n"
         "<!--after-->\n",
         "<?xml version=\"1.0\" ?><!--note--><root id=\"7\"><item>a&lt;b</item><empty /></root>"},
        {"<!--a--> <x/> <!--b--> <y/>", "<!--a--><x />"},
        {"<x/><?xml version='2'?>", "<x />"},
        {"<?xml version='1.0'?><!--c--><!DOCTYPE d>", "<?xml version=\"1.0\" ?><!--c--><!DOCTYPE d>"},
        {"<a>\n  <b>text</b>\n  <!--a&lt;b-->\n</a>", "<a><b>text</b><!--a&lt;b--></a>"},
    };
    for (const auto& c : cases) {
        VexaDocument doc;
        doc.Parse(c.xml);
        ASSERT_FALSE(doc.Error()) << c.xml;
        EXPECT_EQ(c.streamed, Compact(doc)) << c.xml;
    }
}

TEST(StreamOut, OperatorsAppendAndChain) {
    VexaDocument doc;
    doc.Parse("<a k='v'>x<b/></a>");
    const VexaNode& a = *doc.FirstChild();
    const VexaNode& b = *a.LastChild();

    std::string s = "x";
    std::string& same = s << a << b;
    EXPECT_EQ(&s, &same);
    EXPECT_EQ("x<a k=\"v\">x<b /></a><b />", s);
    s << VexaDocument();  // an empty document adds nothing
    EXPECT_EQ("x<a k=\"v\">x<b /></a><b />", s);

    std::ostringstream out;
    out << "pre:";
    std::ostream& chained = out << doc << b;
    EXPECT_EQ(&out, &chained);
    EXPECT_EQ("pre:<a k=\"v\">x<b /></a><b />", out.str());

    // A failed stream takes nothing and nothing breaks.
    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    failed << doc;
    EXPECT_EQ("", failed.str());
}

}  // namespace
