// Different documents used on several threads at once: parsing from a
// buffer, a stream and a file, copying, editing, clearing, printing, saving
// and streaming out give the same results as on one thread. Run under ThreadSanitizer in CI.
#include <atomic>
#include <thread>

#include "test_util.h"

using namespace vexatest;

// Everything one thread produces from one document.
static std::string Work(const std::string& text, const std::string& path) {
    VexaDocument doc, streamed, loaded;
    doc.Parse(text.c_str());
    std::string out = Dump(doc) + "|" + doc.ErrorText() + "|" + Compact(doc) + "|" + Printed(doc);
    std::istringstream in(text);
    in >> streamed;
    out += "|" + Dump(streamed) + streamed.ErrorText() + "|" + Compact(*std::unique_ptr<VexaNode>(doc.Clone()));
    // The document's own memory: parsed nodes and attributes deleted and
    // made again, the document cleared and parsed anew.
    if (VexaElement* root = doc.FirstChildElement()) {
        root->SetAttribute("added", "1");
        root->RemoveAttribute("d");
        if (root->FirstChild()) root->RemoveChild(root->FirstChild());
    }
    out += "|" + Compact(doc);
    doc.Clear();
    doc.Parse(text.c_str());
    out += "|" + Compact(doc);
    if (doc.SaveFile(path.c_str()) && loaded.LoadFile(path.c_str())) {
        loaded.SetValue("");  // the file name differs from thread to thread
        out += "|" + Dump(loaded);
    }
    std::remove(path.c_str());
    return out;
}

TEST(Threads, DocumentsOnSeveralThreadsMatchOneThread) {
    // Documents of different shapes, a few kilobytes each; every other one
    // fails to parse.
    std::vector<std::string> docs, expected;
    for (int d = 0; d < 6; ++d) {
        std::string text =
            "<?xml version=\"1.0\"?><!-- doc " + std::to_string(d) + " --><root d=\"" + std::to_string(d) + "\">";
        for (int i = 0; i < 40 + 10 * d; ++i) {
            text += "<item n='" + std::to_string(i) + "' q=\"a&amp;b\">text " + std::to_string(i * d) +
                    " &lt;&#x41;&gt;\t\n<sub/><![CDATA[x]]></item>";
        }
        docs.push_back(text + (d % 2 ? "</root>" : "<broken></root>"));
        expected.push_back(Work(docs.back(), TempPath("threads")));
    }

    const int kThreads = 4, kRounds = 3;
    std::vector<std::vector<std::string> > results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        // Each thread starts at another document, so that different
        // documents are in work at the same time.
        threads.emplace_back(
            [&, t](std::string path) {
                for (size_t i = 0; i < docs.size() * kRounds; ++i)
                    results[t].push_back(Work(docs[(i + t) % docs.size()], path));
            },
            TempPath("threads"));
    }
    for (std::thread& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), docs.size() * kRounds);
        for (size_t i = 0; i < results[t].size(); ++i) {
            EXPECT_EQ(results[t][i], expected[(i + t) % docs.size()]) << "thread " << t << ", job " << i;
        }
    }
}

// Documents with their own white-space setting read no shared state: one
// thread condenses, another keeps, while a third flips the process default.
TEST(Threads, WhiteSpacePerDocumentIgnoresTheDefault) {
    const std::string text = "<a>  one \n two  <b> </b></a>";
    const auto parse = [&text](int mode) {
        VexaDocument doc;
        doc.SetWhiteSpaceMode(mode);
        doc.Parse(text.c_str());
        return Dump(doc);
    };
    const std::string condensed = parse(VEXA_WHITESPACE_CONDENSE), kept = parse(VEXA_WHITESPACE_KEEP);
    ASSERT_NE(condensed, kept);
    const bool saved = VexaBase::IsWhiteSpaceCondensed();
    std::atomic<bool> done(false);
    std::thread flipper([&done] {
        for (bool on = false; !done; on = !on) VexaBase::SetCondenseWhiteSpace(on);
    });
    int wrongKept = 0, wrongCondensed = 0;
    std::thread keeper([&] {
        for (int i = 0; i < 2000; ++i) wrongKept += parse(VEXA_WHITESPACE_KEEP) != kept;
    });
    for (int i = 0; i < 2000; ++i) wrongCondensed += parse(VEXA_WHITESPACE_CONDENSE) != condensed;
    keeper.join();
    done = true;
    flipper.join();
    VexaBase::SetCondenseWhiteSpace(saved);
    EXPECT_EQ(0, wrongKept + wrongCondensed);
}
