// White space: what text a document holds with condensing on and off, under
// xml:space, with each form of line end; what the indented form adds to it;
// and that printing what was parsed from a printed form changes nothing.
#include "test_util.h"

using namespace vexatest;

namespace {

// Every text node's value in document order, each escaped, '|' between.
void CollectTexts(const VexaNode& node, std::string* out) {
    if (node.ToText()) *out += (out->empty() ? "" : "|") + Escaped(node.ValueStr());
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) CollectTexts(*c, out);
}

std::string Texts(const char* xml, bool condense) {
    CondenseScope scope(condense);
    VexaDocument doc;
    doc.Parse(xml);
    if (doc.Error()) return std::string("error ") + doc.ErrorText();
    std::string out;
    CollectTexts(doc, &out);
    return out;
}

struct TextRow {
    const char* xml;
    const char* condensed;  // the texts read with condensing on
    const char* kept;       // and off
};

const TextRow kTextRows[] = {
    // Mixed content: the space between two elements is a word's space.
    {"<p>Click <b>here</b> <i>now</i>, please.</p>", "Click|here|now|, please.", "Click |here| |now|, please."},
    // Layout between elements, and before and after a comment.
    {"<a>\n  <b/>\n  <c>x</c>\n</a>", "x", "\\x0A  |\\x0A  |x|\\x0A"},
    {"<a> <!--c--> x </a>", "x", " | x "},
    // xml:space: applies to descendants, "default" ends it, another value
    // leaves what held outside.
    {"<a> <b xml:space=\"preserve\"> x  <c> y </c><d xml:space=\"default\"> z  <e/> </d> </b> </a>", " x  | y |z| ",
     " | x  | y | z  | | | "},
    {"<a xml:space=\"preserve\"><b xml:space=\"other\"> x </b> </a>", " x | ", " x | "},
    {"<w:p><w:t xml:space=\"preserve\"> </w:t><w:t>a </w:t></w:p>", " |a", " |a "},
    // Among many attributes (the start tag then keeps them in a table).
    {"<a b0='' b1='' b2='' b3='' b4='' b5='' b6='' b7='' b8='' b9='' c0='' c1='' c2='' c3='' c4='' c5='' c6=''"
     " xml:space='preserve' d=''> x </a>",
     " x ", " x "},
    // Line ends written in text read as LF; a CR from a reference stays.
    {"<a>x\r\ny\rz\r\n</a>", "x y z", "x\\x0Ay\\x0Az\\x0A"},
    {"<a>x&#xd;&#x0D;\r\n</a>", "x\\x0D\\x0D", "x\\x0D\\x0D\\x0A"},
    {"<a xml:space=\"preserve\">\r\n x\r\r\n</a>", "\\x0A x\\x0A\\x0A", "\\x0A x\\x0A\\x0A"},
    // A blank text from a reference goes only where text is condensed.
    {"<a>&#x20;<b/></a>", "", " "},
};

TEST(WhiteSpace, TextsReadInEachSetting) {
    for (const TextRow& row : kTextRows) {
        EXPECT_EQ(row.condensed, Texts(row.xml, true)) << Escaped(row.xml);
        EXPECT_EQ(row.kept, Texts(row.xml, false)) << Escaped(row.xml);
    }
}

TEST(WhiteSpace, LineEndsLeaveRowsAndColumns) {
    const char* const xml = "<a>\r\n<b/>\r<c/>\r\n\r\n <d/>\n\r<e/></a>";
    const int want[][2] = {{1, 0}, {2, 0}, {4, 1}, {5, 0}};  // "\n\r" counts once, as "\r\n" does
    for (bool condense : {true, false}) {
        CondenseScope scope(condense);
        VexaDocument doc;
        doc.Parse(xml);
        ASSERT_FALSE(doc.Error()) << doc.ErrorText();
        const VexaElement* e = doc.FirstChildElement()->FirstChildElement();
        for (const auto& at : want) {
            ASSERT_TRUE(e);
            EXPECT_EQ(at[0], e->Row()) << e->Value() << " condense " << condense;
            EXPECT_EQ(at[1], e->Column()) << e->Value() << " condense " << condense;
            e = e->NextSiblingElement();
        }
        // CDATA sections and processing instructions read line ends so too.
        VexaDocument marked;
        marked.Parse("<a><![CDATA[x\r\ny\r]]><?p a\r\nb?><!--c\r\n--></a>");
        const VexaNode* cdata = marked.FirstChildElement()->FirstChild();
        ASSERT_TRUE(cdata && cdata->NextSibling());
        EXPECT_EQ("![CDATA[x\ny\n]]", cdata->ValueStr());
        EXPECT_EQ("?p a\nb?", cdata->NextSibling()->ValueStr());
        // Kept text starts where its white space does.
        const VexaNode* first = doc.FirstChildElement()->FirstChild();
        EXPECT_EQ(condense ? VexaNode::ELEMENT : VexaNode::TEXT, first->Type());
        EXPECT_EQ(condense ? 1 : 0, first->Row());
    }
}

struct PrintRow {
    bool condense;
    const char* xml;
    const char* printed;
};

const PrintRow kPrintRows[] = {
    // Classic layout where the text was condensed; spaces from references
    // that a condensing reader would drop are written as references.
    {true, "<a>&#x20;a &#x20;b&#x20;<b/></a>", "<a>&#x20;a &#x20;b&#x20;\n    <b />\n</a>\n"},
    {true, "<p>Click <b>here</b> <i>now</i>, please.</p>",
     "<p>Click\n    <b>here</b>\n    <i>now</i>, please.\n</p>\n"},
    // Kept: written as it was read, line feeds and tabs in text as they are.
    {false, "<p>Click <b>here</b> <i>now</i>, please.</p>", "<p>Click <b>here</b> <i>now</i>, please.</p>\n"},
    {false, "<?xml version=\"1.0\"?>\r\n<a>\r\n\t<b>x</b><c/>\n</a>",
     "<?xml version=\"1.0\" ?>\n<a>\n\t<b>x</b><c />\n</a>\n"},
    {false, "<a><!--c--><b/><![CDATA[ x ]]></a>", "<a><!--c--><b /><![CDATA[ x ]]></a>\n"},
    {false, "<a>x&#xD;y\r\nz</a>", "<a>x&#x0D;y\nz</a>\n"},
    // xml:space="preserve" in a condensed document: nothing added inside,
    // and a "default" inside it has its layout again.
    {true, "<a><b xml:space=\"preserve\"><c/> <d/></b><e/></a>",
     "<a>\n    <b xml:space=\"preserve\"><c /> <d /></b>\n    <e />\n</a>\n"},
    {true, "<a xml:space=\"preserve\"><b xml:space=\"default\"><c/></b>\n</a>",
     "<a xml:space=\"preserve\"><b xml:space=\"default\">\n        <c />\n    </b>\n</a>\n"},
    {true, "<a xml:space=\"preserve\"><b>x\ty</b><c/></a>", "<a xml:space=\"preserve\"><b>x\ty</b><c /></a>\n"},
};

TEST(WhiteSpace, IndentedFormAddsNoText) {
    for (const PrintRow& row : kPrintRows) {
        CondenseScope scope(row.condense);
        VexaDocument doc;
        doc.Parse(row.xml);
        ASSERT_FALSE(doc.Error()) << row.xml << ": " << doc.ErrorText();
        EXPECT_EQ(!row.condense, doc.WhiteSpaceKept());
        std::string out;
        doc.PrintTo(&out);
        EXPECT_EQ(row.printed, out) << Escaped(row.xml);
        EXPECT_EQ(out, Printed(doc)) << Escaped(row.xml);
        // A copy prints as its source does.
        std::unique_ptr<VexaNode> copy(doc.Clone());
        std::string copied;
        copy->PrintTo(&copied);
        EXPECT_EQ(out, copied) << Escaped(row.xml);
    }
}

TEST(WhiteSpace, KeptDocumentsAndPreservedSubtrees) {
    VexaDocument kept;
    {
        CondenseScope scope(false);
        kept.Parse("<a>\n<b/></a>");
    }
    // A node added later gets no layout either; a parse with condensing on
    // gives the classic layout again.
    kept.FirstChildElement()->LinkEndChild(new VexaElement("c"));
    std::string out;
    kept.PrintTo(&out);
    EXPECT_EQ("<a>\n<b /><c /></a>\n", out);
    kept.Clear();
    kept.Parse("<a>\n<b/></a>");
    EXPECT_FALSE(kept.WhiteSpaceKept());
    out.clear();
    kept.PrintTo(&out);
    EXPECT_EQ("<a>\n    <b />\n</a>\n", out);

    // A subtree printed alone knows the xml:space its ancestors set.
    VexaDocument doc;
    doc.Parse("<a xml:space=\"preserve\"><b><c/></b><d xml:space=\"default\"><e><f/></e></d></a>");
    const VexaElement* b = doc.FirstChildElement()->FirstChildElement("b");
    const VexaElement* e = doc.FirstChildElement()->FirstChildElement("d")->FirstChildElement();
    out.clear();
    b->PrintTo(&out);
    EXPECT_EQ("<b><c /></b>", out);
    out.clear();
    e->PrintTo(&out);
    EXPECT_EQ("<e>\n    <f />\n</e>", out);
}

// print(parse(print(parse(x)))) == print(parse(x)), in both forms and both
// settings, for every fixture and every row above.
TEST(WhiteSpace, PrintedFormsAreFixedPoints) {
    std::vector<std::string> inputs;
    for (const std::string& path : DataFiles()) inputs.push_back(path);
    for (const auto& entry : std::filesystem::directory_iterator(DataPath("encodings")))
        inputs.push_back(entry.path().string());
    for (const TextRow& row : kTextRows) inputs.push_back(std::string("!") + row.xml);
    for (const PrintRow& row : kPrintRows) inputs.push_back(std::string("!") + row.xml);
    for (bool condense : {true, false}) {
        CondenseScope scope(condense);
        for (const std::string& input : inputs) {
            VexaDocument doc;
            if (input[0] == '!') {
                doc.Parse(input.c_str() + 1);
            } else {
                doc.LoadFile(input.c_str());
            }
            ASSERT_FALSE(doc.Error()) << input << ": " << doc.ErrorText();
            std::string printed, compact = Compact(doc);
            doc.PrintTo(&printed);
            VexaDocument again, compactAgain;
            again.SetTextEncoding(doc.TextEncoding());  // a printed form has no byte order mark
            compactAgain.SetTextEncoding(doc.TextEncoding());
            again.Parse(printed.c_str());
            compactAgain.Parse(compact.c_str());
            std::string reprinted;
            again.PrintTo(&reprinted);
            EXPECT_EQ(printed, reprinted) << input << " condense " << condense;
            EXPECT_EQ(compact, Compact(compactAgain)) << input << " condense " << condense;
        }
    }
}

}  // namespace
