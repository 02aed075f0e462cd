// Different documents used on several threads at once: parsing from a
// buffer, a stream and a file, copying, printing, saving and streaming out
// give the same results as on one thread. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;

namespace {

// Documents of different shapes, each a few kilobytes.
std::vector<std::string> Documents() {
    std::vector<std::string> docs;
    for (int d = 0; d < 6; ++d) {
        std::string text =
            "<?xml version=\"1.0\"?><!-- doc " + std::to_string(d) + " --><root d=\"" + std::to_string(d) + "\">";
        for (int i = 0; i < 40 + 10 * d; ++i) {
            text += "<item n='" + std::to_string(i) + "' q=\"a&amp;b\">text " + std::to_string(i * d) +
                    " &lt;&#x41;&gt;\t\n<sub/><![CDATA[x]]></item>";
        }
        text += d % 2 ? "</root>" : "<broken></root>";  // every other one fails to parse
        docs.push_back(text);
    }
    return docs;
}

// Everything one thread produces from one document.
std::string Work(const std::string& text, const std::string& path) {
    VexaDocument doc;
    doc.Parse(text.c_str());
    std::string out =
        vexatest::Dump(doc) + "|" + doc.ErrorText() + "|" + vexatest::Compact(doc) + "|" + vexatest::Printed(doc);

    std::istringstream in(text);
    VexaDocument streamed;
    in >> streamed;
    out += "|" + vexatest::Dump(streamed) + streamed.ErrorText();

    VexaNode* copy = doc.Clone();
    out += "|" + vexatest::Compact(*copy);
    delete copy;

    VexaDocument loaded;
    if (doc.SaveFile(path.c_str()) && loaded.LoadFile(path.c_str())) {
        loaded.SetValue("");  // the file name differs from thread to thread
        out += "|" + vexatest::Dump(loaded);
    }
    std::remove(path.c_str());
    return out;
}

TEST(Threads, DocumentsOnSeveralThreadsMatchOneThread) {
    const std::vector<std::string> docs = Documents();
    std::vector<std::string> expected;
    for (const std::string& text : docs) expected.push_back(Work(text, vexatest::TempPath("threads")));

    const int kThreads = 4;
    const int kRounds = 3;
    std::vector<std::string> paths;
    for (int t = 0; t < kThreads; ++t) paths.push_back(vexatest::TempPath("threads"));
    std::vector<std::vector<std::string> > results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread starts at another document, so that different
            // documents are in work at the same time.
            for (size_t i = 0; i < docs.size() * kRounds; ++i) {
                results[t].push_back(Work(docs[(i + t) % docs.size()], paths[t]));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), docs.size() * kRounds);
        for (size_t i = 0; i < results[t].size(); ++i) {
            EXPECT_EQ(results[t][i], expected[(i + t) % docs.size()]) << "thread " << t << ", job " << i;
        }
    }
}

}  // namespace
