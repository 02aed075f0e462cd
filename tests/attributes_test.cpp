// Attribute lists and the numeric conversions of attribute values.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "vexa.h"

using namespace ORMELA;

namespace {

// Names and values first to last, then "|", then last to first.
std::string Walk(const VexaAttribute* first, const VexaAttribute* last) {
    std::string out;
    for (const VexaAttribute* a = first; a; a = a->Next()) out += std::string(a->Name()) + a->Value();
    out += "|";
    for (const VexaAttribute* a = last; a; a = a->Previous()) out += std::string(a->Name()) + a->Value();
    return out;
}

TEST(AttributeSet, LinksBothWaysAndUnlinksCleanly) {
    VexaAttribute a("a", "1"), b("b", "2"), c("c", "3"), other("o", "4");
    VexaAttributeSet set, set2;
    EXPECT_EQ(Walk(set.First(), set.Last()), "|");
    set.Add(&b);
    EXPECT_EQ(Walk(set.First(), set.Last()), "b2|b2");
    set.Remove(&b);
    for (VexaAttribute* x : {&a, &b, &c}) set.Add(x);
    set2.Add(&other);
    EXPECT_EQ(Walk(set.First(), set.Last()), "a1b2c3|c3b2a1");
    EXPECT_TRUE(set.Find("b") == &b && !set.Find("B") && !set.Find(""));
    set.Remove(&b);
    EXPECT_EQ(Walk(set.First(), set.Last()), "a1c3|c3a1");
    set.Add(&b);  // refused unless Remove left b without links
    EXPECT_EQ(Walk(set.First(), set.Last()), "a1c3b2|b2c3a1");
#ifdef NDEBUG
    set.Remove(&other);
    set2.Remove(&a);
#else
    EXPECT_DEATH(set.Remove(&other), "failed assertion");
    EXPECT_DEATH(set2.Remove(&a), "failed assertion");
#endif
    EXPECT_EQ(Walk(set.First(), set.Last()) + Walk(set2.First(), set2.Last()), "a1c3b2|b2c3a1o4|o4");
    for (VexaAttribute* x : {&a, &b, &c}) set.Remove(x);
    set2.Remove(&other);
}

// An attribute with empty name and value passes for the sentinel: walks stop at it.
TEST(AttributeSet, EmptyAttributeEndsWalks) {
    VexaElement e("e");
    e.SetAttribute("a", "1");
    e.SetAttribute("", "v");
    e.SetAttribute("c", "3");
    EXPECT_EQ(Walk(e.FirstAttribute(), e.LastAttribute()), "a1vc3|c3va1");
    e.SetAttribute("", "");
    EXPECT_EQ(Walk(e.FirstAttribute(), e.LastAttribute()), "a1|c3");
    VexaNode* copy = e.Clone();
    EXPECT_EQ(Walk(copy->ToElement()->FirstAttribute(), copy->ToElement()->LastAttribute()), "a1|a1");
    delete copy;
}

const int kUntouched = 777;

struct IntCase {
    const char* text;
    int query;  // QueryIntValue's result code
    int value;  // the number QueryIntValue writes, or kUntouched
    int plain;  // IntValue
};

const IntCase kInts[] = {
    {"42", VEXA_QUERY_OK, 42, 42},
    {"12abc", VEXA_QUERY_OK, 12, 12},
    {" 7", VEXA_QUERY_OK, 7, 7},
    {"\t\n-3 ", VEXA_QUERY_OK, -3, -3},
    {"+5", VEXA_QUERY_OK, 5, 5},
    {"2147483647", VEXA_QUERY_OK, INT_MAX, INT_MAX},
    {"-2147483648", VEXA_QUERY_OK, INT_MIN, INT_MIN},
    {"2147483648", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MAX},
    {"99999999999", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MAX},
    {"-99999999999", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MIN},
    {"123456789012345678901234567890", VEXA_QUERY_WRONG_TYPE, kUntouched, INT_MAX},
    {"abc", VEXA_QUERY_WRONG_TYPE, kUntouched, 0},
    {"- 5", VEXA_QUERY_WRONG_TYPE, kUntouched, 0},
    {"", VEXA_QUERY_WRONG_TYPE, kUntouched, 0},
};

TEST(AttributeNumbers, IntConversions) {
    for (const IntCase& c : kInts) {
        SCOPED_TRACE(std::string("value '") + c.text + "'");
        VexaElement e("e");
        e.SetAttribute("n", c.text);
        const VexaAttribute& a = *e.FirstAttribute();
        int query = kUntouched, viaElement = kUntouched, plain = kUntouched;
        EXPECT_EQ(a.QueryIntValue(&query), c.query);
        EXPECT_EQ(query, c.value);
        EXPECT_EQ(e.QueryIntAttribute("n", &viaElement), c.query);
        EXPECT_EQ(viaElement, c.value);
        EXPECT_EQ(a.IntValue(), c.plain);
        EXPECT_STREQ(e.Attribute("n", &plain), c.text);
        EXPECT_EQ(plain, c.plain);
    }
}

TEST(AttributeNumbers, Doubles) {
    VexaElement e("e");
    e.SetAttribute("n", " 2.5xyz");
    double query = kUntouched, plain = kUntouched;
    EXPECT_EQ(e.QueryDoubleAttribute("n", &query), VEXA_QUERY_OK);
    EXPECT_TRUE(e.Attribute("n", &plain) && query == 2.5 && plain == 2.5) << query << " " << plain;
    e.SetAttribute("n", "abc");
    EXPECT_EQ(e.QueryDoubleAttribute("n", &query), VEXA_QUERY_WRONG_TYPE);
    EXPECT_TRUE(query == 2.5 && e.FirstAttribute()->DoubleValue() == 0.0);
}

TEST(AttributeNumbers, SettersWriteWholeText) {
    VexaAttribute a("n", "");
    a.SetIntValue(INT_MIN);
    EXPECT_STREQ(a.Value(), "-2147483648");
    a.SetDoubleValue(2.5);
    EXPECT_STREQ(a.Value(), "2.500000");
    a.SetDoubleValue(1e20);
    EXPECT_STREQ(a.Value(), "100000000000000000000.000000");
    a.SetDoubleValue(-1e300);
    EXPECT_EQ(std::strlen(a.Value()), 1 + 301 + 7u);  // sign, digits, point and six decimals
}

}  // namespace
