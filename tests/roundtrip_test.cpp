// What the library writes, it reads back: parsing a document's stream form
// gives the same tree, which prints to the same bytes, up to the first element
// (where the stream form ends). Left out, as the format cannot carry them:
// literal references ("&#x41;" is read as "A"); text with leading, trailing
// or doubled spaces, blank, next to other text or under the document; unknown
// values holding '>' outside CDATA or a DOCTYPE subset, a CR, a zero byte, or
// starting like other markup ('/', a letter, '_', "!--", "?xml "), and
// processing instructions not closed by "?"; zero bytes in attribute values
// and declarations; names that are not names. Under the classic rules
// comments print raw but stream with '>' escaped: those here hold "--", "->",
// "-->"; other encodings write comments as they are, so theirs hold no '>'.
#include <algorithm>
#include <cctype>
#include <cstdint>

#include "test_util.h"

using namespace vexatest;

namespace {

bool HoldsReference(const std::string& s) {
    for (size_t i = s.find("&#x"); i != std::string::npos; i = s.find("&#x", i + 1)) {
        size_t j = i + 3;
        while (j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j]))) ++j;
        if (j > i + 3 && j < s.size() && s[j] == ';') return true;
    }
    return false;
}

bool TextFits(const std::string& v) {
    return !v.empty() && v.front() != ' ' && v.back() != ' ' && v.find("  ") == std::string::npos &&
           !std::all_of(v.begin(), v.end(), VexaBase::IsWhiteSpace) && !HoldsReference(v);
}

// Whether every text node of a tree fits; with no reference anywhere in its
// dump (unknown values included, stricter than needed) a parsed tree is
// clear of the cases above.
bool TextsFit(const VexaNode& node) {
    if (node.ToText()) return TextFits(node.ValueStr());
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling())
        if (!TextsFit(*c)) return false;
    return true;
}

// Random trees from a fixed seed, the same on every platform.
struct Generator {
    uint32_t state = 20240531u;
    int encoding = VEXA_ENCODING_LEGACY;  // of the document being made

    size_t Below(size_t n) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % n;
    }
    std::string Name() {
        std::string name(1, "abcXYZ_"[Below(7)]);
        for (size_t n = Below(6); n--;) name += "abcXYZ019_-.:"[Below(13)];
        return name;
    }
    // Markup, control and high bytes, near-references. Unknown values are
    // written raw, so they take no piece holding '>' (the last three).
    std::string Value(bool text, bool zero, bool unknown = false, bool noGreater = false) {
        static const char* const kPieces[] = {
            "a", "Zq", "7", " ", "\"", "'",  "\t",  "\n",   "\r",     "\x01",  "\x7F",   "\xE9", "\xFF", "&",
            "<", "#",  "x", "4", ";",  "--", "&#x", "&#x;", "&#xZZ;", "&amp;", "&#x41;", "->",   "]]>",  ">"};
        static const char* const kUnknownStart[] = {"!DOCTYPE d", "?pi", "!x"};
        for (;;) {
            std::string s = unknown ? kUnknownStart[Below(3)] : "";
            for (size_t n = Below(7); n--;)
                s += kPieces[Below(sizeof kPieces / sizeof *kPieces - (unknown || noGreater ? 3 : 0))];
            if (unknown && s[0] == '?') s += '?';
            if (zero && encoding == VEXA_ENCODING_LEGACY && !Below(6)) s.insert(Below(s.size() + 1), 1, '\0');
            if (unknown) {
                if (s.find('\r') == std::string::npos) return s;  // a CR reads as a LF there
            } else if (text ? TextFits(s) : !HoldsReference(s)) {
                return s;
            }
        }
    }
    // Text, comment, unknown or declaration for kinds 0 to 3.
    VexaNode* Leaf(size_t kind) {
        if (kind == 3) {
            std::string f[3];
            for (std::string& field : f) field = Below(2) ? Value(false, false) : "";
            return new VexaDeclaration(f[0].c_str(), f[1].c_str(), f[2].c_str());
        }
        VexaNode* node = NewNode(kind == 0 ? VexaNode::TEXT : kind == 1 ? VexaNode::COMMENT : VexaNode::UNKNOWN);
        node->SetValue(Value(kind == 0, kind != 2, kind == 2, kind == 1 && encoding != VEXA_ENCODING_LEGACY));
        return node;
    }
    VexaElement* Element(int depth) {
        VexaElement* e = new VexaElement(Name().c_str());
        for (size_t n = Below(4); n--;) e->SetAttribute(Name().c_str(), Value(false, false).c_str());
        for (size_t n = depth < 4 ? Below(6) : 0; n--;) {
            const size_t k = Below(12);  // a text only where no text precedes it
            if (k < 4 || k >= 8 || !e->LastChild() || !e->LastChild()->ToText())
                e->LinkEndChild(k < 4 ? Element(depth + 1) : Leaf(k < 8 ? 0 : k < 10 ? 1 : k - 8));
        }
        return e;
    }
    VexaDocument* Document() {
        VexaDocument* doc = new VexaDocument();
        encoding = static_cast<int>(VEXA_ENCODING_UTF8 + Below(3));
        doc->SetTextEncoding(encoding);
        for (size_t n = Below(3); n--;) doc->LinkEndChild(Leaf(1 + Below(3)));
        if (Below(8)) doc->LinkEndChild(Element(0));
        for (size_t n = Below(3); n--;) doc->LinkEndChild(Below(2) ? Element(3) : Leaf(1 + Below(2)));
        return doc;
    }
};

void ExpectRoundTrip(const VexaDocument& original, const std::string& label) {
    // The original up to its first element, in both renderings. (Not a
    // Clone: copies end values at a zero byte, and these trees hold some.)
    std::string dump = "document '" + Escaped(original.ValueStr()) + "'\n", printed;
    const VexaNode* last = original.FirstChildElement();
    for (const VexaNode* c = original.FirstChild(); c; c = c == last ? nullptr : c->NextSibling()) {
        dump += Dump(*c, 1);
        printed += Printed(*c) + "\n";
    }

    // The text carries no byte order mark, so the copies read it in the
    // encoding the original was written in.
    const std::string streamed = Compact(original);
    VexaDocument back(original.Value());
    back.SetTextEncoding(original.TextEncoding());
    back.Parse(streamed.c_str());
    EXPECT_EQ(streamed.empty(), back.Error()) << label << ": " << back.ErrorText();
    EXPECT_EQ(dump, Dump(back)) << label << "\n" << Escaped(streamed);
    EXPECT_EQ(printed, Printed(back)) << label;

    // Read from a stream, the document ends with the same element.
    std::istringstream in(streamed + (last ? "<!--after--><z/>" : ""));
    VexaDocument read(original.Value());
    read.SetTextEncoding(original.TextEncoding());
    in >> read;
    EXPECT_EQ(dump, Dump(read)) << label;
}

TEST(RoundTrip, RealDocuments) {
    const char* const texts[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone='no'?>\n<!DOCTYPE note [\n <!ENTITY e \"x>y\">\n"
        " <!-- ] > -->\n]>\n<note lang='en' q=\"it's\">\n <to>T&amp;J</to>\n <![CDATA[ a > b ]]>\n"
        " <body>caf&#xe9; &lt;b&gt; &#x9;tab</body>\n <?pi target?>\n <!-- c -- d -->\n</note>\n<!--after-->",
        "<config><entry key=\"a\" value='say \"hi\"'/><entry key=\"b\">one   two\nthree</entry><e></e></config>",
        "<p>Hi <b>x</b> there &amp; <i a=\"&#x41;\">y</i>.</p>",
    };
    for (const char* text : texts) {
        VexaDocument doc;
        doc.Parse(text);
        ASSERT_FALSE(doc.Error()) << text;
        ExpectRoundTrip(doc, text);
    }
    int compared = 0;
    for (const std::string& path : DataFiles()) {
        VexaDocument doc;  // only what parses, and what the format can carry, is compared
        if (!doc.LoadFile(path.c_str()) || !TextsFit(doc) || HoldsReference(Dump(doc))) continue;
        ExpectRoundTrip(doc, path);
        ++compared;
    }
    EXPECT_GT(compared, 0);
}

TEST(RoundTrip, GeneratedDocuments) {
    Generator generator;
    for (int i = 0; i < 400 && !HasFailure(); ++i) {
        const std::unique_ptr<VexaDocument> doc(generator.Document());
        ExpectRoundTrip(*doc, "document " + std::to_string(i));
    }
}

}  // namespace
