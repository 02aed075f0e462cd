// Linking, copying, removing and finding nodes; who deletes what.

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
// and a node x to copy in.
#define EDIT(expr)                                                                     \
    [](VexaNode& p, VexaNode* const* k, VexaNode* s, const VexaNode& x) -> VexaNode* { \
        static_cast<void>(k), static_cast<void>(s), static_cast<void>(x);              \
        return expr;                                                                   \
    }

struct Edit {
    const char* what;
    const char* start;  // p's children before, one letter each
    VexaNode* (*run)(VexaNode& p, VexaNode* const* k, VexaNode* s, const VexaNode& x);
    const char* after;   // p's children after
    const char* result;  // value of the fresh copy returned; "p" for true; null for null
};

const Edit kEdits[] = {
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
    for (const Edit& e : kEdits) {
        SCOPED_TRACE(e.what);
        Counted::live = 0;
        {
            VexaElement p("p"), q("q");
            VexaNode* stranger = q.LinkEndChild(new Counted("s"));
            VexaNode* kid[3] = {};
            for (size_t i = 0; e.start[i]; ++i)
                kid[i] = p.LinkEndChild(new Counted(std::string(1, e.start[i]).c_str()));
            const Counted x("x");
            VexaNode* result = e.run(p, kid, stranger, x);
            EXPECT_EQ(Children(p), e.after);
            EXPECT_EQ(Children(q), "s");
            EXPECT_EQ(Counted::live, static_cast<int>(std::strlen(e.after)) + 2);  // p's children, x and s
            const bool copied = e.result && *e.result != 'p';
            EXPECT_EQ(result, copied ? p.FirstChild(e.result) : e.result ? &p : nullptr);
            for (VexaNode* k : kid) EXPECT_NE(result, k);
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

}  // namespace
