// Attribute lists, attributes by name, and the numeric conversions of
// attribute values.

#include <climits>

#include "test_util.h"

using namespace vexatest;

// Names and values first to last, then "|", then last to first.
static std::string Walk(const VexaAttribute* first, const VexaAttribute* last) {
    std::string out;
    for (const VexaAttribute* a = first; a; a = a->Next()) out += std::string(a->Name()) + a->Value();
    out += "|";
    for (const VexaAttribute* a = last; a; a = a->Previous()) out += std::string(a->Name()) + a->Value();
    return out;
}
static std::string Walk(const VexaAttributeSet& set) { return Walk(set.First(), set.Last()); }
static std::string Walk(const VexaNode& e) {
    return Walk(e.ToElement()->FirstAttribute(), e.ToElement()->LastAttribute());
}

TEST(AttributeSet, LinksBothWaysAndUnlinksCleanly) {
    VexaAttribute a("a", "1"), b("b", "2"), c("c", "3"), other("o", "4");
    VexaAttributeSet set, set2;
    EXPECT_EQ(Walk(set), "|");
    set.Add(&b);
    EXPECT_EQ(Walk(set), "b2|b2");
    set.Remove(&b);
    for (VexaAttribute* x : {&a, &b, &c}) set.Add(x);
    set2.Add(&other);
    EXPECT_EQ(Walk(set), "a1b2c3|c3b2a1");
    EXPECT_TRUE(set.Find("b") == &b && !set.Find("B") && !set.Find(""));
    set.Remove(&b);
    EXPECT_EQ(Walk(set), "a1c3|c3a1");
    set.Add(&b);  // refused unless Remove left b without links
    EXPECT_EQ(Walk(set), "a1c3b2|b2c3a1");
    // Contract violations: removing an attribute of another set.
#ifdef NDEBUG
    set.Remove(&other);
    set2.Remove(&a);
#else
    EXPECT_DEATH(set.Remove(&other), "failed assertion");
    EXPECT_DEATH(set2.Remove(&a), "failed assertion");
#endif
    EXPECT_EQ(Walk(set) + Walk(set2), "a1c3b2|b2c3a1o4|o4");
    for (VexaAttribute* x : {&a, &b, &c}) set.Remove(x);
    set2.Remove(&other);
}

// An attribute with empty name and value is an attribute like any other:
// walks go past it, both ways, and copies keep it.
TEST(AttributeSet, EmptyAttributeIsKept) {
    VexaElement e("e");
    e.SetAttribute("a", "1");
    e.SetAttribute("", "v");
    e.SetAttribute("c", "3");
    EXPECT_EQ(Walk(e), "a1vc3|c3va1");
    e.SetAttribute("", "");
    EXPECT_EQ(Walk(e), "a1c3|c3a1");
    e.SetAttribute("d", "4");
    EXPECT_EQ(Walk(*std::unique_ptr<VexaNode>(e.Clone())), "a1c3d4|d4c3a1");
    e.RemoveAttribute("d");  // the last goes: the first knows the new last
    e.RemoveAttribute("a");  // the first goes
    EXPECT_EQ(Walk(e), "c3|c3");
}

TEST(ElementAttributes, SetRemoveAndLookUp) {
    VexaElement e("e");
    e.SetAttribute("a", "1");
    e.SetAttribute("b", -12);
    const VexaAttribute* first = e.FirstAttribute();
    e.SetAttribute("a", "3");  // keeps its place and its object
    e.SetAttribute("c", "x");
    EXPECT_EQ(e.FirstAttribute(), first);
    EXPECT_EQ(Walk(e), "a3b-12cx|cxb-12a3");
    int i = 5;
    double d = 5;
    EXPECT_TRUE(!e.Attribute("A", &i) && !e.Attribute("none", &d) && i == 0 && d == 0.0);
    i = 5, d = 5;
    EXPECT_EQ(e.QueryIntAttribute("none", &i), VEXA_QUERY_NO_ATTRIBUTE);
    EXPECT_EQ(e.QueryDoubleAttribute("none", &d), VEXA_QUERY_NO_ATTRIBUTE);
    EXPECT_TRUE(i == 5 && d == 5.0);
    for (const char* name : {"B", "b"}) e.RemoveAttribute(name);
    EXPECT_EQ(Walk(e), "a3cx|cxa3");
    for (const char* name : {"a", "c"}) e.RemoveAttribute(name);
    EXPECT_EQ(Walk(e), "|");
}

const int kUntouched = 777;

TEST(ElementAttributes, IntConversions) {
    // The text, QueryIntValue's result code, the number it writes (or
    // kUntouched) and IntValue.
    const std::tuple<const char*, int, int, int> cases[] = {
        {"42", VEXA_QUERY_OK, 42, 42},
        {"12abc", VEXA_QUERY_OK, 12, 12},
        {"\t\n+5 ", VEXA_QUERY_OK, 5, 5},
        {"2147483647", VEXA_QUERY_OK, INT_MAX, INT_MAX},
        {"-2147483648", VEXA_QUERY_OK, INT_MIN, INT_MIN},
        {"2147483648", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MAX},
        {"-99999999999", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MIN},
        {"123456789012345678901234567890", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MAX},
        {"abc", VEXA_QUERY_WRONG_TYPE, kUntouched, 0},
        {"- 5", VEXA_QUERY_WRONG_TYPE, kUntouched, 0},
        {"", VEXA_QUERY_WRONG_TYPE, kUntouched, 0}};
    for (const auto& [text, code, value, plain] : cases) {
        SCOPED_TRACE(std::string("value '") + text + "'");
        VexaElement e("e");
        e.SetAttribute("n", text);
        int query = kUntouched, viaElement = kUntouched, viaAttribute = kUntouched;
        EXPECT_EQ(e.FirstAttribute()->QueryIntValue(&query), code);
        EXPECT_EQ(e.QueryIntAttribute("n", &viaElement), code);
        EXPECT_TRUE(query == value && viaElement == value) << query << " " << viaElement;
        EXPECT_EQ(e.FirstAttribute()->IntValue(), plain);
        EXPECT_STREQ(e.Attribute("n", &viaAttribute), text);
        EXPECT_EQ(viaAttribute, plain);
    }
}

TEST(ElementAttributes, DoublesAndSetters) {
    VexaElement e("e");
    e.SetAttribute("n", " 2.5xyz");
    double query = kUntouched, plain = kUntouched;
    EXPECT_EQ(e.QueryDoubleAttribute("n", &query), VEXA_QUERY_OK);
    EXPECT_TRUE(e.Attribute("n", &plain) && query == 2.5 && plain == 2.5) << query << " " << plain;
    e.SetAttribute("n", "abc");
    EXPECT_EQ(e.QueryDoubleAttribute("n", &query), VEXA_QUERY_WRONG_TYPE);
    EXPECT_TRUE(query == 2.5 && e.FirstAttribute()->DoubleValue() == 0.0);

    VexaAttribute a("n", "");
    a.SetIntValue(INT_MIN);
    EXPECT_STREQ(a.Value(), "-2147483648");
    a.SetDoubleValue(1e20);
    EXPECT_STREQ(a.Value(), "100000000000000000000.000000");
    a.SetDoubleValue(-1e300);
    EXPECT_EQ(std::strlen(a.Value()), 1 + 301 + 7u);  // sign, digits, point and six decimals
}
