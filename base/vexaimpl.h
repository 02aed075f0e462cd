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
    // The document that takes an attribute's parse errors, or null.
    static VexaDocument* Document(const VexaAttribute& attribute) { return attribute.document; }
    // Whether the document's last parse condensed white space in text.
    static bool TextCondensed(const VexaDocument& document) {
        return document.parsedSpace == VexaDocument::kSpaceCondensed;
    }
    // Records that a pooled attribute of the document's came to hold heap
    // memory; null for an attribute in no document.
    static void SetPiece(VexaDocument& document, int piece) { document.piece = piece; }
    static void NoteAttributeOnHeap(const VexaDocument* document) {
        if (document && document->memory) document->memory->attributesOnHeap = true;
    }
    static bool KeptReferences(const VexaAttribute& attribute) { return attribute.keptReferences; }
    static Dtd* DtdOf(const VexaDocument& document) { return document.dtd; }
    static Dtd*& DtdSlot(VexaDocument& document) { return document.dtd; }
    static Dtd* DtdOf(const VexaParsingData& data) { return data.dtd; }
    static bool Preserving(const VexaParsingData& data) { return data.preserve; }
    static void SetPreserving(VexaParsingData* data, bool on) { data->preserve = on; }
    // For the inclusion of entities and the supply of defaults.
    static const char*& End(VexaParsingData& data) { return data.end; }
    static int& TabSize(VexaParsingData& data) { return data.tabsize; }
    static int Encoding(const VexaParsingData& data) { return data.encoding; }
    static VexaMemory* Memory(const VexaParsingData& data) { return data.memory; }
    static VexaAttributeSet& Attributes(VexaElement& element) { return element.attributeSet; }
    static VexaAttribute* NewAttribute(VexaMemory* memory) { return VexaElement::CreateAttribute(memory); }
    static Chars& MutableName(VexaAttribute& attribute) { return attribute.name; }
    static Chars& MutableValue(VexaAttribute& attribute) { return attribute.value; }
    static void SetDefaulted(VexaAttribute& attribute, VexaDocument* document) {
        attribute.defaulted = true;
        attribute.document = document;
    }
    static void SetKeptReferences(VexaAttribute& attribute) { attribute.keptReferences = true; }
    static void SetLocation(VexaAttribute& attribute, const VexaCursor& at) { attribute.location = at; }
    static void MarkReference(VexaText& text) { text.reference = true; }
    static VexaNode* CreateNode(int kind, VexaMemory* memory) { return VexaNode::Create(kind, memory); }
    static Chars& MutableValue(VexaNode& node) { return node.value; }
    static VexaCursor& Location(VexaNode& node) { return node.location; }
    // Bytes a document's memory has taken from the heap (0 before any parse).
    static size_t MemoryHeld(const VexaDocument& document) { return document.memory ? document.memory->Held() : 0; }
    // A document's text encoding setting, DETECT included.
    static int EncodingSetting(const VexaDocument& document) { return document.textEncoding; }
    // The text encoding a location tracker counts columns with.
    static void SetEncoding(VexaParsingData* data, int encoding) { data->encoding = encoding; }
    // How far a tracker has counted: past the second half of a line break
    // when the first one ends where it was asked to stop.
    static const char* Counted(const VexaParsingData& data) { return data.stamp; }
    // Moves every child of from, and the memory they live in, to to, which
    // has neither; attributes are told their new document. No node is copied.
    static void MoveContent(VexaDocument* from, VexaDocument* to) {
        to->memory = from->memory;
        from->memory = 0;
        to->firstChild = from->firstChild;
        to->lastChild = from->lastChild;
        from->firstChild = from->lastChild = 0;
        VexaNode* n = to->firstChild;
        while (n) {
            if (n->parent == from) n->parent = to;
            if (n->type == VexaNode::ELEMENT) {
                for (VexaAttribute* a = static_cast<VexaElement*>(n)->FirstAttribute(); a; a = a->next)
                    a->document = to;
            }
            if (n->firstChild) {
                n = n->firstChild;
                continue;
            }
            while (n && !n->next) n = n->parent == to ? 0 : n->parent;
            if (n) n = n->next;
        }
    }
    // Locations, which Clone leaves out, for copies that keep them.
    static void CopyLocation(const VexaNode& from, VexaNode* to) { to->location = from.location; }
    static void CopyLocation(const VexaAttribute& from, VexaAttribute* to) { to->location = from.location; }
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

// The process-wide white-space default; only SetCondenseWhiteSpace writes it.
extern bool condenseWhiteSpaceDefault;

// Whether text content parsed for document (null: none) has its white
// space condensed: the document's own setting, else the process-wide
// default. Every parser asks here; nothing else reads that default.
inline bool CondensesWhiteSpace(const VexaDocument* document) {
    const int mode = document ? document->WhiteSpaceMode() : VEXA_WHITESPACE_DEFAULT;
    return mode == VEXA_WHITESPACE_DEFAULT ? condenseWhiteSpaceDefault : mode == VEXA_WHITESPACE_CONDENSE;
}
// The length of a reference at p ('&') that a value keeps as written: "&",
// a name that is none of the five predefined ones, ";"; 0 for anything else.
size_t KeptReferenceLength(const char* p);
// Frees a document's declarations (null is fine).
void DeleteDtd(Dtd* dtd);
// A copy of a document's declarations for its clone, or null.
Dtd* CopyDtd(const Dtd* dtd);

// Stores a copy of s[0, n) in *chars, in memory (a parse's) or, when it
// is null, on the heap.
void CopyAny(Chars* chars, VexaMemory* memory, const char* s, size_t n);

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

// What a document's parse reads: a whole document, or one piece of a file
// that a subtree reader parses in turn. The first piece (the prolog) starts
// the declarations afresh; a later one reads with those the prolog made.
// Neither needs a root element of its own.
enum PieceKind { kPieceNone = 0, kPieceFirst, kPieceLater };
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
