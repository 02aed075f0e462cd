// Running out of memory. This program's operator new can fail its N-th
// allocation; for every N up to the count of a full run of parsing, editing,
// copying, printing and streaming, the run finishes or ends in bad_alloc,
// and then nothing has leaked (no allocation, no open file), every tree is
// consistent and can be destroyed, and the next parse works.
#include <dirent.h>

#include <functional>
#include <new>

#include "../test_util.h"

using namespace vexatest;

// The allocator's state: plain globals, as the test runs on one thread.
static long long liveAllocations = 0;
static long long allocationCount = 0;  // allocations since the last Arm()
static long long failAt = -1;          // the allocation that fails, or -1
static bool failed = false;            // whether it has been reached

static void Arm(long long n) {
    allocationCount = 0;
    failAt = n;
    failed = false;
}

// Null from the nothrow forms, std::bad_alloc from the others.
static void* Allocate(std::size_t size, bool nothrow = false) {
    const bool fail = allocationCount++ == failAt;
    failed = failed || fail;
    void* p = fail ? nullptr : std::malloc(size ? size : 1);
    liveAllocations += p != nullptr;
    if (!p && !nothrow) throw std::bad_alloc();
    return p;
}

static void Release(void* p) {
    liveAllocations -= p != nullptr;
    std::free(p);
}

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

// Every kind of node, strings too long for a string's own buffer,
// references, and more attributes on one element than the parser compares
// directly.
const char kSample[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    "<!-- a comment long enough to need a buffer of its own -->\n"
    "<!DOCTYPE catalogue [ <!ENTITY house \"a &lt;name&gt; that is never expanded\"> ]>\n"
    "<catalogue id=\"c1\" xmlns:book=\"urn:example:books\">\n"
    "  <book:entry a1='1' a2='2' a3='3' a4='4' a5='5' a6='6' a7='7' a8='8' a9='9' a10='10' a11='11' a12='12'\n"
    "      a13='13' a14='14' a15='15' a16='16' a17='17' a18='18' a19='19'>\n"
    "    <title>Stories &amp; Sketches of the Long Northern Coast</title>\n"
    "    <note>Mixed <b>bold words</b> and &#x41;&#x42; text &house; after them</note>\n"
    "    <![CDATA[ raw <markup> kept as it stands ]]>\n  </book:entry>\n  <empty/>\n"
    "  <?pi processing instruction kept as unknown markup?>\n</catalogue>\n";

static int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// The new files a save of path left beside it (they start with "." and
// path's name).
static int LeftBeside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = path.substr(0, slash), prefix = "." + path.substr(slash + 1) + ".";
    int count = 0;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* e = readdir(dir)) count += std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0;
        closedir(dir);
    }
    return count;
}

// The documents outlive a run, so that one cut short leaves them half done.
static void FullRun(VexaDocument (&docs)[3], const std::string& inPath, const std::string& outPath, FILE* printFile) {
    VexaDocument &parsed = docs[0], &loaded = docs[1], &streamed = docs[2];
    parsed.Parse(kSample);
    loaded.LoadFile(inPath.c_str());
    std::istringstream in(kSample);
    in >> streamed;

    VexaElement* root = parsed.FirstChildElement();
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
    root->ReplaceChild(root->FirstChild(), streamed.FirstChild() ? *streamed.FirstChild() : *first);
    root->RemoveChild(root->LastChild());

    std::unique_ptr<VexaNode> copy(parsed.Clone());
    copy->FirstChildElement()->SetValue("a renamed copy of the root element");

    parsed.Print(printFile, 0);
    root->Print(printFile, 2);
    loaded.SaveFile(outPath.c_str());

    std::string text = "a prefix long enough to need a buffer of its own: ";
    text << parsed << *copy;
    std::ostringstream out;
    out << loaded;
}

TEST(OutOfMemory, EveryAllocationFailingInTurnLeavesNothingBehind) {
    const std::string inPath = TempPath("oom_in"), outPath = TempPath("oom_out");
    WriteFile(inPath, kSample);
    const std::unique_ptr<FILE, int (*)(FILE*)> printFile(std::tmpfile(), std::fclose);
    ASSERT_TRUE(printFile != nullptr);
    VexaDocument reference;
    reference.Parse(kSample);
    ASSERT_FALSE(reference.Error()) << reference.ErrorText();
    const std::string expected = Compact(reference);
    {
        // A first run settles what the streams allocate once per process.
        VexaDocument docs[3];
        Arm(-1);
        FullRun(docs, inPath, outPath, printFile.get());
    }
    // Tools such as valgrind put their own allocator in place of this one.
    if (allocationCount == 0) GTEST_SKIP() << "operator new is not this program's own";

    // Allocation n fails, for each n until a run no longer reaches it: that
    // last run is a full one.
    const int descriptors = OpenDescriptors();
    long long n = 0;
    for (bool reached = true; reached; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const long long live = liveAllocations;
        {
            VexaDocument docs[3];
            bool threw = false;
            Arm(n);
            try {
                FullRun(docs, inPath, outPath, printFile.get());
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            failAt = -1;
            reached = failed;
            EXPECT_TRUE(failed || !threw) << "bad_alloc without a failed allocation";
            for (const VexaDocument& doc : docs) ExpectLinked(doc);
        }
        ASSERT_EQ(liveAllocations, live) << "leak after the failed allocation";
        ASSERT_EQ(OpenDescriptors(), descriptors) << "a file was left open";
        ASSERT_EQ(LeftBeside(outPath), 0) << "a save cut short left its new file";

        VexaDocument again;
        again.Parse(kSample);
        ASSERT_FALSE(again.Error());
        ASSERT_EQ(Compact(again), expected);
    }
    EXPECT_GT(n, 100);
    std::remove(inPath.c_str());
    std::remove(outPath.c_str());
}

// A document's parse carves its nodes and attributes from blocks of its own
// memory: a few allocations, not one or more per node. Deleted nodes are
// made again from the same blocks, and the blocks go when the document is
// cleared or destroyed.
TEST(DocumentMemory, NodesComeFromBlocksTheDocumentOwns) {
    std::string text = "<r>";
    for (int i = 0; i < 5000; ++i) text += "<e a='1' b='2'>t</e>";
    text += "</r>";
    Arm(-1);
    const long long before = liveAllocations;
    {
        VexaDocument doc;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error());
        // 5,000 elements, 10,000 attributes and 5,000 texts.
        EXPECT_LT(allocationCount, 100) << "allocations for 20,001 nodes and attributes";
        const long long held = liveAllocations;

        // Deleted, then parsed again: the freed places are used first.
        VexaElement* root = doc.FirstChildElement();
        while (root->FirstChild()) root->RemoveChild(root->FirstChild());
        EXPECT_EQ(liveAllocations, held);
        Arm(-1);
        doc.Parse(text.c_str());
        EXPECT_LT(allocationCount, 10) << "a second tree in the places of the first";

        // Nodes made with new stay heap objects beside the parsed ones.
        root->LinkEndChild(new VexaElement("made"))->ToElement()->SetAttribute("x", "1");
        doc.FirstChildElement()->SetAttribute("y", "2");
        doc.Clear();
        EXPECT_EQ(liveAllocations, before + 1) << "cleared: only the document's memory record stays";
    }
    EXPECT_EQ(liveAllocations, before);
}

// Parsed nodes may come to hold heap memory: a value set later, a node made
// with new linked below them, attributes and children of a parse that ran
// outside the document's own. Clearing or destroying the document frees
// those one by one and the rest with its blocks.
TEST(DocumentMemory, HeapPartsOfParsedNodesAreFreed) {
    for (const bool clearFirst : {true, false}) {
        Arm(-1);
        const long long before = liveAllocations;
        {
            VexaDocument doc;
            doc.Parse("<?xml version='1.0'?><r a='1'><e b='2'>text</e><!--c--></r>");
            ASSERT_FALSE(doc.Error());
            VexaElement* e = doc.FirstChildElement()->FirstChildElement();
            e->FirstChild()->SetValue("a text long enough for any short-string buffer");
            e->FirstAttribute()->SetValue("a value long enough for any short-string buffer");
            doc.FirstChildElement()->LastChild()->SetValue("a comment set after the parse");
            doc.FirstChild()->SetValue("a value given to the declaration, which parses to none");
            e->LinkEndChild(new VexaElement("made"))->ToElement()->SetAttribute("x", "1");
            // Parsed directly into a parsed element: its new parts are heap objects.
            e->Parse("<renamed c='3' d='4'><f g='5'>tail</f></renamed>", 0);
            ASSERT_FALSE(doc.Error());
            EXPECT_STREQ(e->Value(), "renamed");
            EXPECT_STREQ(e->Attribute("b"), "a value long enough for any short-string buffer");
            EXPECT_STREQ(e->Attribute("d"), "4");
            EXPECT_STREQ(e->LastChild()->FirstChild()->Value(), "tail");
            if (clearFirst) {
                doc.Clear();
                EXPECT_EQ(liveAllocations, before + 1) << "cleared: only the document's memory record stays";
            }
        }
        EXPECT_EQ(liveAllocations, before) << (clearFirst ? "cleared, then destroyed" : "destroyed");
    }
}

// Each way an attribute of a parsed element comes to hold heap memory, alone
// in its document, which then frees it.
TEST(DocumentMemory, EachWayAnAttributeTakesHeapMemoryIsFreed) {
    const std::function<void(VexaElement*)> edits[] = {
        [](VexaElement* e) { e->FirstAttribute()->SetValue("a value long enough for any short-string buffer"); },
        [](VexaElement* e) { e->FirstAttribute()->SetIntValue(123456789); },
        [](VexaElement* e) { e->FirstAttribute()->SetDoubleValue(1e300); },  // hundreds of digits
        [](VexaElement* e) { e->SetAttribute("a", "a value long enough for any short-string buffer"); },
        [](VexaElement* e) { e->SetAttribute("new", "a value long enough for any short-string buffer"); },
        [](VexaElement* e) { e->SetAttribute("count", 42); },
        [](VexaElement* e) { e->Parse("<e b='a value long enough for any short-string buffer'/>", nullptr); },
    };
    for (size_t i = 0; i < sizeof edits / sizeof edits[0]; ++i) {
        for (const bool clearFirst : {true, false}) {
            Arm(-1);
            const long long before = liveAllocations;
            {
                VexaDocument doc;
                doc.Parse("<r><e a='1'/></r>");
                ASSERT_FALSE(doc.Error());
                edits[i](doc.FirstChildElement()->FirstChildElement());
                if (clearFirst) doc.Clear();
            }
            EXPECT_EQ(liveAllocations, before) << "edit " << i << (clearFirst ? ", cleared" : "");
        }
    }
}
