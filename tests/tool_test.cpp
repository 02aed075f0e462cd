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
        {"check -v bad.xml good.xml", "", 1, "good.xml: ok\n",
         "bad.xml:2:6: error: Mismatched tag.\n  <b></c>\n     ^\n"},
        {"check tab.xml", "", 1, "", "tab.xml:2:8: error: Mismatched tag.\n\t<b></c></a>\n\t   ^\n"},
        {"--tab-size 8 check tab.xml", "", 1, "", "tab.xml:2:12: error: Mismatched tag.\n\t<b></c></a>\n\t   ^\n"},
        {"--no-context check tab.xml", "", 1, "", "tab.xml:2:8: error: Mismatched tag.\n"},
        {"check trailing.xml", "", 1, "", "trailing.xml:2:1: error: Content after the root element.\nhello\n^\n"},
        {"check --lenient trailing.xml", "", 1, "", "trailing.xml:2:1: error: Text outside any element.\nhello\n^\n"},
        {"check --lenient empty.xml", "", 1, "", "empty.xml: error: Error document empty.\n"},
        {"check missing.xml good.xml", "", 2, "", "vexa: cannot open 'missing.xml': No such file or directory\n"},
        {"check -", "<a></b>", 1, "", "<stdin>:1:4: error: Mismatched tag.\n<a></b>\n   ^\n"},
        {"check --lenient", "<a></A>", 0, "", ""},
        {"compact", "<a></A>", 0, "<a />\n", ""},
        {"compact --strict", "<a></A>", 1, "", "<stdin>:1:4: error: Mismatched tag.\n<a></A>\n   ^\n"},
        {"check --strict --lenient", "", 2, "",
         "vexa: --strict and --lenient exclude each other (see 'vexa check --help')\n"},
        {"check -v", "<a/>", 0, "<stdin>: ok\n", ""},
        {"check --max-depth 2", "<a><b><c/></b></a>", 1, "",
         "<stdin>:1:7: error: Element nesting too deep.\n<a><b><c/></b></a>\n      ^\n"},
        {"check --max-depth 2147483647", "<a><b><c/></b></a>", 0, "", ""},
        {"check --max-depth 2147483648", "<a/>", 2, "",
         "vexa: --max-depth needs a number from 1 to 2147483647 (see 'vexa --help')\n"},
        {"compact", "<a>\n  <b>x   y</b>\n</a>\n<!-- z -->", 0, "<a><b>x y</b></a><!-- z -->\n", ""},
        {"compact --keep-white-space", "<a>x   y</a>", 0, "<a>x   y</a>\n", ""},
        {"compact", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;&nbsp;</a>", 0,
         "<!DOCTYPE a [<!ENTITY e 'x'>]><a>x&nbsp;</a>\n", ""},
        {"compact --no-doctype", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", 0,
         "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&amp;e;</a>\n", ""},
        {"check", "<!DOCTYPE a [<!ENTITY e '&e;'>]>\n<a>&e;</a>", 1, "",
         "<stdin>:2:4: error: Entity refers to itself.\n<a>&e;</a>\n   ^\n"},
        {"compact --keep-white-space", "<p>Click <b>here</b> <i>now</i>.</p>", 0,
         "<p>Click <b>here</b> <i>now</i>.</p>\n", ""},
        {"format --keep-white-space", "<p>Click <b>here</b> <i>now</i>.</p>", 0,
         "<p>Click <b>here</b> <i>now</i>.</p>\n", ""},
        {"format --keep-white-space", "<a>\r\n\t<b>x</b>\r\n</a>", 0, "<a>\n\t<b>x</b>\n</a>\n", ""},
        {"format", "<a><b>x</b><c/></a>", 0, "<a>\n    <b>x</b>\n    <c />\n</a>\n", ""},
        {"format --indent 2", "<a><b><c/></b></a>", 0, "<a>\n  <b>\n    <c />\n  </b>\n</a>\n", ""},
        {"format --indent=0", "<a><b><c/></b></a>", 0, "<a>\n<b>\n<c />\n</b>\n</a>\n", ""},
        {"format --indent tab --crlf", "<a><b><c/></b></a>", 0, "<a>\r\n\t<b>\r\n\t\t<c />\r\n\t</b>\r\n</a>\r\n", ""},
        {"format --crlf --indent 1 -o crlf.xml good.xml", "", 0, "", ""},
        {"format good.xml", "", 0, kGoodFormatted, ""},
        {"format -o saved.xml good.xml", "", 0, "", ""},
        {"format -o no/such/dir/out.xml good.xml", "", 2, "", "vexa: cannot write 'no/such/dir/out.xml'\n"},
        {"format bad.xml", "", 1, "", "bad.xml:2:6: error: Error reading end tag.\n  <b></c>\n     ^\n"},
        {"format good.xml bad.xml", "", 2, "", "vexa: 'format' takes one FILE at most (see 'vexa format --help')\n"},
        {"check --frob good.xml", "", 2, "", "vexa: unknown option '--frob' (see 'vexa --help')\n"},
        {"frob good.xml", "", 2, "", "vexa: unknown command 'frob' (see 'vexa --help')\n"},
        {"--tab-size x check", "", 2, "", "vexa: --tab-size needs a number from 0 to 256 (see 'vexa --help')\n"},
        {"compact -o out.xml", "", 2, "", "vexa: -o is an option of 'format' (see 'vexa compact --help')\n"},
        {"format -o", "", 2, "", "vexa: -o needs a file name (see 'vexa --help')\n"},
        {"format --indent 17", "", 2, "", "vexa: --indent needs a number from 0 to 16 or 'tab' (see 'vexa --help')\n"},
        {"format --indent tabs", "", 2, "",
         "vexa: --indent needs a number from 0 to 16 or 'tab' (see 'vexa --help')\n"},
        {"check --indent 2 good.xml", "", 2, "", "vexa: --indent is an option of 'format' (see 'vexa check --help')\n"},
        {"compact --crlf", "", 2, "", "vexa: --crlf is an option of 'format' (see 'vexa compact --help')\n"},
    };
    for (const auto& [args, input, status, out, err] : cases) {
        SCOPED_TRACE(args);
        const ToolRun run = Tool(args, input);
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err, err);
    }
    EXPECT_EQ(ReadFile(dir + "/saved.xml"), kGoodFormatted);  // what standard output gets
    EXPECT_EQ(ReadFile(dir + "/crlf.xml"),
              "<?xml version=\"1.0\" ?>\r\n<a x=\"1\">\r\n <b>text</b>\r\n <!-- c -->\r\n</a>\r\n");
}

// The line under each diagnostic: the source line, then a caret under the
// column, with the line's tabs kept in the caret's padding.
TEST_F(ToolTest, ContextLines) {
    // Arguments, standard input, exit status and standard error.
    const std::tuple<const char*, std::string, int, const char*> cases[] = {
        // At the start of a line, in its middle, on the last line of the text.
        {"check", "<a>\n</b>", 1, "<stdin>:2:1: error: Mismatched tag.\n</b>\n^\n"},
        {"check", "<a>\n  <b x='1'></c>\n</a>", 1,
         "<stdin>:2:12: error: Mismatched tag.\n  <b x='1'></c>\n           ^\n"},
        {"check", "<a>\n<b", 1, "<stdin>:2:1: error: Unclosed markup at the end of the text.\n<b\n^\n"},
        {"check --lenient", "<a>\n<b", 1, "<stdin>:2:2: error: Failed to read Element name\n<b\n ^\n"},
        // After tabs, whatever the tab size: the padding copies them.
        {"check", "<a>\n\t\t<b>\tx</c></a>", 1,
         "<stdin>:2:14: error: Mismatched tag.\n\t\t<b>\tx</c></a>\n\t\t   \t ^\n"},
        {"--tab-size 8 check", "<a>\n\t\t<b>\tx</c></a>", 1,
         "<stdin>:2:26: error: Mismatched tag.\n\t\t<b>\tx</c></a>\n\t\t   \t ^\n"},
        // Rows end at "\r\n", "\n\r", "\r" and "\n", as the parser counts them.
        {"check", "<a>\r\n<b>\n\r<c>\r\r<d>\n\n</x>", 1, "<stdin>:7:1: error: Mismatched tag.\n</x>\n^\n"},
        // Control bytes show as spaces; a byte order mark is not part of row 1.
        {"check --lenient", std::string("<a/>\0x", 6), 0,
         "<stdin>:1:5: warning: parse stopped at a zero byte; the rest of the file is ignored\n<a/> x\n    ^\n"},
        {"check", std::string("<a/>\0x", 6), 1, "<stdin>:1:5: error: Character not allowed.\n<a/> x\n    ^\n"},
        {"check --lenient", "\xEF\xBB\xBF<a>x\x01y</a> x", 1,
         "<stdin>:1:12: error: Text outside any element.\n<a>x y</a> x\n           ^\n"},
        // In UTF-8 (the tool's default without a declared encoding) a column is a character.
        {"check", "<a>caf\xC3\xA9</b>", 1, "<stdin>:1:8: error: Mismatched tag.\n<a>caf\xC3\xA9</b>\n       ^\n"},
        {"--encoding legacy check", "<a>caf\xC3\xA9</b>", 1,
         "<stdin>:1:9: error: Mismatched tag.\n<a>caf\xC3\xA9</b>\n        ^\n"},
        {"stats --no-context", "<a></b>", 1, "<stdin>:1:4: error: Error reading end tag.\n"},
        {"stats --no-context --strict", "<a></B>", 1, "<stdin>:1:4: error: Mismatched tag.\n"},
        // No place, no context: nothing to point at, or locations not counted.
        {"check --lenient", "", 1, "<stdin>: error: Error document empty.\n"},
        {"--tab-size 0 check", "<a></b>", 1, "<stdin>:1:1: error: Mismatched tag.\n"},
    };
    for (const auto& [args, input, status, err] : cases) {
        SCOPED_TRACE(args + (" " + Escaped(input)));
        const ToolRun run = Tool(args, input);
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.err, err);
    }
}

// A line longer than 120 columns shows a window of at most 120 around the
// error, "..." marks included, with the caret under the same character.
TEST_F(ToolTest, ContextOfLongLines) {
    const std::string e = Repeat("<e/>", 100), head = "<r>" + e, tail = e + "<f/>";
    const std::string message = ": error: Mismatched tag.\n";
    // Input, the error's column and the context expected.
    const std::tuple<std::string, int, std::string> cases[] = {
        // Near the start: cut on the right only.
        {"<r></x>" + e, 4, ("<r></x>" + e).substr(0, 117) + "...\n   ^\n"},
        // In the middle: cut on both sides, the caret near the middle.
        {head + "</x>" + tail, 404,
         "..." + Repeat("<e/>", 14) + "</x>" + Repeat("<e/>", 13) + "<e...\n" + std::string(59, ' ') + "^\n"},
        // Near the end: cut on the left only.
        {head + "</x>", 404, "..." + (head + "</x>").substr(290) + "\n" + std::string(116, ' ') + "^\n"},
        // Exactly 120 columns: shown whole.
        {"<r>" + std::string(113, 'x') + "</x>", 117,
         "<r>" + std::string(113, 'x') + "</x>\n" + std::string(116, ' ') + "^\n"},
    };
    for (const auto& [input, column, context] : cases) {
        SCOPED_TRACE(column);
        const ToolRun run = Tool("check", input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "<stdin>:1:" + std::to_string(column) + message + context);
    }

    // With tabs, the window is measured with the tab stops, and the caret
    // still stands under the error on a terminal whatever its tab width.
    const std::string tabbed = "<r>" + Repeat("\t<e/>", 60) + "</x>" + Repeat("\t<e/>", 60);
    for (const int tabSize : {4, 8}) {
        const ToolRun run = Tool("--tab-size " + std::to_string(tabSize) + " check", tabbed);
        const size_t end = run.err.find('\n'), caret = run.err.find('\n', end + 1);
        ASSERT_NE(caret, std::string::npos) << run.err;
        const std::string shown = run.err.substr(end + 1, caret - end - 1);
        const std::string under = run.err.substr(caret + 1);
        // Both lines with tabs expanded at the given stops.
        const auto expand = [tabSize](const std::string& line) {
            std::string out;
            for (const char c : line)
                out += c == '\t' ? std::string(tabSize - out.size() % tabSize, ' ') : std::string(1, c);
            return out;
        };
        EXPECT_EQ(shown.substr(0, 3), "...");
        EXPECT_EQ(shown.substr(shown.size() - 3), "...");
        EXPECT_LE(expand(shown).size(), 120u);
        EXPECT_GE(expand(shown).size(), 120u - tabSize);  // no room left for one more character
        EXPECT_EQ(under.back(), '\n');
        EXPECT_EQ(expand(shown).substr(expand(under).size() - 2, 4), "</x>") << shown << "\n" << under;
    }
}

// check is strict: ten common malformed documents, each named by its rule;
// --lenient lets the classic rules decide.
TEST_F(ToolTest, CheckNamesTheBrokenRule) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"<a></A>", "1:4: error: Mismatched tag.", 0},
        {"<a>&nope;</a>", "1:4: error: Undefined entity.", 0},
        {"<a b=\"<\"/>", "1:7: error: '<' in an attribute value.", 0},
        {"<a><!-- x -- y --></a>", "1:11: error: '--' in a comment.", 0},
        {"<a/><b/>", "1:5: error: Content after the root element.", 0},
        {"<a>&#0;</a>", "1:4: error: Invalid character reference.", 0},
        {"<1a/>", "1:2: error: Invalid name.", 0},
        {"<a b=\"1\" c/>", "1:11: error: Attribute without '=' and a value.", 1},
        {"<a>]]></a>", "1:4: error: ']]>' in text.", 0},
        {"<a b=1/>", "1:6: error: Attribute value not quoted.", 0},
    };
    for (const auto& [input, message, lenientStatus] : cases) {
        SCOPED_TRACE(input);
        const ToolRun run = Tool("check --no-context", input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string("<stdin>:") + message + "\n");
        EXPECT_EQ(Tool("check --lenient", input).status, lenientStatus);
    }
}

TEST_F(ToolTest, HelpAndVersion) {
    const ToolRun help = Tool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(Tool("-h").out, help.out);
    for (const char* option :
         {"--version", "--tab-size", "--keep-white-space", "--max-depth", "--no-context", "caret", "standard input"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const std::string format = Tool("format --help").out;
    for (const char* option : {"--indent N|tab", "--crlf", "-o OUT"})
        EXPECT_NE(format.find(option), std::string::npos) << option;
        // The overview names each command; each command's help begins with its usage.
#ifndef VEXA_NO_XPATH
    const std::vector<std::string> commands = {"check", "format", "compact", "stats", "query"};
#else
    const std::vector<std::string> commands = {"check", "format", "compact", "stats"};
#endif
    for (const std::string& command : commands) {
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

// Latin-1 text as UTF-16, little-endian, with its byte order mark.
std::string Utf16le(const std::string& latin1) {
    std::string out = "\xFF\xFE";
    for (char c : latin1) out += std::string(1, c) + '\0';
    return out;
}

// A round trip through the tool changes formatting only, never the
// characters: without a declared encoding the text is UTF-8, as XML says.
TEST_F(ToolTest, EncodingsSurviveFormatting) {
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"compact", "<a n\xC3\xA4me='&#233;'>caf\xC3\xA9 &#x20AC;</a>",
         "<a n\xC3\xA4me=\"\xC3\xA9\">caf\xC3\xA9 \xE2\x82\xAC</a>\n"},
        {"--encoding legacy compact", "<a>caf\xC3\xA9 &#233;</a>", "<a>caf&#xC3;&#xA9; &#233;</a>\n"},
        {"--encoding utf-8 compact", "<?xml version='1.0' encoding='ISO-8859-1'?><a>&#233;</a>",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?><a>\xC3\xA9</a>\n"},
        {"compact", "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?><a>&#xE9;</a>\n"},
        {"compact", "<?xml version='1.0' encoding='EUC-JP'?><a>\xC6\xFC &#x41;&#x65E5;</a>",
         "<?xml version=\"1.0\" encoding=\"EUC-JP\" ?><a>\xC6\xFC A&#x65E5;</a>\n"},
        {"format", "\xEF\xBB\xBF<a>\xC3\xA9</a>", "<a>\xC3\xA9</a>\n"},
        // UTF-16 goes to standard output as UTF-8, and its declaration says so.
        {"format", Utf16le("<?xml version='1.0' encoding='UTF-16'?><a>\xE9</a>"),
         "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<a>\xC3\xA9</a>\n"},
    };
    for (const auto& [args, input, out] : cases) {
        SCOPED_TRACE(args + (" " + Escaped(input)));
        const ToolRun run = Tool(args, input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Escaped(run.out), Escaped(out));
    }
    // Saved to a file, UTF-16 stays UTF-16 and a byte order mark stays.
    const std::string utf16("\xFE\xFF\0<\0a\0>\0\xE9\0<\0/\0a\0>", 18);
    WriteFile(dir + "/u16.xml", utf16);
    EXPECT_EQ(Tool("format -o copy.xml u16.xml").status, 0);
    EXPECT_EQ(Escaped(ReadFile(dir + "/copy.xml")), Escaped(utf16 + std::string("\0\n", 2)));
    WriteFile(dir + "/bom.xml", "\xEF\xBB\xBF<a>\xC3\xA9</a>");
    EXPECT_EQ(Tool("format -o copy.xml bom.xml").status, 0);
    EXPECT_EQ(ReadFile(dir + "/copy.xml"), "\xEF\xBB\xBF<a>\xC3\xA9</a>\n");
}

TEST_F(ToolTest, StatsCountsEachKind) {
    const ToolRun json = Tool("stats --json good.xml bad.xml");
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.err, "bad.xml:2:6: error: Error reading end tag.\n  <b></c>\n     ^\n");
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

// Without the load time, which differs from run to run.
std::string Untimed(const std::string& out) {
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("load");
        kept += (at == std::string::npos ? line : line.substr(0, at)) + "\n";
    }
    return kept;
}

TEST_F(ToolTest, StatsEachCountsAsTheWholeFile) {
    WriteFile(dir + "/rec.xml",
              "<?xml version='1.0'?>\n<!-- r --><log a='1'>\n<rec n='1'><x>1</x><?p?></rec>text<meta/>"
              "<g><rec n='2'/><!-- c --></g>\n<rec><y><z/></y></rec></log>\n<!-- end -->");
    for (const char* args : {"stats", "stats --json"}) {
        const ToolRun whole = Tool(std::string(args) + " rec.xml");
        for (const char* each : {" --each rec", " --each '*'", " --each z", " --each none"}) {
            const ToolRun part = Tool(args + std::string(each) + " rec.xml");
            EXPECT_EQ(part.status, 0) << each << part.err;
            EXPECT_EQ(Untimed(part.out), Untimed(whole.out)) << args << each;
        }
        EXPECT_EQ(Untimed(Tool(std::string(args) + " --each rec -", ReadFile(dir + "/rec.xml")).out),
                  Untimed(Tool(std::string(args) + " -", ReadFile(dir + "/rec.xml")).out));
    }
    const ToolRun bad = Tool("stats --each rec bad.xml");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "bad.xml:2:6: error: Error reading end tag.\n");
    EXPECT_EQ(Tool("check --each rec good.xml").status, 2);
}

}  // namespace

#else

TEST(ToolTest, SkippedWithoutTheTool) { GTEST_SKIP() << "the vexa tool is not built (VEXA_BUILD_TOOLS=OFF)"; }

#endif
