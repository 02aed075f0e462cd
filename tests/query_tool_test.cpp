// vexa query: items with their one-based locations, values for scripts,
// grep's exit statuses and a caret under a bad expression.
#include <sys/stat.h>
#include <sys/wait.h>

#include "test_util.h"

#if defined(VEXA_TOOL_PATH) && !defined(VEXA_NO_XPATH)

using namespace vexatest;

namespace {

class QueryToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        WriteFile(dir + "/a.xml",
                  "<?xml version=\"1.0\"?>\n<r>\n  <e id=\"1\" k='a&amp;b'>one<![CDATA[<two>]]></e>\n"
                  "\t<e id=\"2\">x\n y</e>\n  <!-- c -->\n</r>\n");
        WriteFile(dir + "/b.xml", "<r><e id=\"3\"/></r>");
        WriteFile(dir + "/bad.xml", "<r><e></r>");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    struct Run {
        int status;
        std::string out, err;
    };
    Run Tool(const std::string& args, const std::string& input = "") {
        WriteFile(dir + "/.in", input);
        const std::string command = "cd '" + dir + "' && '" VEXA_TOOL_PATH "' " + args + " <.in >.out 2>.err";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir + "/.out"), ReadFile(dir + "/.err")};
    }

    const std::string dir = TempPath("query");
};

TEST_F(QueryToolTest, ItemsValuesAndStatuses) {
    const std::tuple<const char*, const char*, int, const char*, const char*> cases[] = {
        {"query //e a.xml", "", 0,
         "a.xml:3:3: <e id=\"1\" k=\"a&amp;b\">one<![CDATA[<two>]]></e>\na.xml:4:5: <e id=\"2\">x y</e>\n", ""},
        {"--keep-white-space query '//e[2]/text()' a.xml", "", 0, "a.xml:4:15: x&#xA; y\n", ""},
        {"query //@k a.xml", "", 0, "a.xml:3:13: k=\"a&amp;b\"\n", ""},
        {"query '//e[1]/text()' a.xml", "", 0, "a.xml:3:25: one&lt;two&gt;\n", ""},
        {"query '//comment()' a.xml", "", 0, "a.xml:6:3: <!-- c -->\n", ""},
        {"query / b.xml", "", 0, "b.xml:1:1: <r><e id=\"3\" /></r>\n", ""},
        {"query --value '//e[1]' a.xml", "", 0, "one<two>\n", ""},
        {"query --value //@id a.xml b.xml", "", 0, "1\n2\n3\n", ""},
        {"query 'count(//e)' a.xml", "", 0, "2\n", ""},
        {"query 'count(//e)' a.xml b.xml", "", 0, "a.xml: 2\nb.xml: 1\n", ""},
        {"query 'string(//nothing)'", "<r/>", 0, "\n", ""},
        {"query 'sum(//@id) div 0'", "<r/>", 0, "NaN\n", ""},
        {"query //e", "<r><e/></r>", 0, "<stdin>:1:4: <e />\n", ""},
        {"query //nothing a.xml b.xml", "", 1, "", ""},
        // One subtree at a time, each the context, located in the whole file.
        {"query --each e x", "<r>\n<e id='1'><x/></e>\n<e id='2'/></r>", 0, "<stdin>:2:11: <x />\n", ""},
        {"query --each e 'count(x)'", "<r>\n<e id='1'><x/></e>\n<e id='2'/></r>", 0, "1\n0\n", ""},
        {"query --each e @id", "<r>\n<e id='1'><x/></e>\n<e id='2'/></r>", 0,
         "<stdin>:2:4: id=\"1\"\n<stdin>:3:4: id=\"2\"\n", ""},
        {"query --each e y", "<r><e/></r>", 1, "", ""},
        {"query '//e[@id=3]' a.xml b.xml", "", 0, "b.xml:1:4: <e id=\"3\" />\n", ""},
        {"query '//e[' a.xml", "", 2, "",
         "vexa: query: bad expression at offset 4: Unexpected token in expression.\n  //e[\n      ^\n"},
        {"query 'count(1)'", "", 2, "",
         "vexa: query: bad expression at offset 0: Expected a node-set.\n  count(1)\n  ^\n"},
        {"query //e missing.xml b.xml", "", 2, "b.xml:1:4: <e id=\"3\" />\n",
         "vexa: cannot open 'missing.xml': No such file or directory\n"},
        {"--no-context query //e bad.xml", "", 2, "", "bad.xml:1:7: error: Error reading end tag.\n"},
        {"query", "", 2, "", "vexa: 'query' needs an expression (see 'vexa query --help')\n"},
        {"check --value a.xml", "", 2, "", "vexa: --value is an option of 'query' (see 'vexa check --help')\n"},
    };
    for (const auto& c : cases) {
        const Run run = Tool(std::get<0>(c), std::get<1>(c));
        EXPECT_EQ(run.status, std::get<2>(c)) << std::get<0>(c);
        EXPECT_EQ(run.out, std::get<3>(c)) << std::get<0>(c);
        EXPECT_EQ(run.err, std::get<4>(c)) << std::get<0>(c);
    }
}

}  // namespace

#endif
