// Lexical layer, locations, node dispatch, the parsers and the stream readers.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "vexa.h"
#include "vexadtd.h"
#include "vexaencoding.h"
#include "vexaimpl.h"
#include "vexamemory.h"
#include "vexastrict.h"

namespace ORMELA {

namespace impl {

#define VEXA_S kSpace
#define VEXA_A kAlpha
#define VEXA_D kDigit
#define VEXA_P kNamePunct
const unsigned char kCharClass[256] = {
    0,      0,      0,      0,      0,      0,      0,      0,
    0,      VEXA_S, VEXA_S, VEXA_S, VEXA_S, VEXA_S, 0,      0,  // 0x00
    0,      0,      0,      0,      0,      0,      0,      0,
    0,      0,      0,      0,      0,      0,      0,      0,  // 0x10
    VEXA_S, 0,      0,      0,      0,      0,      0,      0,
    0,      0,      0,      0,      0,      VEXA_P, VEXA_P, 0,       // 0x20: - .
    VEXA_D, VEXA_D, VEXA_D, VEXA_D, VEXA_D, VEXA_D, VEXA_D, VEXA_D,  // 0x30: 0-7
    VEXA_D, VEXA_D, VEXA_P, 0,      0,      0,      0,      0,       // 0x38: 8 9 :
    0,      VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x40
    VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x48
    VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x50
    VEXA_A, VEXA_A, VEXA_A, 0,      0,      0,      0,      VEXA_P,  // 0x58: _
    0,      VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x60
    VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x68
    VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A, VEXA_A,  // 0x70
    VEXA_A, VEXA_A, VEXA_A, 0,      0,      0,      0,      0,       // 0x78
};
#undef VEXA_S
#undef VEXA_A
#undef VEXA_D
#undef VEXA_P

bool UnknownScanner::EndsWith(const char* tail) const {
    const size_t n = std::strlen(tail);
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>((history >> (8 * i)) & 0xFF);
        if (c != tail[n - 1 - i]) return false;
    }
    return true;
}

bool UnknownScanner::Feed(char c) {
    history = (history << 8) | static_cast<unsigned char>(c);
    switch (state) {
        case kPrefix: {
            static const char doctype[] = "<!DOCTYPE";
            static const char cdata[] = "<![CDATA[";
            if (maybeDoctype && c != doctype[count]) maybeDoctype = false;
            if (maybeCdata && c != cdata[count]) maybeCdata = false;
            if (maybePi && c != "<?"[count]) maybePi = false;
            ++count;
            if (count == 2 && maybePi) {
                // A '>' inside an instruction does not end it; its own "?"
                // may not close it either ("<?>").
                state = kInstruction;
                history = 0;
            } else if (count == sizeof doctype - 1 && maybeDoctype) {
                state = kDoctype;
            } else if (count == sizeof cdata - 1 && maybeCdata) {
                state = kCdata;
                history = 0;
            } else if (!maybeDoctype && !maybeCdata && !maybePi) {
                state = kPlain;
                return c == '>';
            }
            return false;
        }
        case kPlain:
            return c == '>';
        case kDoctype:
            if (c == '[') state = kSubset;
            return c == '>';
        case kSubset:
            if (c == '"' || c == '\'') {
                quote = c;
                state = kQuote;
            } else if (c == ']') {
                state = kAfterSubset;
            } else if (EndsWith("<!--")) {
                state = kComment;
                history = 0;
            } else if (EndsWith("<?")) {
                state = kPi;
                history = 0;
            }
            return false;
        case kQuote:
            if (c == quote) state = kSubset;
            return false;
        case kComment:
            if (EndsWith("-->")) state = kSubset;
            return false;
        case kPi:
            if (EndsWith("?>")) state = kSubset;
            return false;
        case kAfterSubset:
            return c == '>';
        case kCdata:
            return EndsWith("]]>");
        case kInstruction:
            return EndsWith("?>");
    }
    return false;
}

}  // namespace impl

namespace {

using impl::FoldCase;
using impl::IsAsciiAlpha;
using impl::IsSpaceByte;
using impl::kCharClass;

// Whether the parse that data tracks condenses white space in text: the
// document's setting, or the process-wide default. data may be null.
inline bool Condensing(const VexaParsingData* data) { return impl::CondensesWhiteSpace(data ? data->Document() : 0); }

// Name bytes for the scanning loop: 1 for a name character, 0 for the rest,
// and 2 beside the 1 for one that may start a name. Bytes beyond ASCII are
// name characters whatever the locale: they are the multi-byte characters
// of UTF-8 names, or the letters of a legacy encoding.
struct NameBytes {
    unsigned char table[256];
    NameBytes() : table() {
        for (int c = 0; c < 256; ++c) {
            const bool any = c >= 0x80 || (kCharClass[c] != 0 && !(kCharClass[c] & impl::kSpace));
            const bool start = c >= 0x80 || (kCharClass[c] & impl::kAlpha) || c == '_' || c == ':';
            table[c] = static_cast<unsigned char>((any ? 1 : 0) | (start ? 2 : 0));
        }
    }
};
const NameBytes kNameBytes;

inline bool IsNameStart(char c) { return (kNameBytes.table[static_cast<unsigned char>(c)] & 2) != 0; }

// The first byte at or after p that is no name character.
inline const char* SkipName(const char* p) {
    const unsigned char* const t = kNameBytes.table;
    while (t[static_cast<unsigned char>(*p)] & 1) ++p;
    return p;
}

// Bytes that end a plain run of character data, for the delimiters the
// parsers use: the end of the text, '&', the delimiter and, when condensing,
// white space.
struct StopTables {
    unsigned char table[6][256];
    // For attribute values read as XML reads them: the same stops, and
    // every byte below 0x0E (tab, line feed and carriage return among them).
    unsigned char normalizing[3][256];
    StopTables() : table(), normalizing() {
        const char delimiters[3] = {'<', '"', '\''};
        for (int d = 0; d < 3; ++d) {
            for (int condense = 0; condense < 2; ++condense) {
                unsigned char* t = table[d * 2 + condense];
                for (int c = 0; c < 256; ++c) {
                    t[c] = (c == 0 || c == '&' || c == static_cast<unsigned char>(delimiters[d]) ||
                            (condense && IsSpaceByte(static_cast<char>(c))))
                               ? 1
                               : 0;
                }
            }
            for (int c = 0; c < 256; ++c) normalizing[d][c] = table[d * 2][c] || c < 0x0E;
        }
    }
};
const StopTables kStops;

const unsigned char* StopTableFor(char lower, char upper, bool condense) {
    if (lower != upper) return 0;
    const int d = lower == '<' ? 0 : lower == '"' ? 1 : lower == '\'' ? 2 : -1;
    return d < 0 ? 0 : kStops.table[d * 2 + (condense ? 1 : 0)];
}

// Value of a hexadecimal digit of a short character reference; other
// characters give what the arithmetic gives, as the reference rules say.
int HexDigit(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 ? IsAsciiAlpha(c) : std::isalpha(u) != 0) return static_cast<unsigned char>(FoldCase(c)) - 0x57;
    return u - 0x30;
}

// Reads a well-formed numeric reference "&#D...;" or "&#xH...;" (lower-case
// x) at p. Returns the position after its ';' and the code point in *cp
// (capped above 0x10FFFF, however many digits), or null for any other form.
const char* ReadNumericReference(const char* p, unsigned long* cp) {
    if (p[0] != '&' || p[1] != '#') return 0;
    const bool hex = p[2] == 'x';
    const char* q = p + (hex ? 3 : 2);
    const char* const digits = q;
    unsigned long value = 0;
    for (;; ++q) {
        int d;
        const char c = *q;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            break;
        }
        if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
    }
    if (q == digits || *q != ';') return 0;
    *cp = value;
    return q + 1;
}

bool IsXmlChar(unsigned long cp) {
    return cp != 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
}

// Where decoded text goes: the end of a string, or a buffer the caller made
// large enough (CountOut below measures it).
struct StringOut {
    std::string* text;
    void Put(char c) { text->push_back(c); }
    void Put(const char* s, size_t n) { text->append(s, n); }
};

struct BufferOut {
    char* at;
    void Put(char c) { *at++ = c; }
    void Put(const char* s, size_t n) {
        std::memcpy(at, s, n);
        at += n;
    }
};

// Decodes the reference at the '&' at p by the rules of the encoding and
// puts what it stands for; returns the position after it. What is not a
// reference the encoding decodes stays literal: the '&' is put and the
// rest is read as text.
template <class Out>
const char* AppendReference(const char* p, int encoding, Out& out) {
    if (encoding != VEXA_ENCODING_LEGACY && p[1] == '#') {
        unsigned long cp = 0;
        const char* after = ReadNumericReference(p, &cp);
        if (after && IsXmlChar(cp) && (encoding == VEXA_ENCODING_UTF8 || cp < 0x80)) {
            char bytes[4];
            out.Put(bytes, impl::EncodeUtf8(cp, bytes));
            return after;
        }
        out.Put('&');
        return p + 1;
    }
    char c;
    p = VexaBase::GetEntity(p, &c);
    out.Put(c);
    return p;
}

// Whether the text at p is the closing tag "</name>", letter case ignored,
// with white space allowed before its '>'. limit, when known, is the end of
// the text.
size_t ClosingTagLength(const char* p, const impl::Chars& chars, const char* limit) {
    if (p[0] != '<' || p[1] != '/') return 0;
    const char* q = p + 2;
    const char* const name = chars.c_str();
    const size_t n = chars.size();
    size_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Mostly the name is written exactly: eight bytes at a time, as far as
    // both the text and the name's storage can be read a word at a time.
    const size_t words = (n + 7) & ~static_cast<size_t>(7);
    if (limit && static_cast<size_t>(limit - q) >= words) {
        std::uint64_t a, b;
        for (; i + 8 <= n; i += 8) {
            std::memcpy(&a, q + i, 8);
            std::memcpy(&b, name + i, 8);
            if (a != b) break;  // letter case or another name: byte by byte from here
        }
        if (i + 8 > n && i < n && words <= chars.Room()) {
            std::memcpy(&a, q + i, 8);
            std::memcpy(&b, name + i, 8);
            // Only the name's own bytes count.
            if (((a ^ b) & ((std::uint64_t(1) << ((n - i) * 8)) - 1)) == 0) i = n;
        }
    }
#else
    (void)limit;
#endif
    for (q += i; i < n; ++i, ++q) {
        // Names hold no zero byte, so an exact match is never the end.
        if (*q != name[i] && (!*q || FoldCase(*q) != FoldCase(name[i]))) return 0;
    }
    while (IsSpaceByte(*q)) ++q;
    return *q == '>' ? static_cast<size_t>(q + 1 - p) : 0;
}

// The first byte below 0x0E in [p, now), or now, a block at a time; with
// kBeyondAscii also the first byte from 0x80 on (UTF-8 bytes, whose columns
// are counted apart). origin is where the text starts: the last block is
// read ending at now (bytes before p are valid too), so that short spans
// need no byte loop. In the eight-byte form a flag can be false above a byte
// that borrowed, never missing; callers treat a flagged ordinary byte as one
// column.
template <bool kBeyondAscii>
const char* FirstControl(const char* p, const char* now, const char* origin) {
#if defined(VEXA_SCAN_SSE2)
    const __m128i last = _mm_set1_epi8(0x0D), limit = _mm_set1_epi8(0x0E);
    // Signed, bytes from 0x80 on are below 0x0E as well.
    const auto flags = [&](__m128i v) {
        return static_cast<unsigned>(
            _mm_movemask_epi8(kBeyondAscii ? _mm_cmplt_epi8(v, limit) : _mm_cmpeq_epi8(_mm_min_epu8(v, last), v)));
    };
    while (now - p >= 16) {
        const unsigned hits = flags(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (hits) return p + __builtin_ctz(hits);
        p += 16;
    }
    if (p < now && now - origin >= 16) {
        const unsigned hits = flags(_mm_loadu_si128(reinterpret_cast<const __m128i*>(now - 16))) >> (16 - (now - p));
        return hits ? p + __builtin_ctz(hits) : now;
    }
#elif defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const std::uint64_t low = 0x0101010101010101ULL;
    for (;;) {
        std::uint64_t word;
        unsigned skip = 0;  // bytes of the word before p
        if (now - p >= 8) {
            std::memcpy(&word, p, 8);
        } else if (now - origin >= 8) {
            if (p >= now) return now;
            skip = 8 - static_cast<unsigned>(now - p);
            std::memcpy(&word, now - 8, 8);
        } else {
            break;
        }
        const std::uint64_t below = word - low * 0x0E;
        const std::uint64_t hits = ((kBeyondAscii ? (below | word) : (below & ~word)) & (low * 0x80)) >> (skip * 8);
        if (hits != 0) return p + (__builtin_ctzll(hits) >> 3);
        if (skip) return now;
        p += 8;
    }
#else
    (void)origin;
#endif
    while (p < now && static_cast<unsigned char>(*p) >= 0x0E &&
           !(kBeyondAscii && static_cast<unsigned char>(*p) >= 0x80)) {
        ++p;
    }
    return p;
}

// Moves *row and *col over the bytes [p, now): the position after them (past
// the second half of a line break that ends there), or null when a zero byte
// ends the text first, leaving *row and *col as they were.
const char* WalkBytes(const char* p, const char* now, const char* origin, int tabsize, bool characters, int* row,
                      int* col) {
    int r = *row;
    int c = *col;
    while (p < now) {
        // Only '\t', '\n', '\r' and the end move the cursor other than by one
        // column; skip to the first byte below 0x0E in one step.
        const char* control = characters ? FirstControl<true>(p, now, origin) : FirstControl<false>(p, now, origin);
        c += static_cast<int>(control - p);
        p = control;
        if (p == now) break;
        if (characters && static_cast<unsigned char>(*p) >= 0x80) {
            // A run of UTF-8 bytes: a column for each byte that starts a character.
            for (; p < now && static_cast<unsigned char>(*p) >= 0x80; ++p)
                c += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
            continue;
        }
        switch (*p) {
            case 0:
                return 0;  // never past the end of the text
            case '\r':
            case '\n': {
                // The other one right after it is the same line break.
                const char other = static_cast<char>(*p++ ^ ('\n' ^ '\r'));
                ++r;
                c = 0;
                if (*p == other) ++p;
                break;
            }
            case '\t':
                // Indentation is mostly runs of tabs: take a run at once.
                do {
                    c = (c / tabsize + 1) * tabsize;
                    ++p;
                } while (p < now && *p == '\t');
                break;
            default:
                ++c;
                ++p;
                break;
        }
    }
    *row = r;
    *col = c;
    return p;
}

// Stamp for the spans it does not take at once: the cursor and *stamp move
// to now, unless a zero byte comes first.
VEXA_NOINLINE
void StampWalk(const char* now, const char* origin, int tabsize, int encoding, VexaCursor* cursor, const char** stamp) {
    const bool characters = encoding == VEXA_ENCODING_UTF8;
    const char* next = WalkBytes(*stamp, now, origin, tabsize, characters, &cursor->row, &cursor->col);
    if (next) *stamp = next;
}

#if defined(VEXA_SCAN_SSE2)
// The column after a span of the last 16 bytes before a stamp, from bit
// from on, that holds tabs (bits of tabs) among bytes of one column each.
VEXA_NOINLINE
int StampTabs(int col, unsigned tabs, unsigned from, int tabsize) {
    for (unsigned t = tabs >> from << from; t; t &= t - 1) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(t));
        col = ((col + static_cast<int>(at - from)) / tabsize + 1) * tabsize;
        from = at + 1;
    }
    return col + static_cast<int>(16 - from);
}

// A span that ends a line and indents the next: byte `at` of the 16 before
// now is the last that may move the cursor other than by one column, but
// tabs (bits of tabs). When it is a line break in the span (a "\r\n" or
// "\n\r" counts once), followed by tabs and then other bytes, and preceded
// in the span by no other line break than '\n' and no zero byte, moves
// *cursor and *stamp to now and returns true. The 48 bytes before now must
// be readable.
inline bool StampLine(const char* now, unsigned at, unsigned tabs, int tabsize, VexaCursor* cursor,
                      const char** stamp) {
    const char* line = now - 16 + at;  // the break
    const char brk = *line;
    if (brk != '\n' && brk != '\r') return false;
    const unsigned indent = tabs >> at >> 1;
    if (indent & (indent + 1)) return false;  // a tab after another byte
    if (line == now - 1 && (*now == '\n' || *now == '\r')) return false;
    if (line > *stamp && line[-1] == (brk ^ ('\n' ^ '\r'))) --line;  // its first half
    // Bytes in [*stamp, line) count only when they are '\n' (a row each);
    // a '\r' or a zero byte there is left to StampWalk. Blocks from *stamp,
    // the last read ending at line (bytes before the span shifted out),
    // flagging every byte below 0x0E (or from 0x80 on, which the signed
    // comparison takes as well) at first.
    if (line < *stamp) return false;  // a break before the span
    int rows = 1;
    const auto count = [&rows](const char* end, std::size_t skip) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
        if (!(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(0x0E), v))) >> skip)) return true;
        if (static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_setzero_si128())))) >>
            skip) {
            return false;
        }
        for (unsigned lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')))) >> skip; lf;
             lf &= lf - 1) {
            ++rows;
        }
        return true;
    };
    const char* p = *stamp;
    for (; line - p >= 16; p += 16) {
        if (!count(p + 16, 0)) return false;
    }
    if (p < line && !count(line, static_cast<std::size_t>(16 - (line - p)))) return false;
    const int run = __builtin_ctz(~indent);
    cursor->row += rows;
    cursor->col = run * (tabsize - 1) + static_cast<int>(15 - at);
    *stamp = now;
    return true;
}
#endif

void StampNode(VexaParsingData* data, const char* p, VexaCursor* location) {
    if (data && p) {
        data->Stamp(p);
        *location = data->Cursor();
    }
}

// The document that receives a node's errors. Within a document's parse the
// tracker knows it, which spares a walk up the tree for every node.
VexaDocument* DocumentOf(const VexaNode* node, const VexaParsingData* data) {
    return data && data->Document() ? data->Document() : node->GetDocument();
}

void Report(VexaDocument* doc, int err, const char* position, VexaParsingData* data) {
    if (doc) doc->SetError(err, position, data);
}

// Whether a top-level node read from start to end stopped at the end of the
// text without its closing markup: a null result, or unknown markup that ran
// into the terminating zero (its value then holds all it read).
bool Unterminated(const VexaNode* node, const char* start, const char* end) {
    if (!end) return true;
    return node->Type() == VexaNode::UNKNOWN && !*end && end == start + 1 + node->ValueStr().size();
}

// The first '&', delim or end of text at or after p, for verbatim runs.
// With the end of the text known (limit), a block of sixteen (or eight)
// bytes at a time while a whole block fits before it.
template <bool kControls>
inline const char* SkipVerbatim(const char* p, const char* limit, const unsigned char* stops, char delim) {
#if defined(VEXA_SCAN_SSE2)
    if (limit) {
        const __m128i amp = _mm_set1_epi8('&'), del = _mm_set1_epi8(delim), last = _mm_set1_epi8(0x0D);
        while (limit - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, del));
            if (kControls) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(_mm_min_epu8(v, last), v));
            const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(stop));
            if (hits) return p + __builtin_ctz(hits);
            p += 16;
        }
    }
#elif defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (limit) {
        const std::uint64_t low = 0x0101010101010101ULL, high = low * 0x80;
        const std::uint64_t amp = low * '&', del = low * static_cast<unsigned char>(delim);
        while (limit - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            // A zero byte of x flags its byte; flags above a true one may be
            // false, so the lowest flag is always a real match (or, with
            // kControls, a byte the caller takes as it is).
            const std::uint64_t x = w ^ amp, y = w ^ del;
            std::uint64_t hits = ((x - low) & ~x) | ((y - low) & ~y);
            if (kControls) hits |= (w - low * 0x0E) & ~w;
            hits &= high;
            if (hits) return p + (__builtin_ctzll(hits) >> 3);
            p += 8;
        }
    }
#else
    (void)limit;
    (void)delim;
#endif
    while (!stops[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

// For condensed text: a position at or after p where the caller's run loop
// must look (a stop byte by stops, whose delimiter is delim), having passed
// over plain bytes and single spaces that continue the run started at run.
// With the end of the text known, sixteen bytes at a time.
inline const char* SkipCondensed(const char* p, const char* run, const char* limit, const unsigned char* stops,
                                 char delim) {
#if defined(VEXA_SCAN_SSE2)
    if (limit && !(p == run && *p == ' ')) {
        const __m128i amp = _mm_set1_epi8('&'), del = _mm_set1_epi8(delim), space = _mm_set1_epi8(' ');
        const __m128i tab = _mm_set1_epi8('\t'), four = _mm_set1_epi8(4);
        while (limit - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i control = _mm_sub_epi8(v, tab);  // '\t' to '\r' become 0 to 4
            const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, del)),
                                              _mm_cmpeq_epi8(_mm_min_epu8(control, four), control));
            const unsigned stopBits = static_cast<unsigned>(_mm_movemask_epi8(stop));
            const unsigned spaceBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)));
            // A space continues the run only before a byte that is no stop;
            // the last one's next byte is in the next block, so it ends here.
            const unsigned ends = stopBits | (spaceBits & (((stopBits | spaceBits) >> 1) | 0x8000u));
            if (ends) return p + __builtin_ctz(ends);
            p += 16;
        }
    }
#else
    (void)run;
    (void)limit;
    (void)delim;
#endif
    while (!stops[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

// Appends s[0, n) with each line end as XML reads it: a CR LF, or a CR
// alone, is one LF.
template <class Out>
void PutLineEnds(Out& text, const char* s, size_t n) {
    const char* const end = s + n;
    for (const char* cr; (cr = static_cast<const char*>(std::memchr(s, '\r', static_cast<size_t>(end - s))));) {
        text.Put(s, static_cast<size_t>(cr - s));
        text.Put('\n');
        s = cr + 1;
        if (s != end && *s == '\n') ++s;
    }
    text.Put(s, static_cast<size_t>(end - s));
}

// How ScanText treats what is written in verbatim text: as it stands, as an
// attribute value (a tab, line break or CR LF is one space), or as content
// (a CR LF or a lone CR is one LF).
enum LineRule { kAsWritten, kAttributeValue, kContent };

// Whether the reference at p ('&', not "&#") is one of the five predefined
// entities, which the classic decoding takes.
inline bool Predefined(const char* p) {
    switch (p[1]) {
        case 'a':
            return (p[2] == 'm' && p[3] == 'p' && p[4] == ';') ||
                   (p[2] == 'p' && p[3] == 'o' && p[4] == 's' && p[5] == ';');
        case 'l':
        case 'g':
            return p[2] == 't' && p[3] == ';';
        case 'q':
            return p[2] == 'u' && p[3] == 'o' && p[4] == 't' && p[5] == ';';
    }
    return false;
}

// Whether a reference at p ('&') is for the document's declarations to
// read: a named one, other than the predefined five, in a document parse.
inline bool Declarable(const impl::Dtd* dtd, const char* p) { return dtd && p[1] != '#' && !Predefined(p); }

// Where the reading of declared entities leaves a reference (see Include).
enum { kIncluded, kClassic, kStopText, kFailed };

// A named reference at p ('&') as the document's declarations read it: an
// entity's text put (kIncluded, *p moved past it), or one the classic
// decoding takes (kClassic), or, in content, one the content reader takes
// (kStopText), or a failure with its error recorded. In a value, a reference
// kept as written is put as it stands.
template <class Out>
VEXA_NOINLINE int Include(const char** p, impl::Dtd* dtd, VexaParsingData* data, bool inValue, Out& out) {
    const impl::Reference reference = impl::LookUp(dtd, *p, inValue, data);
    switch (reference.kind) {
        case impl::kReferenceText:
            if (!impl::Produce(dtd, reference.text->size(), *p, data)) return kFailed;
            out.Put(reference.text->data(), reference.text->size());
            *p = reference.after;
            return kIncluded;
        case impl::kReferenceKeep:
            if (!inValue) return kStopText;
            out.Put(*p, static_cast<size_t>(reference.after - *p));
            dtd->keptInValue = true;
            *p = reference.after;
            return kIncluded;
        case impl::kReferenceMarkup:
            return kStopText;
        case impl::kReferenceFailed:
            return kFailed;
    }
    return kClassic;
}

template <class Out>
const char* ScanText(const char* p, const char* limit, int encoding, int rule, Out& text, bool condense,
                     const char* endTag, bool exactCase, impl::Dtd* dtd = 0, VexaParsingData* data = 0) {
    if (condense) {
        p = VexaBase::SkipWhiteSpace(p);
    }
    if (!p) return 0;
    const size_t endLength = (endTag[0] && !endTag[1]) ? 1 : std::strlen(endTag);  // mostly one character
    // Characters at which the plain run stops and a closer look is needed:
    // both letter cases of the delimiter's first character, '&' and the end.
    const char endLower = FoldCase(endTag[0]);
    const char endUpper = (endLower >= 'a' && endLower <= 'z') ? static_cast<char>(endLower - ('a' - 'A')) : endLower;
    const unsigned char* stops = StopTableFor(endLower, endUpper, condense);
    if (stops && !condense && endLength == 1) {
        // Verbatim up to a one-character delimiter (attribute values): runs
        // end only at references, the delimiter or the end of the text.
        // A value of a parsed attribute is read as XML reads it (normalize):
        // a tab, line break or CR LF written in it is one space; references
        // keep theirs.
        if (rule == kAttributeValue) {
            const unsigned char* const controls = kStops.normalizing[endLower == '"' ? 1 : endLower == '<' ? 0 : 2];
            for (;;) {
                const char* run = p;
                p = SkipVerbatim<true>(p, limit, controls, endLower);
                if (p != run) text.Put(run, static_cast<size_t>(p - run));
                if (!*p) return 0;
                if (*p == endLower) return p + 1;
                if (*p == '&') {
                    if (Declarable(dtd, p)) {
                        const int included = Include(&p, dtd, data, true, text);
                        if (included == kFailed) return 0;
                        if (included == kIncluded) continue;
                    }
                    p = AppendReference(p, encoding, text);
                } else if (*p == '\t' || *p == '\n' || *p == '\r') {
                    text.Put(' ');
                    p += (*p == '\r' && p[1] == '\n') ? 2 : 1;
                } else {
                    text.Put(*p++);  // another byte that stopped the scan
                }
            }
        }
        for (;;) {
            const char* run = p;
            p = SkipVerbatim<false>(p, limit, stops, endLower);
            if (rule == kContent) {
                PutLineEnds(text, run, static_cast<size_t>(p - run));  // a CR LF never spans a stop
            } else if (p != run) {
                text.Put(run, static_cast<size_t>(p - run));
            }
            if (!*p) return 0;
            if (*p != '&') return p + 1;
            if (Declarable(dtd, p)) {
                const int included = Include(&p, dtd, data, endLower != '<', text);
                if (included == kFailed) return 0;
                if (included == kStopText) return p + 1;  // the caller steps back to the '&'
                if (included == kIncluded) continue;
            }
            p = AppendReference(p, encoding, text);
        }
    }
    bool pending = false;
    for (;;) {
        const char* run = p;
        if (stops) {
            for (;;) {
                if (condense) {
                    p = SkipCondensed(p, run, limit, stops, endLower);
                } else {
                    while (!stops[static_cast<unsigned char>(*p)]) ++p;
                }
                // One ' ' between plain characters condenses to itself, so
                // the run goes on across it: a sentence is appended at once.
                if (!condense || *p != ' ' || p == run || stops[static_cast<unsigned char>(p[1])]) break;
                p += 2;
            }
        } else if (condense) {
            while (*p && *p != '&' && *p != endLower && *p != endUpper && !IsSpaceByte(*p)) ++p;
        } else {
            while (*p && *p != '&' && *p != endLower && *p != endUpper) ++p;
        }
        if (p != run) {
            if (pending) {
                text.Put(' ');
                pending = false;
            }
            text.Put(run, static_cast<size_t>(p - run));
        }
        if (!*p) return 0;
        if (endLength == 1 && !exactCase ? (*p == endLower || *p == endUpper)
                                         : VexaBase::StringEqual(p, endTag, exactCase)) {
            return p + endLength;
        }
        if (condense && IsSpaceByte(*p)) {
            pending = true;
            ++p;
            continue;
        }
        if (pending) {
            text.Put(' ');
            pending = false;
        }
        if (*p == '&') {
            if (Declarable(dtd, p)) {
                const int included = Include(&p, dtd, data, false, text);
                if (included == kFailed) return 0;
                if (included == kStopText) return p + endLength;  // the caller steps back to the '&'
                if (included == kIncluded) continue;
            }
            p = AppendReference(p, encoding, text);
        } else {
            text.Put(*p);
            ++p;
        }
    }
}

}  // namespace

VEXA_NOINLINE
void impl::CopyAny(impl::Chars* chars, VexaMemory* memory, const char* s, size_t n) {
    if (!memory) {
        chars->Assign(s, n);
        return;
    }
    char* const place = memory->Reserve(n + 1);
    std::memcpy(place, s, n);
    place[n] = 0;
    memory->Commit(n + 1);
    chars->Adopt(place, n, true);
}

namespace {

using impl::CopyAny;

// As CopyAny; limit, when known, is the end of the text that s lies in.
// Most names and values are short: in memory they take two sixteen-byte
// moves, which the text after s and the room reserved both allow, in line.
VEXA_ALWAYS_INLINE void CopyInto(impl::Chars* chars, VexaMemory* memory, const char* s, size_t n,
                                 const char* limit = 0) {
#if defined(VEXA_SCAN_SSE2)
    if (n < 32 && memory && limit && limit - s >= 32) {
        char* const place = memory->Reserve(32);
        const __m128i* const from = reinterpret_cast<const __m128i*>(s);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(place), _mm_loadu_si128(from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(place + 16), _mm_loadu_si128(from + 1));
        place[n] = 0;
        memory->Commit(n + 1);
        chars->Adopt(place, n, true);
        return;
    }
#else
    (void)limit;
#endif
    CopyAny(chars, memory, s, n);
}

// As CopyInto, with each CR LF or lone CR one LF, as XML reads line ends
// (in CDATA sections and processing instructions, here).
void CopyLineEnds(impl::Chars* chars, VexaMemory* memory, const char* s, size_t n) {
    if (!std::memchr(s, '\r', n)) {
        CopyInto(chars, memory, s, n);
        return;
    }
    char* const place = memory ? memory->Reserve(n + 1) : new char[n + 1];
    BufferOut out = {place};
    PutLineEnds(out, s, n);
    const size_t k = static_cast<size_t>(out.at - place);
    place[k] = 0;
    if (memory) memory->Commit(k + 1);
    chars->Adopt(place, k, memory != 0);
}

// White space from p on; p is not null. With the end of the text known
// (limit), a long run (indentation) goes sixteen bytes at a time.
inline const char* SkipSpaces(const char* p, const char* limit = 0) {
    if (!IsSpaceByte(*p)) return p;
    if (!IsSpaceByte(*++p)) return p;
#if defined(VEXA_SCAN_SSE2)
    if (limit) {
        const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), four = _mm_set1_epi8(4);
        while (limit - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i control = _mm_sub_epi8(v, tab);  // '\t' to '\r' become 0 to 4
            const __m128i blank =
                _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(_mm_min_epu8(control, four), control));
            const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFFu;
            if (other) return p + __builtin_ctz(other);
            p += 16;
        }
    }
#else
    (void)limit;
#endif
    while (IsSpaceByte(*p)) ++p;
    return p;
}

// Counts what decoded text would take, for sizing its place first.
struct CountOut {
    size_t n;
    void Put(char) { ++n; }
    void Put(const char*, size_t k) { n += k; }
};

// Reads decoded text into *chars, as ScanText reads it. start is where a
// run of plain bytes, already known to need no decoding, ends: it is copied
// as it is. The rest is decoded twice, counted and then written, as its end
// is not simply the first delimiter: a reference by the classic rules may
// run past one. Only text with references or white space to fold comes here.
const char* ScanInto(impl::Chars* chars, VexaMemory* memory, const char* p, const char* start, const char* limit,
                     int encoding, int rule, bool condense, const char* endTag, VexaParsingData* data = 0) {
    CountOut count = {static_cast<size_t>(start - p)};
    impl::Dtd* const dtd = data ? impl::Access::DtdOf(*data) : 0;
    if (dtd) dtd->pass = 0;
    // A failure in the count (its error recorded) fails the read.
    if (!ScanText(start, limit, encoding, rule, count, condense, endTag, false, dtd, data) && dtd && data->Document() &&
        data->Document()->Error()) {
        return 0;
    }
    if (dtd) dtd->pass = 0;
    const size_t room = count.n + 1;
    char* const place = memory ? memory->Reserve(room) : new char[room];
    BufferOut out = {place};
    out.Put(p, static_cast<size_t>(start - p));
    const char* const after = ScanText(start, limit, encoding, rule, out, condense, endTag, false, dtd, data);
    if (dtd) {
        dtd->produced += dtd->pass;
        dtd->pass = 0;
    }
    const size_t n = static_cast<size_t>(out.at - place);
    place[n] = 0;
    if (memory) memory->Commit(n + 1);
    chars->Adopt(place, n, memory != 0);
    return after;
}

// Reads the name at p into *chars; null when no name starts there.
VEXA_ALWAYS_INLINE const char* ReadNameInto(const char* p, VexaMemory* memory, impl::Chars* chars, const char* limit) {
    if (!IsNameStart(*p)) {  // the end of the text included
        chars->Drop(memory);
        return 0;
    }
    const char* const q = SkipName(p + 1);
    CopyInto(chars, memory, p, static_cast<size_t>(q - p), limit);
    return q;
}

// Whether the content of an element with the attributes from first on keeps
// white space: an xml:space of "preserve" says yes, "default" no; without
// one, or with another value, what it inherited holds.
VEXA_NOINLINE
bool SpaceSays(const VexaAttribute* first, bool inherited) {
    for (const VexaAttribute* a = first; a; a = a->Next()) {
        const impl::Chars& name = impl::Access::Name(*a);
        if (name.size() != 9 || std::memcmp(name.c_str(), "xml:space", 9) != 0) continue;
        const impl::Chars& value = impl::Access::Value(*a);
        if (value.size() == 8 && std::memcmp(value.c_str(), "preserve", 8) == 0) return true;
        if (value.size() == 7 && std::memcmp(value.c_str(), "default", 7) == 0) return false;
        return inherited;
    }
    return inherited;
}

// Puts the parse's nesting count back as it was when one element's parse
// ends, however it ends.
class DepthGuard {
public:
    explicit DepthGuard(int* d) : depth(d), saved(*d) {}
    ~DepthGuard() { *depth = saved; }

private:
    DepthGuard(const DepthGuard&);
    DepthGuard& operator=(const DepthGuard&);
    int* depth;
    int saved;
};

// Names already in a start tag, for telling a repeated one quickly. A few
// names are compared directly, and only when a one-word summary of the
// names so far (a bit for each name's length and end bytes) says the new one
// may be among them; beyond that an open-addressing table of the
// attributes, keyed by a hash of the name, keeps the check linear overall
// without an allocation per name. Added() takes the attribute whose name the
// last Contains() asked about.
class NameIndex {
public:
    // Seeded by where this object lives, which address randomisation varies
    // from run to run: names made to collide for one run do not for the next.
    // first is the element's attribute list, mostly empty; names already in
    // it are not summarized, so each new one is compared with them all.
    explicit NameIndex(const VexaAttribute* first)
        : count(0),
          mask(0),
          last(0),
          seed(reinterpret_cast<std::uintptr_t>(this) * kMul),
          seen(first ? ~std::uint64_t(0) : 0),
          lastBit(0) {}

    bool Contains(const VexaAttribute* first, const impl::Chars& chars) {
        const char* const name = chars.c_str();
        const size_t length = chars.size();
        if (slots.empty()) {
            lastBit = Bit(chars);
            // A name with a bit not yet seen is new. That answer comes at most
            // 64 times a tag, so a long list still ends up in the table.
            if (!(seen & lastBit)) return false;
            size_t n = 0;
            for (const VexaAttribute* a = first; a; a = a->Next()) {
                const impl::Chars& other = impl::Access::Name(*a);
                if (other.size() == length && std::memcmp(other.c_str(), name, length) == 0) return true;
                ++n;
            }
            if (n < kDirect) return false;
            Rehash(n * 4);
            for (const VexaAttribute* a = first; a; a = a->Next()) {
                const impl::Chars& other = impl::Access::Name(*a);
                Insert(Slot{Hash(other.c_str(), other.size()), a});
            }
        }
        last = Hash(name, length);
        for (size_t i = static_cast<size_t>(last) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots[i];
            if (!slot.attribute) return false;
            if (slot.hash == last && std::strncmp(slot.attribute->Name(), name, length + 1) == 0) return true;
        }
    }

    void Added(const VexaAttribute* attribute) {
        seen |= lastBit;
        if (!slots.empty()) Insert(Slot{last, attribute});
    }

    // False when no name of the tag can be name[0, n): its bit was never
    // seen (once the table is made, every bit counts as seen).
    bool MayHold(const char* name, size_t n) const { return (seen & Bit(name, n)) != 0; }

private:
    struct Slot {
        std::uint64_t hash;
        const VexaAttribute* attribute;
    };
    static const size_t kDirect = 16;
    static const std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;

    static std::uint64_t Bit(const impl::Chars& name) { return Bit(name.c_str(), name.size()); }
    static std::uint64_t Bit(const char* name, size_t n) {
        if (n == 0) return 1;
        const unsigned char* const s = reinterpret_cast<const unsigned char*>(name);
        return std::uint64_t(1) << ((s[0] + s[n - 1] * 8u + static_cast<unsigned>(n) * 3u) & 63u);
    }

    std::uint64_t Hash(const char* s, size_t n) const {
        std::uint64_t h = seed ^ n;
        for (; n >= 8; s += 8, n -= 8) {
            std::uint64_t word;
            std::memcpy(&word, s, 8);
            h = (h ^ word) * kMul;
            h ^= h >> 32;
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, s, n);
        h = (h ^ tail) * kMul;
        return h ^ (h >> 29);
    }
    void Insert(const Slot& s) {
        if ((count + 1) * 2 > slots.size()) Rehash(slots.size() * 2);
        size_t i = static_cast<size_t>(s.hash) & mask;
        while (slots[i].attribute) i = (i + 1) & mask;
        slots[i] = s;
        ++count;
    }
    void Rehash(size_t atLeast) {
        size_t size = 64;
        while (size < atLeast) size *= 2;
        std::vector<Slot> old(size, Slot{0, 0});
        old.swap(slots);
        seen = ~std::uint64_t(0);  // the table keeps no bits: any name may be there
        mask = size - 1;
        count = 0;
        for (size_t i = 0; i < old.size(); ++i) {
            if (old[i].attribute) Insert(old[i]);
        }
    }

    std::vector<Slot> slots;
    size_t count;
    size_t mask;
    std::uint64_t last;  // hash of the name Contains() was last asked about
    std::uint64_t seed;
    std::uint64_t seen;     // the summary of the names' Bit()s
    std::uint64_t lastBit;  // Bit() of the name Contains() was last asked about
};

// The get area of a stream buffer. Its accessors are protected; pointers to
// them taken through a derived class may be applied to any stream buffer.
struct GetArea : std::streambuf {
    static char* Begin(std::streambuf* b) { return (b->*(&GetArea::gptr))(); }
    static char* End(std::streambuf* b) { return (b->*(&GetArea::egptr))(); }
    static void Skip(std::streambuf* b, size_t n) {
        while (n > 0) {
            const int step = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
            (b->*(&GetArea::gbump))(step);
            n -= static_cast<size_t>(step);
        }
    }
};

// Reads from an input stream through its buffer, keeping the stream's
// flags as peek() and get() would set them.
class StreamReader {
public:
    explicit StreamReader(std::istream* s) : in(s), buf(s->rdbuf()) {}
    bool Good() const { return in->good(); }
    // The next character without taking it, or EOF (which sets eofbit).
    int Peek() {
        if (!in->good()) return std::char_traits<char>::eof();
        const int c = buf->sgetc();
        if (c == std::char_traits<char>::eof()) in->setstate(std::ios::eofbit);
        return c;
    }
    // Takes the next character, or EOF (which sets eofbit and failbit).
    int Get() {
        if (!in->good()) {
            in->setstate(std::ios::failbit);
            return std::char_traits<char>::eof();
        }
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) in->setstate(std::ios::eofbit | std::ios::failbit);
        return c;
    }
    // Appends characters up to, not including, the first c with stop[c]
    // set. True when that character is next; false when the stream ended
    // (as a peek would find it) or was not good. Whole runs are copied out
    // of the buffer at once.
    // single, when not zero, is the one character stop holds: its runs are
    // found with memchr.
    bool TakeUntil(const unsigned char* stop, std::string* tag, char single = 0) {
        for (;;) {
            const int c = Peek();
            if (c == std::char_traits<char>::eof()) return false;
            if (stop[static_cast<unsigned char>(c)]) return true;
            const char* begin = GetArea::Begin(buf);
            const char* end = GetArea::End(buf);
            if (begin == end) {  // an unbuffered stream: one at a time
                buf->sbumpc();
                tag->push_back(static_cast<char>(c));
                continue;
            }
            const char* q = begin;
            if (single) {
                q = static_cast<const char*>(std::memchr(begin, single, static_cast<size_t>(end - begin)));
                if (!q) q = end;
            } else {
                while (q < end && !stop[static_cast<unsigned char>(*q)]) ++q;
            }
            tag->append(begin, static_cast<size_t>(q - begin));
            GetArea::Skip(buf, static_cast<size_t>(q - begin));
        }
    }

private:
    std::istream* in;
    std::streambuf* buf;
};

// Stop sets for StreamReader::TakeUntil.
struct StreamStops {
    unsigned char less[256];
    unsigned char greater[256];
    unsigned char nonSpace[256];
    StreamStops() {
        for (int c = 0; c < 256; ++c) {
            less[c] = c == '<';
            greater[c] = c == '>';
            nonSpace[c] = !IsSpaceByte(static_cast<char>(c));
        }
    }
};
const StreamStops kStreamStops;

// Collects the rest of unknown markup whose text from start on is already
// in *tag, up to its final '>' by the same rules as the text parser.
void CollectUnknown(StreamReader& reader, std::string* tag, size_t start) {
    impl::UnknownScanner scanner;
    while (start < tag->size() && IsSpaceByte((*tag)[start])) ++start;
    for (size_t i = start; i < tag->size(); ++i) {
        if (scanner.Feed((*tag)[i])) return;
    }
    while (reader.Good()) {
        const int c = reader.Get();
        if (c == std::char_traits<char>::eof()) return;
        tag->push_back(static_cast<char>(c));
        if (scanner.Feed(static_cast<char>(c))) return;
    }
}

// Collects up to the first '>', inclusive.
void CollectToGreater(StreamReader& reader, std::string* tag) {
    if (!reader.Good()) return;
    if (!reader.TakeUntil(kStreamStops.greater, tag, '>')) {
        // Nothing more: a get at the end marks the stream as a get would.
        reader.Get();
        return;
    }
    tag->push_back(static_cast<char>(reader.Get()));
}

// Collects a comment up to its "-->". The closing hyphens must follow the
// opener's, so "<!-->" does not end the comment, as in the text parser.
void CollectComment(StreamReader& reader, std::string* tag, size_t start) {
    while (start < tag->size() && IsSpaceByte((*tag)[start])) ++start;
    for (;;) {
        CollectToGreater(reader, tag);
        const size_t n = tag->size();
        if (!reader.Good() && (n == 0 || (*tag)[n - 1] != '>')) return;
        if (n - start >= 7 && (*tag)[n - 2] == '-' && (*tag)[n - 3] == '-') return;
        if (!reader.Good()) return;
    }
}

// Collects a run of text up to the next '<'.
void CollectText(StreamReader& reader, std::string* tag) { reader.TakeUntil(kStreamStops.less, tag, '<'); }

// Collects white space.
void CollectSpace(StreamReader& reader, std::string* tag) { reader.TakeUntil(kStreamStops.nonSpace, tag); }

// The node kind that markup at p opens, as VexaNode::Identify decides it.
int KindAt(const char* p) {
    // "<?xml-stylesheet" and the like are processing instructions.
    if (p[1] == '?' && VexaBase::StringEqual(p, "<?xml", true) && IsSpaceByte(p[5])) return VexaNode::DECLARATION;
    if (IsNameStart(p[1])) return VexaNode::ELEMENT;
    if (VexaBase::StringEqual(p, "<!--", false)) return VexaNode::COMMENT;
    return VexaNode::UNKNOWN;
}

// Collects the rest of a piece of markup that is not an element, whose start
// (up to its first '>') is in *tag from start on.
void CollectOther(StreamReader& reader, std::string* tag, size_t start, int kind) {
    switch (kind) {
        case VexaNode::COMMENT:
            CollectComment(reader, tag, start);
            break;
        case VexaNode::UNKNOWN:
            CollectUnknown(reader, tag, start);
            break;
        default:
            CollectToGreater(reader, tag);
            break;
    }
}

// Collects an element from just after the start of its start tag: the rest
// of the start tag, the content and the closing tag, nested elements in the
// same loop (no recursion: level counts the open ones, the first among
// them). The name in a closing tag is not compared; the parse checks it.
// depth is the element's nesting (1 at the top). False when a nested
// element passed maxDepth: collecting stops there and the parse reports it.
bool CollectElement(StreamReader& reader, std::string* tag, int depth, int maxDepth) {
    int level = 0;
    for (;;) {
        // The rest of a start tag; an empty element is complete.
        CollectToGreater(reader, tag);
        const size_t n = tag->size();
        if (n < 3 || (*tag)[n - 1] != '>') return true;
        if ((*tag)[n - 2] != '/') {
            ++level;
        } else if (level == 0) {
            return true;
        }
        // Content up to the next start tag, or to the closing tag of the
        // element that opened first.
        for (;;) {
            // White space, then text up to the next markup.
            CollectSpace(reader, tag);
            if (reader.Good() && reader.Peek() != '<') {
                CollectText(reader, tag);
                continue;
            }
            if (!reader.Good()) return true;

            // A piece of markup: up to its first '>'. The first character
            // after the '<' that is not white space tells a closing tag.
            const size_t start = tag->size();
            if (!reader.TakeUntil(kStreamStops.greater, tag, '>')) return true;
            bool closing = false;
            for (size_t i = start; i < tag->size(); ++i) {
                const char c = (*tag)[i];
                if (c != '<' && !IsSpaceByte(c)) {
                    closing = c == '/';
                    break;
                }
            }
            if (closing) {
                tag->push_back(static_cast<char>(reader.Get()));
                if (--level == 0) return true;
                continue;
            }
            const int kind = KindAt(tag->c_str() + start);
            if (kind == VexaNode::ELEMENT) {
                if (depth + level > maxDepth) return false;  // the new element's nesting
                break;
            }
            CollectOther(reader, tag, start, kind);
        }
    }
}

// Collects the rest of a piece of markup whose start (up to its first '>')
// is in *tag from start on. False when the piece opens an element nested
// deeper than maxDepth: collecting stops there and the parse reports it.
bool CollectPiece(StreamReader& reader, std::string* tag, size_t start, int kind, int depth, int maxDepth) {
    if (kind != VexaNode::ELEMENT) {
        CollectOther(reader, tag, start, kind);
        return true;
    }
    if (depth > maxDepth) return false;
    return CollectElement(reader, tag, depth, maxDepth);
}

// The encoding a document declares in an XML declaration at the start of
// the text at p (white space may come first); LEGACY when it declares none.
int DeclaredEncoding(const char* p) {
    p = VexaBase::SkipWhiteSpace(p);
    if (!p || !VexaBase::StringEqual(p, "<?xml", true) || !IsSpaceByte(p[5])) return VEXA_ENCODING_LEGACY;
    VexaDeclaration declaration;  // unlinked: a malformed one reports nothing
    declaration.Parse(p, 0);
    return impl::EncodingForName(declaration.Encoding());
}

}  // namespace

// ------------------------------------------------------------ lexical layer

const VexaBase::Entity VexaBase::entity[5] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '\"'}, {"&apos;", 6, '\''},
};

bool impl::condenseWhiteSpaceDefault = true;

void VexaBase::SetCondenseWhiteSpace(bool condense) { impl::condenseWhiteSpaceDefault = condense; }

bool VexaBase::IsWhiteSpaceCondensed() { return impl::condenseWhiteSpaceDefault; }

bool VexaBase::IsWhiteSpace(char c) { return IsSpaceByte(c); }

const char* VexaBase::SkipWhiteSpace(const char* p) {
    if (!p || !*p) return 0;
    while (IsSpaceByte(*p)) ++p;
    return p;
}

bool VexaBase::StringEqual(const char* p, const char* tag, bool exactCase) {
    if (!p || !*p) return false;
    if (FoldCase(*p) != FoldCase(*tag)) return false;
    if (exactCase) {
        while (*tag && *p == *tag) {
            ++p;
            ++tag;
        }
    } else {
        while (*tag && FoldCase(*p) == FoldCase(*tag)) {
            ++p;
            ++tag;
        }
    }
    return *tag == 0;
}

const char* VexaBase::ReadName(const char* p, std::string* name) {
    name->clear();
    VEXA_ASSERT(p);
    if (!p || !*p || !IsNameStart(*p)) return 0;
    const char* start = p;
    p = SkipName(p);
    name->append(start, static_cast<size_t>(p - start));  // cleared above; cheaper than assign
    return p;
}

const char* VexaBase::GetEntity(const char* p, char* value) {
    if (p[0] == '&' && p[1] == '#' && p[2] == 'x' && p[3] && p[4] && (p[4] == ';' || p[5] == ';')) {
        if (p[4] == ';') {
            *value = static_cast<char>(HexDigit(p[3]));
            return p + 5;
        }
        *value = static_cast<char>((HexDigit(p[3]) * 16 + HexDigit(p[4])) & 0xFF);
        return p + 6;
    }
    for (int i = 0; i < 5; ++i) {
        VEXA_ASSERT(std::strlen(entity[i].str) == entity[i].strLength);
        if (std::strncmp(entity[i].str, p, entity[i].strLength) == 0) {
            *value = entity[i].chr;
            return p + entity[i].strLength;
        }
    }
    *value = *p;
    return p + 1;
}

const char* VexaBase::ReadText(const char* p, std::string* text, bool trimWhiteSpace, const char* endTag,
                               bool exactCase) {
    text->clear();
    StringOut out = {text};
    return ScanText(p, 0, VEXA_ENCODING_LEGACY, kAsWritten, out, trimWhiteSpace && impl::CondensesWhiteSpace(0), endTag,
                    exactCase);
}

// ---------------------------------------------------------- locations

VexaParsingData::VexaParsingData(const char* start, int tabSize, int row, int col)
    : cursor(row, col),
      stamp(start),
      origin(start),
      end(0),
      tabsize(tabSize),
      depth(0),
      document(0),
      memory(0),
      encoding(VEXA_ENCODING_LEGACY),
      dtd(0),
      preserve(false) {
    VEXA_ASSERT(start);
}

void VexaParsingData::Stamp(const char* p) {
    VEXA_ASSERT(p);
    if (tabsize <= 0 || !p) return;
    VEXA_ASSERT(stamp);
    if (p <= stamp) return;  // never backwards
#if defined(VEXA_SCAN_SSE2)
    // Most spans between two nodes are short, and either only add columns or
    // end a line and indent the next: the 16 bytes before p mostly tell, and
    // StampWalk takes the other spans (and those near the start of the text).
    if (p - origin >= 48) {
        const std::size_t size = static_cast<std::size_t>(p - stamp);
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 16));
        // Signed, bytes from 0x80 on are below 0x0E as well: whatever may
        // move the cursor other than by one column.
        const unsigned control = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(0x0E), last)));
        if (size <= 16 && !(control >> (16 - size))) {
            cursor.col += static_cast<int>(size);
            stamp = p;
            return;
        }
        const unsigned tabs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(last, _mm_set1_epi8('\t'))));
        const unsigned marks = control & ~tabs;
        if (size <= 16) {
            // StampLine's commonest case, taken first without its general
            // checks: one line feed alone in the span, then a run of tabs and
            // other bytes (an attribute on a line of its own, say).
            const unsigned mark = marks >> (16 - size) << (16 - size);
            if (mark && !(mark & (mark - 1))) {
                const unsigned at = static_cast<unsigned>(__builtin_ctz(mark));
                const unsigned indent = tabs >> at >> 1;
                if (p[static_cast<int>(at) - 16] == '\n' && !(indent & (indent + 1)) && (at < 15 || *p != '\r')) {
                    const int run = __builtin_ctz(~indent);
                    ++cursor.row;
                    cursor.col = run * (tabsize - 1) + static_cast<int>(15 - at);
                    stamp = p;
                    return;
                }
            }
        }
        if (size <= 16 && !(marks >> (16 - size))) {
            // Tabs between attributes on one line: each goes to its stop.
            cursor.col = StampTabs(cursor.col, tabs, 16 - static_cast<unsigned>(size), tabsize);
            stamp = p;
            return;
        }
        if (marks && StampLine(p, 31 ^ static_cast<unsigned>(__builtin_clz(marks)), tabs, tabsize, &cursor, &stamp)) {
            return;
        }
    }
#endif
    StampWalk(p, origin, tabsize, encoding, &cursor, &stamp);
    VEXA_ASSERT(cursor.row >= -1);
    VEXA_ASSERT(cursor.col >= -1);
}

// ------------------------------------------------------------ stream scanning

bool VexaBase::StreamWhiteSpace(std::istream* in, std::string* tag) {
    if (!in->good()) return false;
    StreamReader reader(in);
    CollectSpace(reader, tag);
    return true;
}

bool VexaBase::StreamTo(std::istream* in, int stop, std::string* tag) {
    StreamReader reader(in);
    for (;;) {
        if (!reader.Good()) return false;
        const int c = reader.Peek();
        if (c == std::char_traits<char>::eof()) return false;
        if (c == stop) return true;
        reader.Get();
        tag->push_back(static_cast<char>(c));
    }
}

// ------------------------------------------------------------ node dispatch

VexaNode* VexaNode::Identify(const char* p) {
    p = SkipWhiteSpace(p);
    if (!p || !*p || *p != '<') return 0;
    VexaNode* node = Create(KindAt(p), 0);
    node->parent = this;
    return node;
}

// ------------------------------------------------------------ leaf parsers

const char* VexaText::Parse(const char* p, VexaParsingData* data) {
    // A node made in its document's memory keeps its text there.
    VexaMemory* const memory = pooled && data ? data->memory : 0;
    value.Drop(memory);
    StampNode(data, p, &location);
    const char* const limit = data ? data->end : 0;
    const int encoding = data ? data->encoding : VEXA_ENCODING_LEGACY;
    // Under xml:space="preserve" text is kept as written whatever the setting.
    const bool condense = impl::CondensesWhiteSpace(DocumentOf(this, data)) && !(data && data->preserve);
    if (!p) return 0;
    if (condense) {
        if (!*p) return 0;
        p = SkipSpaces(p, limit);
    }
    // Mostly the text runs straight to the next tag, with nothing to decode,
    // no white space to condense and no CR to read as a line end: one scan
    // finds it, one copy keeps it.
    const unsigned char* const stops = kStops.table[condense ? 1 : 0];
    const char* const plain =
        condense ? SkipCondensed(p, p, limit, stops, '<') : SkipVerbatim<false>(p, limit, stops, '<');
    if (*plain == '<' && (condense || !std::memchr(p, '\r', static_cast<size_t>(plain - p)))) {
        CopyInto(&value, memory, p, static_cast<size_t>(plain - p), limit);
        return plain;
    }
    const char* const end = ScanInto(&value, memory, p, p, limit, encoding, kContent, condense, "<", data);
    return end ? end - 1 : 0;
}

const char* VexaComment::Parse(const char* p, VexaParsingData* data) {
    VexaDocument* doc = DocumentOf(this, data);
    VexaMemory* const memory = pooled && data ? data->memory : 0;
    value.Drop(memory);
    p = SkipWhiteSpace(p);
    StampNode(data, p, &location);
    if (!StringEqual(p, "<!--", false)) {
        Report(doc, VEXA_ERROR_COMMENT, p, data);
        return 0;
    }
    if (!data || data->encoding == VEXA_ENCODING_LEGACY) {
        return ScanInto(&value, memory, p + 4, p + 4, 0, VEXA_ENCODING_LEGACY, kAsWritten, false, "-->");
    }
    // A comment holds no references: other readers take it as written.
    const char* const start = p + 4;
    const char* const close = std::strstr(start, "-->");
    if (!close) {
        CopyInto(&value, memory, start, std::strlen(start));
        return 0;
    }
    CopyInto(&value, memory, start, static_cast<size_t>(close - start));
    return close + 3;
}

const char* VexaUnknown::Parse(const char* p, VexaParsingData* data) {
    VexaDocument* doc = DocumentOf(this, data);
    p = SkipWhiteSpace(p);
    StampNode(data, p, &location);
    if (!p || *p != '<') {
        Report(doc, VEXA_ERROR_UNKNOWN, p, data);
        return 0;
    }
    VexaMemory* const memory = pooled && data ? data->memory : 0;
    impl::UnknownScanner scanner;
    scanner.Feed(*p);
    const char* start = ++p;
    for (; *p; ++p) {
        if (scanner.Feed(*p)) {
            CopyLineEnds(&value, memory, start, static_cast<size_t>(p - start));
            return p + 1;
        }
    }
    // Cut off by the end: kept as written, which tells it (Unterminated).
    CopyInto(&value, memory, start, static_cast<size_t>(p - start));
    return p;
}

const char* VexaDeclaration::Parse(const char* p, VexaParsingData* data) {
    p = SkipWhiteSpace(p);
    VexaDocument* doc = DocumentOf(this, data);
    if (!p || !*p || !StringEqual(p, "<?xml", true)) {
        Report(doc, VEXA_ERROR_DECLARATION, 0, 0);
        return 0;
    }
    StampNode(data, p, &location);
    p += 5;
    version.clear();
    encoding.clear();
    standalone.clear();
    for (;;) {
        if (!*p) return 0;
        if (*p == '>') return p + 1;
        p = SkipWhiteSpace(p);
        std::string* field = 0;
        if (StringEqual(p, "version", true)) {
            field = &version;
        } else if (StringEqual(p, "encoding", true)) {
            field = &encoding;
        } else if (StringEqual(p, "standalone", true)) {
            field = &standalone;
        }
        if (field) {
            VexaAttribute attribute;
            p = attribute.Parse(p, data);
            if (!p) return 0;
            *field = attribute.Value();
        } else {
            while (*p && *p != '>' && !IsSpaceByte(*p)) ++p;
        }
    }
}

const char* VexaAttribute::Parse(const char* p, VexaParsingData* data) { return Read(p, data); }

VEXA_ALWAYS_INLINE const char* VexaAttribute::Read(const char* p, VexaParsingData* data) {
    if (!p) return 0;
    p = SkipSpaces(p);
    if (!*p) return 0;
    StampNode(data, p, &location);
    // An attribute made in its document's memory keeps its text there.
    VexaMemory* const memory = pooled && data ? data->memory : 0;
    const char* const nameStart = p;
    p = ReadNameInto(p, memory, &name, data ? data->end : 0);
    if (!p || !*p) {
        Report(document, VEXA_ERROR_ATTRIBUTES, nameStart, data);
        return 0;
    }
    p = SkipSpaces(p);
    if (*p != '=') {
        Report(document, VEXA_ERROR_ATTRIBUTES, p, data);
        return 0;
    }
    if (!p[1]) {  // the text ends at the '=': no place to report
        Report(document, VEXA_ERROR_ATTRIBUTES, 0, 0);
        return 0;
    }
    p = SkipSpaces(p + 1);
    if (!*p) {
        Report(document, VEXA_ERROR_ATTRIBUTES, p, data);
        return 0;
    }
    if (*p == '\'' || *p == '"') {
        const char end[2] = {*p, 0};
        ++p;
        if (!data) return ScanInto(&value, memory, p, p, 0, VEXA_ENCODING_LEGACY, kAsWritten, false, end);
        // Mostly a value holds nothing to decode or normalize: one scan finds
        // its end, one copy keeps it.
        const unsigned char* const controls = kStops.normalizing[end[0] == '"' ? 1 : 2];
        const char* const plain = SkipVerbatim<true>(p, data->end, controls, end[0]);
        if (*plain == end[0]) {
            CopyInto(&value, memory, p, static_cast<size_t>(plain - p), data->end);
            return plain + 1;
        }
        if (!data->dtd)
            return ScanInto(&value, memory, p, plain, data->end, data->encoding, kAttributeValue, false, end);
        data->dtd->keptInValue = false;
        const char* const after =
            ScanInto(&value, memory, p, plain, data->end, data->encoding, kAttributeValue, false, end, data);
        keptReferences = data->dtd->keptInValue;
        return after;
    }
    const char* start = p;
    while (*p && !IsSpaceByte(*p) && *p != '/' && *p != '>') ++p;
    CopyInto(&value, memory, start, static_cast<size_t>(p - start));
    return p;
}

// ------------------------------------------------------------ elements

const char* VexaElement::Parse(const char* p, VexaParsingData* data) {
    p = SkipWhiteSpace(p);
    VexaDocument* doc = DocumentOf(this, data);
    if (!p || !*p) {
        Report(doc, VEXA_ERROR_ELEMENT, 0, 0);
        return 0;
    }
    // Without tracking, a tracker that is switched off still counts the
    // nesting; its locations stay unset, as with none.
    VexaParsingData untracked(p, 0, -1, -1);
    untracked.document = doc;
    if (doc && doc->TextEncoding() != VEXA_ENCODING_DETECT) untracked.encoding = doc->TextEncoding();
    if (!data) data = &untracked;
    DepthGuard nesting(&data->depth);

    bool open = false;
    p = OpenTag(p, data, doc, &open);
    if (p && impl::MayDeclare(data->dtd, value)) impl::ApplyDeclarations(data->dtd, this, p, data);
    if (!p || !open) return p;
    p = ReadValue(p, data);
    if (!p) return 0;
    if (!*p) {
        // Only white space after the content: truncated like any other.
        Report(doc, VEXA_ERROR_ELEMENT_VALUE, 0, 0);
        return 0;
    }
    const size_t closing = ClosingTagLength(p, value, data->end);
    if (closing) return p + closing;
    Report(doc, VEXA_ERROR_END_TAG, p, data);
    return 0;
}

const char* VexaElement::OpenTag(const char* p, VexaParsingData* data, VexaDocument* doc, bool* open) {
    StampNode(data, p, &location);
    if (*p != '<') {
        Report(doc, VEXA_ERROR_ELEMENT, p, data);
        return 0;
    }
    if (data->depth >= (doc ? doc->MaxDepth() : impl::kDefaultMaxDepth)) {
        Report(doc, VEXA_ERROR_DEPTH, p, data);
        return 0;
    }
    const char* const nameStart = SkipWhiteSpace(p + 1);
    if (!nameStart) {
        Report(doc, VEXA_ERROR_ELEMENT_NAME, 0, 0);
        return 0;
    }
    p = ReadNameInto(nameStart, pooled ? data->memory : 0, &value, data->end);
    if (!p || !*p) {
        Report(doc, VEXA_ERROR_ELEMENT_NAME, nameStart, data);
        return 0;
    }
    // Attributes read outside the document's own parse live on the heap.
    if (pooled && !data->memory) impl::Access::NoteAttributeOnHeap(doc);
    NameIndex names(attributeSet.First());
    for (;;) {
        const char* const before = p;
        p = SkipSpaces(p, data->end);  // not null: the name or attribute before was read
        if (!*p) {
            Report(doc, VEXA_ERROR_ATTRIBUTES, before, data);
            return 0;
        }
        if (*p == '/') {
            if (p[1] == '>') {
                *open = false;
                return p + 2;
            }
            Report(doc, VEXA_ERROR_EMPTY_TAG, p + 1, data);
            return 0;
        }
        if (*p == '>') {
            // Open until its closing tag: one more level of nesting. Its
            // content inherits xml:space unless one of its own says otherwise.
            ++data->depth;
            *open = true;
            spacePreserved = data->preserve;
            if (names.MayHold("xml:space", 9)) spacePreserved = SpaceSays(attributeSet.First(), spacePreserved);
            return p + 1;
        }

        // Until it is in the list, a failure (or running out of memory)
        // must delete it.
        struct Pending {
            VexaAttribute* attribute;
            VexaMemory* memory;
            ~Pending() {
                if (attribute) DestroyAttribute(attribute, memory);
            }
        } pending = {CreateAttribute(data->memory), data->memory};
        VexaAttribute* const added = pending.attribute;
        const char* const attributeStart = p;
        added->document = doc;
        p = added->Read(p, data);
        if (!p || !*p) {
            Report(doc, VEXA_ERROR_ELEMENT, attributeStart, data);
            return 0;
        }
        if (names.Contains(attributeSet.First(), added->name)) {
            // A repeated name: the first keeps its place and takes the later
            // value, and the parse fails rather than stop silently.
            attributeSet.Find(added->Name())->value.Swap(added->value);
            Report(doc, VEXA_ERROR_ATTRIBUTES, attributeStart, data);
            return 0;
        }
        // Appended directly: the name was just checked.
        pending.attribute = 0;
        attributeSet.Append(added);
        names.Added(added);
    }
}

namespace {

// After a reference the content loop took, at p: condensed text that
// follows after white space keeps one space before it, as within one text.
// Returns where to read on.
VEXA_NOINLINE const char* SpaceAfterReference(VexaElement* current, const char* p, VexaParsingData* data) {
    if (!Condensing(data) || impl::Access::Preserving(*data) || !IsSpaceByte(*p)) return p;
    const char* const next = SkipSpaces(p, impl::Access::End(*data));
    if (*next == '<' || (!*next && impl::Access::DtdOf(*data)->frames.empty())) return next;
    VexaMemory* const memory = impl::Access::Memory(*data);
    VexaNode* space = current->LinkEndChild(impl::Access::CreateNode(VexaNode::TEXT, memory));
    StampNode(data, p, &impl::Access::Location(*space));
    CopyInto(&impl::Access::MutableValue(*space), memory, " ", 1);
    return next;
}

// A reference at p ('&') in content, which the text reader stops at: one
// kept as written becomes a node of its own, one whose replacement text
// holds markup is entered. Returns where to read on: p itself for a
// reference the text reader takes, null on failure (its error recorded).
VEXA_NOINLINE const char* TakeReference(VexaElement* current, const char* p, VexaParsingData* data) {
    impl::Dtd* const dtd = impl::Access::DtdOf(*data);
    const impl::Reference reference = impl::LookUp(dtd, p, false, data);
    if (reference.kind == impl::kReferenceFailed) return 0;
    if (reference.kind == impl::kReferenceKeep) {
        VexaMemory* const memory = impl::Access::Memory(*data);
        VexaNode* kept = current->LinkEndChild(impl::Access::CreateNode(VexaNode::TEXT, memory));
        StampNode(data, p, &impl::Access::Location(*kept));
        CopyInto(&impl::Access::MutableValue(*kept), memory, p, static_cast<size_t>(reference.after - p));
        impl::Access::MarkReference(*kept->ToText());
        return SpaceAfterReference(current, reference.after, data);
    }
    if (reference.kind == impl::kReferenceMarkup) return impl::EnterEntity(dtd, reference, p, current, data);
    return p;
}

}  // namespace

const char* VexaElement::ReadValue(const char* p, VexaParsingData* data) {
    VexaDocument* doc = DocumentOf(this, data);
    VexaParsingData untracked(p ? p : "", 0, -1, -1);
    untracked.document = doc;
    if (!data) data = &untracked;
    // White space between markup is text where it is kept: with condensing
    // off, and under xml:space="preserve". The tracker says where the parse
    // is for the text parser, and has its state back however this ends.
    const bool condensing = Condensing(data);
    struct SpaceGuard {
        VexaParsingData* data;
        bool saved;
        ~SpaceGuard() { data->preserve = saved; }
    } spaceGuard = {data, data->preserve};
    // Most documents preserve nothing: the state is written only where it
    // changes, from one element to the next.
    bool preserved = spacePreserved;
    data->preserve = preserved;
    bool keep = !condensing || preserved;
    if (!keep) p = SkipWhiteSpace(p);
    if (!p || !*p) {
        Report(doc, VEXA_ERROR_ELEMENT_VALUE, 0, 0);
        return 0;
    }
    // One loop for the whole subtree, without recursion: a nested element
    // that opens becomes the current one, and its closing tag returns to its
    // parent. The nesting count follows along.
    VexaElement* current = this;
    // Whether the subset declares defaults or types for any element, and the
    // element current when the innermost replacement text being read was
    // entered (null outside any): each a test of one word in the loop.
    const bool declares = data->dtd && data->dtd->workBits;
    const VexaElement* opener = 0;
    for (;;) {
        if (!*p) {
            if (data->dtd && !data->dtd->frames.empty()) {
                // The end of a replacement text: on after its reference.
                p = impl::LeaveEntity(data->dtd, current, data);
                if (!p) return 0;
                opener = impl::Opener(data->dtd);
                p = SpaceAfterReference(current, p, data);
                continue;
            }
            if (current == this) return p;
            Report(doc, VEXA_ERROR_ELEMENT_VALUE, 0, 0);
            return 0;
        }
        if (*p != '<') {
            if (*p == '&' && Declarable(data->dtd, p)) {
                // A reference the text reader leaves to this loop.
                const char* const next = TakeReference(current, p, data);
                if (!next) return 0;
                if (next != p) {
                    opener = impl::Opener(data->dtd);
                    p = next;
                    continue;
                }
            }
            // Linked before it is read, so that the tree owns it whatever
            // happens; a blank one goes again.
            VexaText* text = static_cast<VexaText*>(current->LinkEndChild(Create(TEXT, data->memory)));
            p = text->Parse(p, data);
            if (keep ? text->value.empty() : text->Blank()) {
                current->lastChild = text->prev;
                if (text->prev) {
                    text->prev->next = 0;
                } else {
                    current->firstChild = 0;
                }
                Destroy(text, data->memory);
            }
        } else if (p[1] == '/') {
            if (current == opener) {
                // A closing tag in a replacement text for an element it did not open.
                impl::Unbalanced(data->dtd, data);
                return 0;
            }
            if (current == this) return p;
            const size_t closing = ClosingTagLength(p, current->value, data->end);
            if (!closing) {
                Report(doc, VEXA_ERROR_END_TAG, p, data);
                return 0;
            }
            p += closing;
            --data->depth;
            current = static_cast<VexaElement*>(current->parent);
            if (current->spacePreserved != preserved) {
                preserved = current->spacePreserved;
                data->preserve = preserved;
                keep = !condensing || preserved;
            }
        } else {
            const char* const start = p;
            VexaNode* node = current->LinkEndChild(Create(KindAt(p), data->memory));
            if (node->type == ELEMENT) {
                VexaElement* child = static_cast<VexaElement*>(node);
                bool open = false;
                p = child->OpenTag(p, data, doc, &open);
                // The defaults the subset declares: one test when it declares none.
                if (declares && p && impl::MayDeclare(data->dtd, child->value)) {
                    impl::ApplyDeclarations(data->dtd, child, p, data);
                }
                if (open) {
                    current = child;
                    if (child->spacePreserved != preserved) {
                        preserved = child->spacePreserved;
                        data->preserve = preserved;
                        keep = !condensing || preserved;
                    }
                }
            } else {
                p = node->Parse(p, data);
            }
            // Markup that a replacement text's end cuts off does not balance.
            if (data->dtd && !data->dtd->frames.empty() && !(doc && doc->Error()) &&
                (!p || Unterminated(node, start, p))) {
                impl::Unbalanced(data->dtd, data);
                return 0;
            }
        }
        if (!p || !*p) {
            if (data->dtd && !data->dtd->frames.empty() && !(doc && doc->Error())) {
                if (!p) p = data->end;  // text that ran to the end of a replacement text
                continue;
            }
            Report(doc, VEXA_ERROR_ELEMENT_VALUE, 0, 0);
            return 0;
        }
        if (!keep) p = SkipSpaces(p, data->end);
    }
}

// ------------------------------------------------------------ documents

bool VexaDocument::CheckStrict(const char* p, int form, VexaParsingData* tracker) {
    impl::StrictMode mode = impl::kStrictUndeclared;
    if (parsedEncoding == VEXA_ENCODING_UTF8) {
        mode = impl::kStrictUtf8;
    } else if (parsedEncoding == VEXA_ENCODING_RAW) {
        mode = impl::kStrictBytes;
    } else if (textEncoding == VEXA_ENCODING_LEGACY) {
        mode = impl::kStrictLatin1;
    }
    impl::StrictFault fault;
    const impl::StrictForm strictForm = form == impl::kFormPlain     ? impl::kStrictPlain
                                        : form == impl::kFormUtf8Bom ? impl::kStrictUtf8Mark
                                                                     : impl::kStrictFromUtf16;
    // A piece of a file needs no root of its own; after the prolog, its
    // references are for the declarations to judge.
    const unsigned flags = (piece != impl::kPieceNone ? unsigned(impl::kStrictPiece) : 0u) |
                           (piece == impl::kPieceLater && dtd ? unsigned(impl::kStrictDeclared) : 0u);
    if (impl::CheckWellFormed(p, tracker->end, mode, strictForm, &fault, flags)) return true;
    SetError(fault.code, fault.at, tracker);
    return false;
}

const char* VexaDocument::Parse(const char* p, VexaParsingData* data) {
    ClearError();
    // LoadFile says when the text was converted from UTF-16; anything else
    // parsed here is taken as it stands.
    int form = (fileForm & impl::kFormLoading) ? (fileForm & ~impl::kFormLoading) : impl::kFormPlain;
    // A UTF-8 byte order mark is not content, but SaveFile writes it again.
    if (p && static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF) {
        p += 3;
        form = impl::kFormUtf8Bom;
    }
    fileForm = form;
    if (textEncoding != VEXA_ENCODING_DETECT) {
        parsedEncoding = textEncoding;
    } else if (form != impl::kFormPlain) {
        parsedEncoding = VEXA_ENCODING_UTF8;
    } else {
        parsedEncoding = DeclaredEncoding(p);
    }
    if (!p || !*p) {
        SetError(VEXA_ERROR_DOCUMENT_EMPTY, 0, 0);
        // Strictly, every error has a place: here the start.
        if (strict && p) errorLocation = data ? data->Cursor() : VexaCursor(0, 0);
        return 0;
    }
    location = data ? data->Cursor() : VexaCursor(0, 0);
    VexaParsingData tracker(p, tabsize, location.row, location.col);
    tracker.document = this;
    if (data) tracker.preserve = data->preserve;  // a piece of a file inside xml:space="preserve"
    tracker.encoding = parsedEncoding;
    // The nodes of a document's own parse are carved from its memory.
    if (!memory) memory = new VexaMemory();
    tracker.memory = memory;
    tracker.end = p + std::strlen(p);  // lets the scanners read whole words
    // The declarations of the last parse go; a document without a subset
    // reads its references with an empty set kept here, which costs no
    // allocation.
    const bool later = piece == impl::kPieceLater && dtd;
    if (dtd && !later) dtd->Reset(0);  // kept for the next DOCTYPE: one allocation less
    impl::Dtd none;
    size_t limit = 0;
    if (doctypeProcessing) {
        // Entities may produce a bounded multiple of the document's size.
        const size_t size = static_cast<size_t>(tracker.end - p);
        const size_t floor = size_t(8) << 20;
        limit = maxEntityExpansion          ? maxEntityExpansion
                : size > (~size_t(0)) / 100 ? ~size_t(0)
                : size * 100 > floor        ? size * 100
                                            : floor;
        none.limit = limit;
        tracker.dtd = &none;
        if (later) {
            // A later piece of one file reads with what its prolog declared.
            dtd->StartPiece(limit);
            tracker.dtd = dtd;
        }
    }
    parsedSpace = impl::CondensesWhiteSpace(this) ? kSpaceCondensed : kSpaceKept;
    // Strict: the whole text must be well-formed before any of it becomes a node.
    if (strict && !CheckStrict(p, form, &tracker)) return 0;
    p = SkipWhiteSpace(p);
    while (p && *p) {
        if (*p != '<') {
            // Text outside any element: what was read stays, the rest is not
            // taken for a complete document.
            SetError(VEXA_ERROR_OUTSIDE_ELEMENT, p, &tracker);
            return 0;
        }
        const char* const start = p;
        VexaNode* added = LinkEndChild(Create(KindAt(p), memory));
        p = added->Parse(p, &tracker);
        if (tracker.dtd && added->type == UNKNOWN && p && !error && std::strncmp(start, "<!DOCTYPE", 9) == 0) {
            if (tracker.dtd != dtd) {
                if (!dtd) dtd = new impl::Dtd();  // else reset when this parse began
                dtd->limit = limit;
                tracker.dtd = dtd;
            }
            if (!impl::ReadDoctype(this, start, p, &tracker)) return 0;
        }
        if (!error && Unterminated(added, start, p)) {
            // Inside an element the missing end shows as unreadable content;
            // at the top it would pass for a complete document.
            static const int codes[] = {VEXA_ERROR_GENERIC, VEXA_ERROR_ELEMENT, VEXA_ERROR_COMMENT,
                                        VEXA_ERROR_UNKNOWN, VEXA_ERROR_GENERIC, VEXA_ERROR_DECLARATION};
            SetError(codes[added->Type()], 0, 0);
            errorLocation = added->location;
        }
        p = SkipWhiteSpace(p);
    }
    return p;
}

// ------------------------------------------------------------ stream input

void VexaText::StreamIn(std::istream* in, std::string* tag) {
    StreamReader reader(in);
    CollectText(reader, tag);
}

void VexaComment::StreamIn(std::istream* in, std::string* tag) {
    StreamReader reader(in);
    CollectComment(reader, tag, tag->size());
}

void VexaUnknown::StreamIn(std::istream* in, std::string* tag) {
    StreamReader reader(in);
    CollectUnknown(reader, tag, tag->size());
}

void VexaDeclaration::StreamIn(std::istream* in, std::string* tag) {
    StreamReader reader(in);
    CollectToGreater(reader, tag);
}

void VexaElement::StreamIn(std::istream* in, std::string* tag) {
    StreamReader reader(in);
    const VexaDocument* doc = GetDocument();
    CollectElement(reader, tag, 1, doc ? doc->MaxDepth() : impl::kDefaultMaxDepth);
}

void VexaDocument::StreamIn(std::istream* in, std::string* tag) {
    if (!StreamTo(in, '<', tag)) {
        SetError(VEXA_ERROR_EMPTY_TAG, 0, 0);
        return;
    }
    StreamReader reader(in);
    while (reader.Good()) {
        const size_t start = tag->size();
        if (!reader.TakeUntil(kStreamStops.greater, tag, '>')) break;
        const char* piece = SkipWhiteSpace(tag->c_str() + start);
        if (!piece || *piece != '<') {
            SetError(VEXA_ERROR_OUTSIDE_ELEMENT, 0, 0);
            return;
        }
        const int kind = KindAt(piece);
        CollectPiece(reader, tag, start, kind, 1, maxDepth);
        if (kind == ELEMENT) return;
    }
    SetError(VEXA_ERROR_GENERIC, 0, 0);
}

std::istream& operator>>(std::istream& in, VexaNode& base) {
    std::string text;
    text.reserve(8000);
    base.StreamIn(&in, &text);
    base.Parse(text.c_str(), 0);
    return in;
}

}  // namespace ORMELA
