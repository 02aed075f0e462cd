// Loading files: real-world shapes from tests/data, long lines, zero bytes,
// missing and empty files, and a FIFO, whose size cannot be told.
#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <thread>

#include "test_util.h"

using namespace vexatest;

// What LoadFile makes of bytes, next to what Parse makes of the text.
static void ExpectLoadsAs(const std::string& bytes, const std::string& text) {
    const std::string path = TempPath("load");
    WriteFile(path, bytes);
    VexaDocument loaded, parsed;
    EXPECT_TRUE(loaded.LoadFile(path.c_str())) << loaded.ErrorText();
    parsed.Parse(text.c_str());
    EXPECT_FALSE(parsed.Error()) << parsed.ErrorText();
    EXPECT_EQ(DumpChildren(parsed), DumpChildren(loaded));
    std::remove(path.c_str());
}

TEST(LoadFile, DoctypeWithInternalSubset) {
    const std::string path = DataPath("doctype_subset.xml");
    VexaDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile()) << doc.ErrorText();
    EXPECT_EQ(path, doc.ValueStr());
    const std::string bytes = ReadFile(path);
    const size_t from = bytes.find("<!DOCTYPE"), to = bytes.find("\n]>") + 3;
    const VexaNode* doctype = doc.FirstChild()->NextSibling();
    ASSERT_TRUE(doctype && doctype->ToUnknown() && doctype->NextSibling());
    EXPECT_EQ(bytes.substr(from, to - from), Compact(*doctype));
    EXPECT_EQ(1, doctype->Row());
    EXPECT_EQ("element 'part' code='p-42'\n  text 'Bolt & nut'\n", Dump(*doctype->NextSibling()->LastChild()));
    EXPECT_EQ(9, doctype->NextSibling()->FirstChild()->Row());  // the subset's lines are counted
}

TEST(LoadFile, CdataByteOrderMarkAndMixedContent) {
    const std::pair<const char*, const char*> cases[] = {
        {"cdata.xml",
         "element 'page'\n  element 'script'\n    unknown '![CDATA[if (n < 10 && m > 2) { tag = \"<b>\"; }]]'\n"
         "  element 'note'\n    text 'after'\n"},
        {"bom.xml",
         "declaration '' v='1.0' e='' s=''\nelement 'greeting' lang='fr'\n  text 'Bonjour \\xC3\\xA0 tous'\n"},
        {"mixed.xml",
         "element 'para'\n  text 'A'\n  element 'em'\n    text 'quick'\n  text 'look at'\n  element 'code'\n"
         "    text 'x < y'\n  text ', then a'\n  element 'br'\n  text 'break and a tail.'\n"}};
    for (const auto& [file, dump] : cases) {
        VexaDocument doc;
        ASSERT_TRUE(doc.LoadFile(DataPath(file).c_str())) << file << ": " << doc.ErrorText();
        EXPECT_EQ(dump, DumpChildren(doc)) << file;
    }
}

TEST(LoadFile, LongLinesAndZeroBytes) {
    const std::string a(5000, 'x'), pad(3000, ' ');
    const std::string longLines = "<r k='" + a + "'>" + a + "</r>\n<s" + pad + "k='v'/>\n";
    ExpectLoadsAs(longLines, longLines);
    // A zero byte loses the rest of its line, or of its 2047-byte piece.
    ExpectLoadsAs(std::string("<a/>\0<b/>\n<c/>\n", 15), "<a/>\n<c/>\n");
    ExpectLoadsAs("<r>x" + std::string(1, '\0') + std::string(2042, 'y') + "<b/></r>\n", "<r>x<b/></r>\n");
}

// A missing file, an empty one and an empty character device: each fails
// with its own code, without a location, and leaves no earlier tree behind.
TEST(LoadFile, MissingAndEmptyFiles) {
    const std::string missing = TempPath("missing"), empty = TempPath("empty");
    WriteFile(empty, "");
    const std::pair<std::string, int> cases[] = {
        {missing, VEXA_ERROR_FILE_OPEN}, {empty, VEXA_ERROR_DOCUMENT_EMPTY}, {"/dev/null", VEXA_ERROR_DOCUMENT_EMPTY}};
    for (const auto& [name, code] : cases) {
        SCOPED_TRACE(name);
        VexaDocument doc;
        doc.Parse("<a><b/>");  // an earlier error and an earlier tree
        EXPECT_FALSE(doc.LoadFile(name.c_str()));
        EXPECT_EQ(code, doc.ErrorCode());
        EXPECT_STREQ(VexaBase::errorString[code], doc.ErrorText());
        EXPECT_TRUE(doc.ErrorRow() == -1 && doc.ErrorCol() == -1 && !doc.FirstChild());
        EXPECT_EQ(name, doc.ValueStr());
    }
    std::remove(empty.c_str());
}

TEST(LoadFile, FifoIsReadToTheEnd) {
    const std::string path = TempPath("fifo");
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    std::string text = "<list>\n";
    for (int i = 0; i < 20000; ++i) text += "  <item n='" + std::to_string(i) + "'/>\n";
    text += "</list>\n";
    // A reader that gives up early must not kill the process through SIGPIPE.
    void (*const saved)(int) = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        if (FILE* f = std::fopen(path.c_str(), "w")) {  // blocks until the reader opens
            std::fputs(text.c_str(), f);
            std::fclose(f);
        }
    });
    VexaDocument doc;
    const bool ok = doc.LoadFile(path.c_str());
    ::close(::open(path.c_str(), O_RDONLY | O_NONBLOCK));  // frees a writer still waiting to open
    writer.join();
    std::signal(SIGPIPE, saved);
    ::unlink(path.c_str());
    ASSERT_TRUE(ok) << doc.ErrorText();
    const VexaNode* last = doc.FirstChildElement()->LastChild();
    EXPECT_STREQ("19999", last->ToElement()->Attribute("n"));
    EXPECT_EQ(20000, last->Row());
}
