// Text encodings: what a declared encoding name calls for, and the UTF-16
// forms that files are converted from and back to. Never installed.
#ifndef VEXA_ENCODING_INCLUDED
#define VEXA_ENCODING_INCLUDED

#include <cstddef>
#include <string>

namespace ORMELA {
namespace impl {

// The text encoding that a declared encoding name calls for: UTF8, LEGACY
// (no name, Latin-1 or ASCII, letter case ignored) or RAW (any other).
int EncodingForName(const char* name);

// Writes the UTF-8 bytes of the code point cp (at most 0x10FFFF) to bytes;
// returns how many (1 to 4).
size_t EncodeUtf8(unsigned long cp, char* bytes);

// Appends the UTF-8 bytes of the code point cp (at most 0x10FFFF).
void AppendUtf8(unsigned long cp, std::string* text);

// Converts UTF-16 text (without its byte order mark) to UTF-8, appending to
// *out. False at an odd length or an unpaired surrogate; *out then holds
// what came before the fault.
bool Utf16ToUtf8(const char* text, size_t length, bool bigEndian, std::string* out);

// Converts UTF-8 text to UTF-16 in the given byte order, appending to *out.
// Bytes that are not UTF-8 become U+FFFD, the replacement character.
void Utf8ToUtf16(const std::string& text, bool bigEndian, std::string* out);

}  // namespace impl
}  // namespace ORMELA

#endif  // VEXA_ENCODING_INCLUDED
