// The well-formedness check of strict parsing. It reads the text once, apart
// from the parse that builds the tree, so that the lenient parse stays as it
// is; plain runs of text and values go sixteen bytes at a time.
#include "vexastrict.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vexa.h"
#include "vexaimpl.h"

namespace ORMELA {
namespace impl {

namespace {

// Classes of the ASCII characters for names, white space and public ids;
// kHigh marks the bytes from 0x80 on, which only decoding tells.
enum { kNameChar = 1, kNameStart = 2, kWhite = 4, kPubid = 8, kHigh = 16 };

struct AsciiClasses {
    unsigned char table[256];
    AsciiClasses() : table() {
        for (int c = 128; c < 256; ++c) table[c] = kHigh;
        for (int c = 0; c < 128; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool digit = c >= '0' && c <= '9';
            unsigned char bits = 0;
            if (letter || c == '_' || c == ':') bits |= kNameStart | kNameChar;
            if (digit || c == '-' || c == '.') bits |= kNameChar;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') bits |= kWhite;
            if (letter || digit || (c && std::strchr(" \r\n-'()+,./:=?;!*#@$_%", c))) bits |= kPubid;
            table[c] = bits;
        }
    }
};
const AsciiClasses kAscii;

// Bytes at which a value quoted with '"' (row 0) or '\'' (row 1) needs a
// closer look: its quote, '<', '&', a control byte other than tab, line feed
// and carriage return (the end of the text among them), and bytes from 0x80 on.
// Row 2 is for content, where ']' is looked at instead of a quote.
struct ValueStops {
    unsigned char table[3][256];
    ValueStops() : table() {
        for (int q = 0; q < 3; ++q) {
            for (int c = 0; c < 256; ++c) {
                table[q][c] = (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x80 || c == '<' || c == '&' ||
                              c == (q == 0   ? '"'
                                    : q == 1 ? '\''
                                             : ']');
            }
        }
    }
};
const ValueStops kValueStops;

inline unsigned Byte(const char* q) { return static_cast<unsigned char>(*q); }
inline bool Has(unsigned c, unsigned bits) { return (kAscii.table[c & 0xFF] & bits) != 0; }
inline bool IsWhite(char c) { return Has(static_cast<unsigned char>(c), kWhite); }

// Name characters beyond ASCII, by code point.
bool IsNameStartCode(unsigned long c) {
    if (c < 0x80) return Has(static_cast<unsigned>(c), kNameStart);
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameCode(unsigned long c) {
    if (c < 0x80) return Has(static_cast<unsigned>(c), kNameChar);
    return IsNameStartCode(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Whether the n characters at q are s, ASCII letter case ignored.
bool CaseEqual(const char* q, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (FoldCase(q[i]) != s[i]) return false;
    }
    return true;
}

inline bool StartsWith(const char* q, const char* s) {
    for (; *s; ++q, ++s) {
        if (*q != *s) return false;  // the text's zero ends it too
    }
    return true;
}

// The first byte at or after q that is A, B or C, a control byte other than
// tab, line feed and carriage return (the end of the text among them), or a
// byte from 0x80 on. The stops are constants so that each call sets up nothing.
template <char A, char B, char C>
VEXA_ALWAYS_INLINE const char* SkipPlain(const char* q, const char* end) {
#if defined(VEXA_SCAN_SSE2)
    while (end - q >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        // Signed, bytes from 0x80 on are below 0x20 as well.
        const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
        // Tab and carriage return are the bytes that read 0x0D with bit 2 set.
        const __m128i allowed = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x04)), _mm_set1_epi8('\r')),
                                             _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        __m128i stop = _mm_or_si128(_mm_andnot_si128(allowed, low), _mm_cmpeq_epi8(v, _mm_set1_epi8(A)));
        if (B != A) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8(B)));
        if (C != A && C != B) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8(C)));
        const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (hits) return q + __builtin_ctz(hits);
        q += 16;
    }
#else
    (void)end;
#endif
    for (;; ++q) {
        const unsigned u = Byte(q);
        if (u < 0x20 ? (u != '\t' && u != '\n' && u != '\r')
                     : (u >= 0x80 || u == static_cast<unsigned char>(A) || u == static_cast<unsigned char>(B) ||
                        u == static_cast<unsigned char>(C))) {
            return q;
        }
    }
}

// The first byte at or after q that is no ASCII name character.
inline const char* SkipNameChars(const char* q, const char* end) {
#if defined(VEXA_SCAN_SSE2)
    // Sixteen at a time: letters, '-' to ':' but '/', and '_'.
    while (end - q >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        const __m128i punct = _mm_sub_epi8(v, _mm_set1_epi8('-'));
        const __m128i name =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(25)), letter),
                                      _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('/')),
                                                       _mm_cmpeq_epi8(_mm_min_epu8(punct, _mm_set1_epi8(13)), punct))),
                         _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xFFFFu;
        if (other) return q + __builtin_ctz(other);
        q += 16;
    }
#else
    (void)end;
#endif
    while (kAscii.table[Byte(q)] & kNameChar) ++q;
    return q;
}

// Whether the n bytes at a and at b are the same, where a < b and b + n is
// within the text, before its end.
inline bool SameBytes(const char* a, const char* b, size_t n, const char* end) {
#if defined(VEXA_SCAN_SSE2)
    if (n <= 16 && end - b >= 16) {
        // Sixteen bytes at a are there too, as a comes first.
        const unsigned same = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)))));
        const unsigned wanted = (1u << n) - 1;
        return (same & wanted) == wanted;
    }
#else
    (void)end;
#endif
    return std::memcmp(a, b, n) == 0;
}

// The first byte at or after q that stops marks, four a round. Each byte
// is read only after the one before it passed, so never beyond the text's
// terminating zero, which every stop table marks.
inline const char* SkipUnmarked(const char* q, const unsigned char* stops) {
    for (;; q += 4) {
        if (stops[Byte(q)]) return q;
        if (stops[Byte(q + 1)]) return q + 1;
        if (stops[Byte(q + 2)]) return q + 2;
        if (stops[Byte(q + 3)]) return q + 3;
    }
}

class Checker {
public:
    Checker(const char* text, const char* end, StrictMode mode, StrictForm form, unsigned flags)
        : begin(text),
          end(end),
          mode(mode),
          form(form),
          code(VEXA_ERROR_NONE),
          at(text),
          doctype(false),
          subset((flags & kStrictDeclared) != 0),
          piece((flags & kStrictPiece) != 0),
          externalId(false),
          standaloneYes(false),
          root(false),
          hashed(false) {}

    bool Run(StrictFault* fault);

private:
    const char* Fail(int c, const char* where) {
        code = c;
        at = where;
        return 0;
    }
    size_t Decode(const char* q, unsigned long* cp) const;
    const char* Character(const char* q);
    const char* MixedRun(const char* q, const unsigned char* stops);
    // Four bytes a round: a line break and an indent mostly end in it.
    const char* SkipWhite(const char* q) const {
        for (;; q += 4) {
            if (!IsWhite(q[0])) return q;
            if (!IsWhite(q[1])) return q + 1;
            if (!IsWhite(q[2])) return q + 2;
            if (!IsWhite(q[3])) return q + 3;
        }
    }
    inline const char* Name(const char* q);
    const char* NameBeyondAscii(const char* q, bool start);
    const char* Reference(const char* q);
    const char* XmlDeclaration(const char* q);
    const char* Pi(const char* q);
    const char* Comment(const char* q);
    const char* Cdata(const char* q);
    const char* Doctype(const char* q);
    const char* Literal(const char* q, bool pubid, const char* construct);
    const char* Subset(const char* q, const char* construct);
    const char* OpenTag(const char* q, bool* empty);
    const char* StartTag(const char* q, const char* r, bool* empty);
    const char* EndTag(const char* q);
    const char* Element(const char* q);
    bool AmongFirst(const char* name, size_t n, size_t count) const;
    bool RepeatedBeyond(const char* name, size_t n);

    const char* const begin;
    const char* const end;
    StrictMode mode;
    const StrictForm form;
    int code;
    const char* at;
    bool doctype;                                       // a DOCTYPE was read
    bool subset;                                        // it has an internal subset
    const bool piece;                                   // one piece of a document: no root needed
    bool externalId;                                    // it names an external subset
    bool standaloneYes;                                 // the declaration says standalone="yes"
    bool root;                                          // the root element was read
    bool hashed;                                        // names of the current start tag are in nameSet
    std::vector<std::pair<const char*, size_t> > open;  // names of the open elements
    std::pair<const char*, size_t> firstNames[16];      // attribute names of the current start tag
    std::unordered_set<std::string_view> nameSet;       // all of them, for a tag with more
};

// Length of the character at q and its code point in *cp; 0 at the end of
// the text and where the bytes are no character of the text's encoding.
size_t Checker::Decode(const char* q, unsigned long* cp) const {
    const unsigned c = Byte(q);
    if (c < 0x80 || mode != kStrictUtf8) {
        // An encoding not decoded here: a byte from 0x80 on counts as a letter.
        *cp = (c >= 0x80 && mode == kStrictBytes) ? 0xFF : c;
        return c || q != end ? 1 : 0;
    }
    unsigned n;
    unsigned long value;
    unsigned low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        value = c & 0x0F;
        if (c == 0xE0) low = 0xA0;   // no overlong form
        if (c == 0xED) high = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        value = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;  // nothing above 0x10FFFF
    } else {
        return 0;
    }
    for (unsigned i = 1; i < n; ++i) {
        const unsigned b = Byte(q + i);  // the terminating zero stops this
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    *cp = value;
    return n;
}

// The position after the character at q, or null when it is none XML allows.
const char* Checker::Character(const char* q) {
    unsigned long cp;
    const size_t n = Decode(q, &cp);
    if (!n || !IsDocumentChar(cp)) return Fail(VEXA_ERROR_CHARACTER, q);
    return q + n;
}

// From a byte beyond ASCII at q, a byte at a time: characters beyond ASCII,
// and ASCII bytes that stops does not mark, as text in a language written
// beyond ASCII mixes them. The first byte stops marks, or null at a fault.
const char* Checker::MixedRun(const char* q, const unsigned char* stops) {
    const bool utf8 = mode == kStrictUtf8;  // read once: Character() may store
    for (;;) {
        const unsigned c = Byte(q);
        if (c < 0x80) {
            if (stops[c]) return q;
            ++q;
            continue;
        }
        // The commonest forms in line: two bytes, and three below U+D000
        // (no surrogate, no U+FFFE or U+FFFF among them).
        const unsigned b = Byte(q + 1);
        if (utf8 && (b & 0xC0) == 0x80) {
            if (c >= 0xC2 && c <= 0xDF) {
                q += 2;
                continue;
            }
            if (c >= 0xE1 && c <= 0xEC && (Byte(q + 2) & 0xC0) == 0x80) {
                q += 3;
                continue;
            }
        }
        q = Character(q);
        if (!q) return 0;
    }
}

// The position after the name at q; null when no name starts there. A name
// ends at the first character that no name holds. ASCII in line, the rest
// decoded out of line.
inline const char* Checker::Name(const char* q) {
    const unsigned char* const table = kAscii.table;
    if (table[Byte(q)] & kNameStart) {
        ++q;
    } else if (!(table[Byte(q)] & kHigh)) {
        return Fail(q == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_NAME, q);
    } else {
        return NameBeyondAscii(q, true);
    }
    q = SkipNameChars(q, end);
    return (table[Byte(q)] & kHigh) ? NameBeyondAscii(q, false) : q;
}

// Name() from a byte beyond ASCII at q, which starts the name when start.
VEXA_NOINLINE const char* Checker::NameBeyondAscii(const char* q, bool start) {
    for (;;) {
        const unsigned c = Byte(q);
        if (c < 0x80) {
            if (!(kAscii.table[c] & kNameChar)) return q;
            ++q;
            continue;
        }
        unsigned long cp;
        const size_t n = Decode(q, &cp);
        if (!n || !IsDocumentChar(cp)) return Fail(VEXA_ERROR_CHARACTER, q);
        if (!(start ? IsNameStartCode(cp) : IsNameCode(cp))) return start ? Fail(VEXA_ERROR_NAME, q) : q;
        start = false;
        q += n;
    }
}

// The reference at the '&' at q: a character reference to a character, one
// of the five predefined entities, or an entity that may be declared.
const char* Checker::Reference(const char* q) {
    if (q[1] == '#') {
        const bool hex = q[2] == 'x';
        const char* r = q + (hex ? 3 : 2);
        const char* const digits = r;
        unsigned long value = 0;
        for (;; ++r) {
            unsigned d;
            const char c = *r;
            if (c >= '0' && c <= '9') {
                d = static_cast<unsigned>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                d = static_cast<unsigned>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                d = static_cast<unsigned>(c - 'A' + 10);
            } else {
                break;
            }
            if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + d;
        }
        if (r == digits || *r != ';' || !IsDocumentChar(value)) return Fail(VEXA_ERROR_CHARACTER_REFERENCE, q);
        return r + 1;
    }
    const char* const name = q + 1;
    const char* const after = Name(name);
    if (!after || *after != ';') return Fail(VEXA_ERROR_REFERENCE, q);
    const size_t n = static_cast<size_t>(after - name);
    static const char* const predefined[] = {"amp", "lt", "gt", "quot", "apos"};
    for (const char* known : predefined) {
        if (std::strlen(known) == n && std::memcmp(known, name, n) == 0) return after + 1;
    }
    // Declarations can only be in a DTD; without an internal subset, and
    // without an external one that a reader might not read, none is there.
    if (!subset && (!externalId || standaloneYes)) return Fail(VEXA_ERROR_UNDEFINED_ENTITY, q);
    return after + 1;
}

// The XML declaration at q: version, then encoding and standalone, each
// optional, in that order.
const char* Checker::XmlDeclaration(const char* q) {
    const char* r = q + 5;
    bool named = false;
    const char* value = 0;
    // Reads Eq and a quoted value into value, from r; the position after the
    // closing quote, or null.
    const auto quoted = [&](const char* s, bool (*valid)(const char*, size_t)) -> const char* {
        s = SkipWhite(s);
        if (*s != '=') return Fail(s == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DECLARATION, s == end ? q : s);
        s = SkipWhite(s + 1);
        const char quote = *s;
        if (quote != '"' && quote != '\'') return Fail(VEXA_ERROR_DECLARATION, s);
        value = s + 1;
        const char* close = value;
        while (*close && *close != quote && *close != '?' && *close != '>') ++close;
        if (*close != quote || !valid(value, static_cast<size_t>(close - value))) {
            return Fail(VEXA_ERROR_DECLARATION, value);
        }
        return close + 1;
    };
    if (!IsWhite(*r)) return Fail(VEXA_ERROR_DECLARATION, r);
    r = SkipWhite(r);
    if (!StartsWith(r, "version")) return Fail(VEXA_ERROR_DECLARATION, r);
    r = quoted(r + 7, [](const char* v, size_t n) {
        if (n < 3 || v[0] != '1' || v[1] != '.') return false;
        for (size_t i = 2; i < n; ++i) {
            if (v[i] < '0' || v[i] > '9') return false;
        }
        return true;
    });
    if (!r) return 0;
    const char* s = SkipWhite(r);
    if (s != r && StartsWith(s, "encoding")) {
        r = quoted(s + 8, [](const char* v, size_t n) {
            if (n == 0 || !(Has(Byte(v), kNameStart) && *v != '_' && *v != ':')) return false;
            for (size_t i = 1; i < n; ++i) {
                if (!Has(Byte(v + i), kNameChar) || v[i] == ':') return false;
            }
            return true;
        });
        if (!r) return 0;
        // A byte order mark or UTF-16 tells the encoding; the name must agree.
        const bool utf16 =
            CaseEqual(value, "utf-16", 6) || CaseEqual(value, "iso-10646-ucs-2", 15) || CaseEqual(value, "ucs-2", 5);
        const bool utf8 = CaseEqual(value, "utf-8", 5) && value[5] == value[-1];
        if (utf16 != (form == kStrictFromUtf16) || (form == kStrictUtf8Mark && !utf8)) {
            return Fail(VEXA_ERROR_DECLARATION, value);
        }
        named = true;
        s = SkipWhite(r);
    }
    if (s != r && StartsWith(s, "standalone")) {
        r = quoted(s + 10, [](const char* v, size_t n) {
            return (n == 3 && std::memcmp(v, "yes", 3) == 0) || (n == 2 && std::memcmp(v, "no", 2) == 0);
        });
        if (!r) return 0;
        standaloneYes = *value == 'y';
        s = SkipWhite(r);
    }
    if (mode == kStrictUndeclared) mode = named ? kStrictLatin1 : kStrictUtf8;
    if (s[0] == '?' && s[1] == '>') return s + 2;
    if (s == end) return Fail(VEXA_ERROR_UNCLOSED, q);
    return Fail(VEXA_ERROR_DECLARATION, s);
}

// A processing instruction at q, whose target is not "xml" in any case.
const char* Checker::Pi(const char* q) {
    const char* const target = q + 2;
    const char* r = Name(target);
    if (!r) return code == VEXA_ERROR_CHARACTER ? 0 : Fail(VEXA_ERROR_PI, target);
    if (r - target == 3 && FoldCase(target[0]) == 'x' && FoldCase(target[1]) == 'm' && FoldCase(target[2]) == 'l') {
        return Fail(std::memcmp(target, "xml", 3) == 0 ? VEXA_ERROR_DECLARATION_PLACE : VEXA_ERROR_PI,
                    std::memcmp(target, "xml", 3) == 0 ? q : target);
    }
    if (r[0] == '?' && r[1] == '>') return r + 2;
    if (!IsWhite(*r)) return Fail(r == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_PI, r == end ? q : r);
    for (;;) {
        r = SkipPlain<'?', '?', '?'>(r, end);
        if (*r == '?') {
            if (r[1] == '>') return r + 2;
            ++r;
        } else if (r == end) {
            return Fail(VEXA_ERROR_UNCLOSED, q);
        } else if (!(r = Character(r))) {
            return 0;
        }
    }
}

// A comment at q: no "--" inside, so none ends in "--->".
const char* Checker::Comment(const char* q) {
    const char* r = q + 4;
    for (;;) {
        r = SkipPlain<'-', '-', '-'>(r, end);
        if (*r == '-') {
            if (r[1] == '-') return r[2] == '>' ? r + 3 : Fail(VEXA_ERROR_COMMENT_HYPHENS, r);
            ++r;
        } else if (r == end) {
            return Fail(VEXA_ERROR_UNCLOSED, q);
        } else if (!(r = Character(r))) {
            return 0;
        }
    }
}

// A CDATA section at q, inside the root element.
const char* Checker::Cdata(const char* q) {
    const char* r = q + 9;
    for (;;) {
        r = SkipPlain<']', ']', ']'>(r, end);
        if (*r == ']') {
            if (r[1] == ']' && r[2] == '>') return r + 3;
            ++r;
        } else if (r == end) {
            return Fail(VEXA_ERROR_UNCLOSED, q);
        } else if (!(r = Character(r))) {
            return 0;
        }
    }
}

// A quoted system literal, or with pubid a public id literal, at q.
const char* Checker::Literal(const char* q, bool pubid, const char* construct) {
    const char quote = *q;
    if (quote != '"' && quote != '\'')
        return Fail(q == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DOCTYPE, q == end ? construct : q);
    for (const char* r = q + 1;;) {
        if (*r == quote) return r + 1;
        if (r == end) return Fail(VEXA_ERROR_UNCLOSED, construct);
        if (pubid && !Has(Byte(r), kPubid)) return Fail(VEXA_ERROR_DOCTYPE, r);
        if (!(r = Character(r))) return 0;
    }
}

// The internal subset from just after its '[' to just after its ']'. Its
// declarations are read elsewhere; here only its characters, comments and
// processing instructions are checked, and where it ends.
const char* Checker::Subset(const char* q, const char* construct) {
    for (;;) {
        const char c = *q;
        if (c == ']') return q + 1;
        if (c == '"' || c == '\'') {
            const char* r = q + 1;
            while (*r != c) {
                if (r == end) return Fail(VEXA_ERROR_UNCLOSED, construct);
                if (!(r = Character(r))) return 0;
            }
            q = r + 1;
        } else if (StartsWith(q, "<!--")) {
            q = Comment(q);
        } else if (StartsWith(q, "<?")) {
            q = Pi(q);
            // No XML declaration belongs in a subset: the target is the fault.
            if (!q && code == VEXA_ERROR_DECLARATION_PLACE) Fail(VEXA_ERROR_PI, at + 2);
        } else if (q == end) {
            return Fail(VEXA_ERROR_UNCLOSED, construct);
        } else {
            q = Character(q);
        }
        if (!q) return 0;
    }
}

// The document type declaration at q: name, external id, internal subset.
const char* Checker::Doctype(const char* q) {
    if (doctype || root) return Fail(VEXA_ERROR_DOCTYPE, q);
    doctype = true;
    const char* r = q + 9;
    if (!IsWhite(*r)) return Fail(r == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DOCTYPE, r == end ? q : r);
    r = Name(SkipWhite(r));
    if (!r) return 0;
    const char* s = SkipWhite(r);
    const bool system = StartsWith(s, "SYSTEM");
    if (s != r && (system || StartsWith(s, "PUBLIC"))) {
        externalId = true;
        r = s + 6;
        if (!IsWhite(*r)) return Fail(r == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DOCTYPE, r == end ? q : r);
        r = SkipWhite(r);
        if (!system) {
            r = Literal(r, true, q);
            if (!r) return 0;
            if (!IsWhite(*r)) return Fail(r == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DOCTYPE, r == end ? q : r);
            r = SkipWhite(r);
        }
        r = Literal(r, false, q);
        if (!r) return 0;
        s = SkipWhite(r);
    }
    if (*s == '[') {
        subset = true;
        s = Subset(s + 1, q);
        if (!s) return 0;
        s = SkipWhite(s);
    }
    if (*s == '>') return s + 1;
    return Fail(s == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_DOCTYPE, s == end ? q : s);
}

// Whether the name of n bytes at name is among the first count names of the
// current start tag.
VEXA_NOINLINE bool Checker::AmongFirst(const char* name, size_t n, size_t count) const {
    for (size_t i = 0; i < count; ++i) {
        const std::pair<const char*, size_t>& other = firstNames[i];
        if (other.second == n && other.first[0] == name[0] && std::memcmp(other.first, name, n) == 0) return true;
    }
    return false;
}

// Whether a name beyond the first sixteen of a start tag came before in it:
// with that many, a table keeps the check linear.
VEXA_NOINLINE bool Checker::RepeatedBeyond(const char* name, size_t n) {
    if (!hashed) {
        nameSet.clear();
        for (const auto& other : firstNames) nameSet.insert(std::string_view(other.first, other.second));
        hashed = true;
    }
    return !nameSet.insert(std::string_view(name, n)).second;
}

// The start tag at q from the end of its name at r, the element open already.
// It stays open unless *empty.
const char* Checker::StartTag(const char* q, const char* r, bool* empty) {
    // The first sixteen attribute names are kept with a bit each in summary
    // (of their length and end bytes): a name whose bit is new is new, and
    // most are, with no comparison.
    size_t nameCount = 0;
    std::uint64_t summary = 0;
    hashed = false;
    bool afterValue = false;
    for (;;) {
        const char* s = SkipWhite(r);
        if (*s == '>') {
            *empty = false;
            return s + 1;
        }
        if (*s == '/') {
            if (s[1] != '>')
                return Fail(s[1] || s + 1 != end ? VEXA_ERROR_SYNTAX : VEXA_ERROR_UNCLOSED, s[1] ? s + 1 : q);
            *empty = true;
            open.pop_back();
            return s + 2;
        }
        if (s == end) return Fail(VEXA_ERROR_UNCLOSED, q);
        if (s == r) return Fail(afterValue ? VEXA_ERROR_ATTRIBUTE_SPACE : VEXA_ERROR_NAME, s);
        const char* const name = s;
        r = Name(s);
        if (!r) return 0;
        s = SkipWhite(r);
        if (*s != '=') {
            if (s == end) return Fail(VEXA_ERROR_UNCLOSED, q);
            return Fail(s == r && !IsWhite(*s) && *s != '>' && *s != '/' ? VEXA_ERROR_NAME : VEXA_ERROR_ATTRIBUTE_VALUE,
                        s);
        }
        s = SkipWhite(s + 1);
        const char quote = *s;
        if (quote != '"' && quote != '\'')
            return Fail(s == end ? VEXA_ERROR_UNCLOSED : VEXA_ERROR_UNQUOTED_VALUE, s == end ? q : s);
        // Mostly short: a byte at a time.
        const unsigned char* const stops = kValueStops.table[quote == '\''];
        for (++s;;) {
            s = SkipUnmarked(s, stops);
            if (*s == quote) break;
            if (*s == '<') return Fail(VEXA_ERROR_LESS_THAN_IN_VALUE, s);
            if (*s == '&') {
                s = Reference(s);
            } else if (s == end) {
                return Fail(VEXA_ERROR_UNCLOSED, q);
            } else {
                s = Byte(s) >= 0x80 ? MixedRun(s, stops) : Character(s);
            }
            if (!s) return 0;
        }
        const size_t n = static_cast<size_t>(r - name);
        if (nameCount < 16) {
            const std::uint64_t bit = std::uint64_t(1)
                                      << ((Byte(name) + Byte(r - 1) * 8u + static_cast<unsigned>(n) * 3u) & 63u);
            if ((summary & bit) && AmongFirst(name, n, nameCount)) return Fail(VEXA_ERROR_REPEATED_ATTRIBUTE, name);
            summary |= bit;
            firstNames[nameCount++] = std::make_pair(name, n);
        } else if (RepeatedBeyond(name, n)) {
            return Fail(VEXA_ERROR_REPEATED_ATTRIBUTE, name);
        }
        r = s + 1;
        afterValue = true;
    }
}

// The start tag at q, its name read here and the element opened; a tag
// with more than its name goes on in StartTag().
VEXA_NOINLINE const char* Checker::OpenTag(const char* q, bool* empty) {
    const char* const r = Name(q + 1);
    if (!r) return 0;
    open.push_back(std::make_pair(q + 1, static_cast<size_t>(r - q - 1)));
    if (*r == '>') {
        *empty = false;
        return r + 1;
    }
    return StartTag(q, r, empty);
}

// The end tag at q, which must close the element open last.
const char* Checker::EndTag(const char* q) {
    const char* const name = q + 2;
    // Mostly the very name open last, then '>': the same bytes make the same
    // name, read already.
    const std::pair<const char*, size_t>& last = open.back();
    if (static_cast<size_t>(end - name) > last.second && name[last.second] == '>' &&
        SameBytes(last.first, name, last.second, end)) {
        open.pop_back();
        return name + last.second + 1;
    }
    const char* r = Name(name);
    if (!r) return 0;
    const char* s = SkipWhite(r);
    if (*s != '>') {
        if (s == end) return Fail(VEXA_ERROR_UNCLOSED, q);
        return Fail(s == r && !IsWhite(*s) ? VEXA_ERROR_NAME : VEXA_ERROR_SYNTAX, s);
    }
    const std::pair<const char*, size_t>& top = open.back();
    if (top.second != static_cast<size_t>(r - name) || std::memcmp(top.first, name, top.second) != 0) {
        return Fail(VEXA_ERROR_MISMATCHED_TAG, q);
    }
    open.pop_back();
    return s + 1;
}

// The root element at q with all its content, in one loop.
const char* Checker::Element(const char* q) {
    bool empty = false;
    q = OpenTag(q, &empty);
    if (!q || empty) return q;
    for (;;) {
        q = SkipPlain<'<', '&', ']'>(q, end);
        switch (*q) {
            case '<':
                if (q[1] == '/') {
                    q = EndTag(q);
                    if (q && open.empty()) return q;
                } else if (q[1] == '?') {
                    q = Pi(q);
                } else if (q[1] == '!') {
                    if (StartsWith(q, "<!--")) {
                        q = Comment(q);
                    } else if (StartsWith(q, "<![CDATA[")) {
                        q = Cdata(q);
                    } else {
                        return Fail(StartsWith(q, "<!DOCTYPE") ? VEXA_ERROR_DOCTYPE : VEXA_ERROR_SYNTAX, q);
                    }
                } else {
                    q = OpenTag(q, &empty);
                }
                break;
            case '&':
                q = Reference(q);
                break;
            case ']':
                if (q[1] == ']' && q[2] == '>') return Fail(VEXA_ERROR_CDATA_END_IN_TEXT, q);
                ++q;
                break;
            default:
                // The '<' of the innermost element still open.
                if (q == end) return Fail(VEXA_ERROR_UNCLOSED, open.back().first - 1);
                q = Byte(q) >= 0x80 ? MixedRun(q, kValueStops.table[2]) : Character(q);
                break;
        }
        if (!q) return 0;
    }
}

bool Checker::Run(StrictFault* fault) {
    const char* q = begin;
    if (StartsWith(q, "<?xml") && !Has(Byte(q + 5), kNameChar) && Byte(q + 5) < 0x80) q = XmlDeclaration(q);
    if (mode == kStrictUndeclared) mode = kStrictUtf8;
    while (q) {
        q = SkipWhite(q);
        if (q == end) {
            if (!root && !piece) Fail(VEXA_ERROR_NO_ROOT, q);
            break;
        }
        if (*q != '<') {
            if (Character(q)) Fail(root ? VEXA_ERROR_AFTER_ROOT : VEXA_ERROR_OUTSIDE_ELEMENT, q);
            break;
        }
        if (q[1] == '?') {
            q = Pi(q);
        } else if (StartsWith(q, "<!--")) {
            q = Comment(q);
        } else if (StartsWith(q, "<!DOCTYPE")) {
            q = Doctype(q);
        } else if (root) {
            Fail(VEXA_ERROR_AFTER_ROOT, q);
            break;
        } else if (q[1] == '!' || q[1] == '/') {
            Fail(StartsWith(q, "<![CDATA[") ? VEXA_ERROR_CDATA : VEXA_ERROR_SYNTAX, q);
            break;
        } else {
            q = Element(q);
            root = true;
        }
    }
    if (code == VEXA_ERROR_NONE) return true;
    fault->code = code;
    fault->at = at;
    return false;
}

}  // namespace

bool CheckWellFormed(const char* text, const char* end, StrictMode mode, StrictForm form, StrictFault* fault,
                     unsigned flags) {
    Checker checker(text, end, mode, form, flags);
    return checker.Run(fault);
}

}  // namespace impl
}  // namespace ORMELA
