// Loading files: real-world shapes from tests/data, long lines, zero bytes,
// missing and empty files, and files whose size cannot be told (a FIFO).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;
using vexatest::Dump;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The dump of every top-level node, without the document's own line.
std::string Children(const VexaDocument& doc) {
    std::string out;
    for (const VexaNode* n = doc.FirstChild(); n; n = n->NextSibling()) out += Dump(*n);
    return out;
}

// What LoadFile makes of bytes, next to what Parse makes of the text.
void ExpectLoadsAs(const std::string& bytes, const std::string& text) {
    const std::string path = vexatest::TempPath("load");
    WriteFile(path, bytes);
    VexaDocument loaded, parsed;
    EXPECT_TRUE(loaded.LoadFile(path.c_str())) << loaded.ErrorText();
    parsed.Parse(text.c_str());
    EXPECT_FALSE(parsed.Error()) << parsed.ErrorText();
    EXPECT_EQ(Children(parsed), Children(loaded));
    std::remove(path.c_str());
}

TEST(LoadFile, DoctypeWithInternalSubset) {
    const std::string path = vexatest::DataPath("doctype_subset.xml");
    VexaDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile()) << doc.ErrorText();
    EXPECT_EQ(path, doc.ValueStr());
    const std::string bytes = vexatest::ReadFile(path);
    const size_t from = bytes.find("<!DOCTYPE"), to = bytes.find("\n]>") + 3;
    const VexaNode* doctype = doc.FirstChild()->NextSibling();
    ASSERT_TRUE(doctype && doctype->ToUnknown() && doctype->NextSibling());
    EXPECT_EQ(bytes.substr(from, to - from), vexatest::Compact(*doctype));
    EXPECT_EQ(1, doctype->Row());
    EXPECT_EQ(
        "element 'inventory'\n  element 'part' code='p-17'\n    text 'Hinge'\n"
        "  element 'part' code='p-42'\n    text 'Bolt & nut'\n",
        Dump(*doctype->NextSibling()));
    const VexaNode* part = doctype->NextSibling()->FirstChild();
    ASSERT_NE(nullptr, part);
    EXPECT_EQ(9, part->Row());
    EXPECT_EQ(2, part->Column());
}

TEST(LoadFile, CdataByteOrderMarkAndMixedContent) {
    VexaDocument doc;
    ASSERT_TRUE(doc.LoadFile(vexatest::DataPath("cdata.xml").c_str())) << doc.ErrorText();
    EXPECT_EQ(
        "element 'page'\n  element 'script'\n    unknown '![CDATA[if (n < 10 && m > 2) { tag = \"<b>\"; }]]'\n"
        "  element 'note'\n    text 'after'\n",
        Children(doc));
    ASSERT_TRUE(doc.FirstChildElement()->FirstChild() && doc.FirstChildElement()->FirstChild()->FirstChild());
    EXPECT_EQ("<![CDATA[if (n < 10 && m > 2) { tag = \"<b>\"; }]]>",
              vexatest::Compact(*doc.FirstChildElement()->FirstChild()->FirstChild()));

    ASSERT_TRUE(doc.LoadFile(vexatest::DataPath("bom.xml").c_str())) << doc.ErrorText();
    EXPECT_EQ("declaration '' v='1.0' e='' s=''\nelement 'greeting' lang='fr'\n  text 'Bonjour \\xC3\\xA0 tous'\n",
              Children(doc));
    ASSERT_NE(nullptr, doc.FirstChild());
    EXPECT_EQ(0, doc.FirstChild()->Column());

    const std::string mixed = vexatest::DataPath("mixed.xml");
    ASSERT_TRUE(doc.LoadFile(mixed.c_str())) << doc.ErrorText();
    EXPECT_EQ(
        "element 'para'\n  text 'A'\n  element 'em'\n    text 'quick'\n  text 'look at'\n  element 'code'\n"
        "    text 'x < y'\n  text ', then a'\n  element 'br'\n  text 'break and a tail.'\n",
        Children(doc));
    const bool saved = VexaBase::IsWhiteSpaceCondensed();
    VexaBase::SetCondenseWhiteSpace(false);
    const bool loaded = doc.LoadFile(mixed.c_str());
    VexaBase::SetCondenseWhiteSpace(saved);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(
        "element 'para'\n  text 'A '\n  element 'em'\n    text 'quick'\n  text 'look at\\x0A  '\n"
        "  element 'code'\n    text 'x < y'\n  text ', then a '\n  element 'br'\n"
        "  text 'break\\x0A  and a tail.'\n",
        Children(doc));
}

TEST(LoadFile, LongLinesAndZeroBytes) {
    const std::string a(5000, 'x'), pad(3000, ' ');
    const std::string longLines = "<r k='" + a + "'>" + a + "</r>\n<s" + pad + "k='v'/>\n";
    ExpectLoadsAs(longLines, longLines);

    // A zero byte loses the rest of its line, or of its 2047-byte piece.
    ExpectLoadsAs(std::string("<a/>\0<b/>\n<c/>\n", 15), "<a/>\n<c/>\n");
    ExpectLoadsAs("<r>x" + std::string(1, '\0') + std::string(2042, 'y') + "<b/></r>\n", "<r>x<b/></r>\n");
}

TEST(LoadFile, MissingAndEmptyFiles) {
    VexaDocument doc;
    doc.Parse("<a><b/>");  // an earlier error and an earlier tree
    ASSERT_TRUE(doc.Error());
    const std::string missing = vexatest::TempPath("missing");
    EXPECT_FALSE(doc.LoadFile(missing.c_str()));
    EXPECT_EQ(VEXA_ERROR_FILE_OPEN, doc.ErrorCode());
    EXPECT_STREQ("Failed to open file", doc.ErrorText());
    EXPECT_EQ(-1, doc.ErrorRow());
    EXPECT_EQ(-1, doc.ErrorCol());
    EXPECT_EQ(missing, doc.ValueStr());
    EXPECT_EQ(nullptr, doc.FirstChild());

    const std::string empty = vexatest::TempPath("empty");
    WriteFile(empty, "");
    const char* const emptyFiles[] = {empty.c_str(), "/dev/null"};  // a file, and a character device
    for (const char* name : emptyFiles) {
        EXPECT_FALSE(doc.LoadFile(name)) << name;
        EXPECT_EQ(VEXA_ERROR_DOCUMENT_EMPTY, doc.ErrorCode()) << name;
        EXPECT_STREQ("Error document empty.", doc.ErrorText());
        EXPECT_EQ(-1, doc.ErrorRow());
        EXPECT_EQ(-1, doc.ErrorCol());
        EXPECT_EQ(nullptr, doc.FirstChild());
    }
    std::remove(empty.c_str());
}

TEST(LoadFile, Fifo) {
    const std::string path = vexatest::TempPath("fifo");
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    std::string text = "<list>\n";
    for (int i = 0; i < 20000; ++i) text += "  <item n='" + std::to_string(i) + "'/>\n";
    text += "</list>\n";
    // A reader that gives up early must not kill the process through SIGPIPE.
    void (*const saved)(int) = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        FILE* f = std::fopen(path.c_str(), "w");  // blocks until the reader opens
        if (!f) return;
        std::fputs(text.c_str(), f);
        std::fclose(f);
    });
    VexaDocument doc;
    const bool ok = doc.LoadFile(path.c_str());
    ::close(::open(path.c_str(), O_RDONLY | O_NONBLOCK));  // frees a writer still waiting to open
    writer.join();
    std::signal(SIGPIPE, saved);
    ::unlink(path.c_str());
    ASSERT_TRUE(ok) << doc.ErrorText();
    ASSERT_TRUE(doc.FirstChildElement() && doc.FirstChildElement()->LastChild());
    EXPECT_STREQ("19999", doc.FirstChildElement()->LastChild()->ToElement()->Attribute("n"));
    EXPECT_EQ(20000, doc.FirstChildElement()->LastChild()->Row());
}

}  // namespace
