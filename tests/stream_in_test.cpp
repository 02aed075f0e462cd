// Reading documents and single nodes from input streams.
#include "test_util.h"

using namespace vexatest;

namespace {

const std::ios::iostate kGood = std::ios::goodbit, kEof = std::ios::eofbit, kEnd = std::ios::eofbit | std::ios::failbit;

// A buffer without a get area, as a pipe's may be: every character is a call.
struct OneByOne : std::streambuf {
    explicit OneByOne(const std::string& s) : text(s) {}
    int_type underflow() override { return pos < text.size() ? text[pos] & 0xFF : traits_type::eof(); }
    int_type uflow() override { return pos < text.size() ? text[pos++] & 0xFF : traits_type::eof(); }
    std::string text;
    size_t pos = 0;
};

// Each document read leaves the stream at the first byte after it; the
// documents begin with different bytes, so that peek() shows that byte.
TEST(StreamIn, DocumentsOneAfterAnother) {
    const std::string docs[] = {"<?xml version='1.0'?><r>1</r>", "\n<!-- two > --><r a='2'/>", " <r><x/>3</r>",
                                "\t<r\n>4</R>"};
    const std::string all = docs[0] + docs[1] + docs[2] + docs[3] + " tail", path = TempPath("stream_in");
    WriteFile(path, all);
    std::istringstream text(all);
    std::ifstream file(path.c_str(), std::ios::binary);
    OneByOne pipe(all);
    std::istream piped(&pipe);
    std::istream* const streams[] = {&text, &file, &piped};
    for (std::istream* in : streams) {
        SCOPED_TRACE(in == &text ? "string" : in == &file ? "file" : "pipe");
        size_t used = 0;
        for (const std::string& d : docs) {
            SCOPED_TRACE(Escaped(d));
            VexaDocument doc, ref;
            *in >> doc;
            ref.Parse(d.c_str());
            EXPECT_EQ(Dump(ref), Dump(doc));
            EXPECT_TRUE(in->good() && doc.ErrorCode() == VEXA_ERROR_NONE) << doc.ErrorText();
            EXPECT_EQ(all[used += d.size()], in->peek());
        }
        EXPECT_EQ(" tail", Rest(*in));
    }
    std::remove(path.c_str());
}

// Where the document reader stops, the stream flags it leaves and the code
// it records; then the code and top-level node count after operator>>, whose
// parse replaces the reader's error.
TEST(StreamIn, DocumentReaderStops) {
    const std::tuple<const char*, const char*, std::ios::iostate, int, int, size_t> cases[] = {
        {"<?xml version='1.0'?>\n<!-- c -->\n<a x='1'>t<b/>u</a>TAIL", "TAIL", kGood, 0, 0, 3},
        {"<a/><b/>", "<b/>", kGood, 0, 0, 1},
        {"<a/>", "", kGood, 0, 0, 1},
        {"", "", kEof, VEXA_ERROR_EMPTY_TAG, VEXA_ERROR_DOCUMENT_EMPTY, 0},
        {" \n tail", "", kEof, VEXA_ERROR_EMPTY_TAG, VEXA_ERROR_OUTSIDE_ELEMENT, 0},
        {"<a x='1'", "", kEof, VEXA_ERROR_GENERIC, VEXA_ERROR_ELEMENT, 1},  // inside a start tag
        {"<a><b>text", "", kEof, 0, VEXA_ERROR_ELEMENT_VALUE, 1},           // inside content
        {"<a><!-- x > y", "", kEnd, 0, VEXA_ERROR_ELEMENT_VALUE, 1},        // inside a comment
        {"<!-- x > y", "", kEnd, VEXA_ERROR_GENERIC, VEXA_ERROR_COMMENT, 1},
        {"<a x='/>'>t</a>R", "'>t</a>R", kGood, 0, VEXA_ERROR_ELEMENT, 1},  // "/>" ends the start tag
        {"<a x='1>2'>t</a>R", "R", kGood, 0, 0, 1},                         // '>' does not
        {"<a><b>x<\n\t/b></a>R", "R", kGood, 0, VEXA_ERROR_END_TAG, 1},     // closes for the reader only
        {"<a>x</b>R", "R", kGood, 0, VEXA_ERROR_END_TAG, 1},
        {"<!-- a > b --><a/>R", "R", kGood, 0, 0, 2},
        {"<?xml-stylesheet a > b?><a/>R", "R", kGood, 0, 0, 2},  // an instruction ends at "?>"
        {"<?xml version='1>'?><a/>R", "><a/>R", kGood, VEXA_ERROR_OUTSIDE_ELEMENT, VEXA_ERROR_DECLARATION, 1},
        {"<!-- c --> x <a/>R", ">R", kGood, VEXA_ERROR_OUTSIDE_ELEMENT, VEXA_ERROR_OUTSIDE_ELEMENT, 1},
        {"<!DOCTYPE r [<!ENTITY e \"a>b\"><!-- ]> --><?p ]>?>]>\n<r/>R", "R", kGood, 0, 0, 2},
        {"<a><![CDATA[x</a>y>]]></a>R", "R", kGood, 0, 0, 1},
        {"\xEF\xBB\xBF<a/>R", "R", kGood, 0, 0, 1},
        {"text <a/>R", "R", kGood, 0, VEXA_ERROR_OUTSIDE_ELEMENT, 0},
    };
    for (const auto& [input, rest, state, readerCode, code, nodes] : cases) {
        SCOPED_TRACE(Escaped(input));
        std::istringstream in(input), again(input);
        VexaDocument reader, doc;
        std::string tag = "pre";
        reader.StreamIn(&in, &tag);
        EXPECT_EQ(state, in.rdstate());
        EXPECT_EQ(readerCode, reader.ErrorCode());
        EXPECT_EQ(rest, Rest(in));
        EXPECT_EQ("pre" + std::string(input), tag + rest);  // byte for byte, appended only

        again >> doc;
        EXPECT_EQ(code, doc.ErrorCode());
        EXPECT_EQ(nodes, CountChildren(doc));
        EXPECT_EQ(rest, Rest(again));
    }
}

// A node read on its own takes what its kind needs; from a failed stream
// it takes nothing and stays as it was.
TEST(StreamIn, SingleNodes) {
    const std::tuple<int, const char*, const char*, const char*> cases[] = {
        {VexaNode::DOCUMENT, "<!-- c --><a/>R", "R", "document ''\n  comment ' c '\n  element 'a'\n"},
        {VexaNode::ELEMENT, " <a x='1'><b/>t<!-- > --></a><b/>", "<b/>",
         "element 'a' x='1'\n  element 'b'\n  text 't'\n  comment ' > '\n"},
        {VexaNode::COMMENT, "\n<!-- a > \xFF -->R", "R", "comment ' a > \\xFF '\n"},
        {VexaNode::UNKNOWN, "<!DOCTYPE r [<!ENTITY e '>'>]>R", "R", "unknown '!DOCTYPE r [<!ENTITY e '>'>]'\n"},
        {VexaNode::UNKNOWN, "<![CDATA[<a>]]>]]>", "]]>", "unknown '![CDATA[<a>]]'\n"},
        {VexaNode::DECLARATION, "<?xml version='1.0' encoding='UTF-8'?>R", "R",
         "declaration '' v='1.0' e='UTF-8' s=''\n"},
        {VexaNode::TEXT, "a &amp;\n b<c/>", "<c/>", "text 'a & b'\n"},
        {VexaNode::TEXT, "\xA0t\xFF", "", "text '\\xA0t\\xFF'\n"},
    };
    for (const auto& [type, input, rest, dump] : cases) {
        SCOPED_TRACE(Escaped(input));
        std::istringstream in(input), failed(input);
        failed.setstate(std::ios::failbit);
        std::unique_ptr<VexaNode> node(NewNode(type)), untouched(NewNode(type)), fresh(NewNode(type));
        in >> *node;
        failed >> *untouched;
        EXPECT_EQ(dump, Dump(*node));
        EXPECT_EQ(rest, Rest(in));
        EXPECT_EQ(Dump(*fresh), Dump(*untouched));
        EXPECT_EQ(std::ios::failbit, failed.rdstate());
        EXPECT_EQ(input, Rest(failed));
        EXPECT_TRUE(!untouched->ToDocument() || untouched->ToDocument()->ErrorCode() == VEXA_ERROR_DOCUMENT_EMPTY);
    }
}

TEST(StreamIn, NestingLimit) {
    const std::string deep = Nest(100000);
    std::istringstream in(deep), again(deep);
    VexaDocument doc;
    VexaElement element("");  // no document: the default limit
    in >> doc;
    again >> element;
    EXPECT_EQ(VEXA_ERROR_DEPTH, doc.ErrorCode());
    EXPECT_EQ("a", element.ValueStr());
    // Every level stops at the '>' of the first start tag past the limit.
    EXPECT_EQ(deep.substr(3 * (doc.MaxDepth() + 1) - 1), Rest(in));
    EXPECT_TRUE(in.good() && again.good());

    // At a limit set on the document the stream agrees with the text parse.
    for (int limit = 2; limit <= 4; ++limit) {
        VexaDocument streamed, parsed;
        streamed.SetMaxDepth(limit);
        parsed.SetMaxDepth(limit);
        std::istringstream small("<a><b><c/></b></a>R");
        small >> streamed;
        parsed.Parse("<a><b><c/></b></a>");
        EXPECT_EQ(limit < 3 ? VEXA_ERROR_DEPTH : VEXA_ERROR_NONE, streamed.ErrorCode()) << limit;
        EXPECT_EQ(Dump(parsed), Dump(streamed)) << limit;
        EXPECT_EQ(limit < 3 ? "></b></a>R" : "R", Rest(small)) << limit;
    }
}

// A stream reads the same tree as Parse of the same text, up to the end of
// the first top-level element (the stream reads one document).
TEST(StreamIn, SameTreeAsParse) {
    std::vector<std::string> texts = {"<a><b x='1>2'>t</b>< c/><![CDATA[]]]]>]]></a><d/>",
                                      "<A>x<b/>y</a>",
                                      "<a><b></a>",
                                      "<!-->x--><a/>",
                                      "<!-- only -->",
                                      "junk<b/>",
                                      "<a>t< /a>",
                                      "<?pi x?>\r\n<!DOCTYPE a SYSTEM \"x>y\">\n<a>\r\n  <b\tx = \"1\"\n/>\r\n</a>"};
    for (const std::string& path : DataFiles()) texts.push_back(ReadFile(path));
    for (const std::string& text : texts) {
        SCOPED_TRACE(Escaped(text));
        std::istringstream in(text);
        VexaDocument streamed, parsed;
        in >> streamed;
        parsed.Parse(text.c_str());
        // A node after the first element is the only one that can have failed.
        bool later = false;
        for (VexaNode* first = parsed.FirstChildElement(); first && first->NextSibling(); later = true)
            parsed.RemoveChild(first->NextSibling());
        EXPECT_EQ(Dump(parsed), Dump(streamed));
        EXPECT_EQ(later ? VEXA_ERROR_NONE : parsed.ErrorCode(), streamed.ErrorCode());
        EXPECT_TRUE(later || (parsed.ErrorRow() == streamed.ErrorRow() && parsed.ErrorCol() == streamed.ErrorCol()));
    }
}

}  // namespace
