// The two output forms of every kind side by side (indented print and
// compact stream), and saving a document to a file.
#include <initializer_list>

#include "test_util.h"

using namespace vexatest;

namespace {

typedef std::initializer_list<std::pair<const char*, const char*> > Attrs;
typedef std::initializer_list<VexaNode*> Kids;

template <class T>
T* With(T* node, Kids kids) {
    for (VexaNode* k : kids) node->LinkEndChild(k);
    return node;
}
VexaElement* El(const char* name, Attrs attrs = {}, Kids kids = {}) {
    VexaElement* e = new VexaElement(name);
    for (const auto& a : attrs) e->SetAttribute(a.first, a.second);
    return With(e, kids);
}
template <class T>
VexaNode* Leaf(const char* value) {
    T* node = new T();
    node->SetValue(value);
    return node;
}
VexaNode* Text(const char* value) { return new VexaText(value); }
VexaNode* Decl(const char* v, const char* e = "", const char* s = "") { return new VexaDeclaration(v, e, s); }

// The worked example, its six saved lines and its compact form.
VexaDocument* Example(const char* name = "") {
    return With(new VexaDocument(name), {Decl("1.0"), Leaf<VexaComment>("note"),
                                         El("root", {{"id", "7"}}, {El("item", {}, {Text("a<b")}), El("empty")})});
}
const char kExampleSaved[] =
    "<?xml version=\"1.0\" ?>\n<!--note-->\n<root id=\"7\">\n    <item>a&lt;b</item>\n    <empty />\n</root>\n";
const char kExampleStreamed[] = "<?xml version=\"1.0\" ?><!--note--><root id=\"7\"><item>a&lt;b</item><empty /></root>";

TEST(Print, EachKindInBothForms) {
    const struct {
        VexaBase* item;  // owned by the loop below
        int depth;
        const char* printed;
        const char* streamed;  // null: as printed
    } cases[] = {
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
    for (const auto& c : cases) {
        const std::unique_ptr<VexaBase> item(c.item);
        EXPECT_EQ(c.printed, Printed(*item, c.depth));
        EXPECT_EQ(c.streamed ? c.streamed : c.printed, Streamed(*item));
    }
}

TEST(Save, FileBytesAndFailures) {
    const std::string path = TempPath("save"), missing = path + "/no/such.xml";
    std::unique_ptr<VexaDocument> doc(Example(path.c_str()));
    EXPECT_EQ(kExampleSaved, Printed(*doc));
    EXPECT_EQ(kExampleStreamed, Compact(*doc));
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

}  // namespace
