// Document type declarations: the internal subset read, its entities
// included, its default attributes supplied. External entities and the
// external subset are never read.
#include "vexadtd.h"

#include <cstring>
#include <string>

#include "vexa.h"
#include "vexaencoding.h"
#include "vexaimpl.h"
#include "vexamemory.h"
#include "vexastrict.h"

namespace ORMELA {
namespace impl {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsNameStartByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':';
}
bool IsNameByte(char c) { return IsNameStartByte(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// The end of the name at p (p itself when none starts there), before end.
inline const char* NameEnd(const char* p, const char* end) {
    if (p >= end || !IsNameStartByte(*p)) return p;
    ++p;
    while (p < end && IsNameByte(*p)) ++p;
    return p;
}

const char* SkipSpace(const char* p, const char* end) {
    while (p < end && IsSpace(*p)) ++p;
    return p;
}

bool Predefined(const char* name, size_t n) {
    static const char* const names[] = {"amp", "lt", "gt", "quot", "apos"};
    for (const char* predefined : names) {
        if (std::strlen(predefined) == n && std::memcmp(predefined, name, n) == 0) return true;
    }
    return false;
}

// A well-formed numeric reference at p ("&#...;"): the position after it
// and the code point, or null.
const char* NumericReference(const char* p, const char* end, unsigned long* cp) {
    if (end - p < 4 || p[0] != '&' || p[1] != '#') return 0;
    const bool hex = p[2] == 'x';
    const char* q = p + (hex ? 3 : 2);
    const char* const digits = q;
    unsigned long value = 0;
    for (; q < end; ++q) {
        int d;
        if (*q >= '0' && *q <= '9') {
            d = *q - '0';
        } else if (hex && *q >= 'a' && *q <= 'f') {
            d = *q - 'a' + 10;
        } else if (hex && *q >= 'A' && *q <= 'F') {
            d = *q - 'A' + 10;
        } else {
            break;
        }
        if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
    }
    if (q == digits || q >= end || *q != ';') return 0;
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF) || value == 0xFFFE || value == 0xFFFF) {
        return 0;
    }
    *cp = value;
    return q + 1;
}

// The bytes the text encoding stores for the reference [p, after) to cp,
// as the content reader decodes it: UTF-8; below 0x80 under the raw rules;
// under the legacy rules a byte from one or two hexadecimal digits. 0 when
// it is kept as written.
size_t Decode(int encoding, const char* p, const char* after, unsigned long cp, char* bytes) {
    if (encoding == VEXA_ENCODING_UTF8) return EncodeUtf8(cp, bytes);
    if (encoding == VEXA_ENCODING_LEGACY ? p[2] == 'x' && after - p <= 6 : cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        return 1;
    }
    return 0;
}

bool Fail(VexaDocument* doc, int code, const char* position, VexaParsingData* data) {
    if (doc) doc->SetError(code, position, data);
    return false;
}

// Spaces trimmed and runs made one, as values of types other than CDATA.
void Collapse(std::string* value) {
    std::string out;
    bool pending = false;
    for (char c : *value) {
        if (c == ' ') {
            pending = !out.empty();
            continue;
        }
        if (pending) out.push_back(' ');
        pending = false;
        out.push_back(c);
    }
    value->swap(out);
}

// Strict mode: whether the replacement text of entity is well-formed where
// it is included, checked once per place, with every character reference
// decoded. In a value it may hold no '<' and every '&' must start a complete
// reference; in content it must be content, as between a start and an end
// tag. False, the error recorded at position (the reference), when it is not.
bool WellFormedReplacement(DtdEntity* entity, bool inValue, const char* position, VexaParsingData* data) {
    VexaDocument* const doc = data->Document();
    unsigned char& checked = inValue ? entity->checkedInValue : entity->checkedInContent;
    if (checked || !doc || !doc->Strict()) return true;
    checked = 1;
    const std::string& text = entity->checkText.empty() ? entity->value : entity->checkText;
    if (inValue) {
        if (text.find('<') != std::string::npos) return Fail(doc, VEXA_ERROR_ENTITY_MARKUP, position, data);
        const char* const end = text.c_str() + text.size();
        for (const char* q = text.c_str();
             (q = static_cast<const char*>(std::memchr(q, '&', static_cast<size_t>(end - q)))) != 0;) {
            unsigned long cp = 0;
            if (const char* after = NumericReference(q, end, &cp)) {
                q = after;
                continue;
            }
            const char* const nameEnd = NameEnd(q + 1, end);
            if (nameEnd == q + 1 || nameEnd >= end || *nameEnd != ';') {
                return Fail(doc, VEXA_ERROR_REFERENCE, position, data);
            }
            q = nameEnd + 1;
        }
        return true;
    }
    // The text inside an element of its own: a second root or a close of
    // that element shows as a fault past the text.
    static const char open[] = "<_>";
    std::string wrapped(open);
    wrapped += text;
    wrapped += "</_>";
    const char* const begin = wrapped.c_str();
    const char* const end = begin + wrapped.size();
    const StrictMode mode =
        Access::Encoding(*data) == VEXA_ENCODING_UTF8 && entity->checkText.empty() ? kStrictUtf8 : kStrictBytes;
    StrictFault fault;
    if (CheckWellFormed(begin, end, mode, kStrictPlain, &fault, kStrictPiece | kStrictDeclared)) return true;
    const bool inside = fault.at >= begin + 3 && fault.at < begin + 3 + text.size();
    const bool structural = fault.code == VEXA_ERROR_UNCLOSED || fault.code == VEXA_ERROR_AFTER_ROOT ||
                            fault.code == VEXA_ERROR_MISMATCHED_TAG;
    return Fail(doc, inside && !structural ? fault.code : VEXA_ERROR_ENTITY_MARKUP, position, data);
}

enum Expansion { kExpandedText, kExpandedMarkup, kExpandFailed };

// The full expansion of entity, without recursion on the call stack: in a
// value (inValue) white space becomes a space and '<' breaks the value,
// references kept as written set *kept; in content, markup or a reference
// kept makes it kExpandedMarkup, for the content reader to take.
int Expand(Dtd* dtd, DtdEntity* entity, bool inValue, std::string* out, bool* kept, const char* position,
           VexaParsingData* data) {
    VexaDocument* const doc = data->Document();
    const int encoding = Access::Encoding(*data);
    struct Level {
        DtdEntity* entity;
        size_t at;
        size_t start;     // where its text begins in *out
        bool keptBefore;  // *kept when it was entered
    };
    std::vector<Level> stack;
    out->clear();
    *kept = false;
    const auto unwind = [&stack]() {
        for (const Level& level : stack) level.entity->open = false;
    };
    entity->open = true;
    stack.push_back(Level{entity, 0, 0, false});
    while (!stack.empty()) {
        Level& level = stack.back();
        const std::string& text = level.entity->value;
        if (level.at >= text.size()) {
            // An inner entity done is kept for its next reference, which
            // then costs no second walk; what is kept counts as produced.
            DtdEntity* const done = level.entity;
            done->open = false;
            if (stack.size() > 1) {
                const size_t size = out->size() - level.start;
                dtd->produced += size;
                std::string& cache = inValue ? done->valueText : done->expanded;
                cache.assign(*out, level.start, size);
                if (inValue) {
                    done->inValue = 1;
                    done->valueKept = *kept && !level.keptBefore;
                } else {
                    done->content = 1;
                }
            }
            stack.pop_back();
            continue;
        }
        if (dtd->produced + dtd->pass + out->size() > dtd->limit) {
            unwind();
            return Fail(doc, VEXA_ERROR_ENTITY_EXPANSION, position, data), kExpandFailed;
        }
        const char* const p = text.c_str() + level.at;
        const char* const end = text.c_str() + text.size();
        const char c = *p;
        if (c == '<') {
            unwind();
            if (!inValue) return kExpandedMarkup;
            return Fail(doc, VEXA_ERROR_ENTITY_MARKUP, position, data), kExpandFailed;
        }
        if (c != '&') {
            if (inValue && IsSpace(c)) {
                out->push_back(' ');
                ++level.at;
                continue;
            }
            // A plain run at once.
            const char* q = p + 1;
            while (q < end && *q != '&' && *q != '<' && !(inValue && IsSpace(*q))) ++q;
            out->append(p, static_cast<size_t>(q - p));
            level.at += static_cast<size_t>(q - p);
            continue;
        }
        unsigned long cp = 0;
        if (const char* after = NumericReference(p, end, &cp)) {
            char bytes[4];
            if (const size_t n = Decode(encoding, p, after, cp, bytes)) {
                out->append(bytes, n);
            } else {
                if (!inValue) {
                    unwind();
                    return kExpandedMarkup;
                }
                out->append(p, static_cast<size_t>(after - p));
            }
            level.at += static_cast<size_t>(after - p);
            continue;
        }
        const char* const nameEnd = NameEnd(p + 1, end);
        if (nameEnd == p + 1 || nameEnd >= end || *nameEnd != ';') {
            out->push_back('&');  // not a reference: taken as it stands
            ++level.at;
            continue;
        }
        const size_t n = static_cast<size_t>(nameEnd - p - 1);
        level.at += n + 2;
        if (Predefined(p + 1, n)) {
            static const char chars[] = {'&', '<', '>', '"', '\''};
            static const char* const names[] = {"amp", "lt", "gt", "quot", "apos"};
            for (int i = 0; i < 5; ++i) {
                if (std::strlen(names[i]) == n && std::memcmp(names[i], p + 1, n) == 0) out->push_back(chars[i]);
            }
            continue;
        }
        auto found = dtd->general.find(std::string(p + 1, n));
        if (found == dtd->general.end() || found->second.external || found->second.unparsed) {
            if (!inValue) {
                unwind();
                return kExpandedMarkup;
            }
            const int kind = found == dtd->general.end() ? kProblemUndeclared
                             : found->second.unparsed    ? kProblemUnparsed
                                                         : kProblemExternalInValue;
            if (DtdProblem(doc, kind, position, data)) {
                unwind();
                return kExpandFailed;
            }
            *kept = true;
            out->append(p, n + 2);
            continue;
        }
        DtdEntity* const inner = &found->second;
        if (inValue ? inner->inValue != 0 : inner->content == 1) {
            // Expanded before: its text at once.
            const std::string& cached = inValue ? inner->valueText : inner->expanded;
            if (dtd->produced + dtd->pass + out->size() + cached.size() > dtd->limit) {
                unwind();
                return Fail(doc, VEXA_ERROR_ENTITY_EXPANSION, position, data), kExpandFailed;
            }
            out->append(cached);
            *kept = *kept || (inValue && inner->valueKept);
            continue;
        }
        if (!inValue && inner->content == 2) {
            unwind();
            return kExpandedMarkup;
        }
        if (inner->open) {
            unwind();
            return Fail(doc, VEXA_ERROR_ENTITY_RECURSION, position, data), kExpandFailed;
        }
        if (stack.size() + dtd->frames.size() >= static_cast<size_t>(kMaxEntityNesting)) {
            unwind();
            return Fail(doc, VEXA_ERROR_ENTITY_DEPTH, position, data), kExpandFailed;
        }
        if (!WellFormedReplacement(inner, inValue, position, data)) {
            unwind();
            return kExpandFailed;
        }
        inner->open = true;
        stack.push_back(Level{inner, 0, out->size(), *kept});  // level is not used past this point
    }
    return kExpandedText;
}

enum Status { kDeclared, kMalformed, kStop };

// The rest of a declaration from p: its '>' passed over, quoted literals
// taken whole. The end when it has none.
const char* SkipDeclaration(const char* p, const char* end) {
    char quote = 0;
    for (; p < end; ++p) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == '>') {
            return p + 1;
        }
    }
    return end;
}

// A quoted literal at *p: its text without the quotes, *p after it.
bool Literal(const char** p, const char* end, const char** text, size_t* n) {
    const char* q = *p;
    if (q >= end || (*q != '"' && *q != '\'')) return false;
    const char* const close = static_cast<const char*>(std::memchr(q + 1, *q, static_cast<size_t>(end - q - 1)));
    if (!close) return false;
    *text = q + 1;
    *n = static_cast<size_t>(close - q - 1);
    *p = close + 1;
    return true;
}

// Requires white space at *p and passes over it.
bool Space(const char** p, const char* end) {
    if (*p >= end || !IsSpace(**p)) return false;
    *p = SkipSpace(*p, end);
    return true;
}

bool Keyword(const char** p, const char* end, const char* word) {
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end - *p) < n || std::memcmp(*p, word, n) != 0) return false;
    *p += n;
    return true;
}

// Whether name is in list, " name name ... ".
bool Listed(const std::string& list, const std::string& name) {
    for (size_t at = list.find(name); at != std::string::npos; at = list.find(name, at + 1)) {
        if (list[at - 1] == ' ' && at + name.size() < list.size() && list[at + name.size()] == ' ') return true;
    }
    return false;
}

// A public id literal at *p: quoted, of the characters a public id may hold.
bool PubidLiteral(const char** p, const char* end, bool strict) {
    const char* text = 0;
    size_t n = 0;
    if (!Literal(p, end, &text, &n)) return false;
    if (!strict) return true;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) continue;
        if (c == 0 || !std::strchr(" \r\n-'()+,./:=?;!*#@$_%", c)) return false;
    }
    return true;
}

// An external id at *p ("SYSTEM" or "PUBLIC" and its literals); with
// publicOnly (a notation) a public id alone will do. The lenient mode takes
// any characters in a public id.
bool ExternalId(const char** p, const char* end, bool publicOnly, bool strict) {
    const char* text = 0;
    size_t n = 0;
    if (Keyword(p, end, "SYSTEM")) return Space(p, end) && Literal(p, end, &text, &n);
    if (!Keyword(p, end, "PUBLIC") || !Space(p, end) || !PubidLiteral(p, end, strict)) return false;
    const char* const before = *p;
    if (Space(p, end) && Literal(p, end, &text, &n)) return true;
    *p = before;
    return publicOnly;
}

bool Occurrence(char c) { return c == '?' || c == '*' || c == '+'; }

// The content an element declaration allows, at *p: EMPTY, ANY, mixed content or a model of
// element names, nested groups read with a heap stack of their separators.
bool ContentSpec(const char** at, const char* end) {
    const char* p = *at;
    if (Keyword(&p, end, "EMPTY") || Keyword(&p, end, "ANY")) {
        *at = p;
        return NameEnd(p, end) == p || p == end;
    }
    if (p >= end || *p != '(') return false;
    const char* q = SkipSpace(p + 1, end);
    if (Keyword(&q, end, "#PCDATA")) {
        bool names = false;
        for (;;) {
            q = SkipSpace(q, end);
            if (q < end && *q == ')') break;
            if (q >= end || *q != '|') return false;
            q = SkipSpace(q + 1, end);
            const char* const name = q;
            q = NameEnd(q, end);
            if (q == name) return false;
            names = true;
        }
        ++q;
        if (q < end && *q == '*') {
            ++q;
        } else if (names) {
            return false;
        }
        *at = q;
        return true;
    }
    std::vector<char> groups;  // per open group: its separator, 0 until known
    groups.push_back(0);
    p = q;
    for (;;) {
        // A content particle: a name or a group, then its occurrence.
        p = SkipSpace(p, end);
        if (p < end && *p == '(') {
            groups.push_back(0);
            ++p;
            continue;
        }
        const char* const name = p;
        p = NameEnd(p, end);
        if (p == name) return false;
        if (p < end && Occurrence(*p)) ++p;
        // Then separators, or closing groups.
        for (;;) {
            p = SkipSpace(p, end);
            if (p >= end) return false;
            if (*p == ')') {
                groups.pop_back();
                ++p;
                if (p < end && Occurrence(*p)) ++p;
                if (groups.empty()) {
                    *at = p;
                    return true;
                }
                continue;
            }
            if (*p != '|' && *p != ',') return false;
            if (groups.back() && groups.back() != *p) return false;
            groups.back() = *p++;
            break;
        }
    }
}

class SubsetReader {
public:
    SubsetReader(VexaDocument* d, Dtd* t, VexaParsingData* pd, bool s)
        : doc(d), dtd(t), data(pd), standalone(s), processing(true) {}

    // Reads the declarations from p up to the subset's closing ']'.
    bool Read(const char* p, const char* end);

private:
    Status Entity(const char** at, const char* end, const char* position);
    Status Attlist(const char** at, const char* end, const char* position);
    // Read for their grammar only: nothing they declare changes a parse.
    Status ElementDeclaration(const char** at, const char* end, const char* position);
    Status Notation(const char** at, const char* end, const char* position);
    // A '%' met inside a declaration: kStop when the parse must stop.
    Status ParameterInside(const char* p, const char* end, const char* at);
    // A default value as a value reads it: references included, white space
    // made spaces. False when the parse must stop.
    Status DefaultValue(const char* text, size_t n, std::string* out, const char* at);

    VexaDocument* doc;
    Dtd* dtd;
    VexaParsingData* data;
    bool standalone;
    bool processing;  // false after a parameter entity that is not read
};

bool SubsetReader::Read(const char* p, const char* end) {
    struct Source {
        const char* p;
        const char* end;
        DtdEntity* entity;
    };
    std::vector<Source> sources;
    const char* reference = 0;  // in the document: where the outermost inclusion was referenced
    for (;;) {
        p = SkipSpace(p, end);
        if (p >= end) {
            if (sources.empty()) return true;
            sources.back().entity->open = false;
            p = sources.back().p;
            end = sources.back().end;
            sources.pop_back();
            continue;
        }
        const char* const at = sources.empty() ? p : reference;
        if (sources.empty() && *p == ']') return true;
        if (*p == '%') {
            dtd->unreadDeclarations = true;  // as far as undeclared names go
            const char* const nameEnd = NameEnd(p + 1, end);
            if (nameEnd == p + 1 || nameEnd >= end || *nameEnd != ';') {
                if (DtdProblem(doc, kProblemDeclaration, at, data)) return false;
                p = SkipDeclaration(p, end);
                continue;
            }
            auto found = dtd->parameter.find(std::string(p + 1, nameEnd));
            const char* const after = nameEnd + 1;
            if (found == dtd->parameter.end() || found->second.external) {
                if (DtdProblem(doc, kProblemParameterUnread, at, data)) return false;
                if (!standalone) processing = false;
                p = after;
                continue;
            }
            DtdEntity* const entity = &found->second;
            if (entity->open) return Fail(doc, VEXA_ERROR_ENTITY_RECURSION, at, data);
            if (sources.size() >= static_cast<size_t>(kMaxEntityNesting)) {
                return Fail(doc, VEXA_ERROR_ENTITY_DEPTH, at, data);
            }
            if (dtd->produced + entity->value.size() > dtd->limit) {
                return Fail(doc, VEXA_ERROR_ENTITY_EXPANSION, at, data);
            }
            dtd->produced += entity->value.size();
            if (sources.empty()) reference = p;
            entity->open = true;
            sources.push_back(Source{after, end, entity});
            p = entity->value.c_str();
            end = p + entity->value.size();
            continue;
        }
        Status status = kDeclared;
        if (Keyword(&p, end, "<!--")) {
            const char* q = p;
            while (q + 3 <= end && std::memcmp(q, "-->", 3) != 0) ++q;
            p = q + 3 <= end ? q + 3 : end;
            continue;
        }
        if (Keyword(&p, end, "<?")) {
            const char* q = p;
            while (q + 2 <= end && std::memcmp(q, "?>", 2) != 0) ++q;
            p = q + 2 <= end ? q + 2 : end;
            continue;
        }
        const char* const start = p;
        if (Keyword(&p, end, "<!ENTITY")) {
            status = Entity(&p, end, at);
        } else if (Keyword(&p, end, "<!ATTLIST")) {
            status = Attlist(&p, end, at);
        } else if (Keyword(&p, end, "<!ELEMENT")) {
            status = ElementDeclaration(&p, end, at);
        } else if (Keyword(&p, end, "<!NOTATION")) {
            status = Notation(&p, end, at);
        } else {
            status = kMalformed;
        }
        if (status == kStop) return false;
        if (status == kMalformed) {
            if (DtdProblem(doc, kProblemDeclaration, at, data)) return false;
            p = SkipDeclaration(start + 1, end);
        }
    }
}

Status SubsetReader::ParameterInside(const char* p, const char* end, const char* at) {
    if (std::memchr(p, '%', static_cast<size_t>(SkipDeclaration(p, end) - p)) &&
        DtdProblem(doc, kProblemParameterInside, at, data)) {
        return kStop;
    }
    return kMalformed;
}

Status SubsetReader::ElementDeclaration(const char** at, const char* end, const char* position) {
    const char* p = *at;
    const char* const name = (Space(&p, end), p);
    p = NameEnd(p, end);
    if (name == *at || p == name || !Space(&p, end) || !ContentSpec(&p, end))
        return ParameterInside(*at, end, position);
    p = SkipSpace(p, end);
    if (p >= end || *p != '>') return ParameterInside(*at, end, position);
    *at = p + 1;
    return kDeclared;
}

Status SubsetReader::Notation(const char** at, const char* end, const char* position) {
    const char* p = *at;
    const char* const name = (Space(&p, end), p);
    p = NameEnd(p, end);
    if (name == *at || p == name || !Space(&p, end) || !ExternalId(&p, end, true, true)) {
        return ParameterInside(*at, end, position);
    }
    p = SkipSpace(p, end);
    if (p >= end || *p != '>') return ParameterInside(*at, end, position);
    *at = p + 1;
    return kDeclared;
}

Status SubsetReader::Entity(const char** at, const char* end, const char* position) {
    const char* p = *at;
    if (!Space(&p, end)) return kMalformed;
    bool parameter = false;
    if (p < end && *p == '%') {
        parameter = true;
        ++p;
        if (!Space(&p, end)) return kMalformed;
    }
    const char* const name = p;
    p = NameEnd(p, end);
    if (p == name || !Space(&p, end)) return kMalformed;
    DtdEntity entity;
    const char* text = 0;
    size_t n = 0;
    if (Literal(&p, end, &text, &n)) {
        // The replacement text: character references decoded now, general
        // references kept for inclusion, parameter references not allowed.
        const int encoding = Access::Encoding(*data);
        const char* const stop = text + n;
        // Strict mode judges the text with every character reference
        // decoded, also those this encoding keeps as written.
        const bool strict = doc && doc->Strict();
        bool keptCharacter = false;
        for (const char* q = text; q < stop;) {
            if (*q == '%') {
                if (DtdProblem(doc, kProblemParameterInside, position, data)) return kStop;
                return kMalformed;
            }
            if (*q == '\r') {
                // A line break in the literal is one line feed, as in the document.
                entity.value.push_back('\n');
                if (keptCharacter) entity.checkText.push_back('\n');
                q += q + 1 < stop && q[1] == '\n' ? 2 : 1;
                continue;
            }
            if (*q != '&') {
                if (keptCharacter) entity.checkText.push_back(*q);
                entity.value.push_back(*q++);
                continue;
            }
            unsigned long cp = 0;
            if (const char* after = NumericReference(q, stop, &cp)) {
                char bytes[4];
                if (const size_t k = Decode(encoding, q, after, cp, bytes)) {
                    entity.value.append(bytes, k);
                } else {
                    if (strict && !keptCharacter) entity.checkText = entity.value;
                    keptCharacter = keptCharacter || strict;
                    entity.value.append(q, static_cast<size_t>(after - q));
                }
                if (keptCharacter) entity.checkText.append(bytes, EncodeUtf8(cp, bytes));
                q = after;
                continue;
            }
            const char* const nameEnd = NameEnd(q + 1, stop);
            if (nameEnd == q + 1 || nameEnd >= stop || *nameEnd != ';') return kMalformed;
            entity.value.append(q, static_cast<size_t>(nameEnd + 1 - q));
            if (keptCharacter) entity.checkText.append(q, static_cast<size_t>(nameEnd + 1 - q));
            q = nameEnd + 1;
        }
    } else if (p < end && (*p == 'S' || *p == 'P')) {
        entity.external = true;
        const bool strict = doc && doc->Strict();
        if (!ExternalId(&p, end, false, strict)) return kMalformed;
        const char* const before = p;
        if (Space(&p, end) && Keyword(&p, end, "NDATA")) {
            if (!Space(&p, end) && strict) return kMalformed;
            const char* const notation = p;
            p = NameEnd(p, end);
            if (parameter || p == notation) return kMalformed;
            entity.unparsed = true;
        } else {
            p = before;
        }
    } else {
        return kMalformed;
    }
    p = SkipSpace(p, end);
    if (p >= end || *p != '>') return kMalformed;
    *at = p + 1;
    if (processing) {
        auto& table = parameter ? dtd->parameter : dtd->general;
        table.emplace(std::string(name, static_cast<size_t>(NameEnd(name, end) - name)), std::move(entity));
    }
    return kDeclared;
}

Status SubsetReader::DefaultValue(const char* text, size_t n, std::string* out, const char* at) {
    const int encoding = Access::Encoding(*data);
    const char* const stop = text + n;
    for (const char* q = text; q < stop;) {
        if (*q == '<') return kMalformed;
        if (*q != '&') {
            out->push_back(IsSpace(*q) ? ' ' : *q);
            q += *q == '\r' && q + 1 < stop && q[1] == '\n' ? 2 : 1;  // a line break is one space
            continue;
        }
        unsigned long cp = 0;
        if (const char* after = NumericReference(q, stop, &cp)) {
            char bytes[4];
            if (const size_t k = Decode(encoding, q, after, cp, bytes)) {
                out->append(bytes, k);
            } else {
                out->append(q, static_cast<size_t>(after - q));
            }
            q = after;
            continue;
        }
        const char* const nameEnd = NameEnd(q + 1, stop);
        if (nameEnd == q + 1 || nameEnd >= stop || *nameEnd != ';') return kMalformed;
        const Reference reference = LookUp(dtd, q, true, data);
        if (reference.kind == kReferenceFailed) return kStop;
        if (reference.kind == kReferenceText) {
            out->append(*reference.text);
        } else if (reference.kind == kReferenceOther) {
            static const char chars[] = {'&', '<', '>', '"', '\''};
            static const char* const names[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
            for (int i = 0; i < 5; ++i) {
                if (std::strncmp(names[i], q + 1, std::strlen(names[i])) == 0) out->push_back(chars[i]);
            }
        } else {
            return kMalformed;  // a default may not hold what is never read
        }
        q = nameEnd + 1;
        (void)at;
    }
    return kDeclared;
}

Status SubsetReader::Attlist(const char** at, const char* end, const char* position) {
    const char* p = *at;
    if (!Space(&p, end)) return kMalformed;
    const char* const element = p;
    p = NameEnd(p, end);
    if (p == element) return kMalformed;
    const std::string elementName(element, p);
    // Declarations that change what the parse reads, and the names of those
    // that do not (CDATA without a default), which still bind first.
    std::vector<AttributeDecl> declared;
    std::string passive = " ";
    for (;;) {
        const bool spaced = Space(&p, end);
        if (p < end && *p == '>') break;
        if (!spaced) return kMalformed;
        AttributeDecl decl;
        const char* const name = p;
        p = NameEnd(p, end);
        decl.name.assign(name, p);
        if (p == name || !Space(&p, end)) return kMalformed;
        if (p < end && *p == '(') {
            decl.type = kTypeEnumeration;
        } else {
            static const char* const types[] = {"CDATA",    "ID",      "IDREF",    "IDREFS",  "ENTITY",
                                                "ENTITIES", "NMTOKEN", "NMTOKENS", "NOTATION"};
            const char* const word = p;
            p = NameEnd(p, end);
            decl.type = -1;
            for (int i = 0; i < 9; ++i) {
                if (std::strlen(types[i]) == static_cast<size_t>(p - word) &&
                    std::memcmp(types[i], word, p - word) == 0) {
                    decl.type = i;
                }
            }
            if (decl.type < 0) return kMalformed;
            if (decl.type == kTypeNotation && !Space(&p, end)) return kMalformed;
        }
        if (decl.type == kTypeEnumeration || decl.type == kTypeNotation) {
            // Names, or for an enumeration name tokens, between bars; the
            // lenient mode takes anything up to the ')'.
            if (p >= end || *p != '(') return kMalformed;
            if (!doc || !doc->Strict()) {
                const char* const close = static_cast<const char*>(std::memchr(p, ')', static_cast<size_t>(end - p)));
                if (!close) return kMalformed;
                p = close;
            }
            for (char separator = '('; p >= end || *p != ')';) {
                if (p >= end || *p != separator) return kMalformed;
                p = SkipSpace(p + 1, end);
                const char* const token = p;
                if (decl.type == kTypeNotation && NameEnd(p, end) == p) return kMalformed;
                while (p < end && IsNameByte(*p)) ++p;
                if (p == token) return kMalformed;
                p = SkipSpace(p, end);
                if (p < end && *p == ')') break;
                separator = '|';
            }
            ++p;
        }
        if (!Space(&p, end)) return kMalformed;
        const char* text = 0;
        size_t n = 0;
        if (Keyword(&p, end, "#REQUIRED")) {
            decl.defaultKind = kDefaultRequired;
        } else if (Keyword(&p, end, "#IMPLIED")) {
            decl.defaultKind = kDefaultImplied;
        } else {
            decl.defaultKind = kDefaultValue;
            if (Keyword(&p, end, "#FIXED")) {
                decl.defaultKind = kDefaultFixed;
                if (!Space(&p, end)) return kMalformed;
            }
            if (!Literal(&p, end, &text, &n)) return kMalformed;
            const Status status = DefaultValue(text, n, &decl.value, position);
            if (status != kDeclared) return status;
            if (decl.type != kTypeCdata) Collapse(&decl.value);
        }
        // Within one list too, the first declaration of a name binds.
        bool repeated = Listed(passive, decl.name);
        for (const AttributeDecl& other : declared) repeated = repeated || other.name == decl.name;
        if (repeated) continue;
        if (decl.type == kTypeCdata && decl.defaultKind != kDefaultFixed && decl.defaultKind != kDefaultValue) {
            passive += decl.name;
            passive += ' ';
        } else {
            declared.push_back(std::move(decl));
        }
    }
    *at = p + 1;
    if (!processing) return kDeclared;
    if (declared.empty() && dtd->elements.find(elementName) == dtd->elements.end()) {
        if (passive.size() > 1) dtd->passive[elementName] += passive;
        return kDeclared;
    }
    ElementDecl& target = dtd->elements[elementName];
    const auto seen = dtd->passive.find(elementName);
    for (AttributeDecl& decl : declared) {
        // The first declaration of a name binds: one in an earlier list wins.
        bool known = seen != dtd->passive.end() && Listed(seen->second, decl.name);
        for (const AttributeDecl& other : target.attributes) known = known || other.name == decl.name;
        if (known) continue;
        target.work = true;
        dtd->workBits |= WorkBit(elementName.c_str(), elementName.size());
        target.attributes.push_back(std::move(decl));
    }
    if (passive.size() > 1) dtd->passive[elementName] += passive;
    return kDeclared;
}

}  // namespace

bool DtdProblem(VexaDocument* doc, int kind, const char* position, VexaParsingData* data) {
    // The lenient mode passes over every one of them, as each kind says;
    // strict mode fails on those that make a document not well-formed.
    if (!doc || !doc->Strict()) return false;
    int code = VEXA_ERROR_NONE;
    switch (kind) {
        case kProblemDeclaration:
        case kProblemParameterInside:
            code = VEXA_ERROR_DOCTYPE;
            break;
        case kProblemUndeclared: {
            // Declarations not read might name it, unless the document is standalone.
            const Dtd* const dtd = Access::DtdOf(*data);
            if (dtd && dtd->unreadDeclarations && !dtd->standalone) return false;
            code = VEXA_ERROR_UNDEFINED_ENTITY;
            break;
        }
        case kProblemUnparsed:
            code = VEXA_ERROR_UNPARSED_ENTITY;
            break;
        case kProblemExternalInValue:
            code = VEXA_ERROR_EXTERNAL_ENTITY;
            break;
        default:
            return false;
    }
    Fail(doc, code, position, data);
    return true;
}

void Dtd::Reset(size_t newLimit) {
    general.clear();
    parameter.clear();
    elements.clear();
    passive.clear();
    for (Found& f : found) f = Found();
    workBits = 0;
    produced = 0;
    pass = 0;
    limit = newLimit;
    frames.clear();
    keptInValue = false;
    unreadDeclarations = false;
    standalone = false;
}

bool ReadDoctype(VexaDocument* doc, const char* start, const char* end, VexaParsingData* data) {
    Dtd* const dtd = Access::DtdOf(*doc);
    if (!dtd) return true;
    const char* p = start + 9;  // "<!DOCTYPE"
    if (!Space(&p, end)) return true;
    const char* const name = p;
    p = NameEnd(p, end);
    if (p == name) return true;
    const char* const afterName = p;
    const char* text = 0;
    size_t n = 0;
    bool standalone = false;
    for (const VexaNode* node = doc->FirstChild(); node; node = node->NextSibling()) {
        if (const VexaDeclaration* declaration = node->ToDeclaration()) {
            standalone = std::strcmp(declaration->Standalone(), "yes") == 0;
        }
    }
    dtd->standalone = standalone;
    if (Space(&p, end) && (Keyword(&p, end, "SYSTEM") || Keyword(&p, end, "PUBLIC"))) {
        dtd->unreadDeclarations = true;  // the external subset, never read
        const bool pub = p[-1] == 'C';
        if (!Space(&p, end) || !Literal(&p, end, &text, &n)) return true;
        if (pub && (!Space(&p, end) || !Literal(&p, end, &text, &n))) return true;
    } else {
        p = afterName;
    }
    p = SkipSpace(p, end);
    if (p >= end || *p != '[') return true;
    SubsetReader reader(doc, dtd, data, standalone);
    return reader.Read(p + 1, end);
}

Reference LookUp(Dtd* dtd, const char* p, bool inValue, VexaParsingData* data) {
    Reference result = {kReferenceOther, p, 0, 0};
    if (p[1] == '#') return result;
    const char* q = p + 1;
    if (!IsNameStartByte(*q)) return result;
    while (IsNameByte(*++q)) {
    }
    if (*q != ';') return result;
    const size_t n = static_cast<size_t>(q - p - 1);
    if (Predefined(p + 1, n)) return result;
    result.after = q + 1;
    VexaDocument* const doc = data->Document();
    auto found = dtd->general.find(std::string(p + 1, n));
    if (found == dtd->general.end() || found->second.external || found->second.unparsed) {
        const int kind = found == dtd->general.end() ? kProblemUndeclared
                         : found->second.unparsed    ? kProblemUnparsed
                         : inValue                   ? kProblemExternalInValue
                                                     : kProblemExternal;
        result.kind = DtdProblem(doc, kind, p, data) ? kReferenceFailed : kReferenceKeep;
        return result;
    }
    DtdEntity* const entity = &found->second;
    if (entity->open) {
        Fail(doc, VEXA_ERROR_ENTITY_RECURSION, p, data);
        result.kind = kReferenceFailed;
        return result;
    }
    bool kept = false;
    if (!WellFormedReplacement(entity, inValue, p, data)) {
        result.kind = kReferenceFailed;
        return result;
    }
    if (inValue) {
        if (!entity->inValue) {
            if (Expand(dtd, entity, true, &entity->valueText, &kept, p, data) == kExpandFailed) {
                result.kind = kReferenceFailed;
                return result;
            }
            entity->inValue = 1;
            entity->valueKept = kept;
            dtd->produced += entity->valueText.size();  // what is kept counts as produced
        }
        dtd->keptInValue = dtd->keptInValue || entity->valueKept;
        result.kind = kReferenceText;
        result.text = &entity->valueText;
        return result;
    }
    if (!entity->content) {
        const int expansion = Expand(dtd, entity, false, &entity->expanded, &kept, p, data);
        if (expansion == kExpandFailed) {
            result.kind = kReferenceFailed;
            return result;
        }
        entity->content = expansion == kExpandedText ? 1 : 2;
        if (entity->content == 2) std::string().swap(entity->expanded);
        dtd->produced += entity->expanded.size();
    }
    result.entity = entity;
    result.kind = entity->content == 1 ? kReferenceText : kReferenceMarkup;
    result.text = &entity->expanded;
    return result;
}

bool Produce(Dtd* dtd, size_t n, const char* p, VexaParsingData* data) {
    if (dtd->produced + dtd->pass + n > dtd->limit) return Fail(data->Document(), VEXA_ERROR_ENTITY_EXPANSION, p, data);
    dtd->pass += n;
    return true;
}

const char* EnterEntity(Dtd* dtd, const Reference& reference, const char* p, VexaElement* current,
                        VexaParsingData* data) {
    VexaDocument* const doc = data->Document();
    DtdEntity* const entity = reference.entity;
    if (dtd->frames.size() >= static_cast<size_t>(kMaxEntityNesting)) {
        return Fail(doc, VEXA_ERROR_ENTITY_DEPTH, p, data), nullptr;
    }
    if (dtd->produced + entity->value.size() > dtd->limit) {
        return Fail(doc, VEXA_ERROR_ENTITY_EXPANSION, p, data), nullptr;
    }
    dtd->produced += entity->value.size();
    const char*& end = Access::End(*data);
    if (dtd->frames.empty()) {
        // What the replacement text makes is located at the reference.
        data->Stamp(p);
        dtd->savedTabSize = Access::TabSize(*data);
        Access::TabSize(*data) = 0;
    }
    dtd->frames.push_back(EntityFrame{entity, current, p, reference.after, end});
    entity->open = true;
    end = entity->value.c_str() + entity->value.size();
    return entity->value.c_str();
}

void Unbalanced(Dtd* dtd, VexaParsingData* data) {
    Fail(data->Document(), VEXA_ERROR_ENTITY_MARKUP, dtd->frames.empty() ? 0 : dtd->frames.back().reference, data);
}

const char* LeaveEntity(Dtd* dtd, VexaElement* current, VexaParsingData* data) {
    const EntityFrame frame = dtd->frames.back();
    if (frame.element != current) {
        Unbalanced(dtd, data);
        return 0;
    }
    frame.entity->open = false;
    dtd->frames.pop_back();
    Access::End(*data) = frame.end;
    if (dtd->frames.empty()) Access::TabSize(*data) = dtd->savedTabSize;
    return frame.resume;
}

namespace {

// Whether a value of a type other than CDATA needs its spaces collapsed.
bool NeedsCollapse(const char* s, size_t n) {
    if (n == 0) return false;
    if (s[0] == ' ' || s[n - 1] == ' ') return true;
    for (size_t i = 1; i < n; ++i) {
        if (s[i] == ' ' && s[i - 1] == ' ') return true;
    }
    return false;
}

// Stores s[0, n) in *chars, in the parse's memory when it has one.
void Store(Chars* chars, VexaMemory* memory, const char* s, size_t n, VexaDocument* doc) {
    if (!memory) Access::NoteAttributeOnHeap(doc);
    CopyAny(chars, memory, s, n);
}

}  // namespace

void ApplyDeclarations(Dtd* dtd, VexaElement* element, const char* p, VexaParsingData* data) {
    const Chars& elementName = Access::Value(*element);
    const char* const name = elementName.c_str();
    const size_t n = elementName.size();
    const unsigned slot = WorkSlot(name, n);
    if (!(dtd->workBits >> slot & 1)) return;
    Dtd::Found& last = dtd->found[slot];
    if (!last.name || last.name->size() != n || std::memcmp(last.name->data(), name, n) != 0) {
        const auto found = dtd->elements.find(std::string(name, n));
        if (found == dtd->elements.end() || !found->second.work) return;
        last.name = &found->first;
        last.decl = &found->second;
    }
    const ElementDecl& declared = *last.decl;
    VexaDocument* const doc = data->Document();
    VexaMemory* const memory = Access::Memory(*data);
    VexaAttributeSet& set = Access::Attributes(*element);
    for (const AttributeDecl& decl : declared.attributes) {
        if (decl.type == kTypeCdata && decl.defaultKind != kDefaultFixed && decl.defaultKind != kDefaultValue) continue;
        VexaAttribute* attribute = set.Find(decl.name.c_str());
        if (attribute) {
            if (decl.type == kTypeCdata) continue;
            Chars& value = Access::MutableValue(*attribute);
            if (!NeedsCollapse(value.c_str(), value.size())) continue;
            std::string text(value.c_str(), value.size());
            Collapse(&text);
            Store(&value, memory, text.data(), text.size(), doc);
            continue;
        }
        if (decl.defaultKind != kDefaultFixed && decl.defaultKind != kDefaultValue) continue;
        attribute = Access::NewAttribute(memory);
        Store(&Access::MutableName(*attribute), memory, decl.name.data(), decl.name.size(), doc);
        Store(&Access::MutableValue(*attribute), memory, decl.value.data(), decl.value.size(), doc);
        Access::SetDefaulted(*attribute, doc);
        data->Stamp(p);
        Access::SetLocation(*attribute, data->Cursor());
        set.Add(attribute);
    }
}

bool IsIdAttribute(const VexaElement& element, const VexaAttribute& attribute) {
    const VexaDocument* const doc = element.GetDocument();
    const Dtd* const dtd = doc ? Access::DtdOf(*doc) : 0;
    if (!dtd) return false;
    auto found = dtd->elements.find(element.ValueStr());
    if (found == dtd->elements.end()) return false;
    for (const AttributeDecl& decl : found->second.attributes) {
        if (decl.name == attribute.Name()) return decl.type == kTypeId;
    }
    return false;
}

size_t KeptReferenceLength(const char* p) {
    if (p[0] != '&') return 0;
    const char* q = p + 1;
    if (!IsNameStartByte(*q)) return 0;
    while (IsNameByte(*++q)) {
    }
    if (*q != ';' || Predefined(p + 1, static_cast<size_t>(q - p - 1))) return 0;
    return static_cast<size_t>(q + 1 - p);
}

void DeleteDtd(Dtd* dtd) { delete dtd; }

Dtd* CopyDtd(const Dtd* dtd) {
    if (!dtd) return 0;
    Dtd* const copy = new Dtd(*dtd);
    copy->frames.clear();
    for (Dtd::Found& f : copy->found) f = Dtd::Found();
    for (auto& entry : copy->general) entry.second.open = false;
    return copy;
}

}  // namespace impl
}  // namespace ORMELA
