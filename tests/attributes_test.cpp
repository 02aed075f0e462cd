// Attribute lists, attributes by name, and the numeric conversions of
// attribute values.

#include <climits>
#include <cmath>
#include <cstdint>

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

// ------------------------------------------------------------ typed attributes

// Every typed query, through the attribute, the element and the reader
// with a default, on one value: the code, and what each wrote as text
// ("-" when it left the output alone and the default came back).
static std::string Typed(const char* text) {
    VexaElement e("e");
    e.SetAttribute("v", text);
    const VexaAttribute& a = *e.FirstAttribute();
    std::string out;
    const auto add = [&out](int code, const std::string& value, const std::string& viaElement,
                            const std::string& read) {
        // The three forms agree, or the row shows where they differ.
        out += code == VEXA_QUERY_OK ? value : "-";
        if (viaElement != value || read != (code == VEXA_QUERY_OK ? value : "-"))
            out += "(" + viaElement + "|" + read + ")";
        out += " ";
    };
    bool b = false, be = false;
    const int bc = a.QueryBoolValue(&b);
    e.QueryBoolAttribute("v", &be);
    add(bc, b ? "T" : "F", be ? "T" : "F", bc ? "-" : (e.BoolAttribute("v", !b) ? "T" : "F"));
    int64_t l = 7, le = 7;
    const int lc = a.QueryInt64Value(&l);
    e.QueryInt64Attribute("v", &le);
    add(lc, std::to_string(l), std::to_string(le),
        lc ? (e.Int64Attribute("v", 7) == 7 ? "-" : "?") : std::to_string(e.Int64Attribute("v", 7)));
    unsigned u = 7, ue = 7;
    const int uc = a.QueryUnsignedValue(&u);
    e.QueryUnsignedAttribute("v", &ue);
    add(uc, std::to_string(u), std::to_string(ue),
        uc ? (e.UnsignedAttribute("v", 7) == 7 ? "-" : "?") : std::to_string(e.UnsignedAttribute("v", 7)));
    float f = 7, fe = 7;
    const int fc = a.QueryFloatValue(&f);
    e.QueryFloatAttribute("v", &fe);
    const auto str = [](float x) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", x);
        return std::string(buf);
    };
    add(fc, str(f), str(fe), fc ? (e.FloatAttribute("v", 7) == 7 ? "-" : "?") : str(e.FloatAttribute("v", 7)));
    // The untouched outputs kept their value.
    if ((bc && b) || (lc && l != 7) || (uc && u != 7) || (fc && f != 7)) out += "written on failure";
    return out.substr(0, out.size() - 1);
}

TEST(TypedAttributes, EveryQueryOnEachSpellingAndLimit) {
    // value: bool, int64, unsigned, float
    const std::pair<const char*, const char*> cases[] = {
        {"true", "T - - -"},
        {"TRUE", "T - - -"},
        {" Yes\t", "T - - -"},
        {"yes", "T - - -"},
        {"1", "T 1 1 1"},
        {"false", "F - - -"},
        {"No", "F - - -"},
        {"0", "F 0 0 0"},
        {"-0", "- 0 0 -0"},
        {"", "- - - -"},
        {"truth", "- - - -"},
        {"t", "- - - -"},
        {"yes no", "- - - -"},
        {"1.0", "- 1 1 1"},
        {"12abc", "- 12 12 12"},
        {" +42", "- 42 42 42"},
        {"-1", "- -1 - -1"},
        {"2.5", "- 2 2 2.5"},
        {"9223372036854775807", "- 9223372036854775807 - 9.22337204e+18"},
        {"-9223372036854775808", "- -9223372036854775808 - -9.22337204e+18"},
        {"9223372036854775808", "- - - 9.22337204e+18"},
        {"-9223372036854775809", "- - - -9.22337204e+18"},
        {"99999999999999999999999", "- - - 9.99999978e+22"},
        {"4294967295", "- 4294967295 4294967295 4.2949673e+09"},
        {"4294967296", "- 4294967296 - 4.2949673e+09"},
        {"-4294967295", "- -4294967295 - -4.2949673e+09"},
        {"3.4028234663852886e38", "- 3 3 3.40282347e+38"},
        {"3.40282356e38", "- 3 3 3.40282347e+38"},  // rounds down to the largest float
        {"3.4028236e38", "- 3 3 -"},                // rounds up: out of range
        {"-1e39", "- -1 - -"},
        {"1e400", "- 1 1 -"},
        {"1e-50", "- 1 1 0"},
        {"inf", "- - - inf"},
        {"-Infinity", "- - - -inf"},
        {"nan", "- - - nan"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(expected, Typed(text)) << "value '" << text << "'";

    VexaElement e("e");
    bool b = true;
    int64_t l = 7;
    unsigned u = 7;
    float f = 7;
    EXPECT_EQ(VEXA_QUERY_NO_ATTRIBUTE, e.QueryBoolAttribute("none", &b) + e.QueryInt64Attribute("none", &l) +
                                           e.QueryUnsignedAttribute("none", &u) + e.QueryFloatAttribute("none", &f) -
                                           3 * VEXA_QUERY_NO_ATTRIBUTE);
    EXPECT_TRUE(b && l == 7 && u == 7 && f == 7);
    EXPECT_TRUE(e.BoolAttribute("none", true) && e.IntAttribute("none", -3) == -3 &&
                e.DoubleAttribute("none", 0.5) == 0.5 && e.Int64Attribute("none") == 0 &&
                e.UnsignedAttribute("none", 9) == 9 && e.FloatAttribute("none", 1.5f) == 1.5f);
    e.SetAttribute("n", "x12");
    EXPECT_TRUE(e.IntAttribute("n", 4) == 4 && e.DoubleAttribute("n", 4) == 4);
    e.SetAttribute("n", "12");
    EXPECT_TRUE(e.IntAttribute("n", 4) == 12 && e.DoubleAttribute("n", 4) == 12);
}

TEST(TypedAttributes, SettersReadBackExactly) {
    VexaElement e("e");
    const double doubles[] = {0.1, 1.0 / 3, 2.5, -0.0, 1e-300, 5e-324, 1.7976931348623157e308, 123456789012345678.0,
                              1e23};
    for (double d : doubles) {
        e.SetDoubleAttribute("d", d);
        double back = 0;
        ASSERT_EQ(VEXA_QUERY_OK, e.QueryDoubleAttribute("d", &back)) << e.Attribute("d");
        EXPECT_TRUE(back == d && std::signbit(back) == std::signbit(d)) << e.Attribute("d");
        VexaAttribute a("a", "");
        a.SetExactDoubleValue(d);
        EXPECT_STREQ(e.Attribute("d"), a.Value());
    }
    // Fifteen digits where they suffice, up to seventeen where needed.
    const std::pair<double, const char*> shortest[] = {
        {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {0.1 + 0.2, "0.30000000000000004"}, {1e21, "1e+21"}};
    for (const auto& [d, text] : shortest) {
        e.SetDoubleAttribute("d", d);
        EXPECT_STREQ(text, e.Attribute("d"));
    }

    const int64_t int64s[] = {INT64_MIN, -1, 0, INT64_MAX};
    for (int64_t l : int64s) {
        e.SetInt64Attribute("l", l);
        int64_t back = 7;
        EXPECT_TRUE(e.QueryInt64Attribute("l", &back) == VEXA_QUERY_OK && back == l) << e.Attribute("l");
    }
    e.SetUnsignedAttribute("u", UINT_MAX);
    EXPECT_STREQ("4294967295", e.Attribute("u"));
    e.SetBoolAttribute("b", false);
    EXPECT_STREQ("false", e.Attribute("b"));
    e.SetBoolAttribute("b", true);
    EXPECT_TRUE(e.BoolAttribute("b") && !std::strcmp(e.Attribute("b"), "true"));

    VexaAttribute a("a", "");
    a.SetBoolValue(false);
    EXPECT_STREQ("false", a.Value());
    a.SetInt64Value(INT64_MIN);
    EXPECT_STREQ("-9223372036854775808", a.Value());
    a.SetUnsignedValue(0);
    EXPECT_STREQ("0", a.Value());
}
