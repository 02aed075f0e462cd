// VexaReader: each subtree it gives equals that element in a full parse of
// the same file (nodes, values, attributes, locations), the enclosing tags
// are those of the full tree, and errors are the full parse's, at its place.
#include <glob.h>

#include "test_util.h"

using namespace vexatest;

namespace {

// One line per node in document order: depth, kind, location, value,
// attributes with their locations. Walked without recursion: the corpus
// holds deep documents.
std::string Outline(const VexaNode& top, bool children = true) {
    std::string out;
    const VexaNode* n = &top;
    int depth = 0;
    for (;;) {
        out += std::to_string(depth) + " " + std::to_string(n->Type()) + " " + std::to_string(n->Row()) + ":" +
               std::to_string(n->Column()) + " '" + Escaped(n->ValueStr()) + "'";
        if (const VexaElement* e = n->ToElement()) {
            for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                out += " " + Escaped(a->Name()) + "='" + Escaped(a->Value()) + "'@" + std::to_string(a->Row()) + ":" +
                       std::to_string(a->Column());
            }
        }
        if (const VexaDeclaration* d = n->ToDeclaration())
            out += std::string(" ") + d->Version() + "|" + d->Encoding() + "|" + d->Standalone();
        out += "\n";
        if (children && n->FirstChild()) {
            n = n->FirstChild();
            ++depth;
            continue;
        }
        while (n != &top && !n->NextSibling()) {
            n = n->Parent();
            --depth;
        }
        if (n == &top) return out;
        n = n->NextSibling();
    }
}

// The elements a reader gives for name, from a full tree: document order,
// none inside one taken before; a null name takes the children of the roots.
std::vector<const VexaElement*> Wanted(const VexaDocument& doc, const char* name) {
    std::vector<const VexaElement*> out;
    const VexaNode* n = doc.FirstChild();
    while (n) {
        const VexaElement* e = n->ToElement();
        const bool take = e && (name ? std::strcmp(e->Value(), name) == 0 : n->Parent()->Parent() == &doc);
        if (take) out.push_back(e);
        if (!take && n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n && n != &doc && !n->NextSibling()) n = n->Parent();
        n = n && n != &doc ? n->NextSibling() : nullptr;
    }
    return out;
}

// Nodes by kind, attributes and the deepest nesting, below top (which
// depthAbove elements enclose), top itself included unless it is a document.
void Count(const VexaNode& top, int depthAbove, std::vector<long>* counts) {
    counts->resize(8);
    const VexaNode* n = top.ToDocument() ? top.FirstChild() : &top;
    int depth = depthAbove;
    while (n) {
        ++(*counts)[static_cast<size_t>(n->Type())];
        if (const VexaElement* e = n->ToElement()) {
            for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) ++(*counts)[6];
            (*counts)[7] = std::max((*counts)[7], static_cast<long>(depth + 1));
        }
        if (n->FirstChild()) {
            n = n->FirstChild();
            ++depth;
            continue;
        }
        while (n != &top && n->Parent() != &top && !n->NextSibling()) {
            n = n->Parent();
            --depth;
        }
        n = n == &top ? nullptr : n->NextSibling();
    }
}

struct Read {
    size_t given = 0;
    int code = 0, row = 0, col = 0;
};

// Reads the file at path with a reader (from the path, or through a stream)
// and checks every subtree and its ancestors against the full parse.
Read Differ(const std::string& path, const char* name, bool stream, const std::string& label, int maxDepth = 1000) {
    VexaDocument full;
    full.SetMaxDepth(maxDepth);
    full.LoadFile(path.c_str());
    // A file that does not convert fails to load before any parse; the
    // reader, converting as it goes, has given what came before the fault.
    const bool unconverted = full.ErrorCode() == VEXA_ERROR_ENCODING;
    const std::vector<const VexaElement*> wanted = Wanted(full, name);
    VexaReader reader;
    reader.Settings().SetMaxDepth(maxDepth);
    std::ifstream in(path.c_str(), std::ios::binary);
    if (stream) {
        reader.Open(in);
    } else {
        reader.Open(path.c_str());
    }
    Read r;
    std::vector<long> counted;
    while (VexaElement* e = reader.Next(name)) {
        if (unconverted) continue;
        Count(*e, reader.Depth(), &counted);
        if (r.given >= wanted.size()) {
            ADD_FAILURE() << label << ": more subtrees than the full parse has";
            break;
        }
        const VexaElement* expected = wanted[r.given++];
        EXPECT_EQ(Outline(*e), Outline(*expected)) << label << " subtree " << r.given;
        std::vector<const VexaNode*> above;
        for (const VexaNode* p = expected->Parent(); p && p != &full; p = p->Parent()) above.insert(above.begin(), p);
        EXPECT_EQ(reader.Depth(), static_cast<int>(above.size())) << label;
        for (size_t i = 0; i < above.size(); ++i) {
            const VexaElement* a = reader.Ancestor(static_cast<int>(i));
            EXPECT_EQ(a ? Outline(*a, false) : "none", Outline(*above[i], false)) << label;
        }
    }
    r.code = reader.ErrorCode();
    r.row = reader.ErrorRow();
    r.col = reader.ErrorCol();
    EXPECT_EQ(r.code, full.ErrorCode()) << label << ": " << reader.ErrorText() << " / " << full.ErrorText();
    if (full.Error()) {
        EXPECT_EQ(r.row, full.ErrorRow()) << label;
        EXPECT_EQ(r.col, full.ErrorCol()) << label;
        EXPECT_LE(r.given, wanted.size()) << label;
    } else {
        EXPECT_EQ(r.given, wanted.size()) << label;
        // With what the reader passed over, the subtrees make up the file.
        const VexaReader::Outside& outside = reader.PassedOver();
        counted.resize(8);
        for (size_t k = 0; k < 6; ++k) counted[k] += outside.nodes[k];
        counted[6] += outside.attributes;
        counted[7] = std::max(counted[7], static_cast<long>(outside.depth));
        std::vector<long> all;
        Count(full, 0, &all);
        EXPECT_EQ(counted, all) << label;
    }
    return r;
}

Read DifferText(const std::string& text, const char* name, const std::string& label, int maxDepth = 1000) {
    const std::string path = TempPath("reader");
    WriteFile(path, text);
    Differ(path, name, true, label + " (stream)", maxDepth);
    const Read r = Differ(path, name, false, label, maxDepth);
    std::remove(path.c_str());
    return r;
}

// A few names of a tree to read it by: each of the first elements' names.
std::vector<std::string> SomeNames(const VexaDocument& doc) {
    std::vector<std::string> names;
    const VexaNode* n = doc.FirstChild();
    for (int steps = 0; n && steps < 40 && names.size() < 3; ++steps) {
        if (n->ToElement() && std::find(names.begin(), names.end(), n->ValueStr()) == names.end())
            names.push_back(n->ValueStr());
        n = n->FirstChild() ? n->FirstChild() : n->NextSibling() ? n->NextSibling() : nullptr;
    }
    return names;
}

std::vector<std::string> Glob(const std::string& pattern) {
    std::vector<std::string> out;
    glob_t g;
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) out.push_back(g.gl_pathv[i]);
        globfree(&g);
    }
    return out;
}

// Records with every thing that moves a location: tabs, both line breaks,
// UTF-8, comments, CDATA and references; long enough to span many chunks.
std::string Records(int n, const char* lineBreak) {
    std::string out = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + lineBreak + "<log>" + lineBreak;
    for (int i = 0; i < n; ++i) {
        out += std::string("\t<rec id=\"") + std::to_string(i) + "\"\tkind='a&amp;b'>" + lineBreak +
               "\t\t<when>2026-12-0" + std::to_string(i % 9) + "</when><what>caf\xC3\xA9 &lt;" + std::to_string(i) +
               "&gt;</what>" + lineBreak + "\t\t<!-- note " + std::to_string(i) + " --><![CDATA[<raw>]]>" + lineBreak +
               "\t</rec>" + lineBreak;
    }
    return out + "</log>" + lineBreak;
}

struct Case {
    const char* label;
    std::string text;
    const char* name;
    size_t given;  // subtrees before the end or the error
    int code;      // the error, or 0
    int row, col;  // its place when it has one
    int maxDepth = 1000;
};

TEST(Reader, CasesMatchTheFullParse) {
    const Case cases[] = {
        {"children of the root", "<r><a x='1'/><b>t</b>\n<c><d/></c></r>", nullptr, 3, 0, 0, 0},
        {"a name at depth two", "<r><g><i>1</i><i>2</i></g><g><i>3</i></g></r>", "i", 3, 0, 0, 0},
        {"a name at depth three, among others", "<r><g><h><i k='v'/></h><j/></g><i>x</i></r>", "i", 2, 0, 0, 0},
        {"the root itself", "<?xml version='1.0'?>\n<r a='1'><x/></r>\n<!-- after -->", "r", 1, 0, 0, 0},
        {"nested matches give the outer", "<r><i><i><i/></i></i><i/></r>", "i", 2, 0, 0, 0},
        {"no match", "<r><a/></r>", "zz", 0, 0, 0, 0},
        {"empty file", "", nullptr, 0, VEXA_ERROR_DOCUMENT_EMPTY, -1, -1},
        {"white space only", " \n\t", nullptr, 0, 0, 0, 0},
        {"a byte order mark only", "\xEF\xBB\xBF", nullptr, 0, VEXA_ERROR_DOCUMENT_EMPTY, -1, -1},
        {"an end tag that does not match, after two records", "<r>\n<i>1</i>\n<i>2</i>\n<i>3</b>\n</r>", "i", 2,
         VEXA_ERROR_END_TAG, 3, 4},
        {"a bad attribute in a record", "<r><i>1</i>\n  <i a>2</i></r>", nullptr, 1, VEXA_ERROR_ATTRIBUTES, 1, 6},
        {"an ancestor that closes wrongly", "<r><g><i/></x><i/></r>", "i", 1, VEXA_ERROR_END_TAG, 0, 10},
        {"a bad ancestor tag", "<r><i/><g a><i/></g></r>", "i", 1, VEXA_ERROR_ATTRIBUTES, 0, 11},
        {"text outside the root", "<r><i/></r>\nstray", "i", 1, VEXA_ERROR_OUTSIDE_ELEMENT, 1, 0},
        {"the stream ends inside a record", "<r><i>1</i><i>2", "i", 1, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
        {"the stream ends between records", "<r><i>1</i>\n", "i", 1, VEXA_ERROR_ELEMENT_VALUE, -1, -1},
        {"the stream ends in a tag", "<r><i>1</i><i a='", "i", 1, VEXA_ERROR_ELEMENT, 0, 14},
        {"too deep above the records", "<a><a><i/></a><a><a><i/></a></a></a>", "i", 1, VEXA_ERROR_DEPTH, 0, 20, 3},
        {"too deep inside a record", "<a><i/><i><a><a/></a></i></a>", "i", 1, VEXA_ERROR_DEPTH, 0, 13, 3},
        {"an encoding declared in the prolog: columns count characters",
         "<?xml version='1.0' encoding='UTF-8'?><r><i>\xC3\xA9\xC3\xA9</i><i a='\xC3\xA9'/>\xE2\x82\xAC<i/></r>", "i",
         3, 0, 0, 0},
        {"no declaration: columns count bytes", "<r><i>\xC3\xA9\xC3\xA9</i>\xC3\xA9<i/></r>", "i", 2, 0, 0, 0},
        {"a byte order mark", "\xEF\xBB\xBF<r>\xC3\xA9<i/></r>", "i", 1, 0, 0, 0},
        {"CDATA, comments and instructions hold markup", "<r><![CDATA[<i>]]><!-- <i> --><?p <i>?><i/></r>", "i", 1, 0,
         0, 0},
        {"a DOCTYPE with an internal subset",
         "<!DOCTYPE r [<!ENTITY e 'x>'> <!-- ] > --> <!ATTLIST i a CDATA '1'>]>\n<r><i>&e;</i></r>", "i", 1, 0, 0, 0},
        {"several roots", "<r><i/></r><r><i/><i/></r>", "i", 3, 0, 0, 0},
        {"a zero byte drops the rest of its line", std::string("<r><i/>\0<i/>\n<i/></r>", 21), "i", 2, 0, 0, 0},
        {"end tags in any letter case", "<r><I>1</i ><i/></R>", nullptr, 2, 0, 0, 0},
        {"a classic reference takes the '<' after it", "<r><i>&#x<;</i>&#xa<;<i a='&#x';'/></r>", "i", 2, 0, 0, 0},
        {"a line feed and a carriage return are one break", "<r>\n\r<i a='\xFF\n b", nullptr, 0, VEXA_ERROR_ELEMENT, 1,
         3},
        {"tabs before a record", "<r>\n\t \t<i/>\r\n\t\t<i>\t</i></r>", "i", 2, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const Read r = DifferText(c.text, c.name, c.label, c.maxDepth);
        EXPECT_EQ(r.given, c.given) << c.label;
        EXPECT_EQ(r.code, c.code) << c.label;
        if (c.code) {
            EXPECT_EQ(std::make_pair(r.row, r.col), std::make_pair(c.row, c.col)) << c.label;
        }
    }
}

TEST(Reader, LargeInputsSpanningManyChunks) {
    DifferText(Records(3000, "\n"), "rec", "line feeds");
    DifferText(Records(3000, "\r\n"), nullptr, "both line breaks");
    DifferText(Records(2000, "\r"), "what", "carriage returns");
    // Pieces longer than the buffer: a text, a comment and an attribute value,
    // inside a record and between them.
    const std::string big(200000, 'x');
    DifferText("<r><i>" + big + "</i><!--" + big + "--><i a='" + big + "'/>" + big + "<i/></r>", "i", "long pieces");
    // A file of UTF-16, converted a chunk at a time.
    std::string utf16 = "\xFF\xFE";
    for (const char c : "<?xml version='1.0'?>" + Records(500, "\n")) utf16 += std::string(1, c) + '\0';
    DifferText(utf16, "rec", "UTF-16");
    DifferText(utf16.substr(0, utf16.size() - 1), "rec", "UTF-16 cut in a unit");
}

TEST(Reader, EntitiesOfTheInternalSubsetInRecords) {
    // Whatever the document does with the subset's entities and defaults,
    // a record read alone gets the same.
    DifferText("<!DOCTYPE r [<!ENTITY who 'world'><!ATTLIST i lang CDATA 'en'>]>\n<r><i>hello &who;</i><i/></r>", "i",
               "entities");
}

TEST(Reader, ReleasedSubtreesOutliveTheReader) {
    std::istringstream in("<r>\n<g a='1'><i n='1'><j/></i><i n='2'>two</i></g></r>");
    std::vector<std::unique_ptr<VexaElement>> kept;
    {
        VexaReader reader;
        ASSERT_TRUE(reader.Open(in));
        while (reader.Next("i")) {
            ASSERT_EQ(reader.Depth(), 2);
            EXPECT_STREQ(reader.Ancestor(1)->Attribute("a"), "1");
            EXPECT_EQ(reader.Ancestor(2), nullptr);
            kept.emplace_back(reader.Release());
            EXPECT_EQ(reader.Current(), nullptr);
        }
        EXPECT_FALSE(reader.Error());
    }
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0]->GetDocument(), nullptr);
    EXPECT_EQ(Outline(*kept[1]), "0 1 1:26 'i' n='2'@1:29\n1 4 1:35 'two'\n");
    EXPECT_STREQ(kept[0]->FirstChildElement()->Value(), "j");

    // Taken over without a copy: a document of its own with the prolog.
    std::istringstream again("<?xml version='1.0'?><r><i a='1'>x</i><i a='2'/></r>");
    std::vector<std::unique_ptr<VexaDocument>> docs;
    {
        VexaReader reader;
        ASSERT_TRUE(reader.Open(again));
        while (reader.Next("i")) {
            docs.emplace_back(reader.ReleaseDocument());
            EXPECT_EQ(reader.ReleaseDocument(), nullptr);
            EXPECT_TRUE(reader.Settings().FirstChild()->ToDeclaration());  // the reader's prolog again
        }
        EXPECT_FALSE(reader.Error());
    }
    ASSERT_EQ(docs.size(), 2u);
    VexaElement* i = docs[1]->LastChild()->ToElement();
    EXPECT_EQ(Outline(*docs[1]), "0 0 -1:-1 ''\n1 5 0:0 '' 1.0||\n1 1 0:38 'i' a='2'@0:41\n");
    EXPECT_EQ(i->GetDocument(), docs[1].get());
    i->SetAttribute("a", std::string(100, 'z').c_str());  // a value on the heap, freed with the document
    i->FirstAttribute()->SetValue("long enough to live on the heap, not in the document's memory");
}

TEST(Reader, SettingsOfTheDocumentApply) {
    const std::string text = "<r>\n\t<i>\t<a/></i></r>";
    std::istringstream in(text);
    VexaReader reader;
    reader.Settings().SetTabSize(8);
    reader.Settings().SetMaxDepth(3);
    ASSERT_TRUE(reader.Open(in));
    VexaElement* i = reader.Next("i");
    ASSERT_TRUE(i);
    EXPECT_EQ(i->Column(), 8);
    EXPECT_EQ(i->FirstChildElement()->Column(), 16);
    EXPECT_EQ(reader.Settings().MaxDepth(), 3);  // put back after each parse
    reader.Settings().SetMaxDepth(2);            // applies from the next Open
    std::istringstream again(text);
    ASSERT_TRUE(reader.Open(again));
    EXPECT_EQ(reader.Next("i"), nullptr);
    EXPECT_EQ(reader.ErrorCode(), VEXA_ERROR_DEPTH);
    EXPECT_FALSE(reader.Open("/nonexistent/reader.xml"));
    EXPECT_EQ(reader.ErrorCode(), VEXA_ERROR_FILE_OPEN);
    EXPECT_EQ(reader.Next(), nullptr);
}

// Whether text holds a reference to a name other than the five predefined
// ones: a full parse keeps it as a node of its own, which the reader's count
// of the text it passes over does not split out.
bool KeepsReference(const std::string& text) {
    static const char* const predefined[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
    for (size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at + 1)) {
        const char c = at + 1 < text.size() ? text[at + 1] : 0;
        if (c == '#' || !(std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':')) continue;
        bool known = false;
        for (const char* p : predefined) known = known || text.compare(at + 1, std::strlen(p), p) == 0;
        if (!known) return true;
    }
    return false;
}

TEST(Reader, FuzzCorpusAndRealFilesMatchTheFullParse) {
    std::vector<std::string> files = Glob(std::string(VEXA_TEST_DATA_DIR) + "/../../fuzz/corpus/*/*");
    ASSERT_FALSE(files.empty());
    for (const char* pattern :
         {"/usr/share/xml/iso-codes/*.xml", "/usr/share/mime/packages/*.xml", "/usr/share/X11/xkb/rules/*.xml"}) {
        for (const std::string& f : Glob(pattern)) files.push_back(f);
    }
    for (const std::string& path : DataFiles()) files.push_back(path);
    for (const std::string& path : files) {
        // Elements that an entity's replacement text makes are no markup of
        // the file for the reader's scan: it reads them inside the subtree
        // around their reference, never as subtrees of their own.
        std::ifstream text(path.c_str(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
        if (content.find("<!ENTITY") != std::string::npos || KeepsReference(content)) continue;
        VexaDocument full;
        full.LoadFile(path.c_str());
        Differ(path, nullptr, false, path);
        for (const std::string& name : SomeNames(full)) Differ(path, name.c_str(), false, path + " by " + name);
    }
}

}  // namespace
