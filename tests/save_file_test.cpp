// Saving: a save replaces the old file only once every byte of the new one
// is written, keeps its permission bits, follows symbolic links, and on any
// failure leaves the old file as it was and nothing else behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <set>

#include "test_util.h"

using namespace vexatest;
namespace fs = std::filesystem;

namespace {

class SaveFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(dir)); }
    void TearDown() override {
        ::chmod(dir.c_str(), 0700);
        fs::remove_all(dir);
    }
    // The names in a folder: a new file left behind shows here.
    std::string Entries(const std::string& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
        std::string out;
        for (const std::string& name : names) out += name + " ";
        return out;
    }
    std::string Entries() const { return Entries(dir); }

    const std::string dir = TempPath("save");
};

unsigned Mode(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

// Writes fail past bytes while it lives, with SIGXFSZ ignored so that the
// write fails instead of ending the process; both are restored after.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) : oldHandler(::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, oldHandler);
    }
    void (*oldHandler)(int);
    rlimit saved;
    bool set;
};

}  // namespace

TEST_F(SaveFileTest, NewFilesLinksAndPipes) {
    VexaDocument doc;
    doc.Parse("<a/>");
    const mode_t oldMask = ::umask(027);
    EXPECT_TRUE(doc.SaveFile((dir + "/new.xml").c_str()));
    ::umask(oldMask);
    EXPECT_EQ(0640u, Mode(dir + "/new.xml"));  // as fopen makes it
    for (unsigned mode : {0600u, 0755u, 0444u}) {
        ASSERT_EQ(0, ::chmod((dir + "/new.xml").c_str(), mode));
        EXPECT_TRUE(doc.SaveFile((dir + "/new.xml").c_str()));
        EXPECT_EQ(mode, Mode(dir + "/new.xml"));
    }

    // A relative link counts from its own folder; a chain is followed to its
    // end; a dangling link's file is made. Each link stays a link.
    ASSERT_TRUE(fs::create_directory(dir + "/sub"));
    fs::create_symlink("sub/target.xml", dir + "/relative");
    fs::create_symlink(dir + "/relative", dir + "/absolute");
    fs::create_symlink("made.xml", dir + "/sub/dangling");
    const std::pair<const char*, const char*> links[] = {
        {"relative", "sub/target.xml"}, {"absolute", "sub/target.xml"}, {"sub/dangling", "sub/made.xml"}};
    for (const auto& [link, file] : links) {
        WriteFile(dir + "/sub/target.xml", "old");
        EXPECT_TRUE(doc.SaveFile((dir + "/" + link).c_str())) << link;
        EXPECT_EQ("<a />\n", ReadFile(dir + "/" + file)) << link;
        EXPECT_TRUE(fs::is_symlink(dir + "/" + link)) << link;
    }

    // No file to replace: a folder, no name, a missing folder, a loop of links.
    fs::create_symlink("loop", dir + "/loop");
    for (const std::string& name : {dir, dir + "/", std::string(), dir + "/no/such.xml", dir + "/loop"}) {
        EXPECT_FALSE(doc.SaveFile(name.c_str())) << name;
    }
    // A pipe cannot be replaced: it is written in place.
    ASSERT_EQ(0, ::mkfifo((dir + "/fifo").c_str(), 0600));
    const int reader = ::open((dir + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(reader >= 0 && doc.SaveFile((dir + "/fifo").c_str()));
    char got[16] = {};
    EXPECT_TRUE(::read(reader, got, sizeof got) == 6 && std::string("<a />\n") == got);
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));
    EXPECT_EQ("absolute fifo loop new.xml relative sub ", Entries());
    EXPECT_EQ("dangling made.xml target.xml ", Entries(dir + "/sub"));
}

// The file system is full: every form of SaveFile fails, the old file keeps
// every byte, and no new file is left. Root is held to the limit as well.
TEST_F(SaveFileTest, FailedWriteKeepsTheOldFile) {
    const std::string path = dir + "/doc.xml", old = "<?xml version=\"1.0\" ?><old/>";
    VexaDocument plain(path.c_str());
    VexaElement* root = static_cast<VexaElement*>(plain.LinkEndChild(new VexaElement("r")));
    for (int i = 0; i < 10000; ++i) root->LinkEndChild(new VexaElement("c"))->LinkEndChild(new VexaText("text"));
    // The same document loaded from UTF-16, which a save writes back so.
    std::string text, utf16 = "\xFF\xFE";
    plain.PrintTo(&text);
    for (char c : text) utf16 += std::string(1, c) + '\0';
    WriteFile(path, utf16);
    VexaDocument wide;
    ASSERT_TRUE(wide.LoadFile(path.c_str()));
    const std::function<bool()> saves[] = {
        [&] { return plain.SaveFile(path.c_str()); },
        [&] { return plain.SaveFile(path.c_str(), VexaPrintOptions()); },
        [&] { return plain.SaveFile(); },
        [&] { return wide.SaveFile(); },
    };
    for (const auto& save : saves) {
        WriteFile(path, old);
        {
            FileSizeLimit limit(64 * 1024);
            ASSERT_TRUE(limit.set && text.size() > 2 * 64 * 1024);
            EXPECT_FALSE(save());
        }
        EXPECT_EQ(old, ReadFile(path));
        EXPECT_EQ("doc.xml ", Entries());
        EXPECT_TRUE(save());  // without the limit
    }
    EXPECT_EQ(utf16, ReadFile(path));

#ifdef VEXA_TOOL_PATH
    // The tool's -o saves through it too.
    WriteFile(dir + "/in.xml", text);
    WriteFile(path, old);
    int status;
    {
        FileSizeLimit limit(64 * 1024);
        status =
            std::system(("'" VEXA_TOOL_PATH "' format -o '" + path + "' '" + dir + "/in.xml' 2>/dev/null").c_str());
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(old, ReadFile(path));
    EXPECT_EQ("doc.xml in.xml ", Entries());
#endif
}

// Without write permission on the folder nothing can be made beside the
// file: the save fails and the file stays. Root writes anyway.
TEST_F(SaveFileTest, ReadOnlyFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    WriteFile(dir + "/doc.xml", "old");
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0500));
    VexaDocument doc;
    doc.Parse("<a/>");
    EXPECT_FALSE(doc.SaveFile((dir + "/doc.xml").c_str()));
    EXPECT_EQ("old", ReadFile(dir + "/doc.xml"));
    EXPECT_EQ("doc.xml ", Entries());
}
