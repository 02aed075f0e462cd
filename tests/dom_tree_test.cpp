// Linking, copying, removing and finding nodes, directly and through
// null-safe handles; who deletes what.

#include <iterator>
#include <type_traits>

#include "test_util.h"

using namespace vexatest;

namespace {

// A text node that counts the live instances of itself and of its clones.
struct Counted : VexaText {
    static int live;
    explicit Counted(const char* text) : VexaText(text) { ++live; }
    ~Counted() override { --live; }
    VexaNode* Clone() const override {
        Counted* copy = new Counted("");
        CopyNodeTo(copy);
        return copy;
    }
};
int Counted::live = 0;

// The children's values first to last, once their links are checked.
std::string Children(const VexaNode& parent) {
    ExpectLinked(parent);
    std::string values;
    for (const VexaNode* c = parent.FirstChild(); c; c = c->NextSibling()) values += c->ValueStr();
    return values;
}

// An edit of parent p, given its children k, a child s of another parent
// and a node x to copy in. Each row: its name, p's children before and
// after (one letter each), and the value of the fresh copy the edit returns,
// "p" for true, null for null.
#define EDIT(expr)                                                                     \
    [](VexaNode& p, [[maybe_unused]] VexaNode* const* k, [[maybe_unused]] VexaNode* s, \
       [[maybe_unused]] const VexaNode& x) -> VexaNode* { return expr; }
typedef VexaNode* (*Edit)(VexaNode& p, VexaNode* const* k, VexaNode* s, const VexaNode& x);

const std::tuple<const char*, const char*, Edit, const char*, const char*> kEdits[] = {
    {"InsertEnd", "abc", EDIT(p.InsertEndChild(x)), "abcx", "x"},
    {"InsertBeforeFirst", "abc", EDIT(p.InsertBeforeChild(k[0], x)), "xabc", "x"},
    {"InsertBeforeLast", "abc", EDIT(p.InsertBeforeChild(k[2], x)), "abxc", "x"},
    {"InsertAfterFirst", "abc", EDIT(p.InsertAfterChild(k[0], x)), "axbc", "x"},
    {"InsertAfterLast", "abc", EDIT(p.InsertAfterChild(k[2], x)), "abcx", "x"},
    {"ReplaceFirst", "abc", EDIT(p.ReplaceChild(k[0], x)), "xbc", "x"},
    {"ReplaceLast", "abc", EDIT(p.ReplaceChild(k[2], x)), "abx", "x"},
    {"ReplaceWithItself", "abc", EDIT(p.ReplaceChild(k[1], *k[1])), "abc", "b"},
    {"RemoveFirst", "abc", EDIT(p.RemoveChild(k[0]) ? &p : nullptr), "bc", "p"},
    {"RemoveMiddle", "abc", EDIT(p.RemoveChild(k[1]) ? &p : nullptr), "ac", "p"},
    {"RemoveLast", "abc", EDIT(p.RemoveChild(k[2]) ? &p : nullptr), "ab", "p"},
    {"RemoveOnly", "a", EDIT(p.RemoveChild(k[0]) ? &p : nullptr), "", "p"},
    {"Clear", "abc", EDIT((p.Clear(), &p)), "", "p"},
    {"InsertBeforeNull", "abc", EDIT(p.InsertBeforeChild(nullptr, x)), "abc", nullptr},
    {"InsertAfterNull", "abc", EDIT(p.InsertAfterChild(nullptr, x)), "abc", nullptr},
    {"ReplaceNull", "abc", EDIT(p.ReplaceChild(nullptr, x)), "abc", nullptr},
    {"InsertBeforeStranger", "abc", EDIT(p.InsertBeforeChild(s, x)), "abc", nullptr},
    {"InsertAfterStranger", "abc", EDIT(p.InsertAfterChild(s, x)), "abc", nullptr},
    {"ReplaceStranger", "abc", EDIT(p.ReplaceChild(s, x)), "abc", nullptr},
};

TEST(DomTree, EditsKeepListsAndOwnership) {
    for (const auto& [what, start, edit, after, result] : kEdits) {
        SCOPED_TRACE(what);
        Counted::live = 0;
        {
            VexaElement p("p"), q("q");
            VexaNode* stranger = q.LinkEndChild(new Counted("s"));
            VexaNode* kid[3] = {};
            for (size_t i = 0; start[i]; ++i) kid[i] = p.LinkEndChild(new Counted(std::string(1, start[i]).c_str()));
            const Counted x("x");
            VexaNode* returned = edit(p, kid, stranger, x);
            EXPECT_EQ(Children(p), after);
            EXPECT_EQ(Children(q), "s");
            EXPECT_EQ(Counted::live, static_cast<int>(std::strlen(after)) + 2);  // p's children, x and s
            const bool copied = result && *result != 'p';
            EXPECT_EQ(returned, copied ? p.FirstChild(result) : result ? &p : nullptr);
            for (VexaNode* k : kid) EXPECT_NE(returned, k);
        }
        EXPECT_EQ(Counted::live, 0);
    }
}

TEST(DomTree, ReplaceByPartOfItselfAndDestroySubtrees) {
    Counted::live = 0;
    {
        VexaDocument doc;
        VexaNode* outer = doc.LinkEndChild(new VexaElement("o"));
        VexaNode* inner = outer->LinkEndChild(new VexaElement("i"));
        inner->LinkEndChild(new Counted("t"));
        outer->LinkEndChild(new Counted("u"))->LinkEndChild(new Counted("under a leaf"));
        EXPECT_EQ(Counted::live, 3);
        VexaNode* copy = doc.ReplaceChild(outer, *inner);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(Compact(*copy), "<i>t</i>");
        EXPECT_EQ(Counted::live, 1);
        EXPECT_EQ(copy->FirstChild()->GetDocument(), &doc);
        copy->LinkEndChild(new VexaDocument())->LinkEndChild(new Counted("d"));  // not refused
        EXPECT_EQ(copy->LastChild()->LastChild()->GetDocument(), copy->LastChild());
    }
    EXPECT_EQ(Counted::live, 0);
    VexaElement loose("e");
    EXPECT_EQ(loose.LinkEndChild(new VexaText("t"))->GetDocument(), nullptr);
}

TEST(DomTree, FindersByValueKindAndPosition) {
    VexaElement p("p");
    VexaNode* k[5] = {p.LinkEndChild(new VexaText("item")), p.LinkEndChild(new VexaElement("item")),
                      p.LinkEndChild(new VexaComment()), p.LinkEndChild(new VexaElement("b")),
                      p.LinkEndChild(new VexaText("b"))};
    EXPECT_EQ(p.FirstChild("item"), k[0]);
    EXPECT_EQ(p.FirstChild("Item"), nullptr);
    EXPECT_EQ(p.FirstChild("ite"), nullptr);
    EXPECT_EQ(p.FirstChild(""), k[2]);
    EXPECT_EQ(p.LastChild("item"), k[1]);
    EXPECT_EQ(p.FirstChildElement(), k[1]);
    EXPECT_EQ(p.FirstChildElement("item"), k[1]);
    EXPECT_EQ(k[1]->NextSibling("b"), k[3]);
    EXPECT_EQ(k[1]->PreviousSibling("item"), k[0]);
    EXPECT_EQ(k[1]->NextSiblingElement(), k[3]);
    EXPECT_EQ(k[3]->NextSiblingElement("b"), nullptr);  // the text "b" is no element
    EXPECT_EQ(p.IterateChildren(nullptr), k[0]);
    EXPECT_EQ(p.IterateChildren(k[4]), nullptr);
    EXPECT_EQ(p.IterateChildren("b", k[3]), k[4]);
}

// A copy shares nothing with its source (change the copy, delete the
// source), keeps the client data, drops the location and is unlinked.
TEST(DomTree, ClonesAreDeepAndUnlinked) {
    std::unique_ptr<VexaDocument> doc(new VexaDocument("name.xml"));
    doc->Parse("<?xml version='1.0' standalone='no'?>\n<!--c-->\n<!DOCTYPE d>\n<r a='1' b='2'>\n  t<s x='y'>u</s></r>");
    ASSERT_FALSE(doc->Error()) << doc->ErrorText();
    VexaNode* r = doc->FirstChildElement("r");
    const std::string docDump = Dump(*doc);
    std::unique_ptr<VexaNode> docCopy(doc->Clone()), rootCopy(r->Clone());
    EXPECT_EQ(Dump(*docCopy), docDump);
    EXPECT_EQ(Dump(*rootCopy), Dump(*r));
    EXPECT_TRUE(rootCopy->Row() == -1 && rootCopy->FirstChildElement()->Row() == -1);
    rootCopy->ToElement()->SetAttribute("a", "changed");
    rootCopy->FirstChildElement()->FirstChild()->SetValue("changed");
    rootCopy->FirstChildElement()->RemoveAttribute("x");
    rootCopy->LinkEndChild(new VexaText("added"));
    EXPECT_EQ(Dump(*doc), docDump);
    EXPECT_EQ(Compact(*rootCopy), "<r a=\"changed\" b=\"2\">t<s>changed</s>added</r>");

    r->FirstChild()->LinkEndChild(new VexaText("under a leaf"));
    for (VexaNode* n : {doc->FirstChild(), doc->FirstChild()->NextSibling(), r->PreviousSibling(), r->FirstChild()}) {
        SCOPED_TRACE(Compact(*n));
        n->SetClientData(n);
        std::unique_ptr<VexaNode> copy(n->Clone());
        EXPECT_GE(n->Row(), 0);
        EXPECT_EQ(Compact(*copy), Compact(*n));
        EXPECT_TRUE(copy->Type() == n->Type() && copy->GetClientData() == n && !copy->Parent() && !copy->NextSibling());
        EXPECT_TRUE(copy->Row() == -1 && copy->Column() == -1) << copy->Row() << "," << copy->Column();
        EXPECT_EQ(copy->FirstChild(), nullptr);  // a leaf's copy has no children
    }
    doc.reset();
    EXPECT_EQ(Dump(*docCopy), docDump);
}

TEST(DomContract, ForeignNodes) {
    VexaElement p("p"), q("q");
    p.LinkEndChild(new VexaText("m"));
    VexaNode* stranger = q.LinkEndChild(new VexaText("s"));
    q.LinkEndChild(new VexaText("s"));
    VexaText loose("l");
#ifdef NDEBUG
    EXPECT_FALSE(p.RemoveChild(stranger));
    EXPECT_FALSE(p.RemoveChild(&loose));
    EXPECT_EQ(p.IterateChildren(stranger), nullptr);
    EXPECT_EQ(p.IterateChildren("s", stranger), nullptr);
    EXPECT_EQ(Children(p), "m");
    EXPECT_EQ(Children(q), "ss");
#else
    EXPECT_DEATH(p.RemoveChild(stranger), "failed assertion");
    EXPECT_DEATH(p.RemoveChild(&loose), "failed assertion");
    EXPECT_DEATH(p.IterateChildren(stranger), "failed assertion");
    EXPECT_DEATH(p.IterateChildren("s", stranger), "failed assertion");
#endif
}

// A call, as a function and as written, and the index of the child it
// reaches, -1 for null.
typedef std::tuple<VexaHandle (*)(const VexaHandle& h), const char*, int> Step;
#define STEP(expr, want) Step([](const VexaHandle& h) { return expr; }, #expr, want)

// Children: text "a", element "x", comment "c", element "y", element "x".
const Step kSteps[] = {STEP(h.Child(0), 0),
                       STEP(h.Child(4), 4),
                       STEP(h.Child(5), -1),
                       STEP(h.Child(-1), 0),
                       STEP(h.ChildElement(1), 3),
                       STEP(h.ChildElement(3), -1),
                       STEP(h.ChildElement(-2), 1),
                       STEP(h.Child("x", 1), 4),
                       STEP(h.Child("x", 2), -1),
                       STEP(h.Child("X", 0), -1),
                       STEP(h.ChildElement("x", 1), 4),
                       STEP(h.ChildElement("a", 0), -1),
                       STEP(h.ChildElement("y", -3), 3),
                       STEP(h.FirstChild("a"), 0),
                       STEP(h.FirstChildElement(), 1),
                       STEP(h.FirstChildElement("a"), -1),
                       STEP(h.FirstChildElement("y"), 3)};

TEST(Handle, CountsAndNamesChildren) {
    VexaElement e("e"), empty("empty");
    VexaComment* comment = new VexaComment();
    comment->SetValue("c");
    VexaNode* k[] = {e.LinkEndChild(new VexaText("a")), e.LinkEndChild(new VexaElement("x")), e.LinkEndChild(comment),
                     e.LinkEndChild(new VexaElement("y")), e.LinkEndChild(new VexaElement("x"))};
    for (const auto& [go, call, want] : kSteps) {
        EXPECT_EQ(go(VexaHandle(&e)).GetNode(), want < 0 ? nullptr : k[want]) << call;
        EXPECT_EQ(go(VexaHandle(nullptr)).GetNode(), nullptr) << call;
        EXPECT_EQ(go(VexaHandle(&empty)).GetNode(), nullptr) << call;
        EXPECT_EQ(go(VexaHandle(k[0])).GetNode(), nullptr) << call;
    }
}

TEST(Handle, Chains) {
    VexaDocument doc;
    EXPECT_EQ(VexaHandle(&doc).FirstChildElement("r").ChildElement(2).FirstChild().GetNode(), nullptr);
    doc.Parse("<r><s/><s><t>hi</t></s></r>");
    const VexaHandle t = VexaHandle(&doc).FirstChildElement("r").ChildElement("s", 1).FirstChild();
    EXPECT_TRUE(t.ToElement() && !t.ToText() && t.FirstChild().ToText() && !t.FirstChild().ToElement());
    EXPECT_EQ(t.FirstChild().GetNode()->ValueStr(), "hi");
}

// ------------------------------------------------------------- range-for

// What the ranges of the root element of xml yield: every child (kind digit
// and value), the child elements, those named b (const), the attributes.
std::string Ranges(const char* xml) {
    VexaDocument doc;
    doc.Parse(xml);
    VexaElement* root = doc.FirstChildElement();
    const VexaElement& constRoot = *root;
    std::string out, constOut;
    for (VexaNode* n : root->Children()) out += std::to_string(n->Type()) + n->ValueStr() + " ";
    for (const VexaNode* n : constRoot.Children()) constOut += std::to_string(n->Type()) + n->ValueStr() + " ";
    EXPECT_EQ(out, constOut);
    for (VexaElement* e : root->ChildElements()) out += "|" + e->ValueStr();
    out += " |";
    for (const VexaElement* e : constRoot.ChildElements("b")) out += e->ValueStr() + std::to_string(e->Row()) + " ";
    for (const VexaAttribute* a : constRoot.Attributes()) out += std::string("|") + a->Name() + "=" + a->Value();
    return out;
}

TEST(RangeFor, EmptyOneAndMixedChildren) {
    const std::pair<const char*, const char*> cases[] = {
        {"<r/>", " |"},
        {"<r><b/></r>", "1b |b |b0 "},
        {"<r x='1'>b</r>", "4b  ||x=1"},  // a text whose value is b is no element b
        {"<r x='1' y=''>t<!--c--><b/>\n<a/>u<b/><?p?></r>", "4t 2c 1b 1a 4u 1b 3?p? |b|a|b |b0 b1 |x=1|y="},
    };
    for (const auto& [xml, expected] : cases) EXPECT_EQ(expected, Ranges(xml)) << xml;

    // The iterators suit the standard algorithms; the ranges know when they are empty.
    VexaDocument doc;
    doc.Parse("<r><b/><a/><b/></r>");
    VexaElement* root = doc.FirstChildElement();
    const auto named = root->ChildElements("b");
    EXPECT_EQ(2, std::distance(named.begin(), named.end()));
    EXPECT_TRUE(!named.empty() && root->ChildElements("z").empty() && root->Attributes().empty());
    auto it = root->Children().begin();
    EXPECT_TRUE(*it++ == root->FirstChild() && *it == root->FirstChild()->NextSibling());
    static_assert(
        std::is_same<decltype(*static_cast<const VexaElement*>(root)->Children().begin()), const VexaNode*>::value,
        "a const node gives const children");

    // Only the node the loop stands on must stay: the first two a remove
    // the x after them and add an element at the end.
    doc.Parse("<s><a/><x/><a/><x/><a/></s>");
    VexaElement* s = root->NextSiblingElement();
    std::string seen;
    for (VexaElement* e : s->ChildElements()) {
        seen += e->Value();
        if (e->ValueStr() == "a" && seen.size() < 3) {
            s->RemoveChild(e->NextSibling());
            s->LinkEndChild(new VexaElement("z"));
        }
    }
    EXPECT_EQ("aaazz", seen);
    EXPECT_EQ("aaazz", Children(*s));
}

TEST(Element, GetText) {
    const std::pair<const char*, const char*> cases[] = {
        {"<a>hi there</a>", "hi there"}, {"<a>x<b/>y</a>", "x"},        {"<a/>", nullptr},
        {"<a><b>x</b></a>", nullptr},    {"<a><!--c-->x</a>", nullptr}, {"<a><![CDATA[x]]></a>", nullptr},
    };
    for (const auto& [xml, text] : cases) {
        VexaDocument doc;
        doc.Parse(xml);
        const char* got = doc.FirstChildElement()->GetText();
        EXPECT_EQ(text ? text : "null", std::string(got ? got : "null")) << xml;
    }
}

// ------------------------------------------------------------ moving documents

// Everything a document holds that a move must carry, its attributes
// written by its own encoding among them.
std::string State(const VexaDocument& doc) {
    std::string out = Dump(doc) + doc.ValueStr();
    for (int n : {doc.TabSize(), doc.MaxDepth(), doc.TextEncoding(), doc.WhiteSpaceMode(), doc.ErrorCode(),
                  doc.ErrorRow(), doc.ErrorCol()})
        out += " " + std::to_string(n);
    if (const VexaElement* root = doc.FirstChildElement()) out += " " + Printed(*root->FirstAttribute());
    return out + (doc.GetClientData() ? " data" : "");
}

TEST(DocumentMove, TakesEverythingAndLeavesANewDocument) {
    const std::string fresh = State(VexaDocument());
    std::unique_ptr<VexaDocument> source(new VexaDocument("name.xml"));
    source->SetTabSize(8);
    source->SetMaxDepth(5);
    source->SetTextEncoding(VEXA_ENCODING_UTF8);
    source->SetWhiteSpaceMode(VEXA_WHITESPACE_KEEP);
    source->SetClientData(source.get());
    source->Parse("<r a='\xC3\xA9'><c>t</c></r>\n<<");
    const std::string before = State(*source);
    ASSERT_NE(before.find("a=\"\xC3\xA9\" data"), std::string::npos);  // by the UTF-8 rules

    VexaDocument moved(std::move(*source));
    EXPECT_EQ(fresh, State(*source));
    source.reset();  // nothing of the moved tree may point back at it
    EXPECT_EQ(before, State(moved));
    ExpectLinked(moved);
    EXPECT_EQ(&moved, moved.FirstChildElement()->FirstChildElement()->FirstChild()->GetDocument());
    // The tree's memory came along: removing, editing and parsing use it.
    moved.FirstChildElement()->RemoveChild(moved.FirstChildElement()->FirstChild());
    moved.FirstChildElement()->FirstAttribute()->SetValue("v");
    moved.Parse("<again/>");  // appends
    const std::string after = "document 'name.xml'\n  element 'r' a='v'\n  unknown '<'\n  element 'again'\n";
    EXPECT_EQ(after, Dump(moved));

    // Assignment frees what the target held; a moved-from document is reused.
    VexaDocument target, empty;
    target.Parse("<old><x/></old>");
    target = std::move(moved);
    EXPECT_EQ(after, Dump(target));
    EXPECT_EQ(fresh, State(moved));
    moved.Parse("<reused/>");
    EXPECT_EQ("document ''\n  element 'reused'\n", Dump(moved));
    VexaDocument& alias = target;
    target = std::move(alias);  // itself: nothing changes
    EXPECT_EQ(after, Dump(target));
    target = std::move(empty);
    EXPECT_EQ(fresh, State(target));

    // Returned from functions and kept in a vector that grows.
    std::vector<VexaDocument> docs;
    for (int i = 0; i < 40; ++i) {
        docs.push_back([i] {
            VexaDocument doc;
            doc.Parse(("<n i='" + std::to_string(i) + "'><c/></n>").c_str());
            return doc;
        }());
    }
    for (size_t i = 0; i < docs.size(); ++i) {
        EXPECT_EQ(static_cast<int>(i), docs[i].FirstChildElement()->IntAttribute("i", -1));
        EXPECT_EQ(&docs[i], docs[i].FirstChildElement()->FirstChild()->GetDocument());
    }
}

}  // namespace
