// Element attributes by name, and deep copies of elements and documents.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "vexa.h"

using namespace ORMELA;
using vexatest::Dump;

namespace {

std::string Attributes(const VexaElement& e) {
    std::string out;
    for (const VexaAttribute* a = e.FirstAttribute(); a; a = a->Next())
        out += std::string(a->Name()) + "=" + a->Value() + " ";
    return out;
}

TEST(Element, SetRemoveAndLookUpAttributes) {
    VexaElement e("e");
    e.SetAttribute("a", "1");
    e.SetAttribute("b", -12);
    const VexaAttribute* first = e.FirstAttribute();
    e.SetAttribute("a", "3");  // keeps its place and its object
    e.SetAttribute("c", "x");
    EXPECT_EQ(e.FirstAttribute(), first);
    EXPECT_EQ(Attributes(e), "a=3 b=-12 c=x ");
    int i = 5;
    double d = 5;
    EXPECT_EQ(e.Attribute("A", &i), nullptr);
    EXPECT_EQ(e.Attribute("none", &d), nullptr);
    EXPECT_EQ(i + d, 0.0);
    EXPECT_EQ(e.QueryIntAttribute("none", &i), VEXA_QUERY_NO_ATTRIBUTE);
    EXPECT_EQ(e.QueryDoubleAttribute("none", &d), VEXA_QUERY_NO_ATTRIBUTE);
    EXPECT_EQ(i + d, 0.0);
    e.RemoveAttribute("B");
    e.RemoveAttribute("b");
    EXPECT_EQ(Attributes(e), "a=3 c=x ");
    EXPECT_EQ(e.LastAttribute()->Previous(), e.FirstAttribute());
    e.RemoveAttribute("a");
    e.RemoveAttribute("c");
    EXPECT_EQ(e.FirstAttribute(), nullptr);
    EXPECT_EQ(e.LastAttribute(), nullptr);
}

// A copy shares nothing with its source: change the copy, delete the source.
TEST(Element, DeepCopiesShareNothing) {
    VexaDocument* doc = new VexaDocument("name.xml");
    doc->Parse("<?xml version='1.0' standalone='no'?><!--c--><r a='1' b='2'><s x='y'>t<u/></s><!--in--><w>z</w></r>");
    ASSERT_FALSE(doc->Error()) << doc->ErrorText();
    VexaElement* root = doc->FirstChildElement("r");
    const std::string docDump = Dump(*doc), rootDump = Dump(*root);
    VexaNode* docCopy = doc->Clone();
    VexaNode* rootCopy = root->Clone();
    EXPECT_EQ(Dump(*docCopy), docDump);
    EXPECT_EQ(Dump(*rootCopy), rootDump);
    EXPECT_NE(rootCopy->ToElement()->FirstAttribute(), root->FirstAttribute());
    rootCopy->ToElement()->SetAttribute("a", "changed");
    rootCopy->FirstChild()->FirstChild()->SetValue("changed");
    rootCopy->FirstChild()->ToElement()->RemoveAttribute("x");
    rootCopy->LinkEndChild(new VexaText("added"));
    EXPECT_EQ(Dump(*doc), docDump);
    delete doc;
    EXPECT_EQ(Dump(*docCopy), docDump);
    EXPECT_STREQ(rootCopy->FirstChild()->FirstChild()->Value(), "changed");
    EXPECT_STREQ(rootCopy->ToElement()->Attribute("b"), "2");
    delete rootCopy;
    delete docCopy;
}

}  // namespace
