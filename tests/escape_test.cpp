// Escaping for output: the five markup characters, character references
// passed through or not, and bytes outside printable ASCII.
#include <algorithm>

#include "test_util.h"

using ORMELA::VexaBase;

static const struct {
    std::string in;
    std::string out;
} kEscapes[] = {
    {"", ""},
    {"plain 0-9 ~", "plain 0-9 ~"},
    {"&<>\"'", "&amp;&lt;&gt;&quot;&apos;"},
    {"&amp;", "&amp;amp;"},  // named entities are text like any other
    // A well-formed hexadecimal reference is taken as already written.
    {"a&#xe9;b&#x1F600;", "a&#xe9;b&#x1F600;"},
    // Anything else after "&#x" could smuggle markup out: the '&' is escaped
    // and the walk goes on with the next character.
    {"&#x<evil/>", "&amp;#x&lt;evil/&gt;"},
    {"&#x\"><x y=\"", "&amp;#x&quot;&gt;&lt;x y=&quot;"},
    {"&#x;", "&amp;#x;"},
    {"&#xZZ;", "&amp;#xZZ;"},
    {"&#x41", "&amp;#x41"},
    {"&#x<&#x41;", "&amp;#x&lt;&#x41;"},
    {"&#X41;", "&amp;#X41;"},
    {"&#65;", "&amp;#65;"},
    {"a&", "a&amp;"},
    {"&#x", "&amp;#x"},
    {"\t\n\r", "&#x09;&#x0A;&#x0D;"},
    {"\x01\x1F\x7F", "&#x01;&#x1F;&#x7F;"},
    {"caf\xE9 \x80\xFF", "caf&#xE9; &#x80;&#xFF;"},
    {std::string("a\0b", 3), "a&#x00;b"},
    {std::string(70000, 'z') + "<", std::string(70000, 'z') + "&lt;"},
};

TEST(Escape, EveryRuleBothForms) {
    for (const auto& c : kEscapes) {
        std::string out = "kept<&";
        VexaBase::PutString(c.in, &out);
        EXPECT_EQ("kept<&" + c.out, out) << c.in;

        std::ostringstream stream;
        stream << "pre";
        VexaBase::PutString(c.in, &stream);
        EXPECT_EQ("pre" + c.out, stream.str()) << c.in;

        // Whatever the input, what is appended is printable ASCII that can
        // neither open or close markup nor end a quoted value.
        const std::string added = out.substr(6);
        EXPECT_TRUE(std::all_of(added.begin(), added.end(), [](char ch) { return ch >= 0x20 && ch <= 0x7E; }));
        EXPECT_EQ(std::string::npos, added.find_first_of("<>\"'")) << c.in;
    }
}
