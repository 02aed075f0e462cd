// Strict parsing: each broken well-formedness rule with its code and place,
// well-formed edge cases it must accept as the lenient parse reads them, and
// the ways into it (Parse, LoadFile, operator>>, Clone).
#include "test_util.h"

using namespace vexatest;

namespace {

#define BYTES(literal) std::string(literal, sizeof(literal) - 1)

struct Malformed {
    const char* text;
    int code, row, col;  // zero-based, as the document reports them
};

const Malformed kMalformed[] = {
    // The ten that the classic rules let through, or report vaguely.
    {"<a></A>", VEXA_ERROR_MISMATCHED_TAG, 0, 3},
    {"<a>&nope;</a>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 3},
    {"<a b=\"<\"/>", VEXA_ERROR_LESS_THAN_IN_VALUE, 0, 6},
    {"<a><!-- x -- y --></a>", VEXA_ERROR_COMMENT_HYPHENS, 0, 10},
    {"<a/><b/>", VEXA_ERROR_AFTER_ROOT, 0, 4},
    {"<a>&#0;</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<1a/>", VEXA_ERROR_NAME, 0, 1},
    {"<a b=\"1\" c/>", VEXA_ERROR_ATTRIBUTE_VALUE, 0, 10},
    {"<a>]]></a>", VEXA_ERROR_CDATA_END_IN_TEXT, 0, 3},
    {"<a b=1/>", VEXA_ERROR_UNQUOTED_VALUE, 0, 5},
    // Characters, and UTF-8 where no encoding is declared.
    {"<a>\x01</a>", VEXA_ERROR_CHARACTER, 0, 3},
    {"<a b=\"\x02\"/>", VEXA_ERROR_CHARACTER, 0, 6},
    {"<a>\xC3\x28</a>", VEXA_ERROR_CHARACTER, 0, 3},
    {"<a>\xC0\xAF</a>", VEXA_ERROR_CHARACTER, 0, 3},          // overlong
    {"<a>\xED\xA0\x80</a>", VEXA_ERROR_CHARACTER, 0, 3},      // a surrogate
    {"<a>\xEF\xBF\xBE</a>", VEXA_ERROR_CHARACTER, 0, 3},      // U+FFFE
    {"<a>\xF4\x90\x80\x80</a>", VEXA_ERROR_CHARACTER, 0, 3},  // above U+10FFFF
    {"<a>\xE9</a>", VEXA_ERROR_CHARACTER, 0, 3},
    {"<a>x\n\t\xC3</a>", VEXA_ERROR_CHARACTER, 1, 4},
    {"<a><!-- \x0B --></a>", VEXA_ERROR_CHARACTER, 0, 8},
    // Within text and values beyond ASCII (columns here count bytes: no encoding is set).
    {"<a>\xD0\x90\xD1\x82 x\xEF\xBF\xBF</a>", VEXA_ERROR_CHARACTER, 0, 9},
    {"<a>\xD0\x90\xED\xBF\xBF</a>", VEXA_ERROR_CHARACTER, 0, 5},
    {"<a>\xD0\x90]]></a>", VEXA_ERROR_CDATA_END_IN_TEXT, 0, 5},
    {"<a b='\xD0\x90<'/>", VEXA_ERROR_LESS_THAN_IN_VALUE, 0, 8},
    {"<?xml version='1.0' encoding='ISO-8859-1'?><a b='\xE9'>\xE9\x01</a>", VEXA_ERROR_CHARACTER, 0, 53},
    {"<a>&#xD800;</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<a>&#x110000;</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<a>&#xFFFE;</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<a>&#X41;</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<a>&#x41</a>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 3},
    {"<a b='&#1;'/>", VEXA_ERROR_CHARACTER_REFERENCE, 0, 6},
    {"<a>& b</a>", VEXA_ERROR_REFERENCE, 0, 3},
    {"<a>&amp</a>", VEXA_ERROR_REFERENCE, 0, 3},
    {"<a b='&'/>", VEXA_ERROR_REFERENCE, 0, 6},
    // Names by code point.
    {"<\xC2\xB7/>", VEXA_ERROR_NAME, 0, 1},
    {"<\xCC\x80/>", VEXA_ERROR_NAME, 0, 1},
    {"<a b\xC2\xA0=\"1\"/>", VEXA_ERROR_NAME, 0, 4},
    {"<a -b='1'/>", VEXA_ERROR_NAME, 0, 3},
    {"<a></a%>", VEXA_ERROR_NAME, 0, 6},
    // Structure.
    {"<a>\n  <b>\n</a>", VEXA_ERROR_MISMATCHED_TAG, 2, 0},
    {"<a>\r\n<b></B></a>", VEXA_ERROR_MISMATCHED_TAG, 1, 3},
    {"<a></a><!-- -->x", VEXA_ERROR_AFTER_ROOT, 0, 15},
    {"<a/><![CDATA[x]]>", VEXA_ERROR_AFTER_ROOT, 0, 4},
    {"x<a/>", VEXA_ERROR_OUTSIDE_ELEMENT, 0, 0},
    {"<!-- c -->", VEXA_ERROR_NO_ROOT, 0, 10},
    {"</a>", VEXA_ERROR_SYNTAX, 0, 0},
    {"<a><!ELEMENT x ANY></a>", VEXA_ERROR_SYNTAX, 0, 3},
    {"<a>", VEXA_ERROR_UNCLOSED, 0, 0},
    {"<a><b>", VEXA_ERROR_UNCLOSED, 0, 3},
    {"<a b='1", VEXA_ERROR_UNCLOSED, 0, 0},
    {"<a/><?pi x", VEXA_ERROR_UNCLOSED, 0, 4},
    {"<a><![CDATA[x]]</a>", VEXA_ERROR_UNCLOSED, 0, 3},
    // The XML declaration: first, and by its grammar.
    {" <?xml version=\"1.0\"?><a/>", VEXA_ERROR_DECLARATION_PLACE, 0, 1},
    {"<a/><?xml version=\"1.0\"?>", VEXA_ERROR_DECLARATION_PLACE, 0, 4},
    {"<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?><a/>", VEXA_ERROR_DECLARATION, 0, 37},
    {"<?xml version=\"2.0\"?><a/>", VEXA_ERROR_DECLARATION, 0, 15},
    {"<?xml version='1.0' encoding='8bit'?><a/>", VEXA_ERROR_DECLARATION, 0, 30},
    {"<?xml version='1.0' standalone='maybe'?><a/>", VEXA_ERROR_DECLARATION, 0, 32},
    {"<?xml encoding='UTF-8'?><a/>", VEXA_ERROR_DECLARATION, 0, 6},
    {"<?xml version='1.0'encoding='UTF-8'?><a/>", VEXA_ERROR_DECLARATION, 0, 19},
    {"\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a/>", VEXA_ERROR_DECLARATION, 0, 30},
    {"<?xml version='1.0' encoding='UTF-16'?><a/>", VEXA_ERROR_DECLARATION, 0, 30},
    // Processing instructions, comments, CDATA.
    {"<?XML version='1.0'?><a/>", VEXA_ERROR_PI, 0, 2},
    {"<a><?xml-stylesheet x?><?Xml y?></a>", VEXA_ERROR_PI, 0, 25},
    {"<a><? pi?></a>", VEXA_ERROR_PI, 0, 5},
    {"<a><?pi/x?></a>", VEXA_ERROR_PI, 0, 7},
    {"<a><!-- x ---></a>", VEXA_ERROR_COMMENT_HYPHENS, 0, 10},
    {"<![CDATA[x]]><a/>", VEXA_ERROR_CDATA, 0, 0},
    // The document type declaration's outer grammar.
    {"<!DOCTYPE a><!DOCTYPE a><a/>", VEXA_ERROR_DOCTYPE, 0, 12},
    {"<a/><!DOCTYPE a>", VEXA_ERROR_DOCTYPE, 0, 4},
    {"<a><!DOCTYPE a></a>", VEXA_ERROR_DOCTYPE, 0, 3},
    {"<!DOCTYPE a SYSTEM x><a/>", VEXA_ERROR_DOCTYPE, 0, 19},
    {"<!DOCTYPE a PUBLIC \"a{b\" \"x\"><a/>", VEXA_ERROR_DOCTYPE, 0, 21},
    {"<!DOCTYPE a PUBLIC \"x\"><a/>", VEXA_ERROR_DOCTYPE, 0, 22},
    {"<!DOCTYPE a [<!ENTITY e \"x\">] junk><a/>", VEXA_ERROR_DOCTYPE, 0, 30},
    {"<!DOCTYPE a [<?xml version='1.0'?>]><a/>", VEXA_ERROR_PI, 0, 15},
    // Entities: with no subset to declare them, or a standalone document.
    {"<!DOCTYPE a><a>&e;</a>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 15},
    {"<?xml version='1.0' standalone='yes'?><!DOCTYPE a SYSTEM \"a.dtd\"><a>&e;</a>", VEXA_ERROR_UNDEFINED_ENTITY, 0,
     68},
    {"<a b='&e;'/>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 6},
    // What the internal subset's reader finds: references it cannot include,
    // declarations it cannot read.
    {"<!DOCTYPE a [<!ENTITY d 'x'>]><a>&e;</a>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 33},
    {"<!DOCTYPE a [<!ENTITY d 'x'>]><a b='&e;'/>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 36},
    {"<!DOCTYPE a [<!NOTATION n SYSTEM 'n'><!ENTITY u SYSTEM 'u' NDATA n>]><a>&u;</a>", VEXA_ERROR_UNPARSED_ENTITY, 0,
     72},
    {"<!DOCTYPE a [<!ENTITY x SYSTEM 'x.ent'>]><a b='&x;'/>", VEXA_ERROR_EXTERNAL_ENTITY, 0, 47},
    {"<!DOCTYPE a [<!ENTITY e 'a%b;'>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ATTLIST a b CDATA>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ENTITY e>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ELEMENT a (b,c|d)>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ELEMENT a (#PCDATA|b)>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ELEMENT a (b *)>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ELEMENT a ((b?)))>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ENTITY % e 'b'><!ELEMENT a (%e;)>]><a/>", VEXA_ERROR_DOCTYPE, 0, 30},
    {"<!DOCTYPE a [<!ATTLIST a b (x,y) 'x'>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!NOTATION n PUBLIC 'a{b'>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    {"<!DOCTYPE a [<!ENTITY u SYSTEM 'u' NDATAn>]><a/>", VEXA_ERROR_DOCTYPE, 0, 13},
    // Replacement texts, judged where they are included.
    {"<!DOCTYPE a [<!ENTITY e '&#38;'>]><a>&e;</a>", VEXA_ERROR_REFERENCE, 0, 37},
    {"<!DOCTYPE a [<!ENTITY e '&#38;'>]><a b='&e;'/>", VEXA_ERROR_REFERENCE, 0, 40},
    {"<!DOCTYPE a [<!ENTITY e '&d;'>]><a b='&e;'/>", VEXA_ERROR_UNDEFINED_ENTITY, 0, 38},
    {"<!DOCTYPE a [<!ENTITY e '<b c=\"&#60;\"/>'>]><a>&e;</a>", VEXA_ERROR_LESS_THAN_IN_VALUE, 0, 46},
    {"<!DOCTYPE a [<!ENTITY e '&#60;!--'>]><a>&e;--></a>", VEXA_ERROR_ENTITY_MARKUP, 0, 40},
    // Attributes.
    {"<a b=\"1\" b=\"2\"/>", VEXA_ERROR_REPEATED_ATTRIBUTE, 0, 9},
    {"<a a='' b='' c='' d='' e='' f='' g='' h='' i='' j='' k='' l='' m='' n='' o='' p='' q='' c=''/>",
     VEXA_ERROR_REPEATED_ATTRIBUTE, 0, 88},
    {"<a b=\"1\"c=\"2\"/>", VEXA_ERROR_ATTRIBUTE_SPACE, 0, 8},
    {"<a b \"1\"/>", VEXA_ERROR_ATTRIBUTE_VALUE, 0, 5},
    {"<a / >", VEXA_ERROR_SYNTAX, 0, 4},
};

// Well-formed, each with something strict parsing might wrongly refuse.
const char* const kWellFormed[] = {
    "<a/>",
    "\xEF\xBB\xBF<a/>",
    "<?xml version=\"1.0\"?><a/>",
    "<?xml version='1.1' encoding=\"utf-8\" standalone='no' ?>\n<a/>",
    "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9\xFF</a>",
    "<!DOCTYPE a><a/>",
    "<!DOCTYPE a SYSTEM 'x.dtd'><a>&undeclared.maybe.external;</a>",
    "<!DOCTYPE a PUBLIC \"-//A//B 'c'\" \"x\"><a/>",
    "<!DOCTYPE a [ <!ENTITY e \"]>\"> <!-- ] --> <?p ]?> ]><a b='&e;'>&e;</a>",
    // Undeclared, but an external subset or a parameter entity might declare it.
    "<!DOCTYPE a SYSTEM 'a.dtd' [<!ENTITY d 'x'>]><a>&e;</a>",
    "<!DOCTYPE a [<!ENTITY % p SYSTEM 'p.ent'>%p;]><a>&e;</a>",
    "<!DOCTYPE a [<!ENTITY x SYSTEM 'x.ent'>]><a>&x;</a>",
    // Declarations by their grammar; a malformed replacement text never included.
    ("<!DOCTYPE a [<!ELEMENT a (#PCDATA|b|c)*><!ELEMENT b ((c|d)+,e?)*><!ELEMENT c EMPTY><!ELEMENT d ANY>"
     "<!ELEMENT e (#PCDATA)><!ATTLIST a x (1|b.c) '1' y NOTATION (n) #IMPLIED><!NOTATION n PUBLIC '-//n'>"
     "<!ENTITY u SYSTEM 'u' NDATA n><!ENTITY e '<b/>&#38;amp;'><!ENTITY z '&#38;'>]><a>&e;</a>"),
    "<a>&amp;&lt;&gt;&quot;&apos;&#65;&#x1F600;&#x9;&#xA;&#xD;</a>",
    "<a b=\"1\"\n\tc = '2' />",
    "<a b='\"&lt;&#60;' c=\"'\"/>",
    "<a><![CDATA[<&]]]></a>",
    "<a>]] ></a>",
    "<a>]></a>",
    "<a><!----><!-- - --></a>",
    "<a><?pi?><?pi x ?><?xml-stylesheet href='s'?></a>",
    "<?pi?><!-- c --><a/>\n<!-- c -->\n<?p x?>\n ",
    "<a></a\n>",
    "<a xml:lang='en' xmlns:x='u' _-.9='' :=''/>",
    "<\xC3\xA9\xC2\xB7\xCC\x80-.9 b\xE2\x80\xBF=\"\xF0\x9F\x98\x80\"/>",
    "<a>\t\r\n \xE2\x82\xAC</a>",
    ("<a b='\xD0\x90\xD1\x82 7800 \xC3\xBC'>\xD0\x90 7800 \xEC\x95\x84 \xF0\x9F\x98\x80 "
     "\xEF\xBF\xBD]&amp;\xE3\x81\x82</a>"),
    "<a><b><c/></b><b/></a>",
};

VexaDocument* Strict(VexaDocument* doc) {
    doc->SetStrict(true);
    return doc;
}

}  // namespace

TEST(Strict, Messages) {
    std::string all;
    for (int code = VEXA_ERROR_MISMATCHED_TAG; code < VEXA_ERROR_STRING_COUNT; ++code) {
        all += VexaBase::errorString[code] + std::string("|");
    }
    EXPECT_EQ(all,
              "Mismatched tag.|Character not allowed.|Invalid name.|Undefined entity.|Invalid character reference.|"
              "Malformed reference.|Content after the root element.|No root element.|"
              "XML declaration not at the start.|Malformed processing instruction.|"
              "Malformed or misplaced CDATA section.|Malformed or misplaced document type declaration.|"
              "'<' in an attribute value.|']]>' in text.|Repeated attribute.|Attribute value not quoted.|"
              "Not well-formed (invalid token).|Unclosed markup at the end of the text.|"
              "Reference to an unparsed entity.|Reference to an external entity in an attribute value.|"
              "'--' in a comment.|No white space between attributes.|Attribute without '=' and a value.|");
}

TEST(Strict, EachBrokenRuleWithItsPlace) {
    for (const Malformed& m : kMalformed) {
        SCOPED_TRACE(Escaped(m.text));
        VexaDocument doc;
        EXPECT_EQ(Strict(&doc)->Parse(m.text), nullptr);
        EXPECT_EQ(doc.ErrorCode(), m.code);
        EXPECT_STREQ(doc.ErrorText(), VexaBase::errorString[m.code]);
        EXPECT_EQ(std::make_pair(doc.ErrorRow(), doc.ErrorCol()), std::make_pair(m.row, m.col));
        // Nothing of a broken text is read, but for what only the reading of
        // the internal subset finds: what came before it stays, as leniently.
        if (std::strstr(m.text, "<!DOCTYPE a [<!") == nullptr) {
            EXPECT_EQ(doc.FirstChild(), nullptr);
        }
    }
}

TEST(Strict, WellFormedReadsAsTheLenientParseReadsIt) {
    for (const char* text : kWellFormed) {
        SCOPED_TRACE(Escaped(text));
        VexaDocument strict, lenient;
        Strict(&strict)->Parse(text);
        lenient.Parse(text);
        EXPECT_FALSE(strict.Error()) << strict.ErrorText() << " at " << strict.ErrorRow() << ":" << strict.ErrorCol();
        EXPECT_FALSE(lenient.Error());
        EXPECT_EQ(DumpChildren(strict), DumpChildren(lenient));
    }
}

TEST(Strict, SettingIsPerDocumentAndCloned) {
    VexaDocument doc;
    EXPECT_FALSE(doc.Strict());
    EXPECT_TRUE(doc.Parse("<a></A>") == nullptr && !doc.Error());  // the classic rules
    Strict(&doc);
    std::unique_ptr<VexaNode> copy(doc.Clone());
    EXPECT_TRUE(static_cast<VexaDocument*>(copy.get())->Strict());
    // A strict failure adds nothing and keeps what the document held.
    doc.Parse("<b></B>");
    EXPECT_EQ(doc.ErrorCode(), VEXA_ERROR_MISMATCHED_TAG);
    EXPECT_EQ(DumpChildren(doc), DumpChildren(*copy));
    doc.SetStrict(false);
    doc.Parse("<b></B>");
    EXPECT_FALSE(doc.Error());
}

TEST(Strict, StreamInput) {
    VexaDocument doc;
    std::istringstream in("<a>\n<b></c></a>");
    in >> *Strict(&doc);
    EXPECT_EQ(doc.ErrorCode(), VEXA_ERROR_MISMATCHED_TAG);
    EXPECT_EQ(std::make_pair(doc.ErrorRow(), doc.ErrorCol()), std::make_pair(1, 3));
}

TEST(Strict, DeepNestingCostsNoStack) {
    VexaDocument doc;
    doc.SetMaxDepth(200000);
    Strict(&doc)->Parse(Nest(100000).c_str());
    EXPECT_FALSE(doc.Error());
    Strict(&doc)->Parse((Repeat("<a>", 100000) + "</b>").c_str());
    EXPECT_EQ(doc.ErrorCode(), VEXA_ERROR_MISMATCHED_TAG);
}

TEST(Strict, Files) {
    const std::string path = TempPath("strict.xml");
    const struct {
        std::string bytes;
        int code, row, col;
    } cases[] = {
        {BYTES("<a>\n x\0y</a>"), VEXA_ERROR_CHARACTER, 1, 2},  // a zero byte
        {"", VEXA_ERROR_DOCUMENT_EMPTY, 0, 0},
        // UTF-16 must say so, or say nothing of its encoding.
        {BYTES("\xFF\xFE<\0a\0/\0>\0"), VEXA_ERROR_NONE, 0, 0},
        {BYTES("\xFF\xFE<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0'\0001\0.\0000\0'\0 \0"
               "e\0n\0c\0o\0d\0i\0n\0g\0=\0'\0U\0T\0F\0-\0001\0006\0'\0?\0>\0<\0a\0/\0>\0"),
         VEXA_ERROR_NONE, 0, 0},
        {BYTES("\xFF\xFE<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0'\0001\0.\0000\0'\0 \0"
               "e\0n\0c\0o\0d\0i\0n\0g\0=\0'\0U\0T\0F\0-\0008\0'\0?\0>\0<\0a\0/\0>\0"),
         VEXA_ERROR_DECLARATION, 0, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Escaped(c.bytes));
        WriteFile(path, c.bytes);
        VexaDocument doc;
        EXPECT_EQ(Strict(&doc)->LoadFile(path.c_str()), c.code == VEXA_ERROR_NONE);
        EXPECT_EQ(doc.ErrorCode(), c.code);
        EXPECT_EQ(std::make_pair(doc.ErrorRow(), doc.ErrorCol()), std::make_pair(c.row, c.col));
    }
    std::remove(path.c_str());
}
