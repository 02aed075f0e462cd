// Running out of memory. The global operator new of this program can fail
// its N-th allocation with std::bad_alloc; for every N up to the count of a
// full run, a run of parsing (buffer, file, stream), editing, copying,
// printing and streaming either finishes or ends in that exception, and
// then nothing has leaked (no allocation, no open file), every tree is
// consistent and can be destroyed, and the next parse works.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "vexa.h"

namespace {

// The allocator's state: plain globals, as the test runs on one thread.
long long liveAllocations = 0;
long long allocationCount = 0;  // allocations since the last Arm()
long long failAt = -1;          // the allocation that fails, or -1
bool failed = false;            // whether it has been reached

void Arm(long long n) {
    allocationCount = 0;
    failAt = n;
    failed = false;
}

void Disarm() { failAt = -1; }

void* Allocate(std::size_t size) {
    if (allocationCount++ == failAt) {
        failed = true;
        return 0;
    }
    void* p = std::malloc(size ? size : 1);
    if (p) ++liveAllocations;
    return p;
}

void Release(void* p) {
    if (!p) return;
    --liveAllocations;
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

using namespace ORMELA;

// Every kind of node, long strings that do not fit in a string's own
// buffer, references, and more attributes on one element than the parser
// compares directly.
const char kSample[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    "<!-- a comment long enough to need a buffer of its own -->\n"
    "<!DOCTYPE catalogue [ <!ENTITY house \"a &lt;name&gt; that is never expanded\"> ]>\n"
    "<catalogue id=\"c1\" xmlns:book=\"urn:example:books\">\n"
    "  <book:entry a1='1' a2='2' a3='3' a4='4' a5='5' a6='6' a7='7' a8='8' a9='9' a10='10'\n"
    "      a11='11' a12='12' a13='13' a14='14' a15='15' a16='16' a17='17' a18='18' a19='19'>\n"
    "    <title>Stories &amp; Sketches of the Long Northern Coast</title>\n"
    "    <price currency=\"EUR\">12.50</price>\n"
    "    <note>Mixed <b>bold words</b> and &#x41;&#x42; text &house; after them</note>\n"
    "    <![CDATA[ raw <markup> kept as it stands ]]>\n"
    "  </book:entry>\n"
    "  <empty/>\n"
    "  <?pi processing instruction kept as unknown markup?>\n"
    "</catalogue>\n";

std::string TempPath(const char* stem) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vexa_oom_" + stem + "_" + std::to_string(::getpid());
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// The links of a tree, both ways, and of every attribute list.
void ExpectConsistent(const VexaNode& node) {
    EXPECT_EQ(node.FirstChild() == 0, node.LastChild() == 0);
    const VexaNode* previous = 0;
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        ASSERT_EQ(child->Parent(), &node);
        ASSERT_EQ(child->PreviousSibling(), previous);
        ExpectConsistent(*child);
        previous = child;
    }
    EXPECT_EQ(node.LastChild(), previous);
    if (const VexaElement* element = node.ToElement()) {
        const VexaAttribute* last = 0;
        for (const VexaAttribute* a = element->FirstAttribute(); a; a = a->Next()) {
            ASSERT_EQ(a->Previous(), last);
            last = a;
        }
        EXPECT_EQ(element->LastAttribute(), last);
    }
}

std::string Compact(const VexaNode& node) {
    std::ostringstream out;
    out << node;
    return out.str();
}

// The documents one run fills; they outlive the run so that a run cut
// short leaves them behind half done.
struct Documents {
    VexaDocument parsed;
    VexaDocument loaded;
    VexaDocument streamed;
};

// One full run. Every allocation in it may be the one that fails.
void FullRun(Documents& docs, const std::string& inPath, const std::string& outPath, FILE* printFile) {
    docs.parsed.Parse(kSample);
    docs.loaded.LoadFile(inPath.c_str());
    {
        std::istringstream in(kSample);
        in >> docs.streamed;
    }

    VexaElement* root = docs.parsed.FirstChildElement();
    if (!root) return;
    root->SetAttribute("added", "a value long enough to need a buffer of its own");
    root->SetAttribute("count", 42);
    root->RemoveAttribute("id");
    root->LinkEndChild(new VexaElement("linked"))->LinkEndChild(new VexaText("text of a linked element, long"));
    root->LinkEndChild(new VexaComment());
    VexaNode* first = root->FirstChild();
    root->InsertBeforeChild(first, VexaDeclaration("1.0", "a long encoding name for the test", ""));
    root->InsertAfterChild(first, *first);
    root->InsertEndChild(*first);
    root->ReplaceChild(root->FirstChild(), docs.streamed.FirstChild() ? *docs.streamed.FirstChild() : *first);
    root->RemoveChild(root->LastChild());
    VexaHandle(&docs.parsed).FirstChildElement().FirstChildElement().ToElement();

    std::unique_ptr<VexaNode> copy(docs.parsed.Clone());
    copy->FirstChildElement()->SetValue("a renamed copy of the root element");

    docs.parsed.Print(printFile, 0);
    root->Print(printFile, 2);
    docs.loaded.SaveFile(outPath.c_str());

    std::string text = "a prefix long enough to need a buffer of its own: ";
    text << docs.parsed << *copy;
    Compact(docs.loaded);
}

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        inPath = TempPath("in.xml");
        outPath = TempPath("out.xml");
        std::ofstream(inPath.c_str(), std::ios::binary) << kSample;
        printFile = std::tmpfile();
        ASSERT_TRUE(printFile != 0);
    }
    void TearDown() override {
        if (printFile) std::fclose(printFile);
        std::remove(inPath.c_str());
        std::remove(outPath.c_str());
    }

    std::string inPath;
    std::string outPath;
    FILE* printFile = 0;
};

TEST_F(OutOfMemory, EveryAllocationFailingInTurnLeavesNothingBehind) {
    VexaDocument reference;
    reference.Parse(kSample);
    ASSERT_FALSE(reference.Error()) << reference.ErrorText();
    const std::string expected = Compact(reference);

    // A first run settles whatever the streams allocate once per process;
    // the second counts the allocations of a full run.
    long long total = 0;
    for (int round = 0; round < 2; ++round) {
        const long long live = liveAllocations;
        {
            Documents docs;
            Arm(-1);
            FullRun(docs, inPath, outPath, printFile);
            total = allocationCount;
        }
        ASSERT_EQ(liveAllocations, live) << "a full run leaks";
    }
    // Tools such as valgrind put their own allocator in place of this one.
    if (total == 0) GTEST_SKIP() << "operator new is not this program's own";
    ASSERT_GT(total, 100);

    const int descriptors = OpenDescriptors();
    for (long long n = 0; n <= total; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total) + " fails");
        const long long live = liveAllocations;
        {
            Documents docs;
            bool threw = false;
            Arm(n);
            try {
                FullRun(docs, inPath, outPath, printFile);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            Disarm();
            EXPECT_EQ(failed, n < total);
            if (threw) {
                EXPECT_TRUE(failed) << "bad_alloc without a failed allocation";
            }
            ExpectConsistent(docs.parsed);
            ExpectConsistent(docs.loaded);
            ExpectConsistent(docs.streamed);
        }
        ASSERT_EQ(liveAllocations, live) << "leak after the failed allocation";
        ASSERT_EQ(OpenDescriptors(), descriptors) << "a file was left open";

        VexaDocument again;
        again.Parse(kSample);
        ASSERT_FALSE(again.Error());
        ASSERT_EQ(Compact(again), expected);
    }
}

}  // namespace
