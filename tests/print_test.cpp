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

// Where two long outputs first differ; npos when they are equal.
static size_t FirstDifference(const std::string& a, const std::string& b) {
    const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return m.first == a.end() && m.second == b.end() ? std::string::npos : static_cast<size_t>(m.first - a.begin());
}

// What the writer should make of text without character references (those
// are in kEscapes), one byte at a time: the five entities, and references
// for controls, DEL and, by the classic rules, every byte beyond ASCII.
static std::string ByteByByte(const std::string& s, bool bytesBeyondAscii) {
    std::string out;
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const char* entity = c == '&'    ? "&amp;"
                             : c == '<'  ? "&lt;"
                             : c == '>'  ? "&gt;"
                             : c == '"'  ? "&quot;"
                             : c == '\'' ? "&apos;"
                                         : nullptr;
        char reference[8];
        if (!entity && (c < 0x20 || c == 0x7F || (c >= 0x80 && !bytesBeyondAscii))) {
            std::snprintf(reference, sizeof reference, "&#x%02X;", c);
            entity = reference;
        }
        if (entity) {
            out += entity;
        } else {
            out += ch;
        }
    }
    return out;
}

// The compact form of <r s="s">s</r> (the name too is s) in a document of
// the given encoding, and what it should be.
static std::string StreamedAsNameValueAndText(const std::string& s, int encoding) {
    VexaDocument doc;
    doc.SetTextEncoding(encoding);
    VexaElement* root = new VexaElement("r");
    root->SetAttribute(s.c_str(), s.c_str());
    root->LinkEndChild(new VexaText(s.c_str()));
    doc.LinkEndChild(root);
    return Compact(doc);
}
static std::string ExpectedNameValueAndText(const std::string& s, int encoding) {
    const bool keep = encoding != VEXA_ENCODING_LEGACY;  // names keep their bytes in every encoding
    const char quote = s.find('"') != std::string::npos ? '\'' : '"';
    return "<r " + ByteByByte(s, true) + "=" + quote + ByteByByte(s, keep) + quote + ">" + ByteByByte(s, keep) + "</r>";
}

const int kEncodings[] = {VEXA_ENCODING_UTF8, VEXA_ENCODING_LEGACY, VEXA_ENCODING_RAW};

TEST(Escape, EachPositionOfABlock) {
    // Output looks for bytes to escape a block of sixteen (or eight) bytes at
    // a time, and in shorter runs as two overlapping halves: one such byte at
    // each position of runs from empty to three blocks long, amid bytes that
    // are next to them in the code table but written as they are.
    const std::string kEscaped = "&<>\"'\t\n\x01\x1F\x7F\x80\xA6\xFF";
    for (const int encoding : kEncodings) {
        const std::string plain =
            std::string("a $%(;=?@~!Z") + (encoding == VEXA_ENCODING_LEGACY ? "" : "\xA2\xBC\xBE\xC3\xE9");
        for (size_t length = 0; length <= 48; ++length) {
            std::string s(length, ' ');
            for (size_t i = 0; i < length; ++i) s[i] = plain[(i + length) % plain.size()];
            SCOPED_TRACE(std::to_string(encoding) + " " + Escaped(s));
            EXPECT_EQ(ExpectedNameValueAndText(s, encoding), StreamedAsNameValueAndText(s, encoding));
            for (size_t at = 0; at < length; ++at) {
                for (const char c : kEscaped) {
                    std::string one = s;
                    one[at] = c;
                    ASSERT_EQ(ExpectedNameValueAndText(one, encoding), StreamedAsNameValueAndText(one, encoding))
                        << Escaped(one);
                }
            }
        }
    }
}

TEST(Escape, RunsAcrossTheWritersBuffer) {
    // The writer holds 32 KiB; a value's quote is decided in the pass that
    // escapes it while its longest escaped form fits, else by a search
    // first. Values of each kind, several to an element, so that the buffer
    // fills at different points.
    const size_t kLengths[] = {15, 1000, 5459, 5460, 40000};
    for (const int encoding : kEncodings) {
        for (const size_t length : kLengths) {
            std::string plain(length, ' ');
            for (size_t i = 0; i < length; ++i) plain[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
            const std::string values[] = {
                plain,
                plain.substr(1) + "\"",        // the double quote only at the end
                "'" + plain.substr(2) + "\"",  // both quote kinds
                std::string(length, '"'),      // every byte at its longest escaped form
                std::string(length / 2, '<') + "\n" + std::string(length - length / 2 - 1, '\xE9'),
            };
            for (const std::string& value : values) {
                SCOPED_TRACE(std::to_string(encoding) + " " + std::to_string(length) + " " +
                             Escaped(value.substr(0, 8)));
                const std::string quote = value.find('"') != std::string::npos ? "'" : "\"";
                const std::string escaped = ByteByByte(value, encoding != VEXA_ENCODING_LEGACY);
                VexaDocument doc;
                doc.SetTextEncoding(encoding);
                VexaElement* root = new VexaElement("r");
                std::string expected = "<r";
                for (int i = 0; i < 4; ++i) {
                    // Names of different lengths move the buffer's end.
                    const std::string name = std::string(static_cast<size_t>(i) * 7 + 1, 'n');
                    root->SetAttribute(name.c_str(), value.c_str());
                    expected += " " + name + "=" + quote + escaped + quote;
                }
                root->LinkEndChild(new VexaText(value.c_str()));
                doc.LinkEndChild(root);
                expected += ">" + escaped + "</r>";
                EXPECT_EQ(std::string::npos, FirstDifference(expected, Compact(doc)));
                std::string printed;
                doc.PrintTo(&printed);
                EXPECT_EQ(std::string::npos, FirstDifference(expected + "\n", printed));
            }
        }
    }
}

TEST(Escape, ValueThatEndsTheWritersBuffer) {
    // A value written in one pass must find room for its longest escaped
    // form, or its quote would be decided after part of it was handed on:
    // values that grow fourfold and sixfold, the double quote late, starting
    // at every position near the end of the writer's buffer.
    const std::string value = std::string(10, '<') + std::string(10, '"');
    const std::string escaped = ByteByByte(value, true);
    for (size_t fill = 32768 - 200; fill <= 32768 - 50; ++fill) {
        SCOPED_TRACE(fill);
        const std::string before(fill, 'x');
        VexaElement root("r");
        root.SetAttribute("a", before.c_str());
        root.SetAttribute("b", value.c_str());
        const std::string expected = "<r a=\"" + before + "\" b='" + escaped + "' />";
        EXPECT_EQ(std::string::npos, FirstDifference(expected, Compact(root)));
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
        // A field that would not read back as it is is escaped in both forms.
        {Decl("a&b", "", "<\"\n"), 0, "<?xml version=\"a&amp;b\" standalone=\"&lt;&quot;&#x0A;\" ?>", nullptr},
        {Decl("a<b", "", "c>d"), 0, "<?xml version=\"a<b\" standalone=\"c>d\" ?>",
         "<?xml version=\"a&lt;b\" standalone=\"c&gt;d\" ?>"},
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

// A classic "&#x00;" puts a zero byte in a parsed value: an attribute is
// written up to it, as Value() gives it, and so is its copy.
TEST(Print, AttributeValueWithAZeroByte) {
    VexaDocument doc;
    doc.SetTextEncoding(VEXA_ENCODING_LEGACY);
    doc.Parse("<e a='x&#x00;y' b='z'/>");
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    std::string compact;
    compact << doc;
    EXPECT_EQ("<e a=\"x\" b=\"z\" />", compact);
    const std::unique_ptr<VexaNode> copy(doc.Clone());
    std::string copied;
    copied << *copy;
    EXPECT_EQ(compact, copied);
    std::string printed, printedCopy;
    doc.PrintTo(&printed);
    copy->PrintTo(&printedCopy);
    EXPECT_EQ(printed, printedCopy);
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

// --------------------------------------------------- layouts of the indented form

// Every kind of node, nested three levels deep. The text holds four spaces
// and an escaped line break, which no layout touches.
static VexaDocument* EveryKind() {
    return With(new VexaDocument(),
                {Decl("1.0"), Leaf<VexaComment>("c"), Leaf<VexaUnknown>("!DOCTYPE r"),
                 El("r", {{"a", "1"}},
                    {Text("t<"), El("e"), El("p", {}, {Text("x    y\n")}),
                     El("q", {}, {Leaf<VexaComment>("in"), El("s", {}, {El("z")})}), Leaf<VexaUnknown>("?pi")})});
}

struct Layout {
    const char* indent;
    const char* lineBreak;
    const char* expected;
};

const Layout kLayouts[] = {
    {"    ", "\n",
     "<?xml version=\"1.0\" ?>\n"
     "<!--c-->\n"
     "<!DOCTYPE r>\n"
     "<r a=\"1\">t&lt;\n"
     "    <e />\n"
     "    <p>x    y&#x0A;</p>\n"
     "    <q>\n"
     "        <!--in-->\n"
     "        <s>\n"
     "            <z />\n"
     "        </s>\n"
     "    </q>\n"
     "    <?pi>\n"
     "</r>\n"},
    {"  ", "\n",
     "<?xml version=\"1.0\" ?>\n"
     "<!--c-->\n"
     "<!DOCTYPE r>\n"
     "<r a=\"1\">t&lt;\n"
     "  <e />\n"
     "  <p>x    y&#x0A;</p>\n"
     "  <q>\n"
     "    <!--in-->\n"
     "    <s>\n"
     "      <z />\n"
     "    </s>\n"
     "  </q>\n"
     "  <?pi>\n"
     "</r>\n"},
    {"\t", "\n",
     "<?xml version=\"1.0\" ?>\n"
     "<!--c-->\n"
     "<!DOCTYPE r>\n"
     "<r a=\"1\">t&lt;\n"
     "\t<e />\n"
     "\t<p>x    y&#x0A;</p>\n"
     "\t<q>\n"
     "\t\t<!--in-->\n"
     "\t\t<s>\n"
     "\t\t\t<z />\n"
     "\t\t</s>\n"
     "\t</q>\n"
     "\t<?pi>\n"
     "</r>\n"},
    {"", "\n",
     "<?xml version=\"1.0\" ?>\n"
     "<!--c-->\n"
     "<!DOCTYPE r>\n"
     "<r a=\"1\">t&lt;\n"
     "<e />\n"
     "<p>x    y&#x0A;</p>\n"
     "<q>\n"
     "<!--in-->\n"
     "<s>\n"
     "<z />\n"
     "</s>\n"
     "</q>\n"
     "<?pi>\n"
     "</r>\n"},
    {"    ", "\r\n",
     "<?xml version=\"1.0\" ?>\r\n"
     "<!--c-->\r\n"
     "<!DOCTYPE r>\r\n"
     "<r a=\"1\">t&lt;\r\n"
     "    <e />\r\n"
     "    <p>x    y&#x0A;</p>\r\n"
     "    <q>\r\n"
     "        <!--in-->\r\n"
     "        <s>\r\n"
     "            <z />\r\n"
     "        </s>\r\n"
     "    </q>\r\n"
     "    <?pi>\r\n"
     "</r>\r\n"},
    {"\t", "\r\n",
     "<?xml version=\"1.0\" ?>\r\n"
     "<!--c-->\r\n"
     "<!DOCTYPE r>\r\n"
     "<r a=\"1\">t&lt;\r\n"
     "\t<e />\r\n"
     "\t<p>x    y&#x0A;</p>\r\n"
     "\t<q>\r\n"
     "\t\t<!--in-->\r\n"
     "\t\t<s>\r\n"
     "\t\t\t<z />\r\n"
     "\t\t</s>\r\n"
     "\t</q>\r\n"
     "\t<?pi>\r\n"
     "</r>\r\n"},
    // Longer pieces than a level's usual few bytes, and null for nothing.
    {"-->", "<br/>\n",
     "<?xml version=\"1.0\" ?><br/>\n"
     "<!--c--><br/>\n"
     "<!DOCTYPE r><br/>\n"
     "<r a=\"1\">t&lt;<br/>\n"
     "--><e /><br/>\n"
     "--><p>x    y&#x0A;</p><br/>\n"
     "--><q><br/>\n"
     "-->--><!--in--><br/>\n"
     "-->--><s><br/>\n"
     "-->-->--><z /><br/>\n"
     "-->--></s><br/>\n"
     "--></q><br/>\n"
     "--><?pi><br/>\n"
     "</r><br/>\n"},
    {nullptr, nullptr,
     "<?xml version=\"1.0\" ?><!--c--><!DOCTYPE r><r a=\"1\">t&lt;<e /><p>x    y&#x0A;</p><q><!--in--><s><z />"
     "</s></q><?pi></r>"},
};

TEST(PrintOptions, EveryLayoutToStringStreamAndFile) {
    const std::unique_ptr<VexaDocument> doc(EveryKind());
    const std::string path = TempPath("layout");
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(Escaped(layout.indent ? layout.indent : "(null)") + " " +
                     Escaped(layout.lineBreak ? layout.lineBreak : "(null)"));
        VexaPrintOptions options;
        options.indent = layout.indent;
        options.lineBreak = layout.lineBreak;

        std::string out = "kept";  // appended to
        doc->PrintTo(&out, options);
        EXPECT_EQ("kept" + std::string(layout.expected), out);

        std::ostringstream stream;
        stream << "pre";
        doc->PrintTo(stream, options);
        EXPECT_TRUE(stream.good());
        EXPECT_EQ("pre" + std::string(layout.expected), stream.str());

        ASSERT_TRUE(doc->SaveFile(path.c_str(), options));
        EXPECT_EQ(layout.expected, ReadFile(path));  // binary: "\r\n" reaches the file as it is
    }
    EXPECT_EQ(kLayouts[0].expected, Printed(*doc));  // the defaults are the classic form

    // A node prints from depth 0, without the document's line break after it.
    std::string element;
    VexaPrintOptions tabs;
    tabs.indent = "\t";
    tabs.lineBreak = "\r\n";
    doc->LastChild()->LastChild()->PreviousSibling()->PrintTo(&element, tabs);
    EXPECT_EQ("<q>\r\n\t<!--in-->\r\n\t<s>\r\n\t\t<z />\r\n\t</s>\r\n</q>", element);
    doc->PrintTo(static_cast<std::string*>(nullptr), tabs);  // ignored

    EXPECT_FALSE(doc->SaveFile((path + "/no/such.xml").c_str(), tabs));
    std::FILE* full = std::fopen("/dev/full", "w");
    const bool devFull = full && std::fclose(full) == 0;
    EXPECT_FALSE(devFull && doc->SaveFile("/dev/full", tabs));
    std::remove(path.c_str());
}

// Every node of every fixture and of the worked example: PrintTo with the
// defaults writes what Print(FILE*, 0) writes.
static void ExpectPrintToAsPrint(const VexaNode& node) {
    const std::string printed = Printed(node);
    std::string out;
    node.PrintTo(&out);
    EXPECT_EQ(printed, out) << Dump(node);
    std::ostringstream stream;
    node.PrintTo(stream);
    EXPECT_EQ(printed, stream.str());
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) ExpectPrintToAsPrint(*child);
}

TEST(PrintOptions, DefaultsWriteWhatPrintWrites) {
    for (const std::string& path : DataFiles()) {
        SCOPED_TRACE(path);
        VexaDocument doc;
        ASSERT_TRUE(doc.LoadFile(path.c_str())) << doc.ErrorText();
        ExpectPrintToAsPrint(doc);
    }
    const std::unique_ptr<VexaDocument> example(Example()), every(EveryKind());
    ExpectPrintToAsPrint(*example);
    ExpectPrintToAsPrint(*every);
}

TEST(PrintOptions, DeepNestingEveryIndent) {
    // Indentation is written from whole copies of the indent side by side,
    // several levels a piece: depths beyond one piece, and indents too long
    // for a piece to hold even one.
    const int kDepth = 100;
    VexaElement root("e");
    VexaNode* node = &root;
    for (int i = 1; i < kDepth; ++i) node = node->LinkEndChild(new VexaElement("e"));
    const std::string kIndents[] = {
        "    ", "\t", "abc", "", std::string(85, '.'), std::string(200, '-'), std::string(300, '+')};
    for (const std::string& indent : kIndents) {
        SCOPED_TRACE(indent.size());
        std::string expected, level;
        for (int i = 0; i < kDepth - 1; ++i, level += indent) expected += level + "<e>\n";
        expected += level + "<e />\n";
        for (int i = kDepth - 2; i >= 0; --i) expected += level.substr(0, indent.size() * i) + "</e>" + (i ? "\n" : "");
        VexaPrintOptions options;
        options.indent = indent.c_str();
        std::string out;
        root.PrintTo(&out, options);
        EXPECT_EQ(std::string::npos, FirstDifference(expected, out));
    }
}

// A stream buffer that takes room bytes and refuses the rest, as a full disk
// or a closed connection does.
class FullBuffer : public std::streambuf {
public:
    explicit FullBuffer(size_t room) : room(room) {}
    std::string taken;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const size_t take = std::min(static_cast<size_t>(n), room - taken.size());
        taken.append(s, take);
        return static_cast<std::streamsize>(take);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        if (taken.size() == room) return traits_type::eof();
        taken += traits_type::to_char_type(c);
        return c;
    }

private:
    size_t room;
};

TEST(PrintOptions, StreamThatFailsMidWrite) {
    // More than two of the writer's 32 KiB pieces.
    VexaDocument big;
    VexaNode* root = big.LinkEndChild(El("r"));
    for (int i = 0; i < 6000; ++i) root->LinkEndChild(El("c", {}, {Text("x")}));
    std::string whole;
    big.PrintTo(&whole);
    ASSERT_GT(whole.size(), 64u * 1024);

    for (const size_t room : {size_t(0), size_t(10), size_t(40000), whole.size() - 1, whole.size()}) {
        SCOPED_TRACE(room);
        FullBuffer buffer(room);
        std::ostream out(&buffer);
        big.PrintTo(out);
        const bool fits = room == whole.size();
        EXPECT_EQ(!fits, (out.rdstate() & std::ios::failbit) != 0);
        EXPECT_EQ(fits, out.good());
        EXPECT_EQ(whole.substr(0, room), buffer.taken);  // what was taken is a true prefix
    }

    // A stream that is not good takes nothing and is marked failed.
    FullBuffer roomy(1 << 20);
    std::ostream bad(&roomy);
    bad.setstate(std::ios::badbit);
    big.PrintTo(bad);
    EXPECT_EQ("", roomy.taken);
    EXPECT_TRUE(bad.rdstate() & std::ios::failbit);

    // As with any inserter, failbit throws when the stream asks for it.
    FullBuffer small(100);
    std::ostream throwing(&small);
    throwing.exceptions(std::ios::failbit);
    EXPECT_THROW(big.PrintTo(throwing), std::ios_base::failure);
}
