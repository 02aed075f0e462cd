// Saving: a save replaces the old file only once every byte of the new one
// is written, keeps its permission bits, follows symbolic links, and on any
// failure leaves the old file as it was and nothing else behind.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>

#include "test_util.h"

using namespace vexatest;

namespace {

class SaveFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0); }
    void TearDown() override {
        ::chmod(dir.c_str(), 0700);
        std::filesystem::remove_all(dir);
    }

    // The names in the folder, sorted: a left-behind new file shows here.
    std::string Entries(const std::string& folder = "") const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir((folder.empty() ? dir : folder).c_str())) {
            while (const dirent* e = ::readdir(d)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
            }
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& name : names) out += name + " ";
        return out;
    }

    const std::string dir = TempPath("save");
};

unsigned Mode(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

// A document of about 180 KB, larger than the output buffer.
std::unique_ptr<VexaDocument> Big() {
    std::unique_ptr<VexaDocument> doc(new VexaDocument());
    VexaElement* root = new VexaElement("r");
    doc->LinkEndChild(root);
    for (int i = 0; i < 6000; ++i) {
        VexaElement* c = new VexaElement("c");
        c->SetAttribute("i", i);
        c->LinkEndChild(new VexaText("some words of text"));
        root->LinkEndChild(c);
    }
    return doc;
}

// Writes fail past bytes while it lives; SIGXFSZ is ignored so that a write
// fails instead of ending the process. Both are restored afterwards.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, oldHandler);
    }
    rlimit saved;
    void (*oldHandler)(int);
    bool set;
};

}  // namespace

TEST_F(SaveFileTest, NewFilesAndReplacedOnesKeepTheirModes) {
    VexaDocument doc;
    doc.Parse("<a x='1'>t</a>");
    const std::string expected = "<a x=\"1\">t</a>\n";
    const mode_t oldMask = ::umask(027);
    const std::string fresh = dir + "/new.xml";
    EXPECT_TRUE(doc.SaveFile(fresh.c_str()));
    ::umask(oldMask);
    EXPECT_EQ(expected, ReadFile(fresh));
    EXPECT_EQ(0640u, Mode(fresh));  // as fopen would have made it

    for (unsigned mode : {0600u, 0644u, 0755u, 0444u}) {
        const std::string path = dir + "/old.xml";
        WriteFile(path, "old");
        ASSERT_EQ(0, ::chmod(path.c_str(), mode));
        EXPECT_TRUE(doc.SaveFile(path.c_str())) << std::oct << mode;
        EXPECT_EQ(expected, ReadFile(path));
        EXPECT_EQ(mode, Mode(path)) << std::oct << mode;
        EXPECT_EQ("new.xml old.xml ", Entries());
        ::chmod(path.c_str(), 0600);
        std::remove(path.c_str());
    }
}

TEST_F(SaveFileTest, SymbolicLinksAreFollowed) {
    VexaDocument doc;
    doc.Parse("<a/>");
    ASSERT_EQ(0, ::mkdir((dir + "/sub").c_str(), 0700));
    WriteFile(dir + "/sub/target.xml", "old");
    // A relative link counts from its own folder; a chain is followed to its end.
    ASSERT_EQ(0, ::symlink("sub/target.xml", (dir + "/relative").c_str()));
    ASSERT_EQ(0, ::symlink((dir + "/relative").c_str(), (dir + "/absolute").c_str()));
    ASSERT_EQ(0, ::symlink("made.xml", (dir + "/sub/dangling").c_str()));
    // The link, and the file that the save writes: a dangling link's is made.
    const std::pair<const char*, const char*> links[] = {
        {"relative", "sub/target.xml"}, {"absolute", "sub/target.xml"}, {"sub/dangling", "sub/made.xml"}};
    for (const auto& [name, file] : links) {
        WriteFile(dir + "/sub/target.xml", "old");
        EXPECT_TRUE(doc.SaveFile((dir + "/" + name).c_str())) << name;
        EXPECT_EQ("<a />\n", ReadFile(dir + "/" + file)) << name;
        struct stat st;
        EXPECT_TRUE(::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << name;
    }
    EXPECT_EQ("absolute relative sub ", Entries());
    EXPECT_EQ("dangling made.xml target.xml ", Entries(dir + "/sub"));
}

// Names that are no file to replace: a folder, nothing, a missing folder,
// an endless chain of links. A pipe is written in place.
TEST_F(SaveFileTest, NoFileToReplace) {
    VexaDocument doc;
    doc.Parse("<a/>");
    ASSERT_EQ(0, ::symlink("loop", (dir + "/loop").c_str()));
    for (const std::string& name : {dir, dir + "/", std::string(), dir + "/no/such.xml", dir + "/loop"}) {
        EXPECT_FALSE(doc.SaveFile(name.c_str())) << name;
    }
    EXPECT_EQ("loop ", Entries());

    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(doc.SaveFile(fifo.c_str()));
    char got[16] = {};
    EXPECT_EQ(6, ::read(reader, got, sizeof got));
    EXPECT_STREQ("<a />\n", got);
    ::close(reader);
    struct stat st;
    EXPECT_TRUE(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ("fifo loop ", Entries());
}

// The file system is full: every form of SaveFile fails, the old file keeps
// every byte, and no new file is left. Root is held to the limit as well.
TEST_F(SaveFileTest, FailedWriteKeepsTheOldFile) {
    const std::string path = dir + "/doc.xml", old = "<?xml version=\"1.0\" ?><old/>";
    std::unique_ptr<VexaDocument> plain = Big();
    plain->SetValue(path);
    // The same document loaded from UTF-16, which a save writes back so.
    std::string utf16 = "\xFF\xFE";
    std::string text;
    plain->PrintTo(&text);
    for (char c : text) utf16 += std::string(1, c) + '\0';
    WriteFile(path, utf16);
    VexaDocument wide;
    ASSERT_TRUE(wide.LoadFile(path.c_str()));
    VexaPrintOptions tabs;
    tabs.indent = "\t";

    const std::function<bool()> saves[] = {
        [&] { return plain->SaveFile(path.c_str()); },
        [&] { return plain->SaveFile(path.c_str(), tabs); },
        [&] { return plain->SaveFile(); },
        [&] { return wide.SaveFile(); },
    };
    for (size_t i = 0; i < std::size(saves); ++i) {
        SCOPED_TRACE("save " + std::to_string(i));
        WriteFile(path, old);
        {
            FileSizeLimit limit(64 * 1024);
            ASSERT_TRUE(limit.set);
            EXPECT_FALSE(saves[i]());
        }
        EXPECT_EQ(old, ReadFile(path));
        EXPECT_EQ("doc.xml ", Entries());
        EXPECT_TRUE(saves[i]());  // without the limit
        EXPECT_GT(ReadFile(path).size(), 64 * 1024u);
    }
    const std::string saved = ReadFile(path);  // the last save wrote UTF-16 again
    std::string back;
    for (size_t k = 2; k < saved.size(); k += 2) back += saved[k];
    EXPECT_TRUE(saved.compare(0, 2, "\xFF\xFE") == 0 && back == text);

#ifdef VEXA_TOOL_PATH
    // The tool's -o saves through it too.
    const std::string input = dir + "/in.xml";
    WriteFile(input, text);
    WriteFile(path, old);
    int status;
    {
        FileSizeLimit limit(64 * 1024);
        status = std::system(("'" VEXA_TOOL_PATH "' format -o '" + path + "' '" + input + "' 2>/dev/null").c_str());
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(old, ReadFile(path));
    EXPECT_EQ("doc.xml in.xml ", Entries());
#endif
}

// Without write permission on the folder nothing can be made beside the
// file: the save fails and the file stays. Root writes anyway, so the case
// means nothing there.
TEST_F(SaveFileTest, ReadOnlyFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    const std::string path = dir + "/doc.xml";
    WriteFile(path, "old");
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0500));
    VexaDocument doc;
    doc.Parse("<a/>");
    EXPECT_FALSE(doc.SaveFile(path.c_str()));
    EXPECT_EQ("old", ReadFile(path));
    EXPECT_EQ("doc.xml ", Entries());
}
