// Reading documents and single nodes from input streams.
#include <glob.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

using namespace ORMELA;
using vexatest::Dump;

namespace {

const std::ios::iostate kGood = std::ios::goodbit, kEof = std::ios::eofbit, kEnd = std::ios::eofbit | std::ios::failbit;

// What the stream still holds, taken through its buffer.
std::string Rest(std::istream& in) {
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A buffer without a get area, as a pipe's may be: every character is a call.
struct OneByOne : std::streambuf {
    explicit OneByOne(const std::string& s) : text(s) {}
    int_type underflow() override {
        return pos < text.size() ? traits_type::to_int_type(text[pos]) : traits_type::eof();
    }
    int_type uflow() override { return pos < text.size() ? traits_type::to_int_type(text[pos++]) : traits_type::eof(); }
    std::string text;
    size_t pos = 0;
};

// A fresh node of the given kind.
std::unique_ptr<VexaNode> Make(int type) {
    const VexaDocument document;
    const VexaElement element("");
    const VexaComment comment;
    const VexaUnknown unknown;
    const VexaText text("");
    const VexaDeclaration declaration;
    const VexaNode* const kinds[] = {&document, &element, &comment, &unknown, &text, &declaration};
    return std::unique_ptr<VexaNode>(kinds[type]->Clone());
}

}  // namespace

TEST(StreamIn, DocumentsOneAfterAnother) {
    const std::vector<std::string> docs = {"<?xml version='1.0'?><r>1</r>", "\n<!-- two > --><r a='2'/>",
                                           "  <r><x/>3</r>", "\t<r\n>4</R>"};
    std::string all;
    for (const std::string& d : docs) all += d;
    all += " tail";
    const std::string path = vexatest::TempPath("stream_in");
    std::ofstream(path.c_str(), std::ios::binary) << all;
    for (int kind = 0; kind < 3; ++kind) {
        for (size_t k = 0; k < docs.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "stream kind " << kind << ", document " << k);
            std::istringstream text(all);
            std::ifstream file(path.c_str(), std::ios::binary);
            OneByOne pipe(all);
            std::istream piped(&pipe);
            std::istream& in = kind == 0 ? text : kind == 1 ? static_cast<std::istream&>(file) : piped;
            VexaDocument doc;
            for (size_t i = 0; i <= k; ++i) {
                doc.Clear();
                in >> doc;
            }
            VexaDocument ref;
            ref.Parse(docs[k].c_str());
            EXPECT_EQ(Dump(ref), Dump(doc));
            EXPECT_EQ(VEXA_ERROR_NONE, doc.ErrorCode());
            EXPECT_EQ(kGood, in.rdstate());
            std::string rest;
            for (size_t i = k + 1; i < docs.size(); ++i) rest += docs[i];
            EXPECT_EQ(rest + " tail", Rest(in));
        }
    }
    std::remove(path.c_str());
}

// Where the document reader stops, the stream flags it leaves and the code
// it records; then the code and top-level node count after operator>>, whose
// parse replaces the reader's error.
TEST(StreamIn, DocumentReaderStops) {
    const struct {
        const char *input, *rest;
        std::ios::iostate state;
        int readerCode, code, nodes;
    } cases[] = {
        {"<?xml version='1.0'?>\n<!-- c -->\n<a x='1'>t<b/>u</a>TAIL", "TAIL", kGood, 0, 0, 3},
        {"<a/><b/>", "<b/>", kGood, 0, 0, 1},
        {"<a/>", "", kGood, 0, 0, 1},
        {"<a></a>", "", kGood, 0, 0, 1},
        {"", "", kEof, VEXA_ERROR_EMPTY_TAG, VEXA_ERROR_DOCUMENT_EMPTY, 0},
        {" \n tail", "", kEof, VEXA_ERROR_EMPTY_TAG, 0, 0},
        {"<a x='1'", "", kEof, VEXA_ERROR_GENERIC, VEXA_ERROR_ELEMENT, 1},  // inside a start tag
        {"<a><b>text", "", kEof, 0, VEXA_ERROR_ELEMENT_VALUE, 1},           // inside content
        {"<a><!-- x > y", "", kEnd, 0, VEXA_ERROR_ELEMENT_VALUE, 1},        // inside a comment
        {"<!-- x > y", "", kEnd, VEXA_ERROR_GENERIC, 0, 1},                 // an open comment: no parse error
        {"<a x='/>'>t</a>R", "'>t</a>R", kGood, 0, VEXA_ERROR_ELEMENT, 1},  // "/>" ends the start tag
        {"<a x='1>2'>t</a>R", "R", kGood, 0, 0, 1},                         // '>' does not
        {"<a><b>x<\n\t/b></a>R", "R", kGood, 0, VEXA_ERROR_END_TAG, 1},     // closes for the reader only
        {"<a>x</b>R", "R", kGood, 0, VEXA_ERROR_END_TAG, 1},
        {"<!-- a > b --><a/>R", "R", kGood, 0, 0, 2},
        {"<?xml version='1>'?><a/>R", "><a/>R", kGood, VEXA_ERROR_GENERIC, 0, 1},
        {"<!-- c --> x <a/>R", ">R", kGood, VEXA_ERROR_GENERIC, 0, 1},
        {"<!DOCTYPE r [<!ENTITY e \"a>b\"><!-- ]> --><?p ]>?>]>\n<r/>R", "R", kGood, 0, 0, 2},
        {"<a><![CDATA[x</a>y>]]></a>R", "R", kGood, 0, 0, 1},
        {"\xEF\xBB\xBF<a/>R", "R", kGood, 0, 0, 1},
        {"text <a/>R", "R", kGood, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(vexatest::Escaped(c.input));
        std::istringstream in(c.input);
        VexaDocument reader;
        std::string tag = "pre";
        reader.StreamIn(&in, &tag);
        EXPECT_EQ(c.state, in.rdstate());
        EXPECT_EQ(c.readerCode, reader.ErrorCode());
        const std::string rest = Rest(in);
        EXPECT_EQ(c.rest, rest);
        EXPECT_EQ("pre" + std::string(c.input), tag + rest);  // byte for byte, appended only

        std::istringstream again(c.input);
        VexaDocument doc;
        again >> doc;
        EXPECT_EQ(c.code, doc.ErrorCode());
        int nodes = 0;
        for (const VexaNode* n = doc.FirstChild(); n; n = n->NextSibling()) ++nodes;
        EXPECT_EQ(c.nodes, nodes);
        EXPECT_EQ(c.rest, Rest(again));
    }
}

// A node read on its own takes what its kind needs; from a failed stream
// it takes nothing and stays as it was.
TEST(StreamIn, SingleNodes) {
    const struct {
        int type;
        const char *input, *rest, *dump;
    } cases[] = {
        {VexaNode::DOCUMENT, "<!-- c --><a/>R", "R", "document ''\n  comment ' c '\n  element 'a'\n"},
        {VexaNode::ELEMENT, "<a x='1'><b/>t<!-- > --></a>R", "R",
         "element 'a' x='1'\n  element 'b'\n  text 't'\n  comment ' > '\n"},
        {VexaNode::ELEMENT, " <a/><b/>", "<b/>", "element 'a'\n"},
        {VexaNode::ELEMENT, "<a x='/>'>t</a>", "'>t</a>", "element 'a'\n"},
        {VexaNode::COMMENT, "\n<!-- a > b -->R", "R", "comment ' a > b '\n"},
        {VexaNode::UNKNOWN, "<!DOCTYPE r [<!ENTITY e '>'>]>R", "R", "unknown '!DOCTYPE r [<!ENTITY e '>'>]'\n"},
        {VexaNode::UNKNOWN, "<![CDATA[<a>]]>]]>", "]]>", "unknown '![CDATA[<a>]]'\n"},
        {VexaNode::DECLARATION, "<?xml version='1.0' encoding='UTF-8'?>R", "R",
         "declaration '' v='1.0' e='UTF-8' s=''\n"},
        {VexaNode::TEXT, "a &amp;\n b<c/>", "<c/>", "text 'a & b'\n"},
        {VexaNode::TEXT, "tail", "", "text 'tail'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(vexatest::Escaped(c.input));
        std::istringstream in(c.input), failed(c.input);
        failed.setstate(std::ios::failbit);
        std::unique_ptr<VexaNode> node = Make(c.type), untouched = Make(c.type);
        in >> *node;
        failed >> *untouched;
        EXPECT_EQ(c.dump, Dump(*node));
        EXPECT_EQ(c.rest, Rest(in));
        EXPECT_EQ(Dump(*Make(c.type)), Dump(*untouched));
        EXPECT_EQ(std::ios::failbit, failed.rdstate());
        EXPECT_EQ(c.input, Rest(failed));
        if (const VexaDocument* doc = untouched->ToDocument()) {
            EXPECT_EQ(VEXA_ERROR_DOCUMENT_EMPTY, doc->ErrorCode());
        }
    }
}

TEST(StreamIn, NestingLimit) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
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

TEST(StreamIn, ScanningHelpers) {
    const int kWhite = 0;  // StreamWhiteSpace rather than StreamTo
    const struct {
        int stop;
        bool failed, result;
        const char *input, *tag;
        std::ios::iostate state;
    } cases[] = {
        {kWhite, false, true, " \t\r\n\v\fx", " \t\r\n\v\f", kGood},
        {kWhite, false, true, " \n\t", " \n\t", kEof},
        {kWhite, false, true, "", "", kEof},
        {kWhite, false, true, "\xA0", "", kGood},
        {kWhite, true, false, " ", "", std::ios::failbit},
        {'<', true, false, "<", "", std::ios::failbit},
        {'<', false, true, "<a", "", kGood},
        {'<', false, true, "ab <", "ab ", kGood},
        {'<', false, false, "ab", "ab", kEof},
        {'<', false, false, "", "", kEof},
        {'>', false, true, "\xFF>", "\xFF", kGood},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stop << " '" << vexatest::Escaped(c.input) << "'");
        std::istringstream in(c.input);
        if (c.failed) in.setstate(std::ios::failbit);
        std::string tag = "pre";
        const bool result =
            c.stop == kWhite ? VexaBase::StreamWhiteSpace(&in, &tag) : VexaBase::StreamTo(&in, c.stop, &tag);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ("pre" + std::string(c.tag), tag);
        EXPECT_EQ(c.state, in.rdstate());
        EXPECT_EQ(std::string(c.input).substr(std::string(c.tag).size()), Rest(in));
    }
}

// A stream reads the same tree as Parse of the same text, up to the end of
// the first top-level element (the stream reads one document).
TEST(StreamIn, SameTreeAsParse) {
    const char* const literals[] = {
        "<a><b x='1>2'>t</b>< c/><![CDATA[]]]]>]]></a><d/>",
        "\xEF\xBB\xBF<?xml version='1.0'?><a>&lt;&#x41;</a>",
        "<A>x<b/>y</a>",
        "<a><b></a>",
        "<!-- only -->",
        "<!-->x--><a/>",
        " \n\t",
        "",
        "<a/>junk<b/>",
        "<a/><b",
        "<a>t< /a>",
        "<a>\r\n  <b\tx = \"1\"\n/>\r\n</a>",
        "<?pi x?><!DOCTYPE a><a/>",
        "<!DOCTYPE a SYSTEM \"x>y\"><a/>",
        "<!DOCTYPE r [<!ENTITY e 'a>b'><!-- ]> --><?pi ]>?>]>\n<r a='1'>x<![CDATA[<y>]]>z</r><!-- after -->"};
    std::vector<std::pair<std::string, std::string> > texts;
    for (const char* literal : literals) texts.emplace_back(vexatest::Escaped(literal), literal);
    glob_t found;
    if (glob((std::string(VEXA_TEST_DATA_DIR) + "/*.xml").c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            texts.emplace_back(found.gl_pathv[i], vexatest::ReadFile(found.gl_pathv[i]));
    }
    globfree(&found);
    for (const auto& named : texts) {
        SCOPED_TRACE(named.first);
        std::istringstream in(named.second);
        VexaDocument streamed, parsed;
        in >> streamed;
        parsed.Parse(named.second.c_str());
        // A node after the first element is the only one that can have failed.
        bool later = false;
        if (VexaNode* first = parsed.FirstChildElement()) {
            for (; first->NextSibling(); later = true) parsed.RemoveChild(first->NextSibling());
        }
        EXPECT_EQ(Dump(parsed), Dump(streamed));
        EXPECT_EQ(later ? VEXA_ERROR_NONE : parsed.ErrorCode(), streamed.ErrorCode());
        if (!later) {
            EXPECT_EQ(parsed.ErrorRow(), streamed.ErrorRow());
            EXPECT_EQ(parsed.ErrorCol(), streamed.ErrorCol());
        }
    }
}
