// The compact form through the free operators: a document's worth of
// output, appending to strings, and writing to streams.
#include "test_util.h"

using namespace vexatest;

// The worked example, read back from its saved form: the compact form ends
// with the first element.
TEST(StreamOut, WorkedExampleStopsAfterItsFirstElement) {
    VexaDocument doc;
    doc.Parse(
        "<?xml version=\"1.0\" ?>\n<!--note-->\n<root id=\"7\">\n    <item>a&lt;b</item>\n    <empty />\n</root>\n"
        "<!--after-->\n<other/>");
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    EXPECT_EQ("<?xml version=\"1.0\" ?><!--note--><root id=\"7\"><item>a&lt;b</item><empty /></root>", Compact(doc));
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
