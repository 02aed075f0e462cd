// Chained, null-safe navigation with handles.
#include "test_util.h"

using namespace vexatest;

namespace {

struct Step {
    const char* call;
    VexaHandle (*go)(const VexaHandle& h);
    int want;  // index of the child reached, -1 for null
};
// clang-format off
#define STEP(expr, want) Step{#expr, [](const VexaHandle& h) { return expr; }, want}
// clang-format on

// Children: text "a", element "x", comment "c", element "y", element "x".
const Step kSteps[] = {
    STEP(h.Child(0), 0),
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
    STEP(h.FirstChildElement("y"), 3),
};

TEST(Handle, CountsAndNamesChildren) {
    VexaElement e("e"), empty("empty");
    VexaComment* comment = new VexaComment();
    comment->SetValue("c");
    VexaNode* k[] = {e.LinkEndChild(new VexaText("a")), e.LinkEndChild(new VexaElement("x")), e.LinkEndChild(comment),
                     e.LinkEndChild(new VexaElement("y")), e.LinkEndChild(new VexaElement("x"))};
    for (const Step& s : kSteps) {
        EXPECT_EQ(s.go(VexaHandle(&e)).GetNode(), s.want < 0 ? nullptr : k[s.want]) << s.call;
        EXPECT_EQ(s.go(VexaHandle(nullptr)).GetNode(), nullptr) << s.call;
        EXPECT_EQ(s.go(VexaHandle(&empty)).GetNode(), nullptr) << s.call;
        EXPECT_EQ(s.go(VexaHandle(k[0])).GetNode(), nullptr) << s.call;
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

}  // namespace
