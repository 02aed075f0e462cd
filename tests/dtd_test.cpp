// Document type declarations: the internal subset read, entities included in
// content and values, default attributes supplied, references that cannot
// be included kept as written, and the limits that stop entity bombs.

#include <sstream>

#include "test_util.h"

using namespace vexatest;

namespace {

// The root element's shape: name(attributes){children}; an attribute not
// specified is marked '*', a text in quotes, a kept reference in brackets.
std::string Shape(const VexaNode& node) {
    if (const VexaText* text = node.ToText())
        return text->IsReference() ? "[" + text->ValueStr() + "]" : "\"" + Escaped(text->ValueStr()) + "\"";
    if (!node.ToElement()) return "?";
    const VexaElement& element = *node.ToElement();
    std::string out = element.ValueStr();
    if (element.FirstAttribute()) {
        out += "(";
        for (const VexaAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
            out += std::string(a->Name()) + (a->Specified() ? "=" : "*=") + Escaped(a->Value());
            if (a->Next()) out += ",";
        }
        out += ")";
    }
    if (element.FirstChild()) {
        out += "{";
        for (const VexaNode* c = element.FirstChild(); c; c = c->NextSibling())
            out += Shape(*c) + (c->NextSibling() ? "," : "");
        out += "}";
    }
    return out;
}

// Reads text as UTF-8, whose character references all decode.
std::string Read(const std::string& text, VexaDocument* doc) {
    doc->SetTextEncoding(VEXA_ENCODING_UTF8);
    doc->Parse(text.c_str());
    if (doc->Error()) return std::string("error ") + std::to_string(doc->ErrorCode());
    const VexaElement* root = doc->FirstChildElement();
    return root ? Shape(*root) : "(no root)";
}

const char kSvg[] =
    "<!DOCTYPE svg [\n\t<!ENTITY ns_svg \"http://www.w3.org/2000/svg\">\n"
    "\t<!ENTITY ns_xlink \"http://www.w3.org/1999/xlink\">\n\t<!ENTITY st0 \"fill:#FFF;\">\n]>\n"
    "<svg xmlns=\"&ns_svg;\" xmlns:xlink=\"&ns_xlink;\"><path style=\"&st0;\"/></svg>";

}  // namespace

TEST(Dtd, EntitiesAreIncluded) {
    // document, shape of its root element
    const std::pair<std::string, const char*> cases[] = {
        {kSvg,
         "svg(xmlns=http://www.w3.org/2000/svg,xmlns:xlink=http://www.w3.org/1999/xlink){path(style=fill:#FFF;)}"},
        // Text in content, condensed with the text around it.
        {"<!DOCTYPE r [<!ENTITY e \"ent\">]><r>a  &e;  b</r>", "r{\"a ent b\"}"},
        // Markup makes nodes; references in it are included in turn.
        {"<!DOCTYPE r [<!ENTITY e \"<b>x&f;</b>\"><!ENTITY f \"F\">]><r>a&e;c</r>", "r{\"a\",b{\"xF\"},\"c\"}"},
        {"<!DOCTYPE r [<!ENTITY e \"<b>&g;</b>\"><!ENTITY g \"<i/>t\">]><r>&e;&e;</r>", "r{b{i,\"t\"},b{i,\"t\"}}"},
        // Character references are resolved at declaration, general ones
        // when the entity is included.
        {"<!DOCTYPE r [<!ENTITY e \"&#60;b/>\">]><r>&e;</r>", "r{b}"},
        {"<!DOCTYPE r [<!ENTITY e \"&#38;#60;\">]><r>&e;</r>", "r{\"<\"}"},
        {"<!DOCTYPE r [<!ENTITY a \"&b;\"><!ENTITY b \"B\">]><r>&a;</r>", "r{\"B\"}"},
        // The first declaration binds; a malformed one is skipped.
        {"<!DOCTYPE r [<!ENTITY e \"1\"><!ENTITY e \"2\">]><r>&e;</r>", "r{\"1\"}"},
        {"<!DOCTYPE r [<!ENTITY bad \"x\" junk><!ENTITY ok \"y\">]><r>&bad;&ok;</r>", "r{[&bad;],\"y\"}"},
        {"<!DOCTYPE r [<!ENTITY % p \"x\"><!ENTITY e \"%p;\">]><r>&e;</r>", "r{[&e;]}"},
        // In a value: white space written in the replacement text is a
        // space, a character reference to a line feed stays one.
        {"<!DOCTYPE r [<!ENTITY e \"x&#10;y\">]><r a='&e;'/>", "r(a=x y)"},
        {"<!DOCTYPE r [<!ENTITY e \"x&#38;#10;y\">]><r a='&e;'/>", "r(a=x\\x0Ay)"},
        {"<!DOCTYPE r [<!ENTITY e \"a\r\nb\">]><r a='&e;'>&e;</r>", "r(a=a b){\"a\\x0Ab\"}"},
        // Parameter entities between declarations are read; one that is not
        // read stops later declarations unless the document is standalone.
        {"<!DOCTYPE r [<!ENTITY % p \"<!ENTITY q 'Q'>\"> %p; ]><r>&q;</r>", "r{\"Q\"}"},
        {"<!DOCTYPE r [<!ENTITY % x SYSTEM \"x.dtd\"> %x; <!ENTITY e \"later\">]><r>&e;</r>", "r{[&e;]}"},
        {"<?xml version='1.0' standalone='yes'?><!DOCTYPE r [<!ENTITY % x SYSTEM \"x.dtd\"> %x; "
         "<!ENTITY e \"later\">]><r>&e;</r>",
         "r{\"later\"}"},
        // Never read: external and unparsed entities, and names nothing
        // declares, with or without a DTD; kept as written, spacing kept.
        {"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\"><!NOTATION n SYSTEM \"n\">"
         "<!ENTITY u SYSTEM \"u\" NDATA n>]><r>&x;&u;</r>",
         "r{[&x;],[&u;]}"},
        {"<r>a &nbsp; b &amp;nbsp;</r>", "r{\"a \",[&nbsp;],\" \",\"b &nbsp;\"}"},
        {"<r a='x&nbsp;y'>&nbsp;</r>", "r(a=x&nbsp;y){[&nbsp;]}"},
        {"<!DOCTYPE r SYSTEM \"xhtml.dtd\"><r>&copy;</r>", "r{[&copy;]}"},
        // Comments, instructions and every declaration kind in the subset.
        {"<!DOCTYPE r [<!-- <!ENTITY c 'no'> --><?pi <!ENTITY p 'no'>?><!ELEMENT r (#PCDATA)>"
         "<!NOTATION n PUBLIC 'p>' 's'><!ENTITY c 'yes'>]><r>&c;</r>",
         "r{\"yes\"}"},
    };
    for (const auto& [text, shape] : cases) {
        VexaDocument doc;
        EXPECT_EQ(shape, Read(text, &doc)) << text;
    }
}

TEST(Dtd, DefaultsAndNormalization) {
    const std::pair<const char*, const char*> cases[] = {
        {"<!DOCTYPE r [<!ATTLIST r a CDATA 'd' b CDATA #FIXED 'f' c CDATA #IMPLIED t NMTOKENS #IMPLIED "
         "u CDATA #REQUIRED>]><r t='  x   y ' a='given' u='  k  '/>",
         "r(t=x y,a=given,u=  k  ,b*=f)"},
        // The first declaration of an attribute binds; other elements are
        // not touched; a default may include an entity declared before.
        {"<!DOCTYPE r [<!ENTITY e \"E\"><!ATTLIST r a CDATA '&e;!'><!ATTLIST r a CDATA 'no' b (x|y) ' y '>]>"
         "<r><s/></r>",
         "r(a*=E!,b*=y){s}"},
        // Elements made from an entity get their defaults too.
        {"<!DOCTYPE r [<!ATTLIST b id ID #IMPLIED k CDATA 'v'><!ENTITY e \"<b id=' i '/>\">]><r>&e;</r>",
         "r{b(id=i,k*=v)}"},
        // Declarations after an unread parameter entity are not processed.
        {"<!DOCTYPE r [%x;<!ATTLIST r a CDATA 'd'>]><r/>", "r"},
    };
    for (const auto& [text, shape] : cases) {
        VexaDocument doc;
        EXPECT_EQ(shape, Read(text, &doc)) << text;
    }
}

TEST(Dtd, OutputKeepsWhatWasWritten) {
    // document, compact form after the parse
    const std::pair<std::string, std::string> cases[] = {
        // Spaces beside a kept reference read back as they are: written as spaces.
        {"<r>a &nbsp; &amp;nbsp; &#8211;</r>", "<r>a &nbsp; &amp;nbsp; &#8211;</r>"},
        {"<r>a &nbsp; <b/></r>", "<r>a &nbsp;<b /></r>"},
        {"<r a='x&nbsp;&lt;'/>", "<r a=\"x&nbsp;&lt;\" />"},
        // Defaults are left out: the DOCTYPE, written back, supplies them.
        {"<!DOCTYPE r [<!ATTLIST r a CDATA 'd'>]><r/>", "<!DOCTYPE r [<!ATTLIST r a CDATA 'd'>]><r />"},
    };
    for (const auto& [text, compact] : cases) {
        VexaDocument doc;
        doc.Parse(text.c_str());
        EXPECT_FALSE(doc.Error()) << text;
        EXPECT_EQ(compact, Compact(doc)) << text;
    }
    // The SVG keeps its DOCTYPE and writes the namespaces and style out.
    VexaDocument svg;
    svg.Parse(kSvg);
    const std::string out = Compact(svg);
    EXPECT_NE(std::string::npos, out.find("<!ENTITY ns_svg \"http://www.w3.org/2000/svg\">")) << out;
    EXPECT_NE(std::string::npos, out.find("<svg xmlns=\"http://www.w3.org/2000/svg\"")) << out;
    EXPECT_NE(std::string::npos, out.find("style=\"fill:#FFF;\"")) << out;

    // A default set becomes specified and is written; a clone keeps both.
    VexaDocument doc;
    doc.Parse("<!DOCTYPE r [<!ATTLIST r a CDATA 'd' b CDATA 'e'>]><r/>");
    doc.FirstChildElement()->FirstAttribute()->SetValue("set");
    std::unique_ptr<VexaNode> copy(doc.Clone());
    EXPECT_EQ("r(a=set,b*=e)", Shape(*copy->FirstChildElement()));
    EXPECT_NE(std::string::npos, Compact(*copy).find("<r a=\"set\" />"));
}

TEST(Dtd, ClassicSwitch) {
    VexaDocument doc;
    EXPECT_TRUE(doc.DoctypeProcessing());
    doc.SetDoctypeProcessing(false);
    std::unique_ptr<VexaNode> copy(doc.Clone());
    EXPECT_FALSE(copy->ToDocument()->DoctypeProcessing());
    EXPECT_EQ("r{\"&e;&nbsp;\"}", Read("<!DOCTYPE r [<!ENTITY e 'x'><!ATTLIST r a CDATA 'd'>]><r>&e;&nbsp;</r>", &doc));
    EXPECT_EQ("<r>&amp;e;&amp;nbsp;</r>", Compact(*doc.FirstChildElement()));
}

TEST(Dtd, AttacksFailFast) {
    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    std::string chain = "<!DOCTYPE r [<!ENTITY e100 \"end\">";
    for (int i = 0; i < 100; ++i) chain += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i + 1) + ";\">";
    const std::string big(1000, 'x');
    const std::string quadratic = "<!DOCTYPE r [<!ENTITY b \"" + big + "\">]><r>" + Repeat("&b;", 1000) + "</r>";
    // document, expansion limit (0: the default), code, row and column
    const std::tuple<std::string, size_t, int, int, int> cases[] = {
        {laughs + "]>\n<r>&l9;</r>", 0, VEXA_ERROR_ENTITY_EXPANSION, 1, 3},
        {laughs + "]>\n<r a='&l9;'/>", 0, VEXA_ERROR_ENTITY_EXPANSION, 1, 6},
        {quadratic, 100000, VEXA_ERROR_ENTITY_EXPANSION, 0, -2},
        {"<!DOCTYPE r [<!ENTITY e \"&e;\">]>\n<r>&e;</r>", 0, VEXA_ERROR_ENTITY_RECURSION, 1, 3},
        {"<!DOCTYPE r [<!ENTITY a \"&b;\"><!ENTITY b \"x&a;\">]>\n<r k='&a;'/>", 0, VEXA_ERROR_ENTITY_RECURSION, 1, 6},
        {"<!DOCTYPE r [<!ENTITY e \"<b>&e;</b>\">]>\n<r>&e;</r>", 0, VEXA_ERROR_ENTITY_RECURSION, 1, 3},
        {chain + "]>\n<r>&e0;</r>", 0, VEXA_ERROR_ENTITY_DEPTH, 1, 3},
        {"<!DOCTYPE r [<!ENTITY e \"<\">]>\n<r a='x&e;'/>", 0, VEXA_ERROR_ENTITY_MARKUP, 1, 7},
        {"<!DOCTYPE r [<!ENTITY e \"<b>\">]>\n<r>&e;</b></r>", 0, VEXA_ERROR_ENTITY_MARKUP, 1, 3},
        {"<!DOCTYPE r [<!ENTITY e \"</r>\">]>\n<r>&e;</r>", 0, VEXA_ERROR_ENTITY_MARKUP, 1, 3},
        // Markup that the replacement text's end cuts off.
        {"<!DOCTYPE r [<!ENTITY e \"a<?pi x\">]>\n<r>&e;</r>", 0, VEXA_ERROR_ENTITY_MARKUP, 1, 3},
        {"<!DOCTYPE r [<!ENTITY e \"<!-- c\">]>\n<r>&e;</r>", 0, VEXA_ERROR_ENTITY_MARKUP, 1, 3},
    };
    for (const auto& [text, limit, code, row, col] : cases) {
        VexaDocument doc;
        doc.SetMaxEntityExpansion(limit);
        doc.Parse(text.c_str());
        EXPECT_EQ(code, doc.ErrorCode()) << text.substr(0, 200) << ": " << doc.ErrorText();
        if (col >= -1) {
            EXPECT_EQ(row, doc.ErrorRow()) << text.substr(0, 200);
            EXPECT_EQ(col, doc.ErrorCol()) << text.substr(0, 200);
        }
        // What was read before stays: the DOCTYPE at least.
        ASSERT_NE(nullptr, doc.FirstChild()) << text.substr(0, 200);
        EXPECT_EQ(VexaNode::UNKNOWN, doc.FirstChild()->Type());
    }
    // Elements from entities count toward the nesting limit.
    VexaDocument deep;
    deep.SetMaxDepth(3);
    deep.Parse("<!DOCTYPE r [<!ENTITY e \"<a><a><a/></a></a>\">]><r>&e;</r>");
    EXPECT_EQ(VEXA_ERROR_DEPTH, deep.ErrorCode());
    // Within the limit, the same quadratic document reads whole.
    VexaDocument fits;
    fits.Parse(quadratic.c_str());
    ASSERT_FALSE(fits.Error()) << fits.ErrorText();
    EXPECT_EQ(big.size() * 1000, std::strlen(fits.FirstChildElement()->FirstChild()->Value()));
}

TEST(Dtd, LocationsAndEveryWayIn) {
    // Nodes from a replacement text carry the row and column of the reference.
    const char text[] = "<!DOCTYPE r [<!ENTITY e \"<b>x</b>\">]>\n<r>\n  &e; <c/></r>";
    VexaDocument doc;
    doc.Parse(text);
    ASSERT_FALSE(doc.Error()) << doc.ErrorText();
    const VexaElement* b = doc.FirstChildElement()->FirstChildElement();
    ASSERT_NE(nullptr, b);
    EXPECT_STREQ("b", b->Value());
    EXPECT_EQ(2, b->Row());
    EXPECT_EQ(2, b->Column());
    EXPECT_EQ(2, b->FirstChild()->Row());
    const VexaElement* c = b->NextSiblingElement();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(6, c->Column());

    // A stream and a file read the same as the text.
    std::istringstream in(std::string(text) + "<after/>");
    VexaDocument streamed;
    in >> streamed;
    EXPECT_EQ(Compact(doc), Compact(streamed));
    const std::string path = TempPath("dtd");
    WriteFile(path, text);
    VexaDocument loaded;
    EXPECT_TRUE(loaded.LoadFile(path.c_str())) << loaded.ErrorText();
    EXPECT_EQ(Compact(doc), Compact(loaded));
    std::remove(path.c_str());
}
