// XPath against libxml2's: the same queries over the same documents, read
// with white space kept and the internal subset's entities and defaults
// included (nothing external read by either), must give the same types, the same numbers
// exactly, the same strings byte for byte, and node-sets of the same items
// (kind, name and string-value) in the same order.
//
// The queries are built per document from the names and values it holds.
// Where libxml2 departs from XPath 1.0 the comparison follows the
// Recommendation, and these cases stay out of the query set:
//   - number to string: libxml2 writes at most 15 significant digits and an
//     exponent for large and small magnitudes (0.1 + 0.2 reads "0.3");
//     numbers are compared as numbers, never through string();
//   - CDATA sections: libxml2 keeps them as nodes of their own next to the
//     text around them, where XPath has one text node (both read here with
//     CDATA merged: XML_PARSE_NOCDATA);
//   - the namespace axis and namespace-uri(): libxml2 gives namespace nodes
//     and URIs, Vexa knows no namespaces (a default namespace is removed on
//     libxml2's side, prefixes are bound as the document binds them);
//   - white space only text between markup is dropped from both trees, so
//     that the comparison does not depend on the reader's white-space rules;
//   - the following axis of an attribute: libxml2 starts it after the
//     attribute's element and its content, XPath right after the attribute,
//     so that the element's content follows its attributes;
//   - the DOCTYPE: libxml2's descendant axis reaches the comments of the
//     internal subset; the subset is removed from its tree;
//   - id(): no document here declares an ID attribute (the table tests
//     cover it).
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cmath>
#include <map>
#include <set>

#include "test_util.h"

#ifndef VEXA_NO_XPATH

using namespace vexatest;

namespace {

class LibXml2Environment : public ::testing::Environment {
public:
    void SetUp() override { xmlInitParser(); }
    void TearDown() override { xmlCleanupParser(); }
};
const ::testing::Environment* const libxml2Environment = ::testing::AddGlobalTestEnvironment(new LibXml2Environment);

// Mixed content, CDATA, comments, processing instructions, languages,
// numbers and a prefixed namespace.
const char kMixed[] =
    "<?xml version=\"1.0\"?>\n"
    "<?style href=\"a.css\"?>\n"
    "<doc xml:lang=\"en\" xmlns:m=\"urn:m\">\n"
    "  <title>A <em>small</em> title</title>\n"
    "  <!-- note -->\n"
    "  <p n=\"1\">one &amp; two<![CDATA[ <three> ]]>four<br/>five</p>\n"
    "  <p n=\"2\" xml:lang=\"fr-CA\">un <b>deux</b> trois <m:x m:k=\"v\">mx</m:x></p>\n"
    "  <p n=\"3.5\">  spaced \t  text  </p>\n"
    "  <list><i>1</i><i>2</i><i>-3</i><i>x</i><i> 4 </i><i>1.5</i></list>\n"
    "  <?pi data here?>\n"
    "  <empty/>\n"
    "  <u>caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 na\xC3\xAFve</u>\n"
    "</doc>\n";

// One item as both sides describe it.
struct Item {
    std::string kind, name, value;
    bool operator==(const Item& o) const { return kind == o.kind && name == o.name && value == o.value; }
};

struct Result {
    int type = -1;  // a VEXA_XPATH_ type, or -1 for an error
    double number = 0;
    bool boolean = false;
    std::string text;
    std::vector<Item> items;
};

std::string Describe(const Result& r) {
    std::string s;
    switch (r.type) {
        case VEXA_XPATH_NODESET:
            s = std::to_string(r.items.size()) + " items:";
            for (size_t i = 0; i < r.items.size() && i < 4; ++i)
                s += " " + r.items[i].kind + "(" + r.items[i].name + ")=\"" + r.items[i].value.substr(0, 40) + "\"";
            return s;
        case VEXA_XPATH_NUMBER:
            return "number " + std::to_string(r.number);
        case VEXA_XPATH_STRING:
            return "string \"" + r.text + "\"";
        case VEXA_XPATH_BOOLEAN:
            return r.boolean ? "true" : "false";
        default:
            return "error";
    }
}

bool Same(const Result& a, const Result& b) {
    if (a.type != b.type) return false;
    switch (a.type) {
        case VEXA_XPATH_NODESET:
            return a.items == b.items;
        case VEXA_XPATH_NUMBER:
            return a.number == b.number || (std::isnan(a.number) && std::isnan(b.number));
        case VEXA_XPATH_STRING:
            return a.text == b.text;
        case VEXA_XPATH_BOOLEAN:
            return a.boolean == b.boolean;
        default:
            return true;
    }
}

// ------------------------------------------------------------------ libxml2

std::string XmlName(const xmlNode* n) {
    std::string name = n->ns && n->ns->prefix ? std::string(reinterpret_cast<const char*>(n->ns->prefix)) + ":" : "";
    return name + reinterpret_cast<const char*>(n->name);
}

Item XmlItem(xmlNodePtr n) {
    Item item;
    xmlChar* value = xmlXPathCastNodeToString(n);
    item.value = reinterpret_cast<const char*>(value);
    xmlFree(value);
    switch (n->type) {
        case XML_ELEMENT_NODE:
            item.kind = "element";
            item.name = XmlName(n);
            break;
        case XML_ATTRIBUTE_NODE:
            item.kind = "attribute";
            item.name = XmlName(n);
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            item.kind = "text";
            break;
        case XML_COMMENT_NODE:
            item.kind = "comment";
            break;
        case XML_PI_NODE:
            item.kind = "pi";
            item.name = reinterpret_cast<const char*>(n->name);
            break;
        case XML_DOCUMENT_NODE:
            item.kind = "root";
            break;
        default:
            item.kind = "other";
    }
    return item;
}

// Drops the internal subset and blank text between markup, takes elements out of a default
// namespace and binds the prefixes the document declares.
void PrepareLibxml(xmlDocPtr doc, xmlXPathContextPtr ctx) {
    // libxml2's descendant axis would walk into the DOCTYPE's declarations and comments.
    if (xmlDtdPtr subset = xmlGetIntSubset(doc)) {
        xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(subset));
        xmlFreeDtd(subset);
    }
    xmlNodePtr n = doc->children;
    while (n) {
        if (n->type == XML_ELEMENT_NODE) {
            if (n->ns && !n->ns->prefix) n->ns = nullptr;
            for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next)
                if (ns->prefix) xmlXPathRegisterNs(ctx, ns->prefix, ns->href);
        }
        xmlNodePtr next = nullptr;
        if (n->type == XML_ELEMENT_NODE && n->children) {
            next = n->children;
        } else {
            for (xmlNodePtr up = n; up && !next; up = up->parent) {
                if (up->next) next = up->next;
                if (up->parent && up->parent->type == XML_DOCUMENT_NODE && !up->next) break;
            }
        }
        if (n->type == XML_TEXT_NODE && xmlIsBlankNode(n)) {
            xmlUnlinkNode(n);
            xmlFreeNode(n);
        }
        n = next;
    }
}

Result XmlEval(xmlXPathContextPtr ctx, const std::string& expr) {
    Result r;
    xmlXPathObjectPtr o = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expr.c_str()), ctx);
    if (!o) return r;
    switch (o->type) {
        case XPATH_NODESET:
            r.type = VEXA_XPATH_NODESET;
            if (o->nodesetval)
                for (int i = 0; i < o->nodesetval->nodeNr; ++i) r.items.push_back(XmlItem(o->nodesetval->nodeTab[i]));
            break;
        case XPATH_NUMBER:
            r.type = VEXA_XPATH_NUMBER;
            r.number = o->floatval;
            break;
        case XPATH_STRING:
            r.type = VEXA_XPATH_STRING;
            r.text = reinterpret_cast<const char*>(o->stringval);
            break;
        case XPATH_BOOLEAN:
            r.type = VEXA_XPATH_BOOLEAN;
            r.boolean = o->boolval != 0;
            break;
        default:
            break;
    }
    xmlXPathFreeObject(o);
    return r;
}

// --------------------------------------------------------------------- Vexa

bool Textish(const VexaNode* n) {
    return n && (n->ToText() || (n->ToUnknown() && std::strncmp(n->Value(), "![CDATA[", 8) == 0));
}

// Drops blank text nodes that stand between markup, as on libxml2's side.
void PrepareVexa(VexaDocument* doc) {
    std::vector<VexaNode*> blank;
    for (VexaNode* n = doc->FirstChild(); n;) {
        const VexaText* t = n->ToText();
        if (t && t->Blank() && !Textish(n->PreviousSibling()) && !Textish(n->NextSibling())) blank.push_back(n);
        if (n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n && !n->NextSibling()) n = n->Parent();
        if (n) n = n->NextSibling();
    }
    for (VexaNode* n : blank) n->Parent()->RemoveChild(n);
}

Item VexaItem(const VexaXPathNode& x) {
    Item item;
    item.value = x.StringValue();
    if (x.Attribute()) {
        item.kind = "attribute";
        item.name = x.Attribute()->Name();
        return item;
    }
    const VexaNode* n = x.Node();
    switch (n->Type()) {
        case VexaNode::ELEMENT:
            item.kind = "element";
            item.name = n->Value();
            break;
        case VexaNode::COMMENT:
            item.kind = "comment";
            break;
        case VexaNode::DOCUMENT:
            item.kind = "root";
            break;
        case VexaNode::TEXT:
            item.kind = "text";
            break;
        default:
            if (Textish(n)) {
                item.kind = "text";
            } else {
                item.kind = "pi";
                item.name = VexaXPath("name()").EvaluateString(x);
            }
    }
    return item;
}

Result VexaEval(const VexaDocument& doc, const std::string& expr) {
    Result r;
    VexaXPath q(expr.c_str());
    if (!q.Valid()) return r;
    const VexaXPathValue v = q.Evaluate(doc);
    r.type = v.Type();
    switch (r.type) {
        case VEXA_XPATH_NODESET:
            for (const VexaXPathNode& n : v.NodeSet()) r.items.push_back(VexaItem(n));
            break;
        case VEXA_XPATH_NUMBER:
            r.number = v.Number();
            break;
        case VEXA_XPATH_STRING:
            r.text = v.String();
            break;
        default:
            r.boolean = v.Boolean();
    }
    return r;
}

// ------------------------------------------------------------------ queries

// Names and values the document holds: a few element names from the start,
// middle and end, attribute names, and one attribute value.
struct Vocabulary {
    std::vector<std::string> elements, attributes;
    std::string value;
};

Vocabulary Gather(const VexaDocument& doc) {
    std::vector<std::string> elements, attributes;
    std::set<std::string> seenElements, seenAttributes;
    std::map<std::string, int> uses;
    Vocabulary v;
    const VexaXPathNodeSet all = VexaXPath("//*").SelectNodes(doc);
    for (const VexaXPathNode& n : all) ++uses[n.Node()->Value()];
    for (const VexaXPathNode& n : all) {
        // Names used tens of thousands of times make libxml2's unions and sibling
        // steps take seconds; they add nothing the others do not test.
        if (uses[n.Node()->Value()] <= 10000 && seenElements.insert(n.Node()->Value()).second)
            elements.push_back(n.Node()->Value());
        for (const VexaAttribute* a = n.Node()->ToElement()->FirstAttribute(); a; a = a->Next()) {
            const std::string name = a->Name();
            if (name.compare(0, 5, "xmlns") == 0) continue;
            if (seenAttributes.insert(name).second) attributes.push_back(name);
            if (v.value.empty() && seenElements.size() > 1) v.value = a->Value();
        }
    }
    const size_t picks[] = {0, 1, 2, elements.size() / 2, elements.size() - 1};
    for (size_t i : picks)
        if (i < elements.size() && std::find(v.elements.begin(), v.elements.end(), elements[i]) == v.elements.end())
            v.elements.push_back(elements[i]);
    for (size_t i = 0; i < attributes.size() && i < 3; ++i) v.attributes.push_back(attributes[i]);
    if (v.attributes.empty()) v.attributes.push_back("none");
    if (v.value.find('\'') != std::string::npos) v.value.clear();
    return v;
}

// The template with {E} and {F} replaced by element names, {A} by an
// attribute name and {V} by a value.
std::string Fill(const char* t, const std::string& e, const std::string& f, const std::string& a,
                 const std::string& v) {
    std::string out;
    for (; *t; ++t) {
        if (t[0] == '{' && t[1] && t[2] == '}') {
            out += t[1] == 'E' ? e : t[1] == 'F' ? f : t[1] == 'A' ? a : v;
            t += 2;
        } else {
            out += *t;
        }
    }
    return out;
}

const char* const kPerElement[] = {
    "//{E}",
    "count(//{E})",
    "//{E}[1]",
    "//{E}[last()]",
    "(//{E})[2]",
    "(//{E})[last()]",
    "//{E}/..",
    "//{E}/ancestor::*",
    "//{E}/ancestor-or-self::node()[2]",
    "//{E}/following-sibling::*[1]",
    "//{E}/preceding-sibling::node()[1]",
    "(//{E})[3]/following::*[2]",
    "(//{E})[3]/preceding::*[2]",
    "(//{E})[2]/preceding::node()[position() < 4]",
    "(//{E})[1]/descendant-or-self::node()",
    "(//{E})[1]/following::text()[1]",
    "//{E}/self::{E}",
    "//{E}/@*",
    "//{E}[@{A}]",
    "//{E}[not(@{A})][2]",
    "//{E}/@{A}",
    "string((//{E})[2])",
    "string-length(string((//{E})[1]))",
    "normalize-space((//{E})[last()])",
    "//{E}[position() mod 2 = 0][last()]",
    "count(//{E}[position() > 1])",
    "//{E}[last() - 1]",
    "//{E} | //{F}",
    "count(//{E} | //{F} | //{E})",
    "//{F}/ancestor::{E} | //{E}/{F}",
    "//{E}[{F}]",
    "//{E}[.//{F}][1]",
    "boolean(//{E}/{F})",
    "//*[{E}][1]",
    "name((//{E})[1]/*[1])",
    "local-name((//{E})[1])",
    "//{E}[contains(., 'a')][1]",
    "//{E}/text()",
    "//{E}[text()][1]/text()[1]",
};
const char* const kPerAttribute[] = {
    "//@{A}",
    "count(//@{A})",
    "(//@{A})[3]",
    "//*[@{A} = '{V}']",
    "//*[@{A} != '{V}'][1]",
    "//@{A}[. = '{V}']/..",
    "count(/*/*[position() < 50][@{A} = /*/*[position() < 50]/@{A}])",
    "//*[starts-with(@{A}, substring('{V}', 1, 1))][1]",
    "//*[contains(@{A}, 'e')][last()]",
    "translate((//@{A})[1], 'abcdefghij', 'ABCDEFGHIJ')",
    "substring((//@{A})[2], 2, 3)",
    "substring((//@{A})[2], 0)",
    "substring-before((//@{A})[1], 'e')",
    "substring-after((//@{A})[1], 'e')",
    "string-length((//@{A})[last()])",
    "sum(//@{A}[number(.) = number(.)])",
    "number((//@{A})[1])",
    "//@{A}[number(.) > 1]",
    "count(//@{A}[. < 2])",
    "name((//@{A})[1])",
    "boolean(//@{A}[. = '{V}'])",
    "(//@{A})[1]/../following::*[1]",
    "(//@{A})[2]/ancestor::*[1]",
    "(//@{A})[1]/self::node()",
    "//*[@{A}][1]/@*[last()]",
};
const char* const kPerDocument[] = {
    "/",
    "/*",
    "/node()",
    "count(//*)",
    "count(//@*)",
    "count(//text())",
    "count(//comment())",
    "count(//processing-instruction())",
    "//comment()",
    "//processing-instruction()",
    "string-length(/)",
    "count(//*[not(*)])",
    "(//text())[1]",
    "(//text())[last()]",
    "(//*)[last()]/ancestor::*",
    "/descendant::*[7]/following::node()[3]",
    "/descendant::*[7]/preceding::node()[3]",
    "//*[lang('en')][1]",
    "count(//*[lang('fr')])",
    "id('x y')",
    "1 + 2 * 3 div 4 mod 5 - -1",
    "floor(-1.5) + ceiling(1.2) + round(2.5) + round(-2.5)",
    "1 div 0 > 0 and -1 div 0 < 0",
    "number('  12 ') = 12",
    "'a' < 'b'",
    "true() = 'x' or false()",
    "count(/*/*[position() = last()])",
    "//*[count(*) > 3][1]",
    "//text()[normalize-space()][2]",
    "concat((//*)[1], '|', name(/*))",
};

std::vector<std::string> Queries(const Vocabulary& v) {
    std::vector<std::string> out(std::begin(kPerDocument), std::end(kPerDocument));
    for (size_t i = 0; i < v.elements.size(); ++i) {
        const std::string& e2 = v.elements[(i + 1) % v.elements.size()];
        for (const char* t : kPerElement) out.push_back(Fill(t, v.elements[i], e2, v.attributes[0], v.value));
    }
    for (const std::string& a : v.attributes)
        for (const char* t : kPerAttribute) out.push_back(Fill(t, v.elements[0], v.elements[0], a, v.value));
    return out;
}

// ---------------------------------------------------------------- the test

int totalQueries = 0;

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

xmlParserInputPtr NothingExternal(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

// Runs every query on the document in text, in both libraries.
void Differ(const std::string& name, const std::string& text) {
    VexaBase::SetCondenseWhiteSpace(false);
    VexaDocument vdoc;
    vdoc.SetTextEncoding(VEXA_ENCODING_UTF8);
    vdoc.Parse(text.c_str());
    VexaBase::SetCondenseWhiteSpace(true);
    ASSERT_FALSE(vdoc.Error()) << name << ": " << vdoc.ErrorText();
    PrepareVexa(&vdoc);

    // libxml2 reads the same text, with the internal subset's entities and
    // default attributes as Vexa reads them, and nothing external: no DTD
    // file, no network.
    xmlSetExternalEntityLoader(NothingExternal);
    xmlDocPtr xdoc = xmlReadMemory(text.data(), static_cast<int>(text.size()), name.c_str(), nullptr,
                                   XML_PARSE_NOCDATA | XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDATTR |
                                       XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    ASSERT_NE(xdoc, nullptr) << name;
    xmlXPathContextPtr ctx = xmlXPathNewContext(xdoc);
    PrepareLibxml(xdoc, ctx);

    const std::vector<std::string> queries = Queries(Gather(vdoc));
    for (const std::string& q : queries) {
        const Result mine = VexaEval(vdoc, q);
        const Result theirs = XmlEval(ctx, q);
        ASSERT_NE(theirs.type, -1) << name << ": libxml2 rejects " << q;
        EXPECT_TRUE(Same(mine, theirs)) << name << ": " << q << "\n  vexa:    " << Describe(mine)
                                        << "\n  libxml2: " << Describe(theirs);
    }
    totalQueries += static_cast<int>(queries.size());
    xmlXPathFreeContext(ctx);
    xmlFreeDoc(xdoc);
}

TEST(XPathDifferentialTest, MixedContentFixture) { Differ("mixed", kMixed); }

TEST(XPathDifferentialTest, TestDataFixtures) {
    for (const char* file : {"mixed.xml", "cdata.xml"}) {
        const std::string text = ReadFile(std::string(VEXA_TEST_DATA_DIR) + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        Differ(file, text);
    }
}

// The benchmark's real inputs, where the machine has them.
TEST(XPathDifferentialTest, InstalledFiles) {
    const char* const files[] = {
        "/usr/share/xml/iso-codes/iso_639-3.xml",
        "/usr/share/xml/iso-codes/iso_3166-1.xml",
        "/usr/share/mime/packages/freedesktop.org.xml",
        "/usr/share/X11/xkb/rules/evdev.xml",
    };
    int found = 0;
    for (const char* file : files) {
        // Under AddressSanitizer the largest file's big node-sets cost minutes
        // of mapping and unmapping; the plain build compares it.
        if (kSanitized && std::strstr(file, "freedesktop")) continue;
        const std::string text = ReadFile(file);
        if (text.empty()) continue;
        ++found;
        Differ(file, text);
    }
    if (!found) GTEST_SKIP() << "none of the packages' files is installed";
    std::printf("XPath differential test: %d queries compared in this run\n", totalQueries);
}

}  // namespace

#endif  // VEXA_NO_XPATH
