// Internals shared by the library's source files. Never installed.
#ifndef VEXA_IMPL_INCLUDED
#define VEXA_IMPL_INCLUDED

#include <new>
#include <string>

#include "vexa.h"
#include "vexamemory.h"

// SSE2 is part of every x86-64 processor; elsewhere (or built with
// VEXA_NO_SSE2, to test that code here) the scanners read eight-byte words.
#if defined(__SSE2__) && !defined(VEXA_NO_SSE2)
#define VEXA_SCAN_SSE2 1
#include <emmintrin.h>
#endif

// For the few helpers that every name, value or piece of output passes
// through, where a call costs more than their work, and for the rare paths
// kept out of line so that the common ones inline small.
#if defined(__GNUC__)
#define VEXA_NOINLINE __attribute__((noinline))
#define VEXA_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define VEXA_NOINLINE __declspec(noinline)
#define VEXA_ALWAYS_INLINE __forceinline
#else
#define VEXA_NOINLINE
#define VEXA_ALWAYS_INLINE inline
#endif

namespace ORMELA {
namespace impl {

// Prints "file:line: failed assertion `text'" to standard error and aborts.
[[noreturn]] void AssertFail(const char* file, unsigned line, const char* text);

// Inline: the parse calls them for every name and value.
inline void Chars::Adopt(char* place, size_t n, bool inMemory) {
    // What the document's memory holds stays there until it goes in bulk.
    if (text && !(bits & kInMemory)) delete[] text;
    text = place;
    bits = n | (inMemory ? kInMemory : 0);
}

inline void Chars::Drop(VexaMemory* memory) {
    if (!text) return;
    if (!(bits & kInMemory)) {
        delete[] text;
    } else if (memory) {
        memory->Give(text, size() + 1);
    }
    text = 0;
    bits = 0;
}

inline void Chars::FreeHeap() const {
    if (text && !(bits & kInMemory)) delete[] text;
}

// What nodes and attributes hold, for the library's own code.
struct Access {
    static const Chars& Value(const VexaNode& node) { return node.value; }
    // The kind without the virtual call of Type().
    static int Kind(const VexaNode& node) { return node.type; }
    static const Chars& Name(const VexaAttribute& attribute) { return attribute.name; }
    static const Chars& Value(const VexaAttribute& attribute) { return attribute.value; }
    // Records that a pooled attribute of the document's came to hold heap
    // memory; null for an attribute in no document.
    static void NoteAttributeOnHeap(const VexaDocument* document) {
        if (document && document->memory) document->memory->attributesOnHeap = true;
    }
#ifndef VEXA_NO_XPATH
    static std::vector<VexaXPathNode>& Items(VexaXPathNodeSet& set) { return set.items; }
    static const std::vector<VexaXPathNode>& Items(const VexaXPathNodeSet& set) { return set.items; }
    static int& Type(VexaXPathValue& v) { return v.type; }
    static double& Number(VexaXPathValue& v) { return v.number; }
    static bool& Boolean(VexaXPathValue& v) { return v.boolean; }
    static std::string& Text(VexaXPathValue& v) { return v.text; }
    static VexaXPathNodeSet& Nodes(VexaXPathValue& v) { return v.nodes; }
#endif
};

// Nesting limit of a parse or stream read that has no document to ask.
const int kDefaultMaxDepth = 1000;

// Character classes of the ASCII range; bytes 0x80 to 0xFF are in none.
enum { kSpace = 1, kAlpha = 2, kDigit = 4, kNamePunct = 8 };
extern const unsigned char kCharClass[256];

inline bool IsSpaceByte(char c) { return (kCharClass[static_cast<unsigned char>(c)] & kSpace) != 0; }
inline bool IsAsciiAlpha(char c) { return (kCharClass[static_cast<unsigned char>(c)] & kAlpha) != 0; }
// Folds ASCII letters to lower case; every other byte folds to itself.
inline char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// How a document's file was laid out, so that SaveFile can write it again.
enum FileForm { kFormPlain = 0, kFormUtf8Bom, kFormUtf16LE, kFormUtf16BE };
// Set beside a form by LoadFile for the parse it runs next.
const int kFormLoading = 0x100;

// The encoding a node is written in: its document's, or the classic rules
// for a node in no document.
int OutputEncoding(const VexaNode& node);

// Decides where a piece of unknown markup ends, one character at a time.
// Plain markup ends at its first '>'; a processing instruction ("<?") at
// its "?>"; a DOCTYPE with an internal subset at
// the '>' after the subset's closing ']' (quotes, comments and processing
// instructions inside the subset may hold '>' and ']'); a CDATA section at
// its "]]>". The first character fed is the opening '<'.
class UnknownScanner {
public:
    UnknownScanner()
        : state(kPrefix), count(0), history(0), quote(0), maybeDoctype(true), maybeCdata(true), maybePi(true) {}
    // Feeds the next character; true when it is the final '>'.
    bool Feed(char c);

private:
    enum State { kPrefix, kPlain, kDoctype, kSubset, kQuote, kComment, kPi, kAfterSubset, kCdata, kInstruction };
    bool EndsWith(const char* tail) const;

    State state;
    unsigned count;     // characters fed while matching the prefixes
    unsigned history;   // the last four characters fed, newest in the low byte
    char quote;         // the quotation mark that opened a literal in the subset
    bool maybeDoctype;  // prefix still matches "<!DOCTYPE"
    bool maybeCdata;    // prefix still matches "<![CDATA["
    bool maybePi;       // prefix still matches "<?"
};

}  // namespace impl

// In line: the parse makes and links every attribute with them.
inline VexaAttribute* VexaElement::CreateAttribute(VexaMemory* memory) {
    VexaAttribute* const attribute =
        memory ? new (memory->Allocate(sizeof(VexaAttribute))) VexaAttribute() : new VexaAttribute();
    attribute->pooled = memory != 0;
    return attribute;
}

inline void VexaAttributeSet::Append(VexaAttribute* addMe) {
    addMe->next = 0;
    if (!first) {
        addMe->prev = addMe;
        first = addMe;
        return;
    }
    VexaAttribute* last = first->prev;
    addMe->prev = last;
    last->next = addMe;
    first->prev = addMe;
}

}  // namespace ORMELA

#ifdef NDEBUG
#define VEXA_ASSERT(cond) static_cast<void>(0)
#else
#define VEXA_ASSERT(cond) ((cond) ? static_cast<void>(0) : ::ORMELA::impl::AssertFail(__FILE__, __LINE__, #cond))
#endif

#endif  // VEXA_IMPL_INCLUDED
