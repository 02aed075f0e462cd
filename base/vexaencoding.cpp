// Text encodings: encoding names and the UTF-16 conversions.
#include "vexaencoding.h"

#include "vexa.h"

namespace ORMELA {
namespace impl {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Whether name equals one of names (lower case, the list ending with an
// empty one), ASCII letter case ignored.
bool NameIn(const char* name, const char* const* names) {
    for (; **names; ++names) {
        const char* a = name;
        const char* b = *names;
        while (*a && Lower(*a) == *b) {
            ++a;
            ++b;
        }
        if (!*a && !*b) return true;
    }
    return false;
}

unsigned Unit(const char* p, bool bigEndian) {
    const unsigned char a = static_cast<unsigned char>(p[0]);
    const unsigned char b = static_cast<unsigned char>(p[1]);
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
}

void PutUnit(unsigned unit, bool bigEndian, std::string* out) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out->push_back(bigEndian ? high : low);
    out->push_back(bigEndian ? low : high);
}

// Decodes one UTF-8 character at s[i]; returns its length, or 0 when the
// bytes there are not UTF-8 (overlong forms and surrogates included).
size_t DecodeUtf8(const std::string& s, size_t i, unsigned long* cp) {
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned long value;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        value = value << 6 | (c & 0x3F);
    }
    static const unsigned long least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return n;
}

}  // namespace

int EncodingForName(const char* name) {
    static const char* const utf8[] = {"utf-8", "utf8", "utf-16", "utf-16le", "utf-16be", ""};
    // ISO-8859-1 and US-ASCII under the names their registrations list.
    static const char* const legacy[] = {"iso-8859-1",
                                         "iso8859-1",
                                         "iso_8859-1",
                                         "iso_8859-1:1987",
                                         "latin1",
                                         "latin-1",
                                         "l1",
                                         "iso-ir-100",
                                         "ibm819",
                                         "cp819",
                                         "csisolatin1",
                                         "us-ascii",
                                         "ascii",
                                         "us",
                                         "iso646-us",
                                         "iso-ir-6",
                                         "ansi_x3.4-1968",
                                         "ansi_x3.4-1986",
                                         "ibm367",
                                         "cp367",
                                         "csascii",
                                         ""};
    if (!*name || NameIn(name, legacy)) return VEXA_ENCODING_LEGACY;
    return NameIn(name, utf8) ? VEXA_ENCODING_UTF8 : VEXA_ENCODING_RAW;
}

size_t EncodeUtf8(unsigned long cp, char* bytes) {
    size_t n;
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    return n;
}

void AppendUtf8(unsigned long cp, std::string* text) {
    char bytes[4];
    text->append(bytes, EncodeUtf8(cp, bytes));
}

bool Utf16ToUtf8(const char* text, size_t length, bool bigEndian, std::string* out) {
    out->reserve(out->size() + length / 2 + length / 8);
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        const unsigned unit = Unit(text + i, bigEndian);
        if (unit < 0x80) {
            out->push_back(static_cast<char>(unit));
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;  // a low surrogate with no high one before it
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            const unsigned low = i + 3 < length ? Unit(text + i + 2, bigEndian) : 0;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            AppendUtf8(0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) + (low - 0xDC00), out);
            i += 2;
        } else {
            AppendUtf8(unit, out);
        }
    }
    return i == length;
}

void Utf8ToUtf16(const std::string& text, bool bigEndian, std::string* out) {
    out->reserve(out->size() + text.size() * 2);
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {  // most of any XML text
            PutUnit(c, bigEndian, out);
            ++i;
            continue;
        }
        unsigned long cp = 0;
        const size_t n = DecodeUtf8(text, i, &cp);
        if (n == 0) {
            PutUnit(0xFFFD, bigEndian, out);
            ++i;
        } else if (cp >= 0x10000) {
            PutUnit(static_cast<unsigned>(0xD800 + ((cp - 0x10000) >> 10)), bigEndian, out);
            PutUnit(static_cast<unsigned>(0xDC00 + ((cp - 0x10000) & 0x3FF)), bigEndian, out);
            i += n;
        } else {
            PutUnit(static_cast<unsigned>(cp), bigEndian, out);
            i += n;
        }
    }
}

}  // namespace impl
}  // namespace ORMELA
