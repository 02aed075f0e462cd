// The well-formedness check of strict parsing: one pass over the text, before
// the tree is built, that finds the first place where the text is not XML.
// Never installed.
#ifndef VEXA_STRICT_INCLUDED
#define VEXA_STRICT_INCLUDED

namespace ORMELA {
namespace impl {

// How the checked text's bytes make characters.
enum StrictMode {
    kStrictUtf8,       // UTF-8, every sequence checked
    kStrictLatin1,     // one byte, one character
    kStrictBytes,      // an encoding not decoded here: bytes from 0x80 on pass as name characters
    kStrictUndeclared  // UTF-8, unless the XML declaration names an encoding (then Latin-1)
};

// What the text was before the parse: bytes as they are, bytes after a
// UTF-8 byte order mark, or UTF-8 converted from UTF-16. The encoding
// declared must agree.
enum StrictForm { kStrictPlain, kStrictUtf8Mark, kStrictFromUtf16 };

// Where and why a text is not well-formed.
struct StrictFault {
    int code;        // a VEXA_ERROR_ value
    const char* at;  // the offending character, within the text
};

// Checks the text [text, end), where *end is its terminating zero, as one
// XML document, read from the given form. True when it is well-formed; otherwise false with the first
// violation in *fault. Runs in one loop with its open elements in a heap
// list, so nesting costs memory, never stack.
// flags: kStrictPiece for one piece of a document (no root element needed),
// kStrictDeclared when a DOCTYPE read before the text declares what its
// references name (they are then left to the declarations' reader).
enum StrictFlags { kStrictPiece = 1, kStrictDeclared = 2 };
bool CheckWellFormed(const char* text, const char* end, StrictMode mode, StrictForm form, StrictFault* fault,
                     unsigned flags = 0);

// Whether cp is a character XML allows in a document.
inline bool IsDocumentChar(unsigned long cp) {
    return cp < 0xD800 ? (cp >= 0x20 || cp == 0x9 || cp == 0xA || cp == 0xD)
                       : (cp >= 0xE000 ? (cp <= 0xFFFD || (cp >= 0x10000 && cp <= 0x10FFFF)) : false);
}

}  // namespace impl
}  // namespace ORMELA

#endif  // VEXA_STRICT_INCLUDED
