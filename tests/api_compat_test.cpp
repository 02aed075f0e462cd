// Calls written against earlier versions compile unchanged and mean the
// same: the additions (typed setters, ranges, per-document settings, moves)
// took no overload and no name that such a call could reach.
#include "test_util.h"

using namespace vexatest;

namespace {

// The value each call gives attribute n; every one resolves as it always did.
const std::pair<void (*)(VexaElement&), const char*> kSetters[] = {
    {[](VexaElement& e) { e.SetAttribute("n", 5); }, "5"},
    {[](VexaElement& e) { e.SetAttribute("n", 5L); }, "5"},  // long: the int overload, not a 64-bit one
    {[](VexaElement& e) { e.SetAttribute("n", 5u); }, "5"},
    {[](VexaElement& e) { e.SetAttribute("n", static_cast<short>(-5)); }, "-5"},
    {[](VexaElement& e) { e.SetAttribute("n", 'A'); }, "65"},
    {[](VexaElement& e) { e.SetAttribute("n", true); }, "1"},  // a bool is still the number 1
    {[](VexaElement& e) {
         const double v = 2.75;
         e.SetAttribute("n", v);  // a double is still cut to an int
     },
     "2"},
    {[](VexaElement& e) { e.SetAttribute("n", "text"); }, "text"},
    {[](VexaElement& e) { e.SetAttribute("n", std::string("str").c_str()); }, "str"},
    {[](VexaElement& e) { e.FirstAttribute()->SetDoubleValue(2.5); }, "2.500000"},  // six decimals, as before
    {[](VexaElement& e) { e.FirstAttribute()->SetIntValue(-7); }, "-7"},
    {[](VexaElement& e) { e.SetDoubleAttribute("n", 2.5); }, "2.5"},
    {[](VexaElement& e) { e.SetDoubleAttribute("n", 3); }, "3"},
    {[](VexaElement& e) { e.SetInt64Attribute("n", 5000000000LL); }, "5000000000"},
    {[](VexaElement& e) { e.SetUnsignedAttribute("n", 5u); }, "5"},
    {[](VexaElement& e) { e.SetBoolAttribute("n", 1); }, "true"},
};

// The calls of examples/config.cpp as it was before range-for and the
// boolean query: handles, int and double queries, ChildElement(name, i).
std::string ClassicConfig(const char* path) {
    VexaDocument doc;
    if (!doc.LoadFile(path)) return doc.ErrorText();
    VexaHandle config = VexaHandle(&doc).FirstChildElement("config");
    VexaElement* window = config.FirstChildElement("window").ToElement();
    int width = 800, height = 600, grid = 0;
    double zoom = 1.0;
    if (!window || window->QueryIntAttribute("width", &width) == VEXA_QUERY_WRONG_TYPE) return "no width";
    window->QueryIntAttribute("height", &height);
    if (VexaElement* canvas = config.FirstChildElement("canvas").ToElement()) {
        canvas->QueryDoubleAttribute("zoom", &zoom);
        canvas->QueryIntAttribute("grid", &grid);
    }
    std::string out = std::string(window->Attribute("title")) + " " + std::to_string(width) + "x" +
                      std::to_string(height) + " " + std::to_string(zoom) + " " + std::to_string(grid);
    VexaHandle recent = config.FirstChildElement("recent");
    for (int i = 0; VexaElement* file = recent.ChildElement("file", i).ToElement(); ++i) {
        int pinned = 0;
        file->QueryIntAttribute("pinned", &pinned);
        out += std::string(" ") + file->Attribute("path") + (pinned ? "*" : "");
    }
    return out;
}

}  // namespace

TEST(ApiCompat, SettersResolveAsBefore) {
    for (size_t i = 0; i < std::size(kSetters); ++i) {
        VexaElement e("e");
        e.SetAttribute("n", "");
        kSetters[i].first(e);
        EXPECT_STREQ(kSetters[i].second, e.Attribute("n")) << "setter " << i;
    }
}

TEST(ApiCompat, SettingsMeanTheSame) {
    // SetCondenseWhiteSpace through an instance is still the static call:
    // it sets the process default, which every other document follows.
    CondenseScope scope(true);
    VexaDocument doc, other;
    doc.SetCondenseWhiteSpace(false);
    other.Parse("<a>x  y</a>");
    EXPECT_STREQ("x  y", other.FirstChildElement()->GetText());
    EXPECT_EQ(VEXA_WHITESPACE_DEFAULT, doc.WhiteSpaceMode());
}

#ifdef VEXA_TEST_DATA_DIR
TEST(ApiCompat, ClassicConfigExample) {
    EXPECT_EQ("Sketch 1024x768 1.500000 16 /home/ada/notes.svg* /home/ada/plan.svg /tmp/draft.svg",
              ClassicConfig(DataPath("../../examples/config.xml").c_str()));
}
#endif
