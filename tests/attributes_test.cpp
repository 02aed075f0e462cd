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

// The bool, 64-bit, unsigned and float readings of text: each value, or "-"
// where the query failed. The element's queries must agree with the
// attribute's, the readers with a default must give the value or the
// default, and a failed query must leave its output alone.
static std::string Typed(const char* text) {
    VexaElement e("e");
    e.SetAttribute("v", text);
    const VexaAttribute& a = *e.FirstAttribute();
    bool b[2] = {true, true};
    int64_t l[2] = {7, 7};
    unsigned u[2] = {7, 7};
    float f[2] = {7, 7};
    const int codes[2][4] = {
        {a.QueryBoolValue(&b[0]), a.QueryInt64Value(&l[0]), a.QueryUnsignedValue(&u[0]), a.QueryFloatValue(&f[0])},
        {e.QueryBoolAttribute("v", &b[1]), e.QueryInt64Attribute("v", &l[1]), e.QueryUnsignedAttribute("v", &u[1]),
         e.QueryFloatAttribute("v", &f[1])}};
    const auto tokens = [](bool bv, int64_t lv, unsigned uv, float fv) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", fv);
        return std::vector<std::string>{bv ? "T" : "F", std::to_string(lv), std::to_string(uv), buf};
    };
    const std::vector<std::string> initial = tokens(true, 7, 7, 7),
                                   read = tokens(e.BoolAttribute("v", true), e.Int64Attribute("v", 7),
                                                 e.UnsignedAttribute("v", 7), e.FloatAttribute("v", 7));
    std::string out[2];
    for (int i = 0; i < 2; ++i) {
        const std::vector<std::string> values = tokens(b[i], l[i], u[i], f[i]);
        for (int k = 0; k < 4; ++k) {
            const bool ok = codes[i][k] == VEXA_QUERY_OK;
            if (!ok && values[k] != initial[k]) return "written on failure";
            if (values[k] != read[k]) return "reader with a default differs";
            out[i] += (k ? " " : "") + (ok ? values[k] : "-");
        }
    }
    return out[0] == out[1] ? out[0] : out[0] + " but the element's " + out[1];
}

TEST(TypedAttributes, EveryQueryOnEachSpellingAndLimit) {
    // value: bool, int64, unsigned, float
    const std::pair<const char*, const char*> cases[] = {
        {"true", "T - - -"},
        {"TRUE", "T - - -"},
        {" Yes\t", "T - - -"},
        {"1", "T 1 1 1"},
        {"false", "F - - -"},
        {"No", "F - - -"},
        {"0", "F 0 0 0"},
        {"-0", "- 0 0 -0"},
        {"", "- - - -"},
        {"truth", "- - - -"},
        {"yes no", "- - - -"},
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
        {"3.40282356e38", "- 3 3 3.40282347e+38"},  // rounds down to the largest float
        {"3.4028236e38", "- 3 3 -"},                // rounds up: out of range
        {"-1e39", "- -1 - -"},
        {"1e400", "- 1 1 -"},
        {"1e-50", "- 1 1 0"},
        {"-Infinity", "- - - -inf"},
        {"nan", "- - - nan"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(expected, Typed(text)) << "value '" << text << "'";

    VexaElement e("e");
    bool b = true;
    int64_t l = 7;
    unsigned u = 7;
    float f = 7;
    EXPECT_EQ(4 * VEXA_QUERY_NO_ATTRIBUTE, e.QueryBoolAttribute("none", &b) + e.QueryInt64Attribute("none", &l) +
                                               e.QueryUnsignedAttribute("none", &u) +
                                               e.QueryFloatAttribute("none", &f));
    EXPECT_TRUE(b && l == 7 && u == 7 && f == 7);
    e.SetAttribute("n", "x12");
    EXPECT_TRUE(e.IntAttribute("n", 4) == 4 && e.DoubleAttribute("n", 4) == 4 && e.IntAttribute("none", -3) == -3);
    e.SetAttribute("n", "12");
    EXPECT_TRUE(e.IntAttribute("n", 4) == 12 && e.DoubleAttribute("n", 4) == 12);
}

TEST(TypedAttributes, SettersReadBackExactly) {
    VexaElement e("e");
    VexaAttribute a("a", "");
    for (double d : {0.1, 1.0 / 3, -0.0, 5e-324, 1.7976931348623157e308, 123456789012345678.0, 1e23}) {
        e.SetDoubleAttribute("d", d);
        a.SetExactDoubleValue(d);
        double back = 0;
        ASSERT_EQ(VEXA_QUERY_OK, e.QueryDoubleAttribute("d", &back)) << e.Attribute("d");
        EXPECT_TRUE(back == d && std::signbit(back) == std::signbit(d) && !std::strcmp(a.Value(), e.Attribute("d")))
            << e.Attribute("d");
    }
    // Fifteen digits where they suffice, up to seventeen where needed.
    const std::pair<double, const char*> shortest[] = {
        {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {0.1 + 0.2, "0.30000000000000004"}, {1e21, "1e+21"}};
    for (const auto& [d, text] : shortest) {
        e.SetDoubleAttribute("d", d);
        EXPECT_STREQ(text, e.Attribute("d"));
    }
    for (int64_t l : {INT64_MIN, int64_t(-1), int64_t(0), INT64_MAX}) {
        e.SetInt64Attribute("l", l);
        EXPECT_EQ(l, e.Int64Attribute("l", 7)) << e.Attribute("l");
    }
    e.SetUnsignedAttribute("u", UINT_MAX);
    e.SetBoolAttribute("b", false);
    a.SetInt64Value(INT64_MIN);
    std::string values = std::string(e.Attribute("u")) + " " + e.Attribute("b") + " " + a.Value();
    e.SetBoolAttribute("b", true);
    a.SetBoolValue(false);
    values += std::string(" ") + e.Attribute("b") + " " + a.Value();
    a.SetUnsignedValue(42);
    EXPECT_EQ("4294967295 false -9223372036854775808 true false 42", values + " " + a.Value());
}
