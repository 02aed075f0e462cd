// Vexa: a small XML document object model. MIT licence.

#define VEXA_VERSION_MAJOR 3
#define VEXA_VERSION_MINOR 0
#define VEXA_VERSION_PATCH 0
/// One comparable integer: major * 10000 + minor * 100 + patch.
#define VEXA_VERSION (VEXA_VERSION_MAJOR * 10000 + VEXA_VERSION_MINOR * 100 + VEXA_VERSION_PATCH)

#ifndef VEXA_INCLUDED
#define VEXA_INCLUDED

#include <stdint.h>

#include <cstddef>
#include <cstdio>
#include <iosfwd>
#include <iterator>
#include <string>
#ifndef VEXA_NO_XPATH
#include <vector>
#endif

// Symbols of the public API are the only ones the shared library exports.
#if defined(VEXA_STATIC)
#define VEXA_API
#elif defined(_WIN32)
#if defined(VEXA_BUILDING)
#define VEXA_API __declspec(dllexport)
#else
#define VEXA_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define VEXA_API __attribute__((visibility("default")))
#else
#define VEXA_API
#endif

namespace ORMELA {

class VexaNode;
class VexaDocument;
class VexaMemory;
class VexaElement;
class VexaComment;
class VexaUnknown;
class VexaAttribute;
class VexaText;
class VexaDeclaration;
class VexaParsingData;
class VexaReader;
#ifndef VEXA_NO_XPATH
class VexaXPath;
class VexaXPathNode;
class VexaXPathNodeSet;
#endif

/// Error codes recorded on a document; ErrorText() gives the message of each.
enum {
    VEXA_ERROR_NONE = 0,
    VEXA_ERROR_GENERIC,
    VEXA_ERROR_FILE_OPEN,
    VEXA_ERROR_OUT_OF_MEMORY,
    VEXA_ERROR_ELEMENT,
    VEXA_ERROR_ELEMENT_NAME,
    VEXA_ERROR_ELEMENT_VALUE,
    VEXA_ERROR_ATTRIBUTES,
    VEXA_ERROR_EMPTY_TAG,
    VEXA_ERROR_END_TAG,
    VEXA_ERROR_UNKNOWN,
    VEXA_ERROR_COMMENT,
    VEXA_ERROR_DECLARATION,
    VEXA_ERROR_DOCUMENT_EMPTY,
    VEXA_ERROR_DEPTH,
    VEXA_ERROR_OUTSIDE_ELEMENT,
    VEXA_ERROR_ENCODING,
    VEXA_ERROR_ENTITY_RECURSION,
    VEXA_ERROR_ENTITY_EXPANSION,
    VEXA_ERROR_ENTITY_MARKUP,
    VEXA_ERROR_ENTITY_DEPTH,
    // Strict mode (VexaDocument::SetStrict()): each names the rule broken.
    /// An end tag that does not close the element open, letter case included.
    VEXA_ERROR_MISMATCHED_TAG = 21,
    /// A character XML does not allow, or bytes that are not UTF-8 in UTF-8 text.
    VEXA_ERROR_CHARACTER,
    /// A name that starts or goes on with a character names may not hold.
    VEXA_ERROR_NAME,
    /// A reference to an entity that is not declared.
    VEXA_ERROR_UNDEFINED_ENTITY,
    /// A character reference to something that is not a character.
    VEXA_ERROR_CHARACTER_REFERENCE,
    /// An '&' that starts no reference, or a reference without its ';'.
    VEXA_ERROR_REFERENCE,
    /// Anything but comments, processing instructions and white space after the root element.
    VEXA_ERROR_AFTER_ROOT,
    /// A document without a root element.
    VEXA_ERROR_NO_ROOT,
    /// An XML declaration anywhere but at the very start.
    VEXA_ERROR_DECLARATION_PLACE,
    /// A malformed processing instruction, or one whose target is "xml" in any letter case.
    VEXA_ERROR_PI,
    /// A malformed CDATA section, or one outside the root element.
    VEXA_ERROR_CDATA,
    /// A malformed or misplaced document type declaration.
    VEXA_ERROR_DOCTYPE,
    /// A '<' in an attribute value.
    VEXA_ERROR_LESS_THAN_IN_VALUE,
    /// "]]>" in text.
    VEXA_ERROR_CDATA_END_IN_TEXT,
    /// An attribute name given twice in one start tag.
    VEXA_ERROR_REPEATED_ATTRIBUTE,
    /// An attribute value without quotation marks.
    VEXA_ERROR_UNQUOTED_VALUE,
    /// Markup that starts no construct XML knows.
    VEXA_ERROR_SYNTAX,
    /// Markup or an element still open at the end of the text.
    VEXA_ERROR_UNCLOSED,
    /// A reference to an unparsed (NDATA) entity in content or a value.
    VEXA_ERROR_UNPARSED_ENTITY,
    /// A reference to an external entity in an attribute value.
    VEXA_ERROR_EXTERNAL_ENTITY,
    /// "--" inside a comment, or a comment that ends in "--->".
    VEXA_ERROR_COMMENT_HYPHENS,
    /// Two attributes without white space between them.
    VEXA_ERROR_ATTRIBUTE_SPACE,
    /// An attribute name without '=' and a value after it.
    VEXA_ERROR_ATTRIBUTE_VALUE,
    VEXA_ERROR_STRING_COUNT
};

/// How a document reads and writes bytes beyond ASCII and character
/// references (see VexaDocument::SetTextEncoding()).
enum {
    /// Decided at each parse from the byte order mark and the declaration.
    VEXA_ENCODING_DETECT = 0,
    /// UTF-8: references decode to UTF-8, non-ASCII bytes are written as they
    /// are, and columns count characters.
    VEXA_ENCODING_UTF8,
    /// The classic single-byte rules: short hexadecimal references only, and
    /// every byte beyond ASCII written as a reference.
    VEXA_ENCODING_LEGACY,
    /// Another declared encoding: bytes are kept and written as they are, and
    /// references beyond ASCII stay as written.
    VEXA_ENCODING_RAW
};

/// How a document's parses treat white space in text content (see
/// VexaDocument::SetWhiteSpaceMode()).
enum {
    /// As the process-wide setting says (VexaBase::SetCondenseWhiteSpace()).
    VEXA_WHITESPACE_DEFAULT = 0,
    /// Leading and trailing white space dropped, inner runs made one space.
    VEXA_WHITESPACE_CONDENSE,
    /// Text kept as written.
    VEXA_WHITESPACE_KEEP
};

/// Results of the numeric attribute queries.
enum { VEXA_QUERY_OK = 0, VEXA_QUERY_NO_ATTRIBUTE, VEXA_QUERY_WRONG_TYPE };

/// A zero-based row and column in parsed text; (-1, -1) means "no location".
struct VexaCursor {
    VexaCursor() : row(-1), col(-1) {}
    VexaCursor(int r, int c) : row(r), col(c) {}
    /// Back to "no location".
    void Clear() { row = col = -1; }

    int row;
    int col;
};

/// Settings of the indented form; the defaults give the classic output.
/// The strings are not copied: they must outlive the print that uses them.
struct VexaPrintOptions {
    VexaPrintOptions() : indent("    "), lineBreak("\n") {}
    /// Written once per nesting level, before each indented line; null writes nothing.
    const char* indent;
    /// Ends every line of the output; null writes nothing.
    const char* lineBreak;
};

namespace impl {

struct Access;       // the library's own way in to what nodes hold
struct Dtd;          // what a document's internal subset declares
struct ReaderState;  // what a VexaReader keeps between calls

/// The text a node or attribute holds, zero-terminated (not for direct use:
/// the classes' own accessors give it). It lives on the heap or, for what a
/// document's parse made, in that document's memory, which frees it in bulk.
class Chars {
public:
    Chars() : text(0), bits(0) {}
    ~Chars() {
        if (text && !(bits & kInMemory)) delete[] text;
    }
    const char* c_str() const { return text ? text : ""; }
    size_t size() const { return bits & ~kInMemory; }
    bool empty() const { return size() == 0; }
    /// Bytes readable from c_str(): the text, its zero, and in memory the
    /// padding up to a multiple of eight.
    size_t Room() const {
        return text ? ((bits & kInMemory) ? (size() + 8) & ~static_cast<size_t>(7) : size() + 1) : 1;
    }

    /// A heap copy of s[0, n); the old text goes only once the copy exists.
    void Assign(const char* s, size_t n);
    /// Takes place[0, n] (zero-terminated), from memory or from new[].
    void Adopt(char* place, size_t n, bool inMemory);
    /// Back to empty, giving the text back to memory or to the heap.
    void Drop(VexaMemory* memory);
    /// Frees the text if it is on the heap, for a holder about to vanish
    /// with its document's memory.
    void FreeHeap() const;
    void Swap(Chars& other);

private:
    Chars(const Chars&);
    Chars& operator=(const Chars&);
    static const size_t kInMemory = ~(~static_cast<size_t>(0) >> 1);  // the top bit
    char* text;                                                       // null while empty
    size_t bits;                                                      // the length, and kInMemory
};

// The steps of the range-for walks (defined at the end of this header):
// the next sibling, the next sibling element (named name, when name is
// set), the next attribute.
inline VexaNode* StepOf(const VexaNode* node, const char* name);
inline VexaElement* StepOf(const VexaElement* element, const char* name);
inline VexaAttribute* StepOf(const VexaAttribute* attribute, const char* name);

}  // namespace impl

// ------------------------------------------------------------- range-for

/// A forward iterator over siblings, yielding Item*: children (Item is
/// VexaNode), child elements (VexaElement) or attributes (VexaAttribute),
/// const for a const tree. It reads the next item only when it advances, so
/// a loop must not remove the item it stands on; anything else may change.
template <class Item>
class VexaIterator {
public:
    typedef std::forward_iterator_tag iterator_category;
    typedef Item* value_type;
    typedef std::ptrdiff_t difference_type;
    typedef Item* const* pointer;
    typedef Item* reference;

    /// The end of every walk.
    VexaIterator() : item(0), name(0) {}
    /// A walk from first (null: at the end); name, when set, keeps only
    /// elements of that name and is not copied.
    VexaIterator(Item* first, const char* only) : item(first), name(only) {}

    /// The item here; null at the end.
    Item* operator*() const { return item; }
    /// On to the next item.
    VexaIterator& operator++() {
        item = impl::StepOf(item, name);
        return *this;
    }
    /// On to the next item; returns where it stood.
    VexaIterator operator++(int) {
        VexaIterator before(*this);
        ++*this;
        return before;
    }
    /// Whether both stand on the same item (or both at the end).
    bool operator==(const VexaIterator& other) const { return item == other.item; }
    /// Whether they stand on different items.
    bool operator!=(const VexaIterator& other) const { return item != other.item; }

private:
    Item* item;
    const char* name;
};

/// What a range-for walks: the items from first on (see VexaIterator).
/// It allocates nothing and owns nothing.
template <class Item>
class VexaRange {
public:
    /// The items from first on; name as for VexaIterator.
    VexaRange(Item* first, const char* only) : head(first), name(only) {}
    /// The first item.
    VexaIterator<Item> begin() const { return VexaIterator<Item>(head, name); }
    /// The end.
    VexaIterator<Item> end() const { return VexaIterator<Item>(); }
    /// Whether there is no item.
    bool empty() const { return head == 0; }

private:
    Item* head;
    const char* name;
};

/// Root of everything that parses and writes itself: nodes and attributes.
/// Neither nodes nor attributes copy by value; Clone() makes deep copies.
class VEXA_API VexaBase {
public:
    /// One row of the entity table: the entity as written and its character.
    struct Entity {
        const char* str;
        unsigned int strLength;
        char chr;
    };

    /// Owns a heap copy of a string, cut at its first zero byte.
    class VEXA_API StringToBuffer {
    public:
        explicit StringToBuffer(const std::string& str);
        ~StringToBuffer();
        /// The copy, or null when it could not be made.
        char* buffer;

    private:
        StringToBuffer(const StringToBuffer&);
        StringToBuffer& operator=(const StringToBuffer&);
    };

    VexaBase() {}
    virtual ~VexaBase();

    /// Write indented XML to an open file; depth is the indentation level.
    virtual void Print(FILE* file, int depth) const = 0;
    /// Write compact XML to an output stream.
    virtual void StreamOut(std::ostream* out) const = 0;
    /// Read this item from the zero-terminated text at p. Returns the position
    /// after it, or null on failure. data tracks locations and may be null.
    virtual const char* Parse(const char* p, VexaParsingData* data) = 0;

    /// Zero-based row where this item began in the parsed text (a tab advances
    /// to the next tab stop), or -1 when the item was not parsed.
    int Row() const { return location.row; }
    /// Zero-based column of the item's first character, or -1 (see Row()).
    int Column() const { return location.col; }

    /// Whether text content has its white space condensed (true by default):
    /// leading and trailing white space dropped, inner runs made one space.
    /// The process-wide default, for every document whose own setting is
    /// VEXA_WHITESPACE_DEFAULT (VexaDocument::SetWhiteSpaceMode()); change it
    /// only while no such parse runs.
    static void SetCondenseWhiteSpace(bool condense);
    /// The current white-space setting, see SetCondenseWhiteSpace().
    static bool IsWhiteSpaceCondensed();

    // Low-level scanning over zero-terminated text. Each returns the position
    // where it stopped; null means nothing of the kind or the text ended.

    /// True for space, tab, line feed, carriage return, vertical tab, form feed.
    static bool IsWhiteSpace(char c);
    /// First position that is not white space; null for a null or empty p.
    static const char* SkipWhiteSpace(const char* p);
    /// Whether the text at p begins with tag (the first letter ignores case).
    static bool StringEqual(const char* p, const char* tag, bool exactCase);
    /// Reads a name: a letter, '_', ':' or a byte beyond ASCII first, then
    /// also digits, '-' and '.'.
    static const char* ReadName(const char* p, std::string* name);
    /// Decodes one reference at the '&' at p into *value.
    static const char* GetEntity(const char* p, char* value);
    /// Reads character data up to endTag, decoding references; returns the
    /// position after endTag, or null when the text ends first.
    static const char* ReadText(const char* p, std::string* text, bool trimWhiteSpace, const char* endTag,
                                bool exactCase);

    /// Appends str escaped for XML output: markup characters as entities,
    /// bytes outside printable ASCII as "&#xHH;".
    static void PutString(const std::string& str, std::string* outString);
    /// Writes str escaped as above to the stream.
    static void PutString(const std::string& str, std::ostream* stream);

    /// Copies white space from the stream into *tag; false when the stream
    /// was not good or stopped being good.
    static bool StreamWhiteSpace(std::istream* in, std::string* tag);
    /// Copies characters into *tag up to (not including) stop; true when the
    /// stop character is next in the stream.
    static bool StreamTo(std::istream* in, int stop, std::string* tag);

    /// The five predefined entities, in lookup order: amp, lt, gt, quot, apos.
    static const Entity entity[5];
    /// Message of each error code, indexed by code.
    static const char* const errorString[VEXA_ERROR_STRING_COUNT];

protected:
    VexaCursor location;

private:
    VexaBase(const VexaBase&);
    VexaBase& operator=(const VexaBase&);
};

/// A node of the tree. A node owns its children; deleting it deletes them.
class VEXA_API VexaNode : public VexaBase {
    friend class VexaDocument;
    friend class VexaElement;
    friend struct impl::Access;

public:
    /// The kind of a node, as Type() reports it.
    enum NodeType { DOCUMENT, ELEMENT, COMMENT, UNKNOWN, TEXT, DECLARATION };

    /// Deletes every child, first to last. A linked node must be removed
    /// through its parent instead of being deleted directly (a parsed node
    /// is always linked, and lives in its document's memory).
    virtual ~VexaNode();

    /// The value: a document's file name, an element's tag name, the text of
    /// a text, comment or unknown node. Never null.
    const char* Value() const { return value.c_str(); }
    /// A copy of the value as a string.
    std::string ValueStr() const { return std::string(value.c_str(), value.size()); }
    /// Replaces the value with a copy of v (not null).
    void SetValue(const char* v);
    /// Replaces the value with a copy of v.
    void SetValue(const std::string& v);

    /// The node's kind.
    virtual int Type() const;

    /// The parent, or null for a node that is not linked.
    VexaNode* Parent() const { return parent; }
    /// The first child, or null.
    VexaNode* FirstChild() const { return firstChild; }
    /// The last child, or null.
    VexaNode* LastChild() const { return lastChild; }
    /// The previous sibling, or null.
    VexaNode* PreviousSibling() const { return prev; }
    /// The next sibling, or null.
    VexaNode* NextSibling() const { return next; }

    /// First child whose value equals v exactly (any kind), or null.
    VexaNode* FirstChild(const char* v) const;
    /// Last child whose value equals v exactly, or null.
    VexaNode* LastChild(const char* v) const;
    /// Next sibling whose value equals v exactly, or null.
    VexaNode* NextSibling(const char* v) const;
    /// Previous sibling whose value equals v exactly, or null.
    VexaNode* PreviousSibling(const char* v) const;

    /// First child element, or null.
    VexaElement* FirstChildElement() const;
    /// First child element named v, or null.
    VexaElement* FirstChildElement(const char* v) const;
    /// Next sibling element, or null.
    VexaElement* NextSiblingElement() const;
    /// Next sibling element named v, or null.
    VexaElement* NextSiblingElement(const char* v) const;

    /// The child after previous, or the first child when previous is null.
    /// previous must be a child of this node; otherwise null.
    VexaNode* IterateChildren(VexaNode* previous) const;
    /// As above, counting only children whose value equals v.
    VexaNode* IterateChildren(const char* v, VexaNode* previous) const;

    // Range-for over the children: for (VexaElement* item : shop->ChildElements("item")).
    // The loop must not remove the child it stands on (see VexaIterator).

    /// Every child, first to last.
    VexaRange<VexaNode> Children();
    /// Every child of a const node.
    VexaRange<const VexaNode> Children() const;
    /// Every child element.
    VexaRange<VexaElement> ChildElements();
    /// Every child element of a const node.
    VexaRange<const VexaElement> ChildElements() const;
    /// Every child element named name (not copied: it must outlive the loop).
    VexaRange<VexaElement> ChildElements(const char* name);
    /// Every child element named name, of a const node.
    VexaRange<const VexaElement> ChildElements(const char* name) const;

    /// The document this node belongs to (itself for a document), or null.
    VexaDocument* GetDocument() const;

    /// The application's pointer; copied by Clone, never used by the library.
    void* GetClientData() const { return clientData; }
    /// Sets the application's pointer.
    void SetClientData(void* d) { clientData = d; }

    /// Links addThis (unlinked, heap-allocated) as the last child; the tree
    /// takes ownership. Returns addThis.
    VexaNode* LinkEndChild(VexaNode* addThis);
    /// Links a copy of addThis as the last child; returns the copy or null.
    VexaNode* InsertEndChild(const VexaNode& addThis);
    /// Links a copy of addThis before the child beforeThis; returns the copy,
    /// or null when beforeThis is null or not a child of this node.
    VexaNode* InsertBeforeChild(VexaNode* beforeThis, const VexaNode& addThis);
    /// Links a copy of addThis after the child afterThis; returns the copy or null.
    VexaNode* InsertAfterChild(VexaNode* afterThis, const VexaNode& addThis);
    /// Replaces the child replaceThis (deleting it) by a copy of withThis;
    /// returns the copy, or null when replaceThis is not a child.
    VexaNode* ReplaceChild(VexaNode* replaceThis, const VexaNode& withThis);
    /// Deletes the child removeThis and its subtree. False when it is not a child.
    bool RemoveChild(VexaNode* removeThis);
    /// Deletes every child.
    void Clear();

    /// Appends the indented form of this node (at depth 0) to *out; a null
    /// out is ignored. With default options the bytes are those Print writes.
    void PrintTo(std::string* out, const VexaPrintOptions& options = VexaPrintOptions()) const;
    /// Writes the indented form to out, as one formatted output operation:
    /// nothing is written to a stream that is not good, and a failed write
    /// leaves failbit set.
    void PrintTo(std::ostream& out, const VexaPrintOptions& options = VexaPrintOptions()) const;

    /// A deep copy owned by the caller, unlinked and without location.
    virtual VexaNode* Clone() const = 0;
    /// Reads this node's markup from a stream into *tag (see operator>>).
    virtual void StreamIn(std::istream* in, std::string* tag) = 0;

#ifndef VEXA_NO_XPATH
    /// The node-set the XPath expression selects with this node as the
    /// context; empty when the expression does not compile or gives no
    /// node-set. Compile a VexaXPath once to run a query many times.
    VexaXPathNodeSet SelectNodes(const char* expression) const;
    /// The first item in document order of SelectNodes(expression); a null
    /// item when there is none.
    VexaXPathNode SelectNode(const char* expression) const;
    /// The node-set a compiled query selects with this node as the context.
    VexaXPathNodeSet SelectNodes(const VexaXPath& query) const;
    /// The first item of SelectNodes(query), or a null item.
    VexaXPathNode SelectNode(const VexaXPath& query) const;
#endif

    /// This node as the given kind, or null when it is of another kind.
    VexaDocument* ToDocument() const;
    VexaElement* ToElement() const;
    VexaComment* ToComment() const;
    VexaUnknown* ToUnknown() const;
    VexaText* ToText() const;
    VexaDeclaration* ToDeclaration() const;

protected:
    explicit VexaNode(NodeType nodeType);

    /// Copies value (up to its first zero byte) and clientData to target.
    void CopyNodeTo(VexaNode* target) const;
    /// Applies CopyNodeTo to copy, a new node of this kind, and returns it.
    VexaNode* FinishClone(VexaNode* copy) const;
    /// Creates the node that starts at p (not linked, parent set), or null
    /// when no markup starts there.
    VexaNode* Identify(const char* p);
    /// Unlinks and deletes every child.
    void DeleteChildren();
    /// As above, with the memory of the document the children belong to.
    void DeleteChildren(VexaMemory* memory);
    /// Deletes every child of a document whose memory goes right after:
    /// only what its nodes hold on the heap needs freeing one by one.
    void DiscardChildren();
    /// Deletes node and its subtree, giving what came from the document's
    /// memory back to it.
    static void Destroy(VexaNode* node, VexaMemory* memory);
    /// A new node of kind, from memory (null: the heap).
    static VexaNode* Create(int kind, VexaMemory* memory);
    /// The memory of this node's document, or null.
    VexaMemory* MemoryOf() const;
    /// Links deep copies of source's children under copy, without recursion.
    static void CopyChildren(const VexaNode& source, VexaNode* copy);

    VexaNode* parent;
    NodeType type;
    bool pooled;  // made in its document's memory, not on the heap
    // An element's parse: xml:space="preserve" is in effect for its content.
    bool spacePreserved;
    VexaNode* firstChild;
    VexaNode* lastChild;
    impl::Chars value;
    VexaNode* prev;
    VexaNode* next;
    void* clientData;
};

/// One name/value pair of an element. Values are held as text.
class VEXA_API VexaAttribute : public VexaBase {
    friend class VexaAttributeSet;
    friend class VexaElement;
    friend struct impl::Access;

public:
    /// An attribute with empty name and value.
    VexaAttribute() : document(0), prev(0), next(0), pooled(false), defaulted(false), keptReferences(false) {}
    /// An attribute with copies of name and value (neither null).
    VexaAttribute(const char* name, const char* value);
    virtual ~VexaAttribute();

    /// The name; never null.
    const char* Name() const { return name.c_str(); }
    /// The value as text; never null.
    const char* Value() const { return value.c_str(); }
    /// Replaces the value with a copy of v; the attribute is then specified.
    void SetValue(const char* v);
    /// False for an attribute the parse supplied from a declared default
    /// (output leaves it out while it is not set); true otherwise.
    bool Specified() const { return !defaulted; }
    /// Sets the document that receives this attribute's parse errors.
    void SetDocument(VexaDocument* doc) { document = doc; }

    /// The next attribute of the element, or null after the last (or for an
    /// attribute in no element).
    VexaAttribute* Next() const;
    /// The previous attribute of the element, or null before the first.
    VexaAttribute* Previous() const;

    /// The value as an int (atoi rules, clamped to the int range); 0 if none.
    int IntValue() const;
    /// The value as a double (atof rules); 0.0 if none.
    double DoubleValue() const;
    /// Writes the value as an int to *out and returns VEXA_QUERY_OK, or
    /// returns VEXA_QUERY_WRONG_TYPE (value not a number, or out of range)
    /// and leaves *out alone.
    int QueryIntValue(int* out) const;
    /// As QueryIntValue, for a double.
    int QueryDoubleValue(double* out) const;
    /// Sets the value to v in decimal.
    void SetIntValue(int v);
    /// Sets the value to v in fixed notation with six decimals.
    void SetDoubleValue(double v);

    // Typed values: as QueryIntValue, VEXA_QUERY_OK with *out set, or
    // VEXA_QUERY_WRONG_TYPE with *out untouched. Numbers are decimal, after
    // optional white space and a sign; text after the number is ignored.

    /// The value as a bool: "true", "yes" or "1", "false", "no" or "0", in
    /// any letter case, with white space around it ignored.
    int QueryBoolValue(bool* out) const;
    /// The value as a signed 64-bit number; out of range is WRONG_TYPE.
    int QueryInt64Value(int64_t* out) const;
    /// The value as an unsigned int; a negative number or one above
    /// UINT_MAX is WRONG_TYPE.
    int QueryUnsignedValue(unsigned* out) const;
    /// The value as a float (as QueryDoubleValue reads it); a finite number
    /// beyond the float range is WRONG_TYPE.
    int QueryFloatValue(float* out) const;
    /// Sets the value to "true" or "false".
    void SetBoolValue(bool v);
    /// Sets the value to v in decimal.
    void SetInt64Value(int64_t v);
    /// Sets the value to v in decimal.
    void SetUnsignedValue(unsigned v);
    /// Sets the value to the shortest text that reads back as exactly v
    /// (SetDoubleValue keeps six decimals and loses the rest).
    void SetExactDoubleValue(double v);

    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);

private:
    /// Parse's work, in line where the parser reads a start tag.
    inline const char* Read(const char* p, VexaParsingData* data);

    VexaDocument* document;
    impl::Chars name;
    impl::Chars value;
    VexaAttribute* prev;
    VexaAttribute* next;
    bool pooled;          // made in its document's memory, not on the heap
    bool defaulted;       // supplied from a declared default, not written
    bool keptReferences;  // the value holds references kept as written
};

/// The ordered attributes of one element, in a list. The element owns the
/// attributes; the set only links them.
class VEXA_API VexaAttributeSet {
public:
    VexaAttributeSet();
    /// The set must be empty by now.
    ~VexaAttributeSet();

    /// Appends addMe, which must be in no set and have a name new to the set.
    void Add(VexaAttribute* addMe);
    /// Unlinks removeMe without deleting it; the caller owns it afterwards.
    void Remove(VexaAttribute* removeMe);

    /// The first attribute, or null.
    VexaAttribute* First() const { return first; }
    /// The last attribute, or null.
    VexaAttribute* Last() const;
    /// The attribute named name (exact, case-sensitive), or null.
    VexaAttribute* Find(const char* name) const;

private:
    friend class VexaElement;
    VexaAttributeSet(const VexaAttributeSet&);
    VexaAttributeSet& operator=(const VexaAttributeSet&);
    /// Appends without the name check, for callers that made it already.
    inline void Append(VexaAttribute* addMe);

    VexaAttribute* first;  // null when empty; its prev is the last
};

/// A tagged element: a name, attributes in order, and children.
class VEXA_API VexaElement : public VexaNode {
public:
    /// A new, unlinked element named name.
    explicit VexaElement(const char* name);
    virtual ~VexaElement();

    /// The first attribute, or null.
    VexaAttribute* FirstAttribute() const { return attributeSet.First(); }
    /// The last attribute, or null.
    VexaAttribute* LastAttribute() const { return attributeSet.Last(); }

    /// The value of attribute name, or null when there is none. The string
    /// lives until the attribute changes or goes.
    const char* Attribute(const char* name) const;
    /// As above; also stores the value as an int in *i (0 when there is no
    /// attribute) when i is not null.
    const char* Attribute(const char* name, int* i) const;
    /// As above, for a double.
    const char* Attribute(const char* name, double* d) const;

    /// VEXA_QUERY_OK with *value set, VEXA_QUERY_NO_ATTRIBUTE or
    /// VEXA_QUERY_WRONG_TYPE with *value untouched.
    int QueryIntAttribute(const char* name, int* value) const;
    /// As QueryIntAttribute, for a double.
    int QueryDoubleAttribute(const char* name, double* value) const;

    /// Sets attribute name to value, adding it at the end when new.
    void SetAttribute(const char* name, const char* value);
    /// Sets attribute name to value in decimal.
    void SetAttribute(const char* name, int value);
    /// Removes and deletes attribute name, if there is one.
    void RemoveAttribute(const char* name);

    // Typed attributes. The queries give VEXA_QUERY_OK with *value set, or
    // VEXA_QUERY_NO_ATTRIBUTE or VEXA_QUERY_WRONG_TYPE with *value untouched;
    // each reads as the VexaAttribute query of the same type.

    /// The attribute as a bool (see VexaAttribute::QueryBoolValue).
    int QueryBoolAttribute(const char* name, bool* value) const;
    /// The attribute as a signed 64-bit number.
    int QueryInt64Attribute(const char* name, int64_t* value) const;
    /// The attribute as an unsigned int.
    int QueryUnsignedAttribute(const char* name, unsigned* value) const;
    /// The attribute as a float.
    int QueryFloatAttribute(const char* name, float* value) const;

    /// The attribute as an int, or defaultValue when it is missing or no int.
    int IntAttribute(const char* name, int defaultValue = 0) const;
    /// The attribute as a double, or defaultValue.
    double DoubleAttribute(const char* name, double defaultValue = 0) const;
    /// The attribute as a bool, or defaultValue.
    bool BoolAttribute(const char* name, bool defaultValue = false) const;
    /// The attribute as a signed 64-bit number, or defaultValue.
    int64_t Int64Attribute(const char* name, int64_t defaultValue = 0) const;
    /// The attribute as an unsigned int, or defaultValue.
    unsigned UnsignedAttribute(const char* name, unsigned defaultValue = 0) const;
    /// The attribute as a float, or defaultValue.
    float FloatAttribute(const char* name, float defaultValue = 0) const;

    // Setters by name rather than SetAttribute overloads, so that every
    // SetAttribute call that compiles today keeps its overload.

    /// Sets attribute name to "true" or "false".
    void SetBoolAttribute(const char* name, bool value);
    /// Sets attribute name to value in decimal.
    void SetInt64Attribute(const char* name, int64_t value);
    /// Sets attribute name to value in decimal.
    void SetUnsignedAttribute(const char* name, unsigned value);
    /// Sets attribute name to the shortest text that reads back as exactly value.
    void SetDoubleAttribute(const char* name, double value);

    /// Every attribute, first to last, for range-for.
    VexaRange<VexaAttribute> Attributes();
    /// Every attribute of a const element.
    VexaRange<const VexaAttribute> Attributes() const;
    /// The value of the first child when it is a text node, else null.
    const char* GetText() const;

    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);
    virtual void StreamIn(std::istream* in, std::string* tag);

protected:
    /// Reads the content up to the closing tag; returns the position of the
    /// closing tag, or null on failure.
    const char* ReadValue(const char* p, VexaParsingData* data);

private:
    friend class VexaNode;
    friend struct impl::Access;
    /// A copy of the name, attributes and client data, without children.
    VexaElement* CopyShallow() const;
    /// Deletes every attribute, giving pooled ones back to memory.
    void ClearAttributes(VexaMemory* memory = 0);
    /// Deletes every attribute when the memory of the pooled ones goes
    /// right after (see DiscardChildren).
    void DiscardAttributes();
    /// A new attribute, from memory (null: the heap).
    static inline VexaAttribute* CreateAttribute(VexaMemory* memory);
    /// Deletes attribute, giving a pooled one back to memory.
    static void DestroyAttribute(VexaAttribute* attribute, VexaMemory* memory);
    /// Reads the start tag at p: name and attributes. Returns the position
    /// after it, with *open telling whether content follows (and the nesting
    /// count then one higher), or null on failure.
    const char* OpenTag(const char* p, VexaParsingData* data, VexaDocument* doc, bool* open);
    VexaAttributeSet attributeSet;
};

/// A comment; its value is the text between "<!--" and "-->".
class VEXA_API VexaComment : public VexaNode {
public:
    VexaComment();
    virtual ~VexaComment();

    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);
    virtual void StreamIn(std::istream* in, std::string* tag);
};

/// Character data; its value holds the text with references resolved.
class VEXA_API VexaText : public VexaNode {
public:
    /// A text node holding a copy of text (not null).
    explicit VexaText(const char* text);
    virtual ~VexaText();

    /// True when the value is empty or all white space.
    bool Blank() const;
    /// True for a reference the parse kept as written (an entity it does not
    /// declare or read, or a character reference the text encoding cannot
    /// hold): Value() is the reference from '&' to ';', and output writes it
    /// as it is, unescaped.
    bool IsReference() const { return reference; }

private:
    friend struct impl::Access;
    bool reference;

public:
    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);
    virtual void StreamIn(std::istream* in, std::string* tag);
};

/// The XML declaration "<?xml ... ?>" with its three pseudo-attributes.
class VEXA_API VexaDeclaration : public VexaNode {
public:
    /// A declaration with all three fields absent.
    VexaDeclaration();
    /// A declaration with the given fields; an empty string means absent.
    VexaDeclaration(const char* version, const char* encoding, const char* standalone);
    virtual ~VexaDeclaration();

    /// The version, or "" when absent.
    const char* Version() const { return version.c_str(); }
    /// The encoding, or "" when absent.
    const char* Encoding() const { return encoding.c_str(); }
    /// The standalone value, or "" when absent.
    const char* Standalone() const { return standalone.c_str(); }

    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);
    virtual void StreamIn(std::istream* in, std::string* tag);

private:
    std::string version;
    std::string encoding;
    std::string standalone;
};

/// Markup the parser keeps without understanding it (a DOCTYPE, CDATA, a
/// processing instruction); its value is the text between '<' and '>'.
class VEXA_API VexaUnknown : public VexaNode {
public:
    VexaUnknown();
    virtual ~VexaUnknown();

    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual const char* Parse(const char* p, VexaParsingData* data);
    virtual void StreamIn(std::istream* in, std::string* tag);
};

/// Location tracking for one parse: turns buffer positions into rows and
/// columns, walking forward only.
class VEXA_API VexaParsingData {
    friend struct impl::Access;
    friend class VexaElement;
    friend class VexaDocument;
    friend class VexaText;
    friend class VexaComment;
    friend class VexaUnknown;
    friend class VexaAttribute;
    friend struct impl::Access;

public:
    /// Tracking that starts at start with the given row and column; a tab
    /// size of zero or less turns tracking off.
    VexaParsingData(const char* start, int tabSize, int row, int col);

    /// Advances the cursor to the row and column of now (never backwards).
    void Stamp(const char* now);
    /// Row and column of the last stamped position.
    const VexaCursor& Cursor() const { return cursor; }
    /// The document whose parse this tracks, or null.
    VexaDocument* Document() const { return document; }

private:
    VexaCursor cursor;
    const char* stamp;
    const char* origin;  // start of the tracked text
    const char* end;     // its terminating zero when the parse knows it, else null
    int tabsize;
    int depth;
    VexaDocument* document;
    VexaMemory* memory;  // where the parse makes its nodes; null for the heap
    int encoding;        // the text encoding this parse reads with, never DETECT
    impl::Dtd* dtd;      // declared entities and defaults; null reads references the classic way
    bool preserve;       // xml:space="preserve" is in effect where the parse is
};

/// The root of a tree: holds the top-level nodes and the error state. The
/// nodes and attributes its own parses make live in memory the document
/// owns, which goes when the document is cleared or destroyed; nodes made
/// with new are heap objects wherever they are linked.
class VEXA_API VexaDocument : public VexaNode {
public:
    /// An empty document without a name.
    VexaDocument();
    /// An empty document named name (the file LoadFile()/SaveFile() use).
    explicit VexaDocument(const char* name);
    virtual ~VexaDocument();

    // Moving: a document can be returned from a function or kept in a
    // std::vector. Nothing is copied and nothing is allocated.

    /// Takes other's tree, memory, name, settings and error state; other
    /// is left as a new, empty document, ready for reuse.
    VexaDocument(VexaDocument&& other) noexcept;
    /// Deletes this document's tree, then takes other's as above.
    VexaDocument& operator=(VexaDocument&& other) noexcept;

    /// Replaces the content by the parsed file at filename. True when the
    /// file was read and parsed without error. A file that starts with a
    /// UTF-16 byte order mark is converted to UTF-8 first.
    bool LoadFile(const char* filename);
    /// LoadFile of the document's own name.
    bool LoadFile();
    /// Writes the indented form to filename, with the byte order mark or in
    /// the UTF-16 form that the loaded file had. The bytes go to a new file
    /// in the same folder, flushed to the disk, which then replaces filename
    /// in one rename, keeping its permission bits (a symbolic link is
    /// followed; a device or pipe is written in place). False, with the old
    /// file untouched and nothing left behind, when any step failed.
    bool SaveFile(const char* filename) const;
    /// As above, with the given options; lineBreak reaches the file as given.
    bool SaveFile(const char* filename, const VexaPrintOptions& options) const;
    /// SaveFile to the document's own name.
    bool SaveFile() const;

    /// Parses the zero-terminated text at p and appends its nodes. Returns
    /// where the parse stopped (null on failure or at the very end).
    virtual const char* Parse(const char* p, VexaParsingData* data = 0);

    /// True when an error is recorded.
    bool Error() const { return error; }
    /// The recorded error code, VEXA_ERROR_NONE when there is none.
    int ErrorCode() const { return errorCode; }
    /// The recorded error's message; "" when there is none.
    const char* ErrorText() const { return errorText.c_str(); }
    /// Zero-based row of the error; -1 when the error has no location.
    int ErrorRow() const { return errorLocation.row; }
    /// Zero-based column of the error; -1 when it has no location.
    int ErrorCol() const { return errorLocation.col; }
    /// Forgets the recorded error.
    void ClearError();
    /// Records an error unless one is already recorded (the first one wins).
    /// position and data, when both given, locate it.
    void SetError(int err, const char* position, VexaParsingData* data);

    /// Columns between tab stops for location counting (4 by default); zero
    /// or less turns location counting off.
    int TabSize() const { return tabsize; }
    /// Sets the tab size for the next parse.
    void SetTabSize(int size) { tabsize = size; }
    /// Deepest element nesting a parse accepts (1000 by default).
    int MaxDepth() const { return maxDepth; }
    /// Sets the nesting limit for the next parse (at least 1). Any value up
    /// to INT_MAX is safe: no walk of the tree recurses on the call stack.
    void SetMaxDepth(int depth) { maxDepth = depth < 1 ? 1 : depth; }

    /// Whether the next parse reads the DOCTYPE's internal subset, includes
    /// declared entities and supplies default attributes (true by default).
    bool DoctypeProcessing() const { return doctypeProcessing; }
    /// Sets that for the next parse; false reads references the classic way.
    void SetDoctypeProcessing(bool on) { doctypeProcessing = on; }
    /// Most bytes that entity inclusion may produce in one parse; 0 (the
    /// default) means 100 times the document's size, at least 8 MiB.
    size_t MaxEntityExpansion() const { return maxEntityExpansion; }
    /// Sets that limit for the next parse (0: the default rule).
    void SetMaxEntityExpansion(size_t bytes) { maxEntityExpansion = bytes; }

    /// Sets the text encoding (a VEXA_ENCODING_ value) for the next parse and
    /// for every output of this document; an unknown value means DETECT.
    void SetTextEncoding(int encoding);
    /// The encoding set, or under VEXA_ENCODING_DETECT the one the last parse
    /// decided on (VEXA_ENCODING_DETECT before any parse).
    int TextEncoding() const;
    /// True when the last parse kept white space as written (condensing
    /// off): the text then holds the layout, and the indented form adds none.
    bool WhiteSpaceKept() const { return parsedSpace == kSpaceKept; }

    /// Sets strict parsing for the next parse (Parse, LoadFile, operator>>):
    /// every well-formedness rule of XML 1.0 is checked, and the first broken
    /// one fails the parse with its code and location. Off by default.
    void SetStrict(bool on) { strict = on; }
    /// True when the next parse is strict.
    bool Strict() const { return strict; }
    /// Sets how this document's next parses treat white space in text (a
    /// VEXA_WHITESPACE_ value; an unknown one means DEFAULT). Unlike the
    /// static SetCondenseWhiteSpace it touches no other document.
    void SetWhiteSpaceMode(int mode);
    /// The white-space setting, VEXA_WHITESPACE_DEFAULT unless one was set.
    int WhiteSpaceMode() const { return whiteSpace; }

    virtual VexaNode* Clone() const;
    virtual void Print(FILE* file, int depth) const;
    virtual void StreamOut(std::ostream* out) const;
    virtual void StreamIn(std::istream* in, std::string* tag);

    /// Prints the indented form to standard output.
    void Print() const { Print(stdout, 0); }

private:
    friend class VexaNode;
    friend struct impl::Access;
    /// Copies every setting (not the state) from source: the one place
    /// that Clone and the moves list them.
    void CopySettings(const VexaDocument& source);
    /// Takes other's tree, memory, name, settings and state; this document
    /// must hold nothing. other is left as new.
    void TakeFrom(VexaDocument& other);
    bool error;
    int errorCode;
    std::string errorText;
    int tabsize;
    VexaCursor errorLocation;
    int maxDepth;
    int textEncoding;    // the setting
    int parsedEncoding;  // the last parse's decision; DETECT before any parse
    int fileForm;        // byte order mark or UTF-16 form the file had (SaveFile writes it again)
    VexaMemory* memory;  // the nodes its parses make; made by the first parse
    bool strict;         // SetStrict()

    // The strict check of the text at p, read from a file of the given
    // form, before its parse; false, with the
    // error recorded, when it is not well-formed.
    bool CheckStrict(const char* p, int form, VexaParsingData* tracker);
    int whiteSpace;  // a VEXA_WHITESPACE_ value
    bool doctypeProcessing;
    size_t maxEntityExpansion;
    impl::Dtd* dtd;  // what the last parse's internal subset declared; null before
    int piece;       // an impl::PieceKind: what the next parse reads (set by a subtree reader)
    // How the last parse read white space in text, for the written forms:
    // kept (see WhiteSpaceKept()), condensed, or no parse yet.
    enum { kSpaceNotParsed, kSpaceCondensed, kSpaceKept };
    unsigned char parsedSpace;
};

/// A null-safe wrapper of a node pointer for chained navigation: a step that
/// finds nothing gives a handle holding null. Never owns its node.
class VEXA_API VexaHandle {
public:
    /// A handle on node, which may be null.
    VexaHandle(VexaNode* node) : node(node) {}

    /// First child.
    VexaHandle FirstChild() const;
    /// First child whose value is v.
    VexaHandle FirstChild(const char* v) const;
    /// First child element.
    VexaHandle FirstChildElement() const;
    /// First child element named v.
    VexaHandle FirstChildElement(const char* v) const;
    /// Child at index among all children (a negative index means 0).
    VexaHandle Child(int index) const;
    /// Child at index among the children whose value is v.
    VexaHandle Child(const char* v, int index) const;
    /// Child element at index.
    VexaHandle ChildElement(int index) const;
    /// Child element named v at index.
    VexaHandle ChildElement(const char* v, int index) const;

#ifndef VEXA_NO_XPATH
    /// A handle on the first node that the XPath expression selects from the
    /// node held; null for a null handle, no match, or an attribute.
    VexaHandle SelectNode(const char* expression) const;
    /// The node-set the expression selects from the node held; empty for a
    /// null handle.
    VexaXPathNodeSet SelectNodes(const char* expression) const;
#endif

    /// The node held, or null.
    VexaNode* GetNode() const { return node; }
    /// The node held as an element, or null when it is none.
    VexaElement* ToElement() const;
    /// The node held as a text node, or null when it is none.
    VexaText* ToText() const;

private:
    VexaNode* node;
};

/// Reads a document one subtree at a time, for files larger than memory:
/// memory stays bounded by the largest subtree read plus a fixed buffer.
/// Each subtree is what a full parse of the file would make of that element,
/// with rows and columns counted over the whole file. Not copyable.
class VEXA_API VexaReader {
public:
    /// A reader with nothing open.
    VexaReader();
    /// Closes what is open; the elements it gave and kept go with it.
    ~VexaReader();

    /// The document whose settings the reading applies (tab size, depth
    /// limit, text encoding and the rest); set them before Open(). After
    /// Open() it holds the nodes before the first element (declaration,
    /// DOCTYPE, comments) and, while one is given, the current subtree.
    VexaDocument& Settings();
    /// As above, read only.
    const VexaDocument& Settings() const;

    /// Opens the file at path and reads up to its first element. False when
    /// the file cannot be opened or what comes before that element is bad.
    bool Open(const char* path);
    /// As above, reading from in, which must outlive the reading.
    bool Open(std::istream& in);
    /// Closes the input and forgets the current element and its ancestors.
    void Close();

    /// The next element named name (any, when null: each child of the root
    /// in turn) that does not lie inside one given before, read whole. It
    /// belongs to the reader and lives until the next call of Next(),
    /// Release(), Open() or Close(). Null at the end or on an error.
    VexaElement* Next(const char* name = 0);
    /// The element Next() gave last and not yet released, or null.
    VexaElement* Current() const;
    /// Hands the current element over: a copy with its locations that the
    /// caller owns and deletes, independent of the reader and of every
    /// other subtree. Null when there is none.
    VexaElement* Release();

    /// What the reading passed over so far outside the subtrees it gave: the
    /// nodes a full parse makes there (by VexaNode::NodeType), their
    /// attributes, and the deepest nesting among them.
    struct Outside {
        long nodes[6];
        long attributes;
        int depth;
    };
    /// The counts of what lay outside the subtrees given so far (see Outside).
    const Outside& PassedOver() const;

    /// Hands the current element over without a copy: a new document that
    /// the caller owns and deletes, holding the nodes before the first
    /// element and, last, the current element. Null when there is none.
    VexaDocument* ReleaseDocument();

    /// Number of elements that enclose the current one (0 for a root).
    int Depth() const;
    /// An enclosing element, with its name, attributes and location but no
    /// children: level 0 is the root, Depth() - 1 the parent. Null when
    /// level is out of range. It lives as long as the current element.
    const VexaElement* Ancestor(int level) const;

    /// True when an error is recorded.
    bool Error() const;
    /// The recorded error code, VEXA_ERROR_NONE when there is none.
    int ErrorCode() const;
    /// The recorded error's message; "" when there is none.
    const char* ErrorText() const;
    /// Zero-based row of the error in the whole file; -1 without location.
    int ErrorRow() const;
    /// Zero-based column of the error; -1 without location.
    int ErrorCol() const;

private:
    VexaReader(const VexaReader&);
    VexaReader& operator=(const VexaReader&);
    impl::ReaderState* state;
};

#ifndef VEXA_NO_XPATH
/// Compile error codes of VexaXPath; VexaXPath::ErrorText() gives the message.
enum {
    VEXA_XPATH_OK = 0,
    VEXA_XPATH_EMPTY,
    VEXA_XPATH_SYNTAX,
    VEXA_XPATH_LITERAL,
    VEXA_XPATH_FUNCTION,
    VEXA_XPATH_ARGUMENTS,
    VEXA_XPATH_NOT_NODESET,
    VEXA_XPATH_DEPTH,
    VEXA_XPATH_ERROR_COUNT
};

/// The four types of an XPath value.
enum { VEXA_XPATH_NODESET = 0, VEXA_XPATH_NUMBER, VEXA_XPATH_STRING, VEXA_XPATH_BOOLEAN };

/// One item of a node-set: a node, or an attribute together with the
/// element that holds it. A default-made item is null. (Its functions are
/// exported one by one, so that the library's vectors of items stay its own.)
class VexaXPathNode {
public:
    /// A null item.
    VexaXPathNode() : node(0), attribute(0) {}
    /// The node n, or the attribute a of the element n when a is not null.
    VexaXPathNode(VexaNode* n, VexaAttribute* a = 0) : node(n), attribute(a) {}

    /// The node; for an attribute, the element that holds it. Null for a null item.
    VexaNode* Node() const { return node; }
    /// The attribute, or null when the item is a node.
    VexaAttribute* Attribute() const { return attribute; }
    /// True for a null item.
    bool IsNull() const { return node == 0; }
    /// The XPath string-value: an attribute's value, the text of a text node
    /// (with the adjacent text and CDATA after it), the content of a comment
    /// or processing instruction, or all text below an element or document.
    VEXA_API std::string StringValue() const;
    /// Zero-based row where the item began, or -1 (see VexaBase::Row()).
    VEXA_API int Row() const;
    /// Zero-based column where the item began, or -1.
    VEXA_API int Column() const;

    /// Same node and same attribute.
    bool operator==(const VexaXPathNode& other) const { return node == other.node && attribute == other.attribute; }
    /// Not the same item.
    bool operator!=(const VexaXPathNode& other) const { return !(*this == other); }

private:
    VexaNode* node;
    VexaAttribute* attribute;
};

/// Items in document order, without duplicates. The items point into the
/// tree: they stay valid while the nodes and attributes they name live.
class VexaXPathNodeSet {
public:
    /// An empty set.
    VexaXPathNodeSet() {}
    /// The number of items.
    size_t Size() const { return items.size(); }
    /// True when there is no item.
    bool Empty() const { return items.empty(); }
    /// The item at index (less than Size()).
    const VexaXPathNode& operator[](size_t index) const { return items[index]; }
    /// The first item, or a null item for an empty set.
    VexaXPathNode First() const { return items.empty() ? VexaXPathNode() : items[0]; }
    /// The first item, for range loops.
    const VexaXPathNode* begin() const { return items.empty() ? 0 : &items[0]; }
    /// One past the last item.
    const VexaXPathNode* end() const { return items.empty() ? 0 : &items[0] + items.size(); }

private:
    friend struct impl::Access;
    std::vector<VexaXPathNode> items;
};

/// The result of an evaluation: a node-set, a number, a string or a boolean.
class VexaXPathValue {
public:
    /// An empty node-set.
    VexaXPathValue() : type(VEXA_XPATH_NODESET), number(0), boolean(false) {}
    /// The value's type, a VEXA_XPATH_ type constant.
    int Type() const { return type; }
    /// The node-set; empty for a value of another type.
    const VexaXPathNodeSet& NodeSet() const { return nodes; }
    /// The value converted to a number by XPath's number() rules.
    VEXA_API double Number() const;
    /// The value converted to a string by XPath's string() rules.
    VEXA_API std::string String() const;
    /// The value converted to a boolean by XPath's boolean() rules.
    VEXA_API bool Boolean() const;

private:
    friend struct impl::Access;
    int type;
    double number;
    bool boolean;
    std::string text;
    VexaXPathNodeSet nodes;
};

namespace impl {
struct XPathProgram;  // the compiled expression tree and the bound variables
}

/// An XPath 1.0 expression compiled once and evaluated on any context node.
/// Names match as written ("xsl:template" is one name): the library knows
/// no namespaces. Evaluation never throws but std::bad_alloc, and a const
/// query may be evaluated by several threads at once.
class VEXA_API VexaXPath {
public:
    /// A query that holds nothing yet (ErrorCode() is VEXA_XPATH_EMPTY).
    VexaXPath();
    /// Compiles expression (null counts as empty); see Compile().
    explicit VexaXPath(const char* expression);
    ~VexaXPath();

    /// Compiles expression, replacing what the query held but its variables.
    /// False on a compile error: ErrorCode(), ErrorText() and ErrorOffset()
    /// tell what and where, and evaluation gives empty results.
    bool Compile(const char* expression);
    /// True when the last compile succeeded.
    bool Valid() const { return errorCode == VEXA_XPATH_OK; }
    /// The compile error, VEXA_XPATH_OK when there is none.
    int ErrorCode() const { return errorCode; }
    /// The fixed message of the compile error; "" when there is none.
    const char* ErrorText() const;
    /// Zero-based byte offset in the expression where the error was found;
    /// -1 when there is no error.
    int ErrorOffset() const { return errorOffset; }
    /// The type the expression gives, a VEXA_XPATH_ type constant; a bare
    /// variable reports VEXA_XPATH_NODESET until evaluated.
    int ReturnType() const;

    /// Evaluates with context as the context node (position and size 1).
    VexaXPathValue Evaluate(const VexaXPathNode& context) const;
    /// As above, with a node as the context.
    VexaXPathValue Evaluate(const VexaNode& context) const;
    /// The node-set the query selects; empty when it gives another type.
    VexaXPathNodeSet SelectNodes(const VexaXPathNode& context) const;
    /// As above, with a node as the context.
    VexaXPathNodeSet SelectNodes(const VexaNode& context) const;
    /// The first selected item in document order, or a null item.
    VexaXPathNode SelectNode(const VexaXPathNode& context) const;
    /// As above, with a node as the context.
    VexaXPathNode SelectNode(const VexaNode& context) const;
    /// The result converted by number().
    double EvaluateNumber(const VexaXPathNode& context) const;
    /// The result converted by string().
    std::string EvaluateString(const VexaXPathNode& context) const;
    /// The result converted by boolean().
    bool EvaluateBoolean(const VexaXPathNode& context) const;
    /// EvaluateNumber with a node as the context.
    double EvaluateNumber(const VexaNode& context) const;
    /// EvaluateString with a node as the context.
    std::string EvaluateString(const VexaNode& context) const;
    /// EvaluateBoolean with a node as the context.
    bool EvaluateBoolean(const VexaNode& context) const;

    /// Binds $name (without the '$') to a number, for this and later compiles.
    void SetVariable(const char* name, double value);
    /// Binds $name to a copy of a string (null reads as "").
    void SetVariable(const char* name, const char* value);
    /// Binds $name to a boolean.
    void SetVariable(const char* name, bool value);
    /// Binds $name to a copy of a node-set. An unbound variable reads as an
    /// empty node-set.
    void SetVariable(const char* name, const VexaXPathNodeSet& value);

    /// Message of each compile error code, indexed by code.
    static const char* const errorString[VEXA_XPATH_ERROR_COUNT];

private:
    VexaXPath(const VexaXPath&);
    VexaXPath& operator=(const VexaXPath&);
    /// The variable slot of name, made when new.
    VexaXPathValue* Variable(const char* name);

    impl::XPathProgram* program;
    int errorCode;
    int errorOffset;
};
#endif  // VEXA_NO_XPATH

/// Reads one document's (or node's) worth of markup from in and parses it.
VEXA_API std::istream& operator>>(std::istream& in, VexaNode& base);
/// Writes node in compact form.
VEXA_API std::ostream& operator<<(std::ostream& out, const VexaNode& base);
/// Appends node in compact form to out.
VEXA_API std::string& operator<<(std::string& out, const VexaNode& base);

// ------------------------------------------------- range-for, in line

inline VexaNode* impl::StepOf(const VexaNode* node, const char*) { return node->NextSibling(); }
inline VexaElement* impl::StepOf(const VexaElement* element, const char* name) {
    return name ? element->NextSiblingElement(name) : element->NextSiblingElement();
}
inline VexaAttribute* impl::StepOf(const VexaAttribute* attribute, const char*) { return attribute->Next(); }

inline VexaRange<VexaNode> VexaNode::Children() { return VexaRange<VexaNode>(firstChild, 0); }
inline VexaRange<const VexaNode> VexaNode::Children() const { return VexaRange<const VexaNode>(firstChild, 0); }
inline VexaRange<VexaElement> VexaNode::ChildElements() { return VexaRange<VexaElement>(FirstChildElement(), 0); }
inline VexaRange<const VexaElement> VexaNode::ChildElements() const {
    return VexaRange<const VexaElement>(FirstChildElement(), 0);
}
inline VexaRange<VexaElement> VexaNode::ChildElements(const char* name) {
    return VexaRange<VexaElement>(FirstChildElement(name), name);
}
inline VexaRange<const VexaElement> VexaNode::ChildElements(const char* name) const {
    return VexaRange<const VexaElement>(FirstChildElement(name), name);
}
inline VexaRange<VexaAttribute> VexaElement::Attributes() { return VexaRange<VexaAttribute>(FirstAttribute(), 0); }
inline VexaRange<const VexaAttribute> VexaElement::Attributes() const {
    return VexaRange<const VexaAttribute>(FirstAttribute(), 0);
}

}  // namespace ORMELA

#endif  // VEXA_INCLUDED
