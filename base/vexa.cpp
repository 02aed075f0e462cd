// Object model, copying, the handle, printing, stream output, saving and loading.
#include "vexa.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexaencoding.h"
#include "vexafile.h"
#include "vexaimpl.h"
#include "vexamemory.h"

namespace ORMELA {

namespace impl {

void AssertFail(const char* file, unsigned line, const char* text) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, text);
    std::abort();
}

int OutputEncoding(const VexaNode& node) {
    const VexaDocument* doc = node.GetDocument();
    if (!doc) return VEXA_ENCODING_LEGACY;
    const int encoding = doc->TextEncoding();
    if (encoding != VEXA_ENCODING_DETECT) return encoding;
    // Never parsed: the first declaration says what the text is.
    for (const VexaNode* child = doc->FirstChild(); child; child = child->NextSibling()) {
        if (const VexaDeclaration* declaration = child->ToDeclaration()) {
            return EncodingForName(declaration->Encoding());
        }
    }
    return VEXA_ENCODING_LEGACY;
}

namespace {

// The rules of the static escaping helper: the classic ones, which pass a
// stored hexadecimal reference through.
const int kHelperRules = -1;

// What each byte becomes on output: 0 for itself, 1 for a named entity,
// 2 for a character reference. The classic rules write every byte beyond
// ASCII as a reference; the other encodings write those bytes as they are.
struct EscapeTable {
    unsigned char kind[256];
    constexpr explicit EscapeTable(bool bytesBeyondAscii) : kind() {
        for (int c = 0; c < 256; ++c) kind[c] = ((c >= 0x20 && c <= 0x7E) || (bytesBeyondAscii && c >= 0x80)) ? 0 : 2;
        kind[static_cast<unsigned char>('&')] = kind[static_cast<unsigned char>('<')] = 1;
        kind[static_cast<unsigned char>('>')] = kind[static_cast<unsigned char>('"')] = 1;
        kind[static_cast<unsigned char>('\'')] = 1;
    }
};
constexpr EscapeTable kEscape(false);
constexpr EscapeTable kEscapeKeepBytes(true);

// The text a byte that needs escaping becomes, whatever the rules: one of
// the five predefined entities (spelled as in VexaBase::entity) or a
// hexadecimal reference. Rows are eight bytes, the length in the last, so
// that a writer with room copies a whole row at once.
struct Replacements {
    char text[256][8];
    constexpr Replacements() : text() {
        const char hex[] = "0123456789ABCDEF";
        for (int c = 0; c < 256; ++c) {
            const char reference[] = {'&', '#', 'x', hex[c >> 4], hex[c & 15], ';'};
            Set(c, reference, 6);
        }
        Set('&', "&amp;", 5);
        Set('<', "&lt;", 4);
        Set('>', "&gt;", 4);
        Set('"', "&quot;", 6);
        Set('\'', "&apos;", 6);
    }
    constexpr void Set(int c, const char* s, int length) {
        for (int k = 0; k < length; ++k) text[c][k] = s[k];
        text[c][7] = static_cast<char>(length);
    }
};
constexpr Replacements kReplacements;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// Length of a well-formed character reference at position i of str, up to
// (not including) its semicolon, when output passes it through as written
// under rules (an encoding, or kHelperRules); 0 otherwise. Passed through is
// what the reader of those rules keeps as written, so that it reads the
// same text back: under the helper's classic rules every hexadecimal one;
// under the legacy rules decimal ones and hexadecimal ones of three digits
// or more; under the raw rules those that do not stand for a character below
// 0x80. Anything else after "&#" could smuggle markup out unescaped.
size_t ReferenceLength(const char* s, size_t n, size_t i, int rules) {
    if (i + 2 >= n || s[i + 1] != '#') return 0;
    const bool hex = s[i + 2] == 'x';
    if (!hex && rules == kHelperRules) return 0;
    size_t j = hex ? i + 3 : i + 2;
    const size_t digits = j;
    unsigned long value = 0;
    for (; j < n && (hex ? IsHexDigit(s[j]) : IsDecimalDigit(s[j])); ++j) {
        const unsigned long d =
            static_cast<unsigned long>(s[j] <= '9' ? s[j] - '0' : (s[j] >= 'a' ? s[j] - 'a' + 10 : s[j] - 'A' + 10));
        if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + d;
    }
    if (j == digits || j >= n || s[j] != ';') return 0;
    if (rules == VEXA_ENCODING_LEGACY && hex && j - digits <= 2) return 0;
    if (rules == VEXA_ENCODING_RAW && value != 0 && value < 0x80) return 0;
    return j - i;  // the semicolon follows as an ordinary character
}

}  // namespace

}  // namespace impl

namespace {

using impl::kEscape;
using impl::kEscapeKeepBytes;
using impl::kHelperRules;
using impl::kReplacements;
using impl::ReferenceLength;

// Writes the escaped form of the byte at s[i], which needs one, to sink
// (anything with Put(const char*, size_t)); returns the index after what
// was consumed. In UTF-8 every reference was decoded on input, so a stored
// one is text; other rules pass some through (see ReferenceLength).
template <class Sink>
size_t EscapeOne(const char* s, size_t n, size_t i, int encoding, Sink& sink) {
    if (s[i] == '&' && encoding != VEXA_ENCODING_UTF8) {
        const size_t reference = ReferenceLength(s, n, i, encoding);
        if (reference) {
            sink.Put(s + i, reference);
            return i + reference;
        }
    }
    const char* const row = kReplacements.text[static_cast<unsigned char>(s[i])];
    sink.Put(row, static_cast<size_t>(row[7]));
    return i + 1;
}

// PlainLength<kKeepBytes>(s, n) is the length of the run at the start of
// s[0, n) that is written as it is: the index of the first byte that the
// escape table (kEscapeKeepBytes with kKeepBytes, else kEscape) marks, or n.
// It reads a block of sixteen bytes at a time (eight without SSE2), the last
// one ending at n, and a shorter run as two overlapping halves side by side
// in one block, so that only runs of under four bytes take the byte loop.
#if defined(VEXA_SCAN_SSE2)
// One bit for each byte of v that the escape table marks.
template <bool kKeepBytes>
unsigned Marks(__m128i v) {
    // Controls; read signed, the bytes from 0x80 on are below 0x20 too.
    __m128i m =
        kKeepBytes ? _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v) : _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    // '&' and '\'' differ in the lowest bit only, '<' and '>' in the next.
    m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(~1)), _mm_set1_epi8('&')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(~2)), _mm_set1_epi8('<')));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

template <bool kKeepBytes>
size_t PlainLength(const char* s, size_t n) {
    const auto at = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    if (n >= 16) {
        size_t i = 0;
        for (; n - i >= 16; i += 16) {
            const unsigned hits = Marks<kKeepBytes>(at(s + i));
            if (hits) return i + static_cast<size_t>(__builtin_ctz(hits));
        }
        if (i == n) return n;
        const unsigned hits = Marks<kKeepBytes>(at(s + n - 16)) >> (16 - (n - i));
        return hits ? i + static_cast<size_t>(__builtin_ctz(hits)) : n;
    }
    if (n >= 4) {
        // Bytes in both halves are flagged in the first one first.
        size_t half = 8;
        __m128i v;
        if (n >= 8) {
            v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                                   _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8)));
        } else {
            half = 4;
            std::uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            v = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b)));
        }
        const unsigned hits = Marks<kKeepBytes>(v) & ((1u << (2 * half)) - 1);
        if (!hits) return n;
        const size_t k = static_cast<size_t>(__builtin_ctz(hits));
        return k < half ? k : n + k - 2 * half;
    }
    const unsigned char* const kinds = kKeepBytes ? kEscapeKeepBytes.kind : kEscape.kind;
    size_t i = 0;
    while (i < n && kinds[static_cast<unsigned char>(s[i])] == 0) ++i;
    return i;
}
#else
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VEXA_SCAN_WORDS 1
const std::uint64_t kEachByte = 0x0101010101010101ULL;

// The zero bytes of x, flagged as Marks flags them.
inline std::uint64_t ZeroBytes(std::uint64_t x) { return (x - kEachByte) & ~x; }

// A flag in the high bit of each byte of w that the escape table marks.
// Flags above a true one may be false (a borrow), so the lowest flag of a
// word is always a real one.
template <bool kKeepBytes>
std::uint64_t Marks(std::uint64_t w) {
    const std::uint64_t below = w - kEachByte * 0x20;  // flags the controls
    std::uint64_t hits = kKeepBytes ? below & ~w : below | w;
    hits |= ZeroBytes(w ^ (kEachByte * 0x7F)) | ZeroBytes(w ^ (kEachByte * '"'));
    hits |= ZeroBytes((w & (kEachByte * 0xFE)) ^ (kEachByte * '&'));
    hits |= ZeroBytes((w & (kEachByte * 0xFD)) ^ (kEachByte * '<'));
    return hits & (kEachByte * 0x80);
}
#endif

template <bool kKeepBytes>
size_t PlainLength(const char* s, size_t n) {
    size_t i = 0;
#if defined(VEXA_SCAN_WORDS)
    const auto at = [](const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    };
    if (n >= 8) {
        for (; n - i >= 8; i += 8) {
            const std::uint64_t hits = Marks<kKeepBytes>(at(s + i));
            if (hits) return i + static_cast<size_t>(__builtin_ctzll(hits) >> 3);
        }
        if (i == n) return n;
        const std::uint64_t hits = Marks<kKeepBytes>(at(s + n - 8)) >> (8 * (8 - (n - i)));
        return hits ? i + static_cast<size_t>(__builtin_ctzll(hits) >> 3) : n;
    }
    if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        const std::uint64_t hits = Marks<kKeepBytes>(a | static_cast<std::uint64_t>(b) << 32);
        if (!hits) return n;
        const size_t k = static_cast<size_t>(__builtin_ctzll(hits) >> 3);
        return k < 4 ? k : n + k - 8;
    }
#endif
    const unsigned char* const kinds = kKeepBytes ? kEscapeKeepBytes.kind : kEscape.kind;
    while (i < n && kinds[static_cast<unsigned char>(s[i])] == 0) ++i;
    return i;
}
#endif

// Copies s[0, n), n at most 16, to out when none of its bytes needs
// escaping; false, with nothing copied, otherwise. Most names and values
// are this short: their bytes are checked in the registers that copy them.
template <bool kKeepBytes>
VEXA_ALWAYS_INLINE bool CopyIfPlain(char* out, const char* s, size_t n) {
#if defined(VEXA_SCAN_SSE2)
    if (n >= 8) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8));
        if (Marks<kKeepBytes>(_mm_unpacklo_epi64(a, b))) return false;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), a);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n - 8), b);
        return true;
    }
#elif defined(VEXA_SCAN_WORDS)
    if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        if (Marks<kKeepBytes>(a) | Marks<kKeepBytes>(b)) return false;
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
        return true;
    }
#endif
#if defined(VEXA_SCAN_SSE2) || defined(VEXA_SCAN_WORDS)
    if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
#if defined(VEXA_SCAN_SSE2)
        const __m128i v =
            _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b)));
        if (Marks<kKeepBytes>(v) & 0xFF) return false;  // the upper half is zeros
#else
        if (Marks<kKeepBytes>(a | static_cast<std::uint64_t>(b) << 32)) return false;
#endif
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &b, 4);
        return true;
    }
#endif
    const unsigned char* const kinds = kKeepBytes ? kEscapeKeepBytes.kind : kEscape.kind;
    const auto plain = [kinds](char c) { return kinds[static_cast<unsigned char>(c)] == 0; };
    if (n < 4) {
        if (n == 0) return true;
        const size_t middle = n / 2;  // the first, middle and last are all of them
        if (!plain(s[0]) || !plain(s[middle]) || !plain(s[n - 1])) return false;
        out[0] = s[0];
        out[middle] = s[middle];
        out[n - 1] = s[n - 1];
        return true;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!plain(s[i])) return false;
    }
    std::memcpy(out, s, n);
    return true;
}

struct StringSink {
    std::string* out;
    void Put(const char* s, size_t n) { out->append(s, n); }
};

void AppendEscaped(const std::string& str, std::string* out) {
    StringSink sink = {out};
    const char* const s = str.data();
    const size_t n = str.size();
    size_t i = 0;
    while (i < n) {
        const size_t run = PlainLength<false>(s + i, n - i);
        if (run) out->append(s + i, run);
        i += run;
        if (i < n) i = EscapeOne(s, n, i, kHelperRules, sink);
    }
}

// Whether node is a reference kept as written (a text node of its own).
bool IsKeptReference(const VexaNode* node) { return node && node->ToText() && node->ToText()->IsReference(); }
// Whether node is text with characters, not a reference kept as written.
bool IsPlainText(const VexaNode* node) {
    return node && node->ToText() && !node->ToText()->IsReference() && !impl::Access::Value(*node).empty();
}

// Collects output in a fixed buffer and hands it on in large pieces: to a
// file, to a stream or to the end of a string. Small pieces are copied by
// hand; the buffer never allocates.
class Writer {
public:
    // The buffers are left unset on purpose: clearing them would cost more
    // than a short print.
    // cppcheck-suppress uninitMemberVar
    Writer(FILE* f, int textEncoding)
        : file(f),
          stream(0),
          target(0),
          used(0),
          failed(false),
          encoding(textEncoding),
          keepBytes(textEncoding != VEXA_ENCODING_LEGACY) {}
    // cppcheck-suppress uninitMemberVar
    Writer(std::ostream* s, int textEncoding)
        : file(0),
          stream(s),
          target(0),
          used(0),
          failed(false),
          encoding(textEncoding),
          keepBytes(textEncoding != VEXA_ENCODING_LEGACY) {}
    // cppcheck-suppress uninitMemberVar
    Writer(std::string* t, int textEncoding)
        : file(0),
          stream(0),
          target(t),
          used(0),
          failed(false),
          encoding(textEncoding),
          keepBytes(textEncoding != VEXA_ENCODING_LEGACY) {}
    // No flush on destruction: handing on may throw (a string out of
    // memory, a stream with exceptions on), so every user flushes itself.

    void Put(const char* s, size_t n) {
        if (n > kChunk - used) {
            PutLong(s, n);
            return;
        }
        Copy(buffer + used, s, n);
        used += n;
    }
    void Put(const char* s) { Put(s, std::strlen(s)); }
    void Put(const std::string& s) { Put(s.data(), s.size()); }
    void Put(const impl::Chars& s) { Put(s.c_str(), s.size()); }
    void Put(char c) {
        if (used == kChunk) Flush();
        buffer[used++] = c;
    }
    // Text or an attribute value, by the document's rules.
    void PutEscaped(const char* s, size_t n) {
        if (keepBytes) {
            PutEscapedAs<true>(s, n, encoding, kNoQuote);
        } else {
            PutEscapedAs<false>(s, n, encoding, kNoQuote);
        }
    }
    void PutEscaped(const std::string& s) { PutEscaped(s.data(), s.size()); }
    void PutEscaped(const impl::Chars& s) { PutEscaped(s.c_str(), s.size()); }
    void PutEscaped(const char* s) { PutEscaped(s, std::strlen(s)); }
    // Text that a reader condensing white space reads back as it is: a
    // space first, last or after another space is written as a reference,
    // which the reader keeps. Condensed text holds such spaces only where
    // references made them.
    // leadSafe and trailSafe: a space at that end reads back as it is, as
    // beside a reference kept as written (the reader keeps a space before
    // one, and makes one of the space after one) or beside more text, which
    // the reader joins to this; prevSpace: the text before this ends in one.
    void PutCondensable(const impl::Chars& text, bool leadSafe, bool prevSpace, bool trailSafe) {
        const char* const s = text.c_str();
        const size_t n = text.size();
        if (n == 0 || (s[0] != ' ' && s[n - 1] != ' ' && std::string_view(s, n).find("  ") == std::string_view::npos)) {
            PutEscaped(s, n);
            return;
        }
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            if (s[i] != ' ') continue;
            const bool afterSpace = i == 0 ? prevSpace : s[i - 1] == ' ';
            if (afterSpace || (i == 0 && !leadSafe) || (i == n - 1 && !trailSafe)) {
                PutEscaped(s + start, i - start);
                Put("&#x20;", 6);
                start = i + 1;
            }
        }
        PutEscaped(s + start, n - start);
    }
    // Text where the layout is the text's own: its line feeds and tabs are
    // written as they are, so that it reads as it was written.
    void PutLaidOut(const impl::Chars& text) {
        const char* s = text.c_str();
        const char* const end = s + text.size();
        for (;;) {
            const char* brk = s;
            while (brk != end && *brk != '\n' && *brk != '\t') ++brk;
            PutEscaped(s, static_cast<size_t>(brk - s));
            if (brk == end) return;
            Put(*brk);
            s = brk + 1;
        }
    }
    // A name is never written with references, which a name may not hold:
    // its bytes beyond ASCII stay as they are in every encoding.
    void PutName(const char* s, size_t n) { PutEscapedAs<true>(s, n, VEXA_ENCODING_UTF8, kNoQuote); }
    void PutName(const char* s) { PutName(s, std::strlen(s)); }
    // An attribute's value with its '=' and quotes: apostrophes when the
    // value holds a double quote. Escaped, either quote is written the same,
    // so a value whose longest escaped form fits the room left is written in
    // one pass: nothing is handed on meanwhile, and its opening quote is
    // changed in place at the first double quote met. Others (a long value,
    // or one at the end of the buffer) are searched for one first.
    void PutQuoted(const char* s, size_t n) {
        if (n <= kInPlaceValue && 6 * n + kQuotedSlack <= kChunk - used) {
            buffer[used++] = '=';
            const size_t open = used;
            buffer[used++] = '"';
            if (keepBytes) {
                PutEscapedAs<true>(s, n, encoding, open);
            } else {
                PutEscapedAs<false>(s, n, encoding, open);
            }
            buffer[used] = buffer[open];
            ++used;
            return;
        }
        const char quote = std::memchr(s, '"', n) ? '\'' : '"';
        Put('=');
        Put(quote);
        PutEscaped(s, n);
        Put(quote);
    }
    // The text of a comment: escaped by the classic rules, which read
    // references in comments; otherwise as written, up to a zero byte, as
    // the indented form writes it and other readers take it.
    void PutComment(const char* s, size_t n) {
        if (encoding == VEXA_ENCODING_LEGACY) {
            PutEscaped(s, n);
        } else {
            const void* zero = std::memchr(s, 0, n);
            Put(s, zero ? static_cast<size_t>(static_cast<const char*>(zero) - s) : n);
        }
    }
    // A comment in the indented form, as it is held up to a zero byte. The
    // reader of the classic rules decodes references in a comment and ends
    // it at the first "-->": there, a '&' that would start a reference is
    // written "&amp;", and the '>' of a "-->" (which only a reference or a
    // caller can put there) "&gt;", so that the comment reads back as it is.
    void PutPrintedComment(const impl::Chars& s) {
        const char* const held = s.c_str();
        const size_t n = std::strlen(held);
        if (encoding != VEXA_ENCODING_LEGACY) {
            Put(held, n);
            return;
        }
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            char decoded;
            const char* replace = 0;
            if (held[i] == '&' && VexaBase::GetEntity(held + i, &decoded) != held + i + 1) {
                replace = "&amp;";
            } else if (held[i] == '>' && i >= 2 && held[i - 1] == '-' && held[i - 2] == '-') {
                replace = "&gt;";
            }
            if (replace) {
                Put(held + start, i - start);
                Put(replace);
                start = i + 1;
            }
        }
        Put(held + start, n - start);
    }
    void PutComment(const std::string& s) { PutComment(s.data(), s.size()); }
    void PutComment(const impl::Chars& s) { PutComment(s.c_str(), s.size()); }
    // What the indented form writes per level and at each line end; null
    // writes nothing.
    void SetLayout(const char* indentText, const char* lineBreakText) {
        indent = indentText ? indentText : "";
        indentLength = std::strlen(indent);
        lineBreak = lineBreakText ? lineBreakText : "";
        lineBreakLength = std::strlen(lineBreak);
        // Whole copies of the indent side by side: most depths take one piece.
        indentRun = 0;
        if (indentLength == 0) return;
        while (indentLength <= sizeof indentBlock - indentRun) {
            std::memcpy(indentBlock + indentRun, indent, indentLength);
            indentRun += indentLength;
        }
    }
    void Indent(int depth) {
        if (indentLength == 0 || depth <= 0) return;  // a deep tree printed flat stays linear
        if (indentRun == 0) {                         // longer than the block
            for (int i = 0; i < depth; ++i) Put(indent, indentLength);
            return;
        }
        size_t n = static_cast<size_t>(depth) * indentLength;
        for (; n > indentRun; n -= indentRun) Put(indentBlock, indentRun);
        Put(indentBlock, n);
    }
    void LineBreak() { Put(lineBreak, lineBreakLength); }

    // Where the indented form adds no layout, as that would add text: in a
    // document parsed with white space kept, and inside an element under
    // xml:space="preserve". The state is that of the level being written;
    // an element that sets xml:space keeps what held outside it here until
    // its end tag, on the heap, so that depth costs no stack.
    bool Flat() const { return keptDocument || preserve; }
    // Text of a document read with condensing on is written so that it
    // reads back the same (see PutCondensable); text of one built in code
    // is written as it is.
    void PutText(const VexaNode& node) {
        const impl::Chars& text = impl::Access::Value(node);
        if (!condensedDocument) {
            PutEscaped(text);
            return;
        }
        // Text next to text reads back as one; beside a reference kept as
        // written, as its own node.
        const VexaNode* prev = node.PreviousSibling();
        const VexaNode* next = node.NextSibling();
        const bool afterReference = IsKeptReference(prev);
        const bool prevText = !afterReference && IsPlainText(prev);
        const impl::Chars* before = prevText ? &impl::Access::Value(*prev) : 0;
        const bool prevSpace = before && before->c_str()[before->size() - 1] == ' ';
        const bool trailSafe = IsKeptReference(next) || IsPlainText(next);
        PutCondensable(text, afterReference || prevText, prevSpace, trailSafe);
    }
    void StartSpace(const VexaNode& root) {
        const VexaDocument* doc = root.GetDocument();
        keptDocument = doc && doc->WhiteSpaceKept();
        condensedDocument = doc && impl::Access::TextCondensed(*doc);
        preserve = false;
        for (const VexaNode* up = root.Parent(); up; up = up->Parent()) {
            const int space = up->ToElement() ? SpaceOf(*up->ToElement()) : -1;
            if (space >= 0) {
                preserve = space == 1;
                break;
            }
        }
    }
    // Entering the content of element.
    void EnterSpace(const VexaElement& element) {
        const int space = SpaceOf(element);
        if (space < 0) return;
        scopes.push_back(std::make_pair(&element, preserve));
        preserve = space == 1;
    }
    // Leaving the content of element.
    void LeaveSpace(const VexaElement& element) {
        if (scopes.empty() || scopes.back().first != &element) return;
        preserve = scopes.back().second;
        scopes.pop_back();
    }
    // 1 when element says xml:space="preserve", 0 for "default", -1 when it
    // says neither (any other value leaves what held outside it).
    static int SpaceOf(const VexaElement& element) {
        for (const VexaAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
            const impl::Chars& name = impl::Access::Name(*a);
            if (name.size() != 9 || std::memcmp(name.c_str(), "xml:space", 9) != 0) continue;
            const impl::Chars& value = impl::Access::Value(*a);
            if (value.size() == 8 && std::memcmp(value.c_str(), "preserve", 8) == 0) return 1;
            if (value.size() == 7 && std::memcmp(value.c_str(), "default", 7) == 0) return 0;
            return -1;
        }
        return -1;
    }

    // Hands on what is held; false once any write has failed.
    bool Flush() {
        if (used) {
            const size_t n = used;
            used = 0;
            Emit(buffer, n);
        }
        return !failed;
    }

private:
    static const size_t kChunk = 32 * 1024;
    static const size_t kNoQuote = ~static_cast<size_t>(0);
    // A value escapes to at most six bytes a byte; the slack covers the
    // closing quote and a replacement row copied whole.
    static const size_t kQuotedSlack = 2 + 8;
    static const size_t kInPlaceValue = (kChunk - kQuotedSlack) / 6;

    // Copies a piece that fits the buffer: short ones in a few overlapping
    // moves of fixed size, which compile to plain loads and stores.
    static void Copy(char* out, const char* s, size_t n) {
        if (n > 16) {
            std::memcpy(out, s, n);
        } else if (n >= 8) {
            std::memcpy(out, s, 8);
            std::memcpy(out + n - 8, s + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(out, s, 4);
            std::memcpy(out + n - 4, s + n - 4, 4);
        } else if (n) {
            out[0] = s[0];
            out[n / 2] = s[n / 2];
            out[n - 1] = s[n - 1];
        }
    }
    // A piece larger than the room left. The buffer is filled before it is
    // handed on, and the rest goes straight on in whole chunks, so that all
    // pieces handed on but the last are whole chunks: stdio then writes each
    // to its file in one call.
    VEXA_NOINLINE void PutLong(const char* s, size_t n) {
        const size_t room = kChunk - used;
        std::memcpy(buffer + used, s, room);
        used = kChunk;
        Flush();
        s += room;
        n -= room;
        const size_t whole = n - n % kChunk;
        if (whole) Emit(s, whole);
        std::memcpy(buffer, s + whole, n - whole);
        used = n - whole;
    }
    // Plain runs are found a block at a time and copied whole. quote, unless
    // kNoQuote, is where the buffer holds the opening quote of the value.
    // What needs no escaping is written here, the rest out of line.
    template <bool kKeepBytes>
    void PutEscapedAs(const char* s, size_t n, int rules, size_t quote) {
        if (n <= 16 && n <= kChunk - used && CopyIfPlain<kKeepBytes>(buffer + used, s, n)) {
            used += n;
            return;
        }
        const size_t run = PlainLength<kKeepBytes>(s, n);
        Put(s, run);
        if (run != n) PutEscapedFrom<kKeepBytes>(s, n, run, rules, quote);
    }
    template <bool kKeepBytes>
    VEXA_NOINLINE void PutEscapedFrom(const char* s, size_t n, size_t i, int rules, size_t quote) {
        for (;;) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '&' && rules != VEXA_ENCODING_UTF8) {
                i = EscapeOne(s, n, i, rules, *this);  // may pass a reference through
            } else {
                if (c == '"' && quote != kNoQuote) buffer[quote] = '\'';
                const char* const row = kReplacements.text[c];
                if (kChunk - used >= 8) {
                    std::memcpy(buffer + used, row, 8);
                    used += static_cast<size_t>(row[7]);
                } else {
                    Put(row, static_cast<size_t>(row[7]));
                }
                ++i;
            }
            const size_t run = PlainLength<kKeepBytes>(s + i, n - i);
            Put(s + i, run);
            i += run;
            if (i == n) return;
        }
    }

    VEXA_NOINLINE void Emit(const char* s, size_t n) {
        if (file) {
            if (std::fwrite(s, 1, n, file) != n) failed = true;
        } else if (stream) {
            if (!stream->write(s, static_cast<std::streamsize>(n))) failed = true;
        } else if (target) {
            target->append(s, n);
        }
    }

    FILE* file;
    std::ostream* stream;
    std::string* target;
    size_t used;
    bool failed;
    int encoding;    // never DETECT
    bool keepBytes;  // bytes beyond ASCII are written as they are
    bool keptDocument = false;
    bool condensedDocument = false;
    bool preserve = false;
    std::vector<std::pair<const VexaElement*, bool>> scopes;  // an element setting xml:space, what held outside
    const char* indent = "    ";
    size_t indentLength = 4;
    size_t indentRun = 0;  // the length of indentBlock's whole copies
    const char* lineBreak = "\n";
    size_t lineBreakLength = 1;
    char indentBlock[256];
    char buffer[kChunk];
};

// Whether value, as far as its first zero byte, still holds a reference the
// parse kept as written: a value written without one is written as any other.
bool HoldsKeptReference(const char* value) {
    for (const char* p = std::strchr(value, '&'); p; p = std::strchr(p + 1, '&')) {
        if (impl::KeptReferenceLength(p)) return true;
    }
    return false;
}

// A value that holds references the parse kept as written: each "&name;"
// goes out as it is, the rest escaped.
VEXA_NOINLINE void WriteKeptReferences(const char* value, Writer& w) {
    w.Put("=\"", 2);
    const char* run = value;
    for (const char* p = value; *p;) {
        const size_t n = *p == '&' ? impl::KeptReferenceLength(p) : 0;
        if (!n) {
            ++p;
            continue;
        }
        w.PutEscaped(run, static_cast<size_t>(p - run));
        w.Put(p, n);
        p += n;
        run = p;
    }
    w.PutEscaped(run, std::strlen(run));
    w.Put('"');
}

void WriteAttribute(const VexaAttribute& attribute, Writer& w) {
    // A name holds no zero byte; a value may, from a classic "&#x00;", and
    // is written up to it, as Value() gives it.
    const impl::Chars& name = impl::Access::Name(attribute);
    const char* const value = attribute.Value();
    w.PutName(name.c_str(), name.size());
    if (impl::Access::KeptReferences(attribute) && HoldsKeptReference(value)) {
        WriteKeptReferences(value, w);
        return;
    }
    w.PutQuoted(value, std::strlen(value));
}

void WriteAttributes(const VexaElement& element, Writer& w) {
    for (const VexaAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
        if (!a->Specified()) continue;  // the kept DOCTYPE supplies it again
        w.Put(' ');
        WriteAttribute(*a, w);
    }
}

bool NeedsEscapeInDeclaration(const char* value) {
    for (const char* p = value; *p; ++p) {
        if (*p == '"' || *p == '&' || static_cast<unsigned char>(*p) < 0x20) return true;
    }
    return false;
}

// The declaration's pseudo-attributes; the compact form escapes them.
void WriteDeclaration(const VexaDeclaration& decl, Writer& w, bool escape) {
    const char* const keys[3] = {"version", "encoding", "standalone"};
    const char* const values[3] = {decl.Version(), decl.Encoding(), decl.Standalone()};
    w.Put("<?xml ", 6);
    for (int i = 0; i < 3; ++i) {
        if (!*values[i]) continue;
        w.Put(keys[i]);
        w.Put("=\"", 2);
        // A field that holds a quote, a '&' or a control character (which
        // the reader would take for a space) is escaped in both forms, so
        // that it reads back as it is.
        if (escape || NeedsEscapeInDeclaration(values[i])) {
            w.PutEscaped(values[i]);
        } else {
            w.Put(values[i]);
        }
        w.Put("\" ", 2);
    }
    w.Put("?>", 2);
}

// Writes a subtree without recursion: down to the first child, on to the
// next sibling, up through parent links when a level ends, so that depth
// costs no stack. Form says what each step writes:
//   Open(node, depth, w)    the node, or its opening when it returns true
//                           (its children are walked next);
//   Close(node, depth, w)   the end of a node whose children were walked;
//   Before(parent, child, w), After(parent, w)   around each walked child;
//   Last(parent, child)     whether no sibling after child is walked.
// A document's children stand at its own depth, an element's one deeper.
template <class Form>
void Walk(const VexaNode& root, int depth, Writer& w) {
    const VexaNode* node = &root;
    for (;;) {
        if (Form::Open(*node, depth, w)) {
            const VexaNode* child = node->FirstChild();
            if (node->Type() != VexaNode::DOCUMENT) ++depth;
            Form::Before(*node, *child, w);
            node = child;
            continue;
        }
        for (;;) {
            if (node == &root) return;
            const VexaNode* parent = node->Parent();
            Form::After(*parent, w);
            const VexaNode* next = Form::Last(*parent, *node) ? nullptr : node->NextSibling();
            if (next) {
                Form::Before(*parent, *next, w);
                node = next;
                break;
            }
            if (parent->Type() != VexaNode::DOCUMENT) --depth;
            Form::Close(*parent, depth, w);
            node = parent;
        }
    }
}

void WriteEndTag(const VexaElement& element, Writer& w) {
    w.Put("</", 2);
    w.Put(impl::Access::Value(element));
    w.Put('>');
}

void WriteText(const VexaNode& text, Writer& w) {
    if (static_cast<const VexaText&>(text).IsReference()) {
        w.Put(impl::Access::Value(text));  // a reference kept as written
    } else {
        w.PutText(text);
    }
}

// A leaf node in either form: the compact form escapes what the classic
// reader decodes in comments and declarations.
void WriteLeaf(const VexaNode& node, Writer& w, bool compact) {
    switch (node.Type()) {
        case VexaNode::COMMENT:
            w.Put("<!--", 4);
            if (compact) {
                w.PutComment(impl::Access::Value(node));
            } else {
                w.PutPrintedComment(impl::Access::Value(node));
            }
            w.Put("-->", 3);
            break;
        case VexaNode::UNKNOWN:
            w.Put('<');
            w.Put(node.Value());
            w.Put('>');
            break;
        case VexaNode::TEXT:
            WriteText(node, w);
            break;
        case VexaNode::DECLARATION:
            WriteDeclaration(static_cast<const VexaDeclaration&>(node), w, compact);
            break;
    }
}

// The indented form; where it adds no layout (Writer::Flat), text keeps its
// own line feeds and tabs.
struct Indented {
    static bool Open(const VexaNode& node, int depth, Writer& w) {
        switch (node.Type()) {
            case VexaNode::DOCUMENT:
                return node.FirstChild() != nullptr;
            case VexaNode::ELEMENT: {
                const VexaElement& element = static_cast<const VexaElement&>(node);
                if (!w.Flat()) w.Indent(depth);
                w.Put('<');
                w.Put(impl::Access::Value(element));
                WriteAttributes(element, w);
                const VexaNode* first = element.FirstChild();
                if (!first) {
                    w.Put(" />", 3);
                    return false;
                }
                w.Put('>');
                w.EnterSpace(element);
                // Text alone stays on the element's line: a lone text node, or
                // texts side by side (an entity's beside the document's, a
                // reference kept as written), which a reader joins again.
                const VexaNode* other = first;
                while (other && other->Type() == VexaNode::TEXT) other = other->NextSibling();
                if (!other) {
                    for (const VexaNode* text = first; text; text = text->NextSibling()) WriteText(*text, w);
                    w.LeaveSpace(element);
                    WriteEndTag(element, w);
                    return false;
                }
                return true;
            }
            case VexaNode::COMMENT:
            case VexaNode::UNKNOWN:
                if (!w.Flat()) w.Indent(depth);  // text and declarations stay where they are
                break;
            case VexaNode::TEXT:
                WriteText(node, w);
                return false;
        }
        WriteLeaf(node, w, false);
        return false;
    }
    static void WriteText(const VexaNode& text, Writer& w) {
        if (static_cast<const VexaText&>(text).IsReference()) {
            w.Put(impl::Access::Value(text));  // a reference kept as written
        } else if (w.Flat()) {
            w.PutLaidOut(impl::Access::Value(text));
        } else {
            w.PutText(text);
        }
    }
    static void Close(const VexaNode& node, int depth, Writer& w) {
        if (node.Type() != VexaNode::ELEMENT) return;
        const VexaElement& element = static_cast<const VexaElement&>(node);
        if (!w.Flat()) {
            w.LineBreak();
            w.Indent(depth);
        }
        w.LeaveSpace(element);
        WriteEndTag(element, w);
    }
    static void Before(const VexaNode& parent, const VexaNode& child, Writer& w) {
        if (parent.Type() == VexaNode::ELEMENT && child.Type() != VexaNode::TEXT && !w.Flat()) w.LineBreak();
    }
    static void After(const VexaNode& parent, Writer& w) {
        if (parent.Type() == VexaNode::DOCUMENT) w.LineBreak();
    }
    static bool Last(const VexaNode&, const VexaNode&) { return false; }
};

// The compact form.
struct Compact {
    static bool Open(const VexaNode& node, int, Writer& w) {
        switch (node.Type()) {
            case VexaNode::DOCUMENT:
                return node.FirstChild() != nullptr;
            case VexaNode::ELEMENT: {
                const VexaElement& element = static_cast<const VexaElement&>(node);
                w.Put('<');
                w.Put(impl::Access::Value(element));
                WriteAttributes(element, w);
                if (!element.FirstChild()) {
                    w.Put(" />", 3);
                    return false;
                }
                w.Put('>');
                return true;
            }
        }
        WriteLeaf(node, w, true);
        return false;
    }
    static void Close(const VexaNode& node, int, Writer& w) {
        if (node.Type() == VexaNode::ELEMENT) WriteEndTag(static_cast<const VexaElement&>(node), w);
    }
    static void Before(const VexaNode&, const VexaNode&, Writer&) {}
    static void After(const VexaNode&, Writer&) {}
    // A document's compact form is one document's worth: up to and
    // including its first element.
    static bool Last(const VexaNode& parent, const VexaNode& child) {
        return parent.Type() == VexaNode::DOCUMENT && child.Type() == VexaNode::ELEMENT;
    }
};

void PrintNode(const VexaNode& node, int depth, Writer& w) {
    w.StartSpace(node);
    Walk<Indented>(node, depth, w);
}

void StreamNode(const VexaNode& node, Writer& w) {
    w.StartSpace(node);
    Walk<Compact>(node, 0, w);
}

// Whether the stored value equals v byte for byte.
bool ValueIs(const impl::Chars& value, const char* v) {
    const size_t length = std::strlen(v);
    return value.size() == length && std::memcmp(value.c_str(), v, length) == 0;
}

// Reads a decimal integer as "%d" would: leading white space, a sign, digits.
// False when no digit was found or the number does not fit in an int.
bool ScanInt(const char* text, long* result, bool* overflow) {
    char* end = 0;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text) return false;
    *overflow = errno == ERANGE || v > INT_MAX || v < INT_MIN;
    *result = v;
    return true;
}

// Reads a decimal integer as ScanInt does, into a sign and a magnitude.
// False when no digit was found; *overflow when the magnitude passes 2^64-1.
bool ScanDecimal(const char* p, bool* negative, std::uint64_t* magnitude, bool* overflow) {
    while (impl::IsSpaceByte(*p)) ++p;
    *negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    std::uint64_t v = 0;
    bool over = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) over = true;
        if (!over) v = v * 10 + digit;
    }
    *magnitude = v;
    *overflow = over;
    return true;
}

// The accepted spellings of a bool, compared ignoring ASCII letter case.
int ScanBool(const char* text, size_t n, bool* value) {
    while (n && impl::IsSpaceByte(*text)) ++text, --n;
    while (n && impl::IsSpaceByte(text[n - 1])) --n;
    static const struct {
        const char* word;
        bool value;
    } kWords[] = {{"true", true}, {"yes", true}, {"1", true}, {"false", false}, {"no", false}, {"0", false}};
    for (const auto& w : kWords) {
        if (std::strlen(w.word) != n) continue;
        size_t i = 0;
        while (i < n && impl::FoldCase(text[i]) == w.word[i]) ++i;
        if (i == n) {
            *value = w.value;
            return VEXA_QUERY_OK;
        }
    }
    return VEXA_QUERY_WRONG_TYPE;
}

// Text for the number setters, in buf of 32 bytes.
void FormatInt64(char* buf, std::int64_t v) { std::snprintf(buf, 32, "%lld", static_cast<long long>(v)); }

// The fewest significant digits (15 to 17) that read back as exactly v.
void FormatExactDouble(char* buf, double v) {
    for (int digits = 15;; ++digits) {
        std::snprintf(buf, 32, "%.*g", digits, v);
        if (digits == 17 || std::strtod(buf, 0) == v) return;
    }
}

// What remains of a file's bytes after fgets-style reading: each piece (up
// to a line feed, at most 2047 bytes) is cut at its first zero byte.
std::string DropAfterZeroBytes(const std::string& data) {
    const size_t kPiece = 2047;
    std::string result;
    result.reserve(data.size());
    size_t pos = 0;
    while (pos < data.size()) {
        const char* piece = data.data() + pos;
        const size_t limit = data.size() - pos < kPiece ? data.size() - pos : kPiece;
        const void* newline = std::memchr(piece, '\n', limit);
        const size_t length = newline ? static_cast<const char*>(newline) - piece + 1 : limit;
        const void* zero = std::memchr(piece, 0, length);
        result.append(piece, zero ? static_cast<const char*>(zero) - piece : length);
        pos += length;
    }
    return result;
}

// A file's UTF-16 form: a byte order mark, or without one the first
// characters of an XML declaration; kFormPlain for anything else.
bool HasUtf16Mark(const std::string& data) {
    return data.size() >= 2 && ((data[0] == '\xFF' && data[1] == '\xFE') || (data[0] == '\xFE' && data[1] == '\xFF'));
}

int Utf16Form(const std::string& data) {
    if (HasUtf16Mark(data)) return data[0] == '\xFF' ? impl::kFormUtf16LE : impl::kFormUtf16BE;
    if (data.size() >= 4 && data.compare(0, 4, std::string("<\0?\0", 4)) == 0) return impl::kFormUtf16LE;
    if (data.size() >= 4 && data.compare(0, 4, std::string("\0<\0?", 4)) == 0) return impl::kFormUtf16BE;
    return impl::kFormPlain;
}

// Reads the whole of an open file: one read of the size the file reports,
// then to the end, so that pipes and devices, which report none, are read
// whole as well.
bool ReadWholeFile(FILE* file, std::string* data) {
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        std::rewind(file);
        if (size > 0) {
            data->resize(static_cast<size_t>(size));
            data->resize(std::fread(&(*data)[0], 1, data->size(), file));
        }
    }
    char chunk[16384];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) data->append(chunk, got);
    return !std::ferror(file);
}

// Every indented print sets its writer up here, whatever the target, so
// that a setting of the document reaches each of them alike. False once a
// write has failed.
template <class Target>
bool PrintIndented(Target* target, const VexaNode& node, int depth, const VexaPrintOptions& options) {
    Writer w(target, impl::OutputEncoding(node));
    w.SetLayout(options.indent, options.lineBreak);
    PrintNode(node, depth, w);
    return w.Flush();
}

bool PrintIndented(FILE* file, const VexaNode& node, int depth) {
    return PrintIndented(file, node, depth, VexaPrintOptions());
}

// Saves the document to filename (a file opened with mode, when written in
// place), in the file form it was loaded from (form): with a UTF-8 byte order
// mark, or as UTF-16 with its mark, so that the declaration stays true. False
// when the file could not be made or a write failed.
bool SaveIndented(const VexaDocument& doc, int form, const char* filename, const char* mode,
                  const VexaPrintOptions& options) {
    std::string utf16;
    if (form == impl::kFormUtf16LE || form == impl::kFormUtf16BE) {
        std::string text;
        PrintIndented(&text, doc, 0, options);
        const bool bigEndian = form == impl::kFormUtf16BE;
        utf16.assign(bigEndian ? "\xFE\xFF" : "\xFF\xFE", 2);
        impl::Utf8ToUtf16(text, bigEndian, &utf16);
        mode = "wb";
    }
    // Until Commit succeeds, any way out (an exception included) removes
    // the new file and leaves the old one as it was.
    impl::ReplacingFile out;
    FILE* const file = out.Open(filename, mode);
    if (!file) return false;
    if (!utf16.empty()) {
        if (std::fwrite(utf16.data(), 1, utf16.size(), file) != utf16.size()) return false;
    } else {
        if (form == impl::kFormUtf8Bom && std::fwrite("\xEF\xBB\xBF", 1, 3, file) != 3) return false;
        if (!PrintIndented(file, doc, 0, options)) return false;
    }
    return out.Commit();
}

void WriteCompact(std::ostream* out, const VexaNode& node) {
    Writer w(out, impl::OutputEncoding(node));
    StreamNode(node, w);
    w.Flush();
}

}  // namespace

// ---------------------------------------------------------------- VexaBase

VexaBase::~VexaBase() {}

VexaBase::StringToBuffer::StringToBuffer(const std::string& str) : buffer(new char[str.size() + 1]) {
    std::memcpy(buffer, str.c_str(), str.size() + 1);
}

VexaBase::StringToBuffer::~StringToBuffer() { delete[] buffer; }

void VexaBase::PutString(const std::string& str, std::string* outString) { AppendEscaped(str, outString); }

void VexaBase::PutString(const std::string& str, std::ostream* stream) {
    std::string escaped;
    AppendEscaped(str, &escaped);
    *stream << escaped;
}

// ------------------------------------------------------------------- Chars

namespace impl {

void Chars::Assign(const char* s, size_t n) {
    char* copy = new char[n + 1];
    std::memcpy(copy, s, n);
    copy[n] = 0;
    Adopt(copy, n, false);
}

void Chars::Swap(Chars& other) {
    std::swap(text, other.text);
    std::swap(bits, other.bits);
}

}  // namespace impl

// ---------------------------------------------------------------- VexaNode

VexaNode::VexaNode(NodeType nodeType)
    : parent(0),
      type(nodeType),
      pooled(false),
      spacePreserved(false),
      firstChild(0),
      lastChild(0),
      prev(0),
      next(0),
      clientData(0) {}

VexaNode::~VexaNode() { DeleteChildren(); }

VexaMemory* VexaNode::MemoryOf() const {
    const VexaDocument* doc = GetDocument();
    return doc ? doc->memory : 0;
}

void VexaNode::SetValue(const char* v) { value.Assign(v, std::strlen(v)); }

void VexaNode::SetValue(const std::string& v) { value.Assign(v.data(), v.size()); }

void VexaNode::DeleteChildren() {
    if (firstChild) DeleteChildren(MemoryOf());
}

void VexaNode::DeleteChildren(VexaMemory* memory) {
    // Grandchildren are spliced into the walk before their parent goes, so
    // deleting a tree of any depth takes no stack in proportion to it.
    VexaNode* node = firstChild;
    firstChild = lastChild = 0;
    while (node) {
        VexaNode* following = node->next;
        if (node->firstChild) {
            node->lastChild->next = following;
            following = node->firstChild;
            node->firstChild = node->lastChild = 0;
        }
        Destroy(node, memory);
        node = following;
    }
}

void VexaNode::DiscardChildren() {
    // The walk of DeleteChildren, without giving each pooled node back.
    const VexaMemory* const memory = type == DOCUMENT ? static_cast<VexaDocument*>(this)->memory : 0;
    const bool attributesOnHeap = !memory || memory->attributesOnHeap;
    VexaNode* node = firstChild;
    firstChild = lastChild = 0;
    while (node) {
        VexaNode* following = node->next;
        if (!node->pooled) {
            // Made with new, and so is all below it.
            node->parent = 0;
            delete node;
            node = following;
            continue;
        }
        if (node->firstChild) {
            node->lastChild->next = following;
            following = node->firstChild;
            node->firstChild = node->lastChild = 0;
        }
        if (node->type == DECLARATION) {
            node->~VexaNode();  // its strings, and its value
        } else {
            // The other kinds hold nothing more.
            node->value.FreeHeap();
            if (node->type == ELEMENT && attributesOnHeap) static_cast<VexaElement*>(node)->DiscardAttributes();
        }
        node = following;
    }
}

namespace {

size_t SizeOfKind(int kind) {
    switch (kind) {
        case VexaNode::ELEMENT:
            return sizeof(VexaElement);
        case VexaNode::COMMENT:
            return sizeof(VexaComment);
        case VexaNode::UNKNOWN:
            return sizeof(VexaUnknown);
        case VexaNode::TEXT:
            return sizeof(VexaText);
        case VexaNode::DECLARATION:
            return sizeof(VexaDeclaration);
        default:
            return sizeof(VexaDocument);
    }
}

// A node of kind T in memory, or on the heap without memory.
template <class T, class... Args>
T* Make(VexaMemory* memory, Args... args) {
    if (!memory) return new T(args...);
    return new (memory->Allocate(sizeof(T))) T(args...);
}

}  // namespace

void VexaNode::Destroy(VexaNode* node, VexaMemory* memory) {
    node->DeleteChildren(memory);
    if (node->type == ELEMENT) static_cast<VexaElement*>(node)->ClearAttributes(memory);
    node->value.Drop(memory);
    if (!node->pooled) {
        delete node;
        return;
    }
    // Its document's memory takes it back; only a document's parse makes
    // pooled nodes, and they never leave its tree.
    const size_t size = SizeOfKind(node->type);
    node->~VexaNode();
    VEXA_ASSERT(memory);
    if (memory) memory->Give(node, size);
}

VexaNode* VexaNode::Create(int kind, VexaMemory* memory) {
    VexaNode* node;
    switch (kind) {
        case ELEMENT:
            node = Make<VexaElement>(memory, "");
            break;
        case COMMENT:
            node = Make<VexaComment>(memory);
            break;
        case TEXT:
            node = Make<VexaText>(memory, "");
            break;
        case DECLARATION:
            node = Make<VexaDeclaration>(memory);
            break;
        default:
            node = Make<VexaUnknown>(memory);
            break;
    }
    node->pooled = memory != 0;
    return node;
}

void VexaNode::Clear() {
    // A document's tree held every node of its memory: the blocks can go.
    VexaMemory* const memory = type == DOCUMENT ? static_cast<VexaDocument*>(this)->memory : 0;
    if (memory) {
        DiscardChildren();
        memory->Release();
    } else {
        DeleteChildren();
    }
}

void VexaNode::PrintTo(std::string* out, const VexaPrintOptions& options) const {
    if (out) PrintIndented(out, *this, 0, options);
}

void VexaNode::PrintTo(std::ostream& out, const VexaPrintOptions& options) const {
    // As a formatted output operation: the sentry flushes a tied stream and
    // refuses a stream that is not good.
    const std::ostream::sentry ok(out);
    if (!ok || !PrintIndented(&out, *this, 0, options)) out.setstate(std::ios::failbit);
}

int VexaNode::Type() const { return type; }

void VexaNode::CopyNodeTo(VexaNode* target) const {
    target->SetValue(value.c_str());
    target->clientData = clientData;
}

VexaNode* VexaNode::FinishClone(VexaNode* copy) const {
    std::unique_ptr<VexaNode> owned(copy);  // copying the value may run out of memory
    CopyNodeTo(copy);
    return owned.release();
}

void VexaNode::CopyChildren(const VexaNode& source, VexaNode* copy) {
    // A walk of the source's subtree with parent links, no recursion: into
    // is where copies of from and its siblings go. Only elements copy their
    // children; any other kind's Clone copies what it holds.
    const VexaNode* from = source.firstChild;
    VexaNode* into = copy;
    while (from) {
        const bool element = from->type == ELEMENT;
        VexaNode* made = element ? static_cast<const VexaElement*>(from)->CopyShallow() : from->Clone();
        if (made) into->LinkEndChild(made);
        if (made && element && from->firstChild) {
            into = made;
            from = from->firstChild;
            continue;
        }
        while (!from->next) {
            from = from->parent;
            if (from == &source) return;
            into = into->parent;
        }
        from = from->next;
    }
}

VexaNode* VexaNode::LinkEndChild(VexaNode* addThis) {
    VEXA_ASSERT(addThis);
    addThis->next = 0;
    addThis->parent = this;
    addThis->prev = lastChild;
    if (lastChild) {
        lastChild->next = addThis;
    } else {
        firstChild = addThis;
    }
    lastChild = addThis;
    return addThis;
}

VexaNode* VexaNode::InsertEndChild(const VexaNode& addThis) {
    VexaNode* copy = addThis.Clone();
    return copy ? LinkEndChild(copy) : 0;
}

VexaNode* VexaNode::InsertBeforeChild(VexaNode* beforeThis, const VexaNode& addThis) {
    if (!beforeThis || beforeThis->parent != this) return 0;
    VexaNode* copy = addThis.Clone();
    if (!copy) return 0;
    copy->parent = this;
    copy->prev = beforeThis->prev;
    copy->next = beforeThis;
    if (beforeThis->prev) {
        beforeThis->prev->next = copy;
    } else {
        VEXA_ASSERT(firstChild == beforeThis);
        firstChild = copy;
    }
    beforeThis->prev = copy;
    return copy;
}

VexaNode* VexaNode::InsertAfterChild(VexaNode* afterThis, const VexaNode& addThis) {
    if (!afterThis || afterThis->parent != this) return 0;
    VexaNode* copy = addThis.Clone();
    if (!copy) return 0;
    copy->parent = this;
    copy->prev = afterThis;
    copy->next = afterThis->next;
    if (afterThis->next) {
        afterThis->next->prev = copy;
    } else {
        VEXA_ASSERT(lastChild == afterThis);
        lastChild = copy;
    }
    afterThis->next = copy;
    return copy;
}

VexaNode* VexaNode::ReplaceChild(VexaNode* replaceThis, const VexaNode& withThis) {
    if (!replaceThis || replaceThis->parent != this) return 0;
    // Copy first: withThis may be replaceThis itself or lie inside it.
    VexaNode* copy = withThis.Clone();
    if (!copy) return 0;
    copy->next = replaceThis->next;
    copy->prev = replaceThis->prev;
    if (replaceThis->next) {
        replaceThis->next->prev = copy;
    } else {
        lastChild = copy;
    }
    if (replaceThis->prev) {
        replaceThis->prev->next = copy;
    } else {
        firstChild = copy;
    }
    Destroy(replaceThis, MemoryOf());
    copy->parent = this;
    return copy;
}

bool VexaNode::RemoveChild(VexaNode* removeThis) {
    if (!removeThis || removeThis->parent != this) {
        VEXA_ASSERT(0);
        return false;
    }
    if (removeThis->next) {
        removeThis->next->prev = removeThis->prev;
    } else {
        lastChild = removeThis->prev;
    }
    if (removeThis->prev) {
        removeThis->prev->next = removeThis->next;
    } else {
        firstChild = removeThis->next;
    }
    Destroy(removeThis, MemoryOf());
    return true;
}

VexaNode* VexaNode::FirstChild(const char* v) const {
    for (VexaNode* node = firstChild; node; node = node->next) {
        if (ValueIs(node->value, v)) return node;
    }
    return 0;
}

VexaNode* VexaNode::LastChild(const char* v) const {
    for (VexaNode* node = lastChild; node; node = node->prev) {
        if (ValueIs(node->value, v)) return node;
    }
    return 0;
}

VexaNode* VexaNode::NextSibling(const char* v) const {
    for (VexaNode* node = next; node; node = node->next) {
        if (ValueIs(node->value, v)) return node;
    }
    return 0;
}

VexaNode* VexaNode::PreviousSibling(const char* v) const {
    for (VexaNode* node = prev; node; node = node->prev) {
        if (ValueIs(node->value, v)) return node;
    }
    return 0;
}

VexaElement* VexaNode::FirstChildElement() const {
    for (VexaNode* node = firstChild; node; node = node->next) {
        if (node->type == ELEMENT) return static_cast<VexaElement*>(node);
    }
    return 0;
}

VexaElement* VexaNode::FirstChildElement(const char* v) const {
    for (VexaNode* node = FirstChild(v); node; node = node->NextSibling(v)) {
        if (node->type == ELEMENT) return static_cast<VexaElement*>(node);
    }
    return 0;
}

VexaElement* VexaNode::NextSiblingElement() const {
    for (VexaNode* node = next; node; node = node->next) {
        if (node->type == ELEMENT) return static_cast<VexaElement*>(node);
    }
    return 0;
}

VexaElement* VexaNode::NextSiblingElement(const char* v) const {
    for (VexaNode* node = NextSibling(v); node; node = node->NextSibling(v)) {
        if (node->type == ELEMENT) return static_cast<VexaElement*>(node);
    }
    return 0;
}

VexaNode* VexaNode::IterateChildren(VexaNode* previous) const {
    if (!previous) return firstChild;
    if (previous->parent != this) {
        VEXA_ASSERT(previous->parent == this);
        return 0;
    }
    return previous->next;
}

VexaNode* VexaNode::IterateChildren(const char* v, VexaNode* previous) const {
    if (!previous) return FirstChild(v);
    if (previous->parent != this) {
        VEXA_ASSERT(previous->parent == this);
        return 0;
    }
    return previous->NextSibling(v);
}

VexaDocument* VexaNode::GetDocument() const {
    for (const VexaNode* node = this; node; node = node->parent) {
        if (node->type == DOCUMENT) return const_cast<VexaDocument*>(static_cast<const VexaDocument*>(node));
    }
    return 0;
}

VexaDocument* VexaNode::ToDocument() const {
    return type == DOCUMENT ? const_cast<VexaDocument*>(static_cast<const VexaDocument*>(this)) : 0;
}
VexaElement* VexaNode::ToElement() const {
    return type == ELEMENT ? const_cast<VexaElement*>(static_cast<const VexaElement*>(this)) : 0;
}
VexaComment* VexaNode::ToComment() const {
    return type == COMMENT ? const_cast<VexaComment*>(static_cast<const VexaComment*>(this)) : 0;
}
VexaUnknown* VexaNode::ToUnknown() const {
    return type == UNKNOWN ? const_cast<VexaUnknown*>(static_cast<const VexaUnknown*>(this)) : 0;
}
VexaText* VexaNode::ToText() const {
    return type == TEXT ? const_cast<VexaText*>(static_cast<const VexaText*>(this)) : 0;
}
VexaDeclaration* VexaNode::ToDeclaration() const {
    return type == DECLARATION ? const_cast<VexaDeclaration*>(static_cast<const VexaDeclaration*>(this)) : 0;
}

// ----------------------------------------------------------- VexaAttribute

VexaAttribute::VexaAttribute(const char* attributeName, const char* attributeValue)
    : document(0), prev(0), next(0), pooled(false), defaulted(false), keptReferences(false) {
    name.Assign(attributeName, std::strlen(attributeName));
    value.Assign(attributeValue, std::strlen(attributeValue));
}

VexaAttribute::~VexaAttribute() {}

void VexaAttribute::SetValue(const char* v) {
    value.Assign(v, std::strlen(v));
    defaulted = false;
    keptReferences = false;
    if (pooled) impl::Access::NoteAttributeOnHeap(document);
}

VexaAttribute* VexaAttribute::Next() const { return next; }

VexaAttribute* VexaAttribute::Previous() const {
    // The first attribute's prev is the last one, whose next is null.
    return prev && prev->next == this ? prev : 0;
}

int VexaAttribute::IntValue() const {
    long v = 0;
    bool overflow = false;
    if (!ScanInt(value.c_str(), &v, &overflow)) return 0;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

double VexaAttribute::DoubleValue() const { return std::strtod(value.c_str(), 0); }

int VexaAttribute::QueryIntValue(int* out) const {
    long v = 0;
    bool overflow = false;
    if (!ScanInt(value.c_str(), &v, &overflow) || overflow) return VEXA_QUERY_WRONG_TYPE;
    *out = static_cast<int>(v);
    return VEXA_QUERY_OK;
}

int VexaAttribute::QueryDoubleValue(double* out) const {
    const char* text = value.c_str();
    char* end = 0;
    const double v = std::strtod(text, &end);
    if (end == text) return VEXA_QUERY_WRONG_TYPE;
    *out = v;
    return VEXA_QUERY_OK;
}

void VexaAttribute::SetIntValue(int v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d", v);
    SetValue(buf);
}

void VexaAttribute::SetDoubleValue(double v) {
    char buf[64];
    const int needed = std::snprintf(buf, sizeof buf, "%lf", v);
    if (needed >= 0 && static_cast<size_t>(needed) < sizeof buf) {
        SetValue(buf);
        return;
    }
    // Large numbers in fixed notation run to hundreds of digits.
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%lf", v);
    SetValue(text.c_str());
}

int VexaAttribute::QueryBoolValue(bool* out) const { return ScanBool(value.c_str(), value.size(), out); }

int VexaAttribute::QueryInt64Value(int64_t* out) const {
    bool negative = false, overflow = false;
    std::uint64_t magnitude = 0;
    if (!ScanDecimal(value.c_str(), &negative, &magnitude, &overflow) || overflow) return VEXA_QUERY_WRONG_TYPE;
    const std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX) + (negative ? 1 : 0);
    if (magnitude > limit) return VEXA_QUERY_WRONG_TYPE;
    // -2^63 has no positive counterpart to negate: it goes through -(m - 1) - 1.
    if (!negative) {
        *out = static_cast<std::int64_t>(magnitude);
    } else {
        *out = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    }
    return VEXA_QUERY_OK;
}

int VexaAttribute::QueryUnsignedValue(unsigned* out) const {
    bool negative = false, overflow = false;
    std::uint64_t magnitude = 0;
    if (!ScanDecimal(value.c_str(), &negative, &magnitude, &overflow) || overflow) return VEXA_QUERY_WRONG_TYPE;
    if (magnitude > UINT_MAX || (negative && magnitude != 0)) return VEXA_QUERY_WRONG_TYPE;
    *out = static_cast<unsigned>(magnitude);
    return VEXA_QUERY_OK;
}

int VexaAttribute::QueryFloatValue(float* out) const {
    const char* const text = value.c_str();
    char* end = 0;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text) return VEXA_QUERY_WRONG_TYPE;
    const double size = std::fabs(v);
    if (errno == ERANGE && size == HUGE_VAL) return VEXA_QUERY_WRONG_TYPE;  // past even a double
    // Up to halfway to the next power of two a number rounds to FLT_MAX;
    // beyond, it is out of range. Infinity and NaN as written stay so.
    const double kLimit = 3.4028235677973366e38;  // 2^128 - 2^103
    if (size >= kLimit && !std::isinf(v)) return VEXA_QUERY_WRONG_TYPE;
    *out = size > FLT_MAX && !std::isinf(v) ? std::copysign(FLT_MAX, static_cast<float>(v > 0 ? 1 : -1))
                                            : static_cast<float>(v);
    return VEXA_QUERY_OK;
}

void VexaAttribute::SetBoolValue(bool v) { SetValue(v ? "true" : "false"); }

void VexaAttribute::SetInt64Value(int64_t v) {
    char buf[32];
    FormatInt64(buf, v);
    SetValue(buf);
}

void VexaAttribute::SetUnsignedValue(unsigned v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u", v);
    SetValue(buf);
}

void VexaAttribute::SetExactDoubleValue(double v) {
    char buf[32];
    FormatExactDouble(buf, v);
    SetValue(buf);
}

void VexaAttribute::Print(FILE* file, int) const {
    Writer w(file, document ? impl::OutputEncoding(*document) : VEXA_ENCODING_LEGACY);
    WriteAttribute(*this, w);
    w.Flush();
}

void VexaAttribute::StreamOut(std::ostream* out) const {
    Writer w(out, document ? impl::OutputEncoding(*document) : VEXA_ENCODING_LEGACY);
    WriteAttribute(*this, w);
    w.Flush();
}

// -------------------------------------------------------- VexaAttributeSet

// The list: next runs from the first attribute to the last and ends with
// null; prev runs back and the first's prev is the last, so that the last is
// at hand and a linked attribute never has a null prev.

VexaAttributeSet::VexaAttributeSet() : first(0) {}

VexaAttributeSet::~VexaAttributeSet() { VEXA_ASSERT(!first); }

void VexaAttributeSet::Add(VexaAttribute* addMe) {
    // clang-format off
    VEXA_ASSERT( !Find( addMe->Name() ) );
    // clang-format on
    if (!addMe || addMe->next || addMe->prev) return;  // already in a set: linking again would corrupt both
    Append(addMe);
}

void VexaAttributeSet::Remove(VexaAttribute* removeMe) {
    for (VexaAttribute* node = first; node; node = node->next) {
        if (node != removeMe) continue;
        if (node == first) {
            first = node->next;
            if (first) first->prev = node->prev;
        } else {
            node->prev->next = node->next;
            if (node->next) {
                node->next->prev = node->prev;
            } else {
                first->prev = node->prev;  // a new last
            }
        }
        node->next = node->prev = 0;
        return;
    }
    VEXA_ASSERT(0);  // not in this set
}

VexaAttribute* VexaAttributeSet::Last() const { return first ? first->prev : 0; }

VexaAttribute* VexaAttributeSet::Find(const char* name) const {
    const size_t length = std::strlen(name);
    for (VexaAttribute* node = first; node; node = node->next) {
        if (node->name.size() == length && std::memcmp(node->name.c_str(), name, length) == 0) return node;
    }
    return 0;
}

// ------------------------------------------------------------- VexaElement

VexaElement::VexaElement(const char* name) : VexaNode(ELEMENT) {
    if (*name) SetValue(name);  // the parser names its elements later
}

VexaElement::~VexaElement() { ClearAttributes(); }

void VexaElement::ClearAttributes(VexaMemory* memory) {
    while (VexaAttribute* attribute = attributeSet.First()) {
        attributeSet.Remove(attribute);
        DestroyAttribute(attribute, memory);
    }
}

void VexaElement::DiscardAttributes() {
    VexaAttribute* attribute = attributeSet.first;
    attributeSet.first = 0;
    while (attribute) {
        VexaAttribute* const following = attribute->next;
        if (attribute->pooled) {
            attribute->name.FreeHeap();
            attribute->value.FreeHeap();
        } else {
            attribute->prev = attribute->next = 0;
            delete attribute;
        }
        attribute = following;
    }
}

void VexaElement::DestroyAttribute(VexaAttribute* attribute, VexaMemory* memory) {
    if (!attribute->pooled) {
        delete attribute;
        return;
    }
    attribute->name.Drop(memory);
    attribute->value.Drop(memory);
    attribute->~VexaAttribute();
    VEXA_ASSERT(memory);
    if (memory) memory->Give(attribute, sizeof(VexaAttribute));
}

const char* VexaElement::Attribute(const char* name) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->Value() : 0;
}

const char* VexaElement::Attribute(const char* name, int* i) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    if (i) *i = attribute ? attribute->IntValue() : 0;
    return attribute ? attribute->Value() : 0;
}

const char* VexaElement::Attribute(const char* name, double* d) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    if (d) *d = attribute ? attribute->DoubleValue() : 0.0;
    return attribute ? attribute->Value() : 0;
}

int VexaElement::QueryIntAttribute(const char* name, int* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryIntValue(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

int VexaElement::QueryDoubleAttribute(const char* name, double* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryDoubleValue(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

void VexaElement::SetAttribute(const char* name, const char* v) {
    if (VexaAttribute* attribute = attributeSet.Find(name)) {
        attribute->SetValue(v);
        return;
    }
    if (!pooled) {
        attributeSet.Add(new VexaAttribute(name, v));
        return;
    }
    // A parsed element keeps its attributes in its document's memory.
    impl::Chars newName, newValue;  // copied first: nothing to undo if it fails
    newName.Assign(name, std::strlen(name));
    newValue.Assign(v, std::strlen(v));
    VexaAttribute* attribute = CreateAttribute(MemoryOf());
    impl::Access::NoteAttributeOnHeap(GetDocument());
    attribute->name.Swap(newName);
    attribute->value.Swap(newValue);
    attributeSet.Append(attribute);
}

void VexaElement::SetAttribute(const char* name, int v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d", v);
    SetAttribute(name, buf);
}

void VexaElement::RemoveAttribute(const char* name) {
    if (VexaAttribute* attribute = attributeSet.Find(name)) {
        attributeSet.Remove(attribute);
        DestroyAttribute(attribute, attribute->pooled ? MemoryOf() : 0);
    }
}

int VexaElement::QueryBoolAttribute(const char* name, bool* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryBoolValue(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

int VexaElement::QueryInt64Attribute(const char* name, int64_t* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryInt64Value(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

int VexaElement::QueryUnsignedAttribute(const char* name, unsigned* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryUnsignedValue(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

int VexaElement::QueryFloatAttribute(const char* name, float* v) const {
    const VexaAttribute* attribute = attributeSet.Find(name);
    return attribute ? attribute->QueryFloatValue(v) : VEXA_QUERY_NO_ATTRIBUTE;
}

// The queries write only on success, so the default stays otherwise.
int VexaElement::IntAttribute(const char* name, int defaultValue) const {
    QueryIntAttribute(name, &defaultValue);
    return defaultValue;
}

double VexaElement::DoubleAttribute(const char* name, double defaultValue) const {
    QueryDoubleAttribute(name, &defaultValue);
    return defaultValue;
}

bool VexaElement::BoolAttribute(const char* name, bool defaultValue) const {
    QueryBoolAttribute(name, &defaultValue);
    return defaultValue;
}

int64_t VexaElement::Int64Attribute(const char* name, int64_t defaultValue) const {
    QueryInt64Attribute(name, &defaultValue);
    return defaultValue;
}

unsigned VexaElement::UnsignedAttribute(const char* name, unsigned defaultValue) const {
    QueryUnsignedAttribute(name, &defaultValue);
    return defaultValue;
}

float VexaElement::FloatAttribute(const char* name, float defaultValue) const {
    QueryFloatAttribute(name, &defaultValue);
    return defaultValue;
}

void VexaElement::SetBoolAttribute(const char* name, bool v) { SetAttribute(name, v ? "true" : "false"); }

void VexaElement::SetInt64Attribute(const char* name, int64_t v) {
    char buf[32];
    FormatInt64(buf, v);
    SetAttribute(name, buf);
}

void VexaElement::SetUnsignedAttribute(const char* name, unsigned v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u", v);
    SetAttribute(name, buf);
}

void VexaElement::SetDoubleAttribute(const char* name, double v) {
    char buf[32];
    FormatExactDouble(buf, v);
    SetAttribute(name, buf);
}

const char* VexaElement::GetText() const {
    const VexaText* text = firstChild ? firstChild->ToText() : 0;
    return text ? text->Value() : 0;
}

VexaElement* VexaElement::CopyShallow() const {
    std::unique_ptr<VexaElement> copy(new VexaElement(""));
    CopyNodeTo(copy.get());
    // The source's names are unique already, so each copy is appended
    // without looking it up again.
    for (const VexaAttribute* a = FirstAttribute(); a; a = a->Next()) {
        VexaAttribute* const made = new VexaAttribute(a->Name(), a->Value());
        made->defaulted = a->defaulted;
        made->keptReferences = a->keptReferences;
        copy->attributeSet.Append(made);
    }
    return copy.release();
}

VexaNode* VexaElement::Clone() const {
    std::unique_ptr<VexaElement> copy(CopyShallow());
    CopyChildren(*this, copy.get());
    return copy.release();
}

void VexaElement::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaElement::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

// ----------------------------------------------------------- leaf kinds

VexaComment::VexaComment() : VexaNode(COMMENT) {}
VexaComment::~VexaComment() {}

VexaNode* VexaComment::Clone() const { return FinishClone(new VexaComment()); }

void VexaComment::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaComment::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

VexaText::VexaText(const char* text) : VexaNode(TEXT), reference(false) {
    if (*text) SetValue(text);  // the parser fills its text nodes later
}
VexaText::~VexaText() {}

bool VexaText::Blank() const {
    const char* const text = value.c_str();
    for (size_t i = 0; i < value.size(); ++i) {
        if (!impl::IsSpaceByte(text[i])) return false;
    }
    return true;
}

VexaNode* VexaText::Clone() const {
    VexaText* const copy = new VexaText("");
    copy->reference = reference;
    return FinishClone(copy);
}

void VexaText::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaText::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

VexaDeclaration::VexaDeclaration() : VexaNode(DECLARATION) {}

VexaDeclaration::VexaDeclaration(const char* v, const char* e, const char* s)
    : VexaNode(DECLARATION), version(v), encoding(e), standalone(s) {}

VexaDeclaration::~VexaDeclaration() {}

VexaNode* VexaDeclaration::Clone() const {
    std::unique_ptr<VexaDeclaration> copy(new VexaDeclaration());
    CopyNodeTo(copy.get());
    copy->version = version;
    copy->encoding = encoding;
    copy->standalone = standalone;
    return copy.release();
}

void VexaDeclaration::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaDeclaration::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

VexaUnknown::VexaUnknown() : VexaNode(UNKNOWN) {}
VexaUnknown::~VexaUnknown() {}

VexaNode* VexaUnknown::Clone() const { return FinishClone(new VexaUnknown()); }

void VexaUnknown::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaUnknown::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

// ------------------------------------------------------------ VexaDocument

VexaDocument::VexaDocument()
    : VexaNode(DOCUMENT),
      error(false),
      errorCode(0),
      tabsize(4),
      errorLocation(0, 0),
      maxDepth(impl::kDefaultMaxDepth),
      textEncoding(VEXA_ENCODING_DETECT),
      parsedEncoding(VEXA_ENCODING_DETECT),
      fileForm(impl::kFormPlain),
      memory(0),
      strict(false),
      whiteSpace(VEXA_WHITESPACE_DEFAULT),
      doctypeProcessing(true),
      maxEntityExpansion(0),
      dtd(0),
      piece(impl::kPieceNone),
      parsedSpace(kSpaceNotParsed) {}

VexaDocument::VexaDocument(const char* name)
    : VexaNode(DOCUMENT),
      error(false),
      errorCode(0),
      tabsize(4),
      errorLocation(0, 0),
      maxDepth(impl::kDefaultMaxDepth),
      textEncoding(VEXA_ENCODING_DETECT),
      parsedEncoding(VEXA_ENCODING_DETECT),
      fileForm(impl::kFormPlain),
      memory(0),
      strict(false),
      whiteSpace(VEXA_WHITESPACE_DEFAULT),
      doctypeProcessing(true),
      maxEntityExpansion(0),
      dtd(0),
      piece(impl::kPieceNone),
      parsedSpace(kSpaceNotParsed) {
    SetValue(name);
}

VexaDocument::VexaDocument(VexaDocument&& other) noexcept : VexaDocument() { TakeFrom(other); }

VexaDocument& VexaDocument::operator=(VexaDocument&& other) noexcept {
    if (this == &other) return *this;
    // Emptied as the destructor empties it, then set as new.
    if (memory) {
        DiscardChildren();
    } else {
        DeleteChildren(memory);
    }
    delete memory;
    memory = 0;
    impl::Chars name;
    value.Swap(name);
    clientData = 0;
    location.Clear();
    ClearError();
    parsedEncoding = VEXA_ENCODING_DETECT;
    fileForm = impl::kFormPlain;
    CopySettings(VexaDocument());
    TakeFrom(other);
    return *this;
}

void VexaDocument::CopySettings(const VexaDocument& source) {
    // Every setting of a document, and nothing else: a new one goes here.
    tabsize = source.tabsize;
    maxDepth = source.maxDepth;
    textEncoding = source.textEncoding;
    whiteSpace = source.whiteSpace;
    strict = source.strict;
    doctypeProcessing = source.doctypeProcessing;
    maxEntityExpansion = source.maxEntityExpansion;
}

void VexaDocument::TakeFrom(VexaDocument& other) {
    // Every member of a document but its own links (parent and siblings):
    // a new one goes here, with its reset in other.
    firstChild = other.firstChild;
    lastChild = other.lastChild;
    other.firstChild = other.lastChild = 0;
    value.Swap(other.value);
    clientData = other.clientData;
    other.clientData = 0;
    location = other.location;
    other.location.Clear();
    memory = other.memory;
    other.memory = 0;
    error = other.error;
    errorCode = other.errorCode;
    errorText.swap(other.errorText);
    errorLocation = other.errorLocation;
    other.ClearError();
    parsedEncoding = other.parsedEncoding;
    fileForm = other.fileForm;
    other.parsedEncoding = VEXA_ENCODING_DETECT;
    other.fileForm = impl::kFormPlain;
    impl::DeleteDtd(dtd);
    dtd = other.dtd;
    other.dtd = 0;
    CopySettings(other);
    other.CopySettings(VexaDocument());

    // The top-level nodes name their parent, and parsed attributes the
    // document that takes their errors and gives their encoding. A walk by
    // parent links: no stack.
    for (VexaNode* child = firstChild; child; child = child->next) child->parent = this;
    VexaNode* node = firstChild;
    while (node) {
        if (node->type == ELEMENT) {
            for (VexaAttribute* a = static_cast<VexaElement*>(node)->FirstAttribute(); a; a = a->Next()) {
                if (impl::Access::Document(*a) == &other) a->SetDocument(this);
            }
        }
        if (node->firstChild) {
            node = node->firstChild;
            continue;
        }
        while (node && !node->next) node = node->parent == this ? 0 : node->parent;
        if (node) node = node->next;
    }
}

void VexaDocument::SetWhiteSpaceMode(int mode) {
    whiteSpace = (mode >= VEXA_WHITESPACE_DEFAULT && mode <= VEXA_WHITESPACE_KEEP) ? mode : VEXA_WHITESPACE_DEFAULT;
}

void VexaDocument::SetTextEncoding(int encoding) {
    textEncoding =
        (encoding >= VEXA_ENCODING_DETECT && encoding <= VEXA_ENCODING_RAW) ? encoding : VEXA_ENCODING_DETECT;
}

int VexaDocument::TextEncoding() const { return textEncoding != VEXA_ENCODING_DETECT ? textEncoding : parsedEncoding; }

VexaDocument::~VexaDocument() {
    if (memory) {
        DiscardChildren();
    } else {
        DeleteChildren(memory);
    }
    delete memory;
    memory = 0;
    impl::DeleteDtd(dtd);
}

void VexaDocument::ClearError() {
    error = false;
    errorCode = 0;
    errorText.clear();
    errorLocation = VexaCursor(0, 0);
}

void VexaDocument::SetError(int err, const char* position, VexaParsingData* data) {
    if (error) return;
    VEXA_ASSERT(err > 0 && err < VEXA_ERROR_STRING_COUNT);
    if (err <= 0 || err >= VEXA_ERROR_STRING_COUNT) err = VEXA_ERROR_GENERIC;
    error = true;
    errorCode = err;
    errorText = errorString[err];
    errorLocation.Clear();
    if (position && data) {
        data->Stamp(position);
        errorLocation = data->Cursor();
    }
}

VexaNode* VexaDocument::Clone() const {
    std::unique_ptr<VexaDocument> copy(new VexaDocument());
    CopyNodeTo(copy.get());
    // The whole error state and the settings travel with the copy, so that
    // it reads the same as its source.
    copy->error = error;
    copy->errorCode = errorCode;
    copy->errorText = errorText;
    copy->errorLocation = errorLocation;
    copy->CopySettings(*this);
    copy->parsedEncoding = parsedEncoding;
    copy->fileForm = fileForm;
    copy->dtd = impl::CopyDtd(dtd);
    copy->parsedSpace = parsedSpace;  // the copy prints as its source does
    CopyChildren(*this, copy.get());
    return copy.release();
}

bool VexaDocument::LoadFile(const char* filename) {
    const std::string name(filename);  // filename may point into value
    Clear();
    location.Clear();
    SetValue(name);
    fileForm = impl::kFormPlain;
    // A failed open must report itself, not an error left from before.
    ClearError();

    FILE* file = std::fopen(value.c_str(), "rb");
    if (!file) {
        SetError(VEXA_ERROR_FILE_OPEN, 0, 0);
        return false;
    }
    std::string data;
    bool readOk;
    try {
        readOk = ReadWholeFile(file, &data);
    } catch (...) {
        std::fclose(file);  // running out of memory must not leak the file
        throw;
    }
    std::fclose(file);
    if (!readOk) {
        SetError(VEXA_ERROR_FILE_OPEN, 0, 0);
        return false;
    }
    if (data.empty()) {
        SetError(VEXA_ERROR_DOCUMENT_EMPTY, 0, 0);
        // Strictly, every error has a place: here the start.
        if (strict) errorLocation = VexaCursor(0, 0);
        return false;
    }
    const int form = Utf16Form(data);
    if (form != impl::kFormPlain) {
        const bool bigEndian = form == impl::kFormUtf16BE;
        const size_t mark = HasUtf16Mark(data) ? 2 : 0;
        std::string text;
        if (!impl::Utf16ToUtf8(data.data() + mark, data.size() - mark, bigEndian, &text)) {
            // Located where the converted text stops, in characters.
            VexaParsingData tracker(text.c_str(), tabsize, 0, 0);
            tracker.encoding = VEXA_ENCODING_UTF8;
            SetError(VEXA_ERROR_ENCODING, text.c_str() + text.size(), &tracker);
            return false;
        }
        data.swap(text);
    }
    // The text ends at a zero byte; piece-wise reading dropped the rest of
    // the line after one, and files that hold one load as they always did.
    if (const char* zero = static_cast<const char*>(std::memchr(data.data(), 0, data.size()))) {
        if (strict) {
            // No zero byte is a character of XML; counted as the parse counts.
            const char* start = data.c_str();
            if (form == impl::kFormPlain && data.compare(0, 3, "\xEF\xBB\xBF") == 0) start += 3;
            VexaParsingData tracker(start, tabsize, 0, 0);
            tracker.encoding = textEncoding == VEXA_ENCODING_DETECT ? VEXA_ENCODING_UTF8 : textEncoding;
            SetError(VEXA_ERROR_CHARACTER, zero, &tracker);
            return false;
        }
        data = DropAfterZeroBytes(data);
    }
    fileForm = form | impl::kFormLoading;
    Parse(data.c_str(), 0);
    return !error;
}

bool VexaDocument::LoadFile() {
    StringToBuffer name(ValueStr());
    if (!name.buffer) return false;
    return LoadFile(name.buffer);
}

bool VexaDocument::SaveFile(const char* filename) const {
    return SaveIndented(*this, fileForm & ~impl::kFormLoading, filename, "w", VexaPrintOptions());
}

bool VexaDocument::SaveFile(const char* filename, const VexaPrintOptions& options) const {
    return SaveIndented(*this, fileForm & ~impl::kFormLoading, filename, "wb", options);
}

bool VexaDocument::SaveFile() const {
    StringToBuffer name(ValueStr());
    if (!name.buffer) return false;
    return SaveFile(name.buffer);
}

void VexaDocument::Print(FILE* file, int depth) const { PrintIndented(file, *this, depth); }

void VexaDocument::StreamOut(std::ostream* out) const { WriteCompact(out, *this); }

// -------------------------------------------------------------- VexaHandle

namespace {

// The n-th node (from 0) of a walk that starts at first and steps with step.
template <typename Step>
VexaNode* NthOf(VexaNode* first, int n, Step step) {
    VexaNode* node = first;
    for (int i = 0; node && i < n; ++i) node = step(node);
    return node;
}

}  // namespace

VexaHandle VexaHandle::FirstChild() const { return VexaHandle(node ? node->FirstChild() : 0); }

VexaHandle VexaHandle::FirstChild(const char* v) const { return VexaHandle(node ? node->FirstChild(v) : 0); }

VexaHandle VexaHandle::FirstChildElement() const { return VexaHandle(node ? node->FirstChildElement() : 0); }

VexaHandle VexaHandle::FirstChildElement(const char* v) const {
    return VexaHandle(node ? node->FirstChildElement(v) : 0);
}

VexaHandle VexaHandle::Child(int index) const {
    if (!node) return VexaHandle(0);
    return VexaHandle(NthOf(node->FirstChild(), index, [](VexaNode* n) { return n->NextSibling(); }));
}

VexaHandle VexaHandle::Child(const char* v, int index) const {
    if (!node) return VexaHandle(0);
    return VexaHandle(NthOf(node->FirstChild(v), index, [v](VexaNode* n) { return n->NextSibling(v); }));
}

VexaHandle VexaHandle::ChildElement(int index) const {
    if (!node) return VexaHandle(0);
    return VexaHandle(
        NthOf(node->FirstChildElement(), index, [](VexaNode* n) -> VexaNode* { return n->NextSiblingElement(); }));
}

VexaHandle VexaHandle::ChildElement(const char* v, int index) const {
    if (!node) return VexaHandle(0);
    return VexaHandle(
        NthOf(node->FirstChildElement(v), index, [v](VexaNode* n) -> VexaNode* { return n->NextSiblingElement(v); }));
}

VexaElement* VexaHandle::ToElement() const { return node ? node->ToElement() : 0; }

VexaText* VexaHandle::ToText() const { return node ? node->ToText() : 0; }

// ----------------------------------------------------------- free operators

std::ostream& operator<<(std::ostream& out, const VexaNode& base) {
    base.StreamOut(&out);
    return out;
}

std::string& operator<<(std::string& out, const VexaNode& base) {
    Writer w(&out, impl::OutputEncoding(base));
    StreamNode(base, w);
    w.Flush();
    return out;
}

}  // namespace ORMELA
