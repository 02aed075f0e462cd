// Output: escaping, the two forms of every kind side by side (indented print
// and compact stream), the free operators, and saving a document to a file.
#include <algorithm>
#include <initializer_list>

#include "test_util.h"

using namespace vexatest;

// Escaping: the five markup characters, character references passed
// through or not, and bytes outside printable ASCII.
static const std::pair<std::string, std::string> kEscapes[] = {
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
    for (const auto& [in, escaped] : kEscapes) {
        std::string out = "kept<&";
        VexaBase::PutString(in, &out);
        EXPECT_EQ("kept<&" + escaped, out) << in;

        std::ostringstream stream;
        stream << "pre";
        VexaBase::PutString(in, &stream);
        EXPECT_EQ("pre" + escaped, stream.str()) << in;

        // Whatever the input, what is appended is printable ASCII that can
        // neither open or close markup nor end a quoted value.
        const std::string added = out.substr(6);
        EXPECT_TRUE(std::all_of(added.begin(), added.end(), [](char ch) { return ch >= 0x20 && ch <= 0x7E; }));
        EXPECT_EQ(std::string::npos, added.find_first_of("<>\"'")) << in;
    }
}

typedef std::initializer_list<std::pair<const char*, const char*> > Attrs;
typedef std::initializer_list<VexaNode*> Kids;

template <class T>
static T* With(T* node, Kids kids) {
    for (VexaNode* k : kids) node->LinkEndChild(k);
    return node;
}
static VexaElement* El(const char* name, Attrs attrs = {}, Kids kids = {}) {
    VexaElement* e = new VexaElement(name);
    for (const auto& a : attrs) e->SetAttribute(a.first, a.second);
    return With(e, kids);
}
template <class T>
static VexaNode* Leaf(const char* value) {
    T* node = new T();
    node->SetValue(value);
    return node;
}
static VexaNode* Text(const char* value) { return new VexaText(value); }
static VexaNode* Decl(const char* v, const char* e = "", const char* s = "") { return new VexaDeclaration(v, e, s); }

// The worked example, its six saved lines and its compact form.
static VexaDocument* Example(const char* name = "") {
    return With(new VexaDocument(name), {Decl("1.0"), Leaf<VexaComment>("note"),
                                         El("root", {{"id", "7"}}, {El("item", {}, {Text("a<b")}), El("empty")})});
}
const char kExampleSaved[] =
    "<?xml version=\"1.0\" ?>\n<!--note-->\n<root id=\"7\">\n    <item>a&lt;b</item>\n    <empty />\n</root>\n";
const char kExampleStreamed[] = "<?xml version=\"1.0\" ?><!--note--><root id=\"7\"><item>a&lt;b</item><empty /></root>";

TEST(Print, EachKindInBothForms) {
    // The item (owned by the loop below), the depth, its printed form and its
    // streamed form, null when the same.
    const std::tuple<VexaBase*, int, const char*, const char*> cases[] = {
        {Text("a<b&c\n\xE9"), 3, "a&lt;b&amp;c&#x0A;&#xE9;", nullptr},
        {Leaf<VexaComment>("a<b & \"c\"\n"), 1, "    <!--a<b & \"c\"\n-->", "<!--a&lt;b &amp; &quot;c&quot;&#x0A;-->"},
        {Leaf<VexaUnknown>("!DOCTYPE x & y"), 1, "    <!DOCTYPE x & y>", "<!DOCTYPE x & y>"},
        {Decl(""), 2, "<?xml ?>", nullptr},
        {Decl("1.0", "e", "yes"), 0, "<?xml version=\"1.0\" encoding=\"e\" standalone=\"yes\" ?>", nullptr},
        {Decl("a&b", "", "<\"\n"), 0, "<?xml version=\"a&b\" standalone=\"<\"\n\" ?>",
         "<?xml version=\"a&amp;b\" standalone=\"&lt;&quot;&#x0A;\" ?>"},
        {new VexaAttribute("n", "a\"b"), 4, "n='a&quot;b'", nullptr},
        {El("a", {{"k", "v"}}), 2, "        <a k=\"v\" />", "<a k=\"v\" />"},
        // Quotes follow the value as held; names are escaped, element names not.
        {El("x<y", {{"t", "a\"b"}, {"s", "it's"}, {"u", "'\""}, {"n&m", "<\t>"}}), 0,
         "<x<y t='a&quot;b' s=\"it&apos;s\" u='&apos;&quot;' n&amp;m=\"&lt;&#x09;&gt;\" />", nullptr},
        {El("a", {}, {Text("")}), 0, "<a></a>", nullptr},
        {El("a", {}, {Text("x y")}), 1, "    <a>x y</a>", "<a>x y</a>"},
        {El("a", {}, {Leaf<VexaComment>("c")}), 0, "<a>\n    <!--c-->\n</a>", "<a><!--c--></a>"},
        // The mixed-content example.
        {El("p", {}, {Text("Hi "), El("b", {}, {Text("x")}), Text(" there")}), 0, "<p>Hi \n    <b>x</b> there\n</p>",
         "<p>Hi <b>x</b> there</p>"},
        // Declarations and text inside elements take no indentation.
        {El("a", {}, {Decl("1"), Text("t"), El("b", {}, {El("c")}), Leaf<VexaUnknown>("?pi")}), 1,
         "    <a>\n<?xml version=\"1\" ?>t\n        <b>\n            <c />\n        </b>\n        <?pi>\n    </a>",
         "<a><?xml version=\"1\" ?>t<b><c /></b><?pi></a>"},
        // Negative depths indent only the levels that reach 1.
        {El("a", {}, {El("b", {}, {El("c", {}, {El("d")})})}), -2, "<a>\n<b>\n<c>\n    <d />\n</c>\n</b>\n</a>",
         "<a><b><c><d /></c></b></a>"},
        {new VexaDocument(), 0, "", nullptr},
        {With(new VexaDocument(), {Leaf<VexaComment>("a"), El("r"), Leaf<VexaComment>("b")}), 1,
         "    <!--a-->\n    <r />\n    <!--b-->\n", "<!--a--><r />"},
        {With(new VexaDocument(), {Decl("1.0"), Leaf<VexaUnknown>("!x")}), 0, "<?xml version=\"1.0\" ?>\n<!x>\n",
         "<?xml version=\"1.0\" ?><!x>"},
    };
    for (const auto& [owned, depth, printed, streamed] : cases) {
        const std::unique_ptr<VexaBase> item(owned);
        EXPECT_EQ(printed, Printed(*item, depth));
        EXPECT_EQ(streamed ? streamed : printed, Streamed(*item));
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

TEST(Save, FileBytesAndFailures) {
    const std::string path = TempPath("save"), missing = path + "/no/such.xml";
    std::unique_ptr<VexaDocument> doc(Example(path.c_str()));
    EXPECT_EQ(kExampleSaved, Printed(*doc));
    EXPECT_EQ(kExampleStreamed, Compact(*doc));
    VexaDocument read;  // read back, more after it: the compact form ends with the first element
    read.Parse((kExampleSaved + std::string("<!--after-->\n<other/>")).c_str());
    EXPECT_EQ(kExampleStreamed, Compact(read));
    EXPECT_TRUE(doc->SaveFile());
    EXPECT_EQ(kExampleSaved, ReadFile(path));
    EXPECT_FALSE(doc->SaveFile(missing.c_str()));
    std::FILE* full = std::fopen("/dev/full", "w");
    const bool devFull = full && std::fclose(full) == 0;
    EXPECT_FALSE(devFull && doc->SaveFile("/dev/full"));  // a failed flush counts too
    EXPECT_FALSE(doc->Error());                           // failures are not recorded on the document...
    doc->SetError(VEXA_ERROR_GENERIC, nullptr, nullptr);
    EXPECT_TRUE(doc->SaveFile(path.c_str()));
    EXPECT_EQ(VEXA_ERROR_GENERIC, doc->ErrorCode());  // ...and do not clear one

    VexaDocument empty;
    EXPECT_FALSE(empty.SaveFile());  // no name
    EXPECT_TRUE(empty.SaveFile(path.c_str()));
    EXPECT_EQ("", ReadFile(path));  // truncated, not appended to

    // Larger than the output buffer: written, streamed and failing mid-way.
    VexaDocument big;
    VexaNode* root = big.LinkEndChild(El("r"));
    for (int i = 0; i < 20000; ++i) root->LinkEndChild(El("c", {{"i", "\""}}, {Text("x<y")}));
    EXPECT_TRUE(big.SaveFile(path.c_str()));
    // Compared whole: a line diff of strings this size would take minutes.
    EXPECT_TRUE("<r>" + Repeat("\n    <c i='&quot;'>x&lt;y</c>", 20000) + "\n</r>\n" == ReadFile(path));
    EXPECT_TRUE("<r>" + Repeat("<c i='&quot;'>x&lt;y</c>", 20000) + "</r>" == Streamed(big));
    EXPECT_FALSE(devFull && big.SaveFile("/dev/full"));
    std::remove(path.c_str());
}
