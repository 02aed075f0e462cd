// The vexa tool, run as a user runs it: exit statuses, messages with
// one-based locations, standard input, and the files it writes.
#include <sys/stat.h>
#include <sys/wait.h>

#include "test_util.h"

#ifdef VEXA_TOOL_PATH

using namespace vexatest;

namespace {

const char kGoodFormatted[] = "<?xml version=\"1.0\" ?>\n<a x=\"1\">\n    <b>text</b>\n    <!-- c -->\n</a>\n";

struct ToolRun {
    int status;
    std::string out, err;
};

class ToolTest : public ::testing::Test {
protected:
    // Sample files in a scratch directory that every run starts in, so that
    // messages name them without a directory.
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        WriteFile(dir + "/good.xml", "<?xml version=\"1.0\"?>\n<a x=\"1\">\n  <b>text</b>\n  <!-- c -->\n</a>\n");
        WriteFile(dir + "/bad.xml", "<a>\n  <b></c>\n</a>\n");
        WriteFile(dir + "/tab.xml", "<a>\n\t<b></c></a>\n");
        WriteFile(dir + "/trailing.xml", "<a/>\nhello\n");
        WriteFile(dir + "/empty.xml", "");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Runs the tool with args (shell words) and input on standard input.
    ToolRun Tool(const std::string& args, const std::string& input = "") {
        WriteFile(dir + "/.in", input);
        const std::string command = "cd '" + dir + "' && '" VEXA_TOOL_PATH "' " + args + " <.in >.out 2>.err";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir + "/.out"), ReadFile(dir + "/.err")};
    }

    const std::string dir = TempPath("tool");
};

TEST_F(ToolTest, StatusAndMessages) {
    // Arguments, standard input, exit status, standard output and error.
    const std::tuple<const char*, const char*, int, const char*, const char*> cases[] = {
        {"check good.xml", "", 0, "", ""},
        {"check -v bad.xml good.xml", "", 1, "good.xml: ok\n", "bad.xml:2:6: error: Error reading end tag.\n"},
        {"check tab.xml", "", 1, "", "tab.xml:2:8: error: Error reading end tag.\n"},
        {"--tab-size 8 check tab.xml", "", 1, "", "tab.xml:2:12: error: Error reading end tag.\n"},
        {"check trailing.xml", "", 1, "", "trailing.xml:2:1: error: Text outside any element.\n"},
        {"check empty.xml", "", 1, "", "empty.xml: error: Error document empty.\n"},
        {"check missing.xml good.xml", "", 2, "", "vexa: cannot open 'missing.xml': No such file or directory\n"},
        {"check -", "<a></b>", 1, "", "<stdin>:1:4: error: Error reading end tag.\n"},
        {"check -v", "<a/>", 0, "<stdin>: ok\n", ""},
        {"check --max-depth 2", "<a><b><c/></b></a>", 1, "", "<stdin>:1:7: error: Element nesting too deep.\n"},
        {"compact", "<a>\n  <b>x   y</b>\n</a>\n<!-- z -->", 0, "<a><b>x y</b></a><!-- z -->\n", ""},
        {"compact --keep-white-space", "<a>x   y</a>", 0, "<a>x   y</a>\n", ""},
        {"format", "<a><b>x</b><c/></a>", 0, "<a>\n    <b>x</b>\n    <c />\n</a>\n", ""},
        {"format good.xml", "", 0, kGoodFormatted, ""},
        {"format -o saved.xml good.xml", "", 0, "", ""},
        {"format -o no/such/dir/out.xml good.xml", "", 2, "", "vexa: cannot write 'no/such/dir/out.xml'\n"},
        {"format bad.xml", "", 1, "", "bad.xml:2:6: error: Error reading end tag.\n"},
        {"format good.xml bad.xml", "", 2, "", "vexa: 'format' takes one FILE at most (see 'vexa format --help')\n"},
        {"check --frob good.xml", "", 2, "", "vexa: unknown option '--frob' (see 'vexa --help')\n"},
        {"frob good.xml", "", 2, "", "vexa: unknown command 'frob' (see 'vexa --help')\n"},
        {"--tab-size x check", "", 2, "", "vexa: --tab-size needs a number from 0 to 256 (see 'vexa --help')\n"},
        {"compact -o out.xml", "", 2, "", "vexa: -o is an option of 'format' (see 'vexa compact --help')\n"},
        {"format -o", "", 2, "", "vexa: -o needs a file name (see 'vexa --help')\n"},
    };
    for (const auto& [args, input, status, out, err] : cases) {
        SCOPED_TRACE(args);
        const ToolRun run = Tool(args, input);
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err, err);
    }
    EXPECT_EQ(ReadFile(dir + "/saved.xml"), kGoodFormatted);  // what standard output gets
}

TEST_F(ToolTest, HelpAndVersion) {
    const ToolRun help = Tool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(Tool("-h").out, help.out);
    for (const char* option : {"--version", "--tab-size", "--keep-white-space", "--max-depth", "standard input"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    // The overview names each command; each command's help begins with its usage.
    for (const std::string command : {"check", "format", "compact", "stats"}) {
        EXPECT_NE(help.out.find("  " + command + " "), std::string::npos) << command;
        EXPECT_EQ(Tool(command + " --help").out.rfind("usage: vexa " + command + " ", 0), 0u) << command;
    }
    const ToolRun bare = Tool("");
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err.rfind("usage: vexa", 0), 0u);
    EXPECT_EQ(Tool("--version").out, "vexa " + std::to_string(VEXA_VERSION_MAJOR) + "." +
                                         std::to_string(VEXA_VERSION_MINOR) + "." + std::to_string(VEXA_VERSION_PATCH) +
                                         "\n");
}

TEST_F(ToolTest, StatsCountsEachKind) {
    const ToolRun json = Tool("stats --json good.xml bad.xml");
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.err, "bad.xml:2:6: error: Error reading end tag.\n");
    const std::string head =
        "[\n  {\"file\": \"good.xml\", \"ok\": true, \"elements\": 2, \"attributes\": 1, \"text\": 1, "
        "\"comments\": 1, \"declarations\": 1, \"unknown\": 0, \"depth\": 2, ";
    EXPECT_EQ(json.out.substr(0, head.size()), head);
    EXPECT_NE(json.out.find(",\n  {\"file\": \"bad.xml\", \"ok\": false, \"elements\": 2,"), std::string::npos);
    EXPECT_EQ(json.out.substr(json.out.size() - 4), "}\n]\n");
    const ToolRun text = Tool("stats -", "<a><!DOCTYPE d><b><c/></b></a>");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("<stdin>\n  status        ok\n  elements      3\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  unknown       1\n  depth         3\n"), std::string::npos) << text.out;
}

}  // namespace

#else

TEST(ToolTest, SkippedWithoutTheTool) { GTEST_SKIP() << "the vexa tool is not built (VEXA_BUILD_TOOLS=OFF)"; }

#endif
