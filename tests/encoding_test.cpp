// Text encodings: what a parse decides, how each encoding reads references
// and writes bytes beyond ASCII, columns in characters, and the byte order
// marks and UTF-16 forms that files keep through a load and a save.
#include "test_util.h"

using namespace vexatest;

namespace {

const int kDetect = VEXA_ENCODING_DETECT, kUtf8 = VEXA_ENCODING_UTF8, kLegacy = VEXA_ENCODING_LEGACY,
          kRaw = VEXA_ENCODING_RAW;

// The text of <r> and the value of its attribute a, read under encoding.
std::pair<std::string, std::string> Read(const std::string& content, int encoding) {
    VexaDocument doc;
    doc.SetTextEncoding(encoding);
    doc.Parse(("<r a=\"" + content + "\">" + content + "</r>").c_str());
    const VexaElement* r = doc.FirstChildElement();
    if (doc.Error() || !r || !r->FirstChild()) return {"<error>", ""};
    return {Escaped(r->FirstChild()->ValueStr()), Escaped(r->Attribute("a"))};
}

// UTF-16 bytes of an ASCII or UTF-8 text, with or without a byte order mark.
std::string Utf16(const std::string& utf8, bool bigEndian, bool mark = true) {
    std::u16string units;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned long cp = n == 1 ? c : c & (0x7F >> n);
        for (int k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
    }
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char16_t u : units) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

TEST(Encoding, ParseDecides) {
    const std::tuple<const char*, int, int> cases[] = {
        {"<r/>", kDetect, kLegacy},
        {"\xEF\xBB\xBF<r/>", kDetect, kUtf8},
        {"<?xml version='1.0' encoding='utf-8'?><r/>", kDetect, kUtf8},
        {"\n <?xml version=\"1.0\" encoding=\"UTF8\"?><r/>", kDetect, kUtf8},
        {"<?xml version='1.0' encoding='Utf-16'?><r/>", kDetect, kUtf8},
        {"<?xml version='1.0'?><r/>", kDetect, kLegacy},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><r/>", kDetect, kLegacy},
        {"<?xml version='1.0' encoding='latin1'?><r/>", kDetect, kLegacy},
        {"<?xml version='1.0' encoding='US-ASCII'?><r/>", kDetect, kLegacy},
        {"<?xml version='1.0' encoding='Shift_JIS'?><r/>", kDetect, kRaw},
        {"<?xml version='1.0' encoding='windows-1251'?><r/>", kDetect, kRaw},
        {"<?xml version='1.0' encoding='ISO-8859-15'?><r/>", kDetect, kRaw},
        // Only a declaration at the start counts.
        {"<!-- c --><?xml version='1.0' encoding='EUC-JP'?><r/>", kDetect, kLegacy},
        {"<?xml-stylesheet encoding='EUC-JP'?><r/>", kDetect, kLegacy},
        // A setting holds whatever the text says.
        {"\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><r/>", kRaw, kRaw},
        {"<r/>", kUtf8, kUtf8},
    };
    for (const auto& [text, setting, expected] : cases) {
        VexaDocument doc;
        doc.SetTextEncoding(setting);
        EXPECT_EQ(setting, doc.TextEncoding()) << text;  // before any parse
        doc.Parse(text);
        EXPECT_FALSE(doc.Error()) << text;
        EXPECT_EQ(expected, doc.TextEncoding()) << Escaped(text);
        const std::unique_ptr<VexaNode> copy(doc.Clone());
        EXPECT_EQ(expected, copy->ToDocument()->TextEncoding()) << Escaped(text);
    }
    VexaDocument doc;
    doc.SetTextEncoding(42);
    EXPECT_EQ(kDetect, doc.TextEncoding());
}

// Each reference form, in text and in an attribute value, under each rule.
TEST(Encoding, References) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        // reference, LEGACY, UTF8, RAW
        {"&#x41;", "A", "A", "A"},
        {"&#x9;", "\\x09", "\\x09", "\\x09"},
        {"&#xE9;", "\\xE9", "\\xC3\\xA9", "&#xE9;"},
        {"&#xe9;", "\\xE9", "\\xC3\\xA9", "&#xe9;"},
        {"&#65;", "&#65;", "A", "A"},
        {"&#233;", "&#233;", "\\xC3\\xA9", "&#233;"},
        {"&#x20AC;", "&#x20AC;", "\\xE2\\x82\\xAC", "&#x20AC;"},
        {"&#8364;", "&#8364;", "\\xE2\\x82\\xAC", "&#8364;"},
        {"&#x1F600;", "&#x1F600;", "\\xF0\\x9F\\x98\\x80", "&#x1F600;"},
        {"&#x0000000041;", "&#x0000000041;", "A", "A"},
        {"&#x10FFFF;", "&#x10FFFF;", "\\xF4\\x8F\\xBF\\xBF", "&#x10FFFF;"},
        // Not characters, or not references: kept as written.
        {"&#0;", "&#0;", "&#0;", "&#0;"},
        {"&#xD800;", "&#xD800;", "&#xD800;", "&#xD800;"},
        {"&#x110000;", "&#x110000;", "&#x110000;", "&#x110000;"},
        {"&#99999999999999999999999;", "&#99999999999999999999999;", "&#99999999999999999999999;",
         "&#99999999999999999999999;"},
        {"&#X41;", "&#X41;", "&#X41;", "&#X41;"},
        {"&#;", "&#;", "&#;", "&#;"},
        {"&#x;", "&#x;", "&#x;", "&#x;"},
        {"&#12a;", "&#12a;", "&#12a;", "&#12a;"},
        {"&#x4G;", "P", "&#x4G;", "&#x4G;"},  // the classic digits: 'G' counts 16
        {"&#65", "&#65", "&#65", "&#65"},
        {"&amp;&lt;&gt;&quot;&apos;", "&<>\"'", "&<>\"'", "&<>\"'"},
    };
    for (const auto& [reference, legacy, utf8, raw] : cases) {
        const std::pair<int, const char*> expected[] = {{kLegacy, legacy}, {kUtf8, utf8}, {kRaw, raw}};
        for (const auto& [encoding, value] : expected) {
            const auto [text, attribute] = Read(std::string("x") + reference + "y", encoding);
            EXPECT_EQ("x" + std::string(value) + "y", text) << reference << " encoding " << encoding;
            EXPECT_EQ(text, attribute) << reference << " encoding " << encoding;
        }
    }
    // By the classic rules a two-digit reference may take the delimiter as
    // its second digit; the text or value then goes on to the next one.
    const std::tuple<const char*, const char*, const char*> overrun[] = {
        // document, attribute value, text
        {"<r a='x&#x4';y'/>", "x7y", ""},
        {"<r a=\"x&#x4\";y\"/>", "x2y", ""},
        {"<r>a&#x4<;b</r>", "", "aLb"},
        {"<r a='x&#x4';&#x4';&#x4';&#x4';&#x4';&#x4';&#x4';&#x4';y'/>", "x77777777y", ""},
    };
    for (const auto& [document, attribute, text] : overrun) {
        VexaDocument doc;
        doc.SetTextEncoding(kLegacy);
        doc.Parse(document);
        EXPECT_FALSE(doc.Error()) << document << ": " << doc.ErrorText();
        const VexaElement* r = doc.FirstChildElement();
        ASSERT_NE(nullptr, r) << document;
        EXPECT_STREQ(attribute, r->Attribute("a") ? r->Attribute("a") : "") << document;
        EXPECT_STREQ(text, r->FirstChild() ? r->FirstChild()->Value() : "") << document;
    }

    // The classic helpers keep their own rules.
    char c = 0;
    const char* decimal = "&#233;";
    EXPECT_EQ(decimal + 1, VexaBase::GetEntity(decimal, &c));
    EXPECT_EQ('&', c);
}

// A parsed attribute value is read as XML reads it, under every rule: a
// tab, line break or CR LF written in it is one space; a reference keeps its
// character.
TEST(Encoding, AttributeWhiteSpace) {
    const char* const value = "a\tb\nc\r\nd\re  f&#x9;&#xA;&#xD;g\v";
    for (int encoding : {kLegacy, kUtf8, kRaw}) {
        VexaDocument doc;
        doc.SetTextEncoding(encoding);
        doc.Parse((std::string("<r a=\"") + value + "\" b='\r\n'/>").c_str());
        ASSERT_FALSE(doc.Error());
        EXPECT_EQ("a b c d e  f\\x09\\x0A\\x0Dg\\x0B", Escaped(doc.FirstChildElement()->Attribute("a"))) << encoding;
        EXPECT_STREQ(" ", doc.FirstChildElement()->Attribute("b"));
    }
    // The classic helper keeps every byte.
    std::string read;
    VexaBase::ReadText("a\tb\r\nc'", &read, false, "'", false);
    EXPECT_EQ("a\tb\r\nc", read);
}

// What each encoding writes for stored text, compact and indented.
TEST(Encoding, Output) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        // stored, LEGACY, UTF8, RAW
        {"caf\xC3\xA9", "caf&#xC3;&#xA9;", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xFF\xC3 bad", "&#xFF;&#xC3; bad", "\xFF\xC3 bad", "\xFF\xC3 bad"},  // not UTF-8: kept
        {"a&b<c>\"'", "a&amp;b&lt;c&gt;&quot;&apos;", "a&amp;b&lt;c&gt;&quot;&apos;", "a&amp;b&lt;c&gt;&quot;&apos;"},
        {"\t\x01\x7F", "&#x09;&#x01;&#x7F;", "&#x09;&#x01;&#x7F;", "&#x09;&#x01;&#x7F;"},
        {"&#xE9;", "&amp;#xE9;", "&amp;#xE9;", "&#xE9;"},  // text where the reader would decode it
        {"&#x20AC;", "&#x20AC;", "&amp;#x20AC;", "&#x20AC;"},
        {"&#233;", "&#233;", "&amp;#233;", "&#233;"},
        {"&#65;&#x41;&#x041;", "&#65;&amp;#x41;&#x041;", "&amp;#65;&amp;#x41;&amp;#x041;",
         "&amp;#65;&amp;#x41;&amp;#x041;"},  // as text where the reader would decode them
        {"&#x4G;&#12a;", "&amp;#x4G;&amp;#12a;", "&amp;#x4G;&amp;#12a;", "&amp;#x4G;&amp;#12a;"},
    };
    for (const auto& [stored, legacy, utf8, raw] : cases) {
        const std::pair<int, const char*> expected[] = {{kLegacy, legacy}, {kUtf8, utf8}, {kRaw, raw}};
        for (const auto& [encoding, written] : expected) {
            VexaDocument doc;
            doc.SetTextEncoding(encoding);
            VexaElement* r = new VexaElement("r");
            doc.LinkEndChild(r);
            r->SetAttribute("a", stored);
            r->LinkEndChild(new VexaText(stored));
            const std::string attribute =
                std::strchr(stored, '"') ? std::string("'") + written + "'" : std::string("\"") + written + "\"";
            const std::string element = "<r a=" + attribute + ">" + written + "</r>";
            EXPECT_EQ(element, Compact(doc)) << Escaped(stored) << " encoding " << encoding;
            EXPECT_EQ(element + "\n", Printed(doc)) << Escaped(stored) << " encoding " << encoding;
            VexaDocument back;
            back.SetTextEncoding(encoding);
            back.Parse(Compact(doc).c_str());
            ASSERT_TRUE(back.FirstChildElement()) << Escaped(stored);
            EXPECT_STREQ(stored, back.FirstChildElement()->Attribute("a")) << " encoding " << encoding;
        }
    }
}

TEST(Encoding, NamesAndNodesOutsideDocuments) {
    // Names keep their bytes in every encoding: a name may hold no reference.
    for (int encoding : {kLegacy, kUtf8, kRaw}) {
        VexaDocument doc;
        doc.SetTextEncoding(encoding);
        doc.Parse("<caf\xC3\xA9 \xC3\xA9t\xC3\xA9=\"1\"><\xE5\x90\x8D\xE5\x89\x8D/></caf\xC3\xA9>");
        ASSERT_FALSE(doc.Error()) << encoding;
        EXPECT_EQ("<caf\xC3\xA9 \xC3\xA9t\xC3\xA9=\"1\"><\xE5\x90\x8D\xE5\x89\x8D /></caf\xC3\xA9>", Compact(doc));
        std::ostringstream attribute;
        doc.FirstChildElement()->FirstAttribute()->StreamOut(&attribute);
        EXPECT_EQ("\xC3\xA9t\xC3\xA9=\"1\"", attribute.str());
    }
    // A node in no document is written the classic way; once linked, in its
    // document's encoding.
    VexaText loose("\xC3\xA9");
    EXPECT_EQ("&#xC3;&#xA9;", Compact(loose));
    VexaDocument doc;
    doc.Parse("<?xml version='1.0' encoding='UTF-8'?><r/>");
    doc.FirstChildElement()->LinkEndChild(loose.Clone());
    EXPECT_EQ("\xC3\xA9", Compact(*doc.FirstChildElement()->FirstChild()));
    // A document never parsed follows its first declaration.
    VexaDocument built;
    built.LinkEndChild(new VexaComment());
    built.LinkEndChild(new VexaDeclaration("1.0", "UTF-8", ""));
    built.LinkEndChild(new VexaElement("r"))->LinkEndChild(new VexaText("\xC3\xA9"));
    EXPECT_EQ(kDetect, built.TextEncoding());
    EXPECT_NE(std::string::npos, Printed(built).find("<r>\xC3\xA9</r>"));
}

// Comments hold no references: outside the classic rules they are read and
// written as they are.
TEST(Encoding, Comments) {
    for (int encoding : {kLegacy, kUtf8, kRaw}) {
        VexaDocument doc;
        doc.SetTextEncoding(encoding);
        doc.Parse("<r><!-- a &amp; b &#xE9; \xC3\xA9 --></r>");
        const VexaNode* comment = doc.FirstChildElement()->FirstChild();
        const bool classic = encoding == kLegacy;
        EXPECT_EQ(classic ? " a & b \\xE9 \\xC3\\xA9 " : " a &amp; b &#xE9; \\xC3\\xA9 ", Escaped(comment->ValueStr()));
        EXPECT_EQ(
            classic ? "<r><!-- a &amp; b &#xE9; &#xC3;&#xA9; --></r>" : "<r><!-- a &amp; b &#xE9; \xC3\xA9 --></r>",
            Compact(doc));
    }
}

// In UTF-8 a column is a character; elsewhere a byte.
TEST(Encoding, ColumnsCountCharacters) {
    const std::string e = "\xC3\xA9", many = [] {
        std::string s;
        for (int i = 0; i < 20; ++i) s += "\xE2\x82\xAC";
        return s;
    }();
    const std::tuple<std::string, int, int, int> cases[] = {
        // text before <b>, encoding, column of <b>, column of the error at </c>
        {e + e + e, kUtf8, 6, 12}, {e + e + e, kLegacy, 9, 16}, {e + e + e, kRaw, 9, 16},
        {many, kUtf8, 23, 28},     {many, kLegacy, 63, 68},     {"\t" + e, kUtf8, 5, 12},
    };
    for (const auto& [text, encoding, column, errorColumn] : cases) {
        SCOPED_TRACE(Escaped(text) + " encoding " + std::to_string(encoding));
        VexaDocument doc;
        doc.SetTextEncoding(encoding);
        doc.Parse(("<r>" + text + "<b/>\t</r>").c_str());
        ASSERT_FALSE(doc.Error());
        EXPECT_EQ(column, doc.FirstChildElement()->FirstChildElement()->Column());
        VexaDocument bad;
        bad.SetTextEncoding(encoding);
        bad.Parse(("<r>" + text + "<b/>\t</c>").c_str());
        EXPECT_EQ(VEXA_ERROR_END_TAG, bad.ErrorCode());
        EXPECT_EQ(errorColumn, bad.ErrorCol());
    }
}

class EncodingFiles : public ::testing::Test {
protected:
    void TearDown() override {
        std::remove(in.c_str());
        std::remove(out.c_str());
    }
    const std::string in = TempPath("enc-in"), out = TempPath("enc-out");
};

// A byte order mark is kept; UTF-16 is read as UTF-8 and written back as it was.
TEST_F(EncodingFiles, MarksAndUtf16RoundTrip) {
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-16\" ?>\n<r a=\"\xC3\xA9\">caf\xC3\xA9 "
        "\xF0\x9F\x98\x80</r>\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // file, tree's text, saved file
        {"\xEF\xBB\xBF<r>\xC3\xA9</r>", "\xC3\xA9", "\xEF\xBB\xBF<r>\xC3\xA9</r>\n"},
        {"<?xml version='1.0' encoding='UTF-8'?><r>\xC3\xA9</r>", "\xC3\xA9",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<r>\xC3\xA9</r>\n"},
        {Utf16(body, false), "caf\xC3\xA9 \xF0\x9F\x98\x80", Utf16(body, false)},
        {Utf16(body, true), "caf\xC3\xA9 \xF0\x9F\x98\x80", Utf16(body, true)},
        // Without a mark, the declaration's first characters tell UTF-16.
        {Utf16(body, false, false), "caf\xC3\xA9 \xF0\x9F\x98\x80", Utf16(body, false)},
        {Utf16(body, true, false), "caf\xC3\xA9 \xF0\x9F\x98\x80", Utf16(body, true)},
        // UTF-16 without a declaration is UTF-8 to the tree all the same.
        {Utf16("<r>\xC3\xA9</r>", false), "\xC3\xA9", Utf16("<r>\xC3\xA9</r>\n", false)},
    };
    for (const auto& [file, text, saved] : cases) {
        SCOPED_TRACE(Escaped(file));
        WriteFile(in, file);
        VexaDocument doc;
        ASSERT_TRUE(doc.LoadFile(in.c_str())) << doc.ErrorText();
        EXPECT_EQ(kUtf8, doc.TextEncoding());
        EXPECT_EQ(text, doc.FirstChildElement()->FirstChild()->ValueStr());
        ASSERT_TRUE(doc.SaveFile(out.c_str()));
        EXPECT_EQ(Escaped(saved), Escaped(ReadFile(out)));
        // The other outputs are UTF-8, without a mark.
        EXPECT_EQ(std::string::npos, Printed(doc).find('\xFF'));
        EXPECT_NE('\xEF', Printed(doc)[0]);
        // A copy saves the same way.
        const std::unique_ptr<VexaNode> copy(doc.Clone());
        ASSERT_TRUE(copy->ToDocument()->SaveFile(out.c_str()));
        EXPECT_EQ(Escaped(saved), Escaped(ReadFile(out)));
        // A parse from memory starts afresh: no mark, no UTF-16.
        doc.Clear();
        doc.Parse("<r/>");
        ASSERT_TRUE(doc.SaveFile(out.c_str()));
        EXPECT_EQ("<r />\n", ReadFile(out));
    }
}

TEST_F(EncodingFiles, MalformedUtf16) {
    const std::string good = Utf16("<r>\nab</r>", false);
    const std::tuple<std::string, int, int> cases[] = {
        {good + "<", 1, 6},                                               // odd length
        {Utf16("<r>\nab", false) + std::string("\x00\xD8", 2), 1, 2},     // high surrogate at the end
        {Utf16("<r>", true) + std::string("\xD8\x00\x00\x41", 4), 0, 3},  // high surrogate, no low one
        {Utf16("<r>", false) + std::string("\x00\xDC", 2) + Utf16("</r>", false, false), 0, 3},  // low alone
    };
    for (const auto& [file, row, col] : cases) {
        SCOPED_TRACE(Escaped(file));
        WriteFile(in, file);
        VexaDocument doc;
        EXPECT_FALSE(doc.LoadFile(in.c_str()));
        EXPECT_EQ(VEXA_ERROR_ENCODING, doc.ErrorCode());
        EXPECT_STREQ("Invalid text encoding.", doc.ErrorText());
        EXPECT_EQ(std::make_pair(row, col), std::make_pair(doc.ErrorRow(), doc.ErrorCol()));
    }
}

}  // namespace
