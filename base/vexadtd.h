// Internals of document type declarations: what a document's internal subset
// declares, the inclusion of its entities and its default attributes. Never
// installed.
#ifndef VEXA_DTD_INCLUDED
#define VEXA_DTD_INCLUDED

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "vexa.h"

namespace ORMELA {
namespace impl {

// The well-formedness problems that reading the subset and including
// entities meet and pass over. Each is reported through DtdProblem, which in
// the lenient mode records nothing; the caller then goes on as stated here.
enum DtdProblemKind {
    kProblemDeclaration,      // a declaration that does not parse: skipped, kept in the DOCTYPE as written
    kProblemUndeclared,       // a reference to a name nothing declares: kept as written
    kProblemExternal,         // a reference to an external entity, never read: kept as written
    kProblemExternalInValue,  // the same in an attribute value, which XML forbids
    kProblemUnparsed,         // a reference to an unparsed (NDATA) entity: kept as written
    kProblemParameterInside,  // a parameter-entity reference inside a declaration: the declaration is skipped
    kProblemParameterUnread,  // a parameter entity that is not read: later declarations are not processed
    kProblemCharacter         // a character reference the text encoding cannot hold: kept as written
};

// The one place every problem above goes through. position is where it was
// met in the document (the reference or the declaration's '<'), data the
// parse's tracker. Returns true when the parse must fail, the error then
// recorded on doc; the lenient mode records nothing and returns false.
bool DtdProblem(VexaDocument* doc, int kind, const char* position, VexaParsingData* data);

enum AttributeType {
    kTypeCdata,
    kTypeId,
    kTypeIdref,
    kTypeIdrefs,
    kTypeEntity,
    kTypeEntities,
    kTypeNmtoken,
    kTypeNmtokens,
    kTypeNotation,
    kTypeEnumeration
};
enum AttributeDefault { kDefaultImplied, kDefaultRequired, kDefaultFixed, kDefaultValue };

struct DtdEntity {
    std::string value;  // the replacement text (internal entities)
    // Strict mode, when value keeps character references as written: the
    // text with them decoded (as UTF-8), which is what is judged.
    std::string checkText;
    bool external = false;
    bool unparsed = false;
    bool open = false;  // being included: a reference to it now is recursive
    // Strict mode: the replacement text was found well-formed in a value, in content.
    unsigned char checkedInValue = 0;
    unsigned char checkedInContent = 0;
    // Inclusion in content: 0 not yet known, 1 text only (expanded holds
    // it), 2 needs the content reader (markup, or references kept).
    unsigned char content = 0;
    std::string expanded;
    // Inclusion in a value: 0 not yet known, 1 valueText holds it.
    unsigned char inValue = 0;
    bool valueKept = false;  // valueText holds references kept as written
    std::string valueText;
};

struct AttributeDecl {
    std::string name;
    int type;
    int defaultKind;
    std::string value;  // the default, normalized
};

struct ElementDecl {
    std::vector<AttributeDecl> attributes;
    bool work = false;  // a default to supply or a value to normalize
};

// Where the content reader left the document (or an outer replacement text)
// to read a replacement text that holds markup.
struct EntityFrame {
    DtdEntity* entity;
    VexaElement* element;   // current when the reference was met
    const char* reference;  // the '&', in the text the reader came from
    const char* resume;     // just after the reference
    const char* end;        // that text's end
};

// What a document's internal subset declared, kept with the document, and
// the inclusion state of one parse.
struct Dtd {
    std::unordered_map<std::string, DtdEntity> general;
    std::unordered_map<std::string, DtdEntity> parameter;
    std::unordered_map<std::string, ElementDecl> elements;
    // Per element, " name name ... ": attributes declared CDATA without a
    // default, which change nothing but bind first.
    std::unordered_map<std::string, std::string> passive;
    std::uint64_t workBits = 0;  // WorkBit() of each element with work
    // The declarations last found for an element name, by WorkBit()'s bit:
    // a look-up repeated for the same element costs a comparison.
    struct Found {
        const std::string* name = nullptr;
        const ElementDecl* decl = nullptr;
    };
    Found found[64];

    // One parse's state.
    size_t produced = 0;  // bytes entities produced so far
    size_t pass = 0;      // produced by the text being read, not yet counted
    size_t limit = 0;
    int savedTabSize = 0;
    std::vector<EntityFrame> frames;
    bool keptInValue = false;  // the value just read kept a reference as written
    // What the DOCTYPE says of declarations not read here: an external
    // subset or a parameter-entity reference may declare more, unless the
    // document is standalone.
    bool unreadDeclarations = false;
    bool standalone = false;

    void Reset(size_t limit);
    // A later piece of the same file begins: its counts start again, the
    // declarations stay.
    void StartPiece(size_t newLimit) {
        produced = 0;
        pass = 0;
        limit = newLimit;
        frames.clear();
    }
};

const int kMaxEntityNesting = 64;

// The summary bit of an element name for Dtd::workBits.
inline unsigned WorkSlot(const char* name, size_t n) {
    return static_cast<unsigned>(
        (static_cast<unsigned char>(name[0]) + static_cast<unsigned char>(name[n - 1]) * 3u + n * 7) & 63);
}
inline std::uint64_t WorkBit(const char* name, size_t n) { return std::uint64_t(1) << WorkSlot(name, n); }
// Whether the subset may declare defaults or types for an element named name:
// one test when it declares none for any.
inline bool MayDeclare(const Dtd* dtd, const Chars& name) {
    return dtd && dtd->workBits && name.size() && (dtd->workBits >> WorkSlot(name.c_str(), name.size()) & 1);
}

// Reads the DOCTYPE at [start, end) ('<' to after '>') into the document's
// declarations. False when the parse must stop (its error recorded).
bool ReadDoctype(VexaDocument* doc, const char* start, const char* end, VexaParsingData* data);

// What a reference at '&' is to the readers of content and values.
enum ReferenceKind { kReferenceOther, kReferenceText, kReferenceKeep, kReferenceMarkup, kReferenceFailed };
struct Reference {
    int kind;
    const char* after;        // past the ';'
    DtdEntity* entity;        // for kReferenceMarkup
    const std::string* text;  // for kReferenceText: what to put
};
// Looks at the reference at p. kReferenceOther: a character reference or a
// predefined entity (or no reference), for the classic decoding. In a value
// (inValue) a kept reference is put as written; text is normalized as in a
// value. kReferenceFailed has recorded its error.
Reference LookUp(Dtd* dtd, const char* p, bool inValue, VexaParsingData* data);

// Counts n bytes produced by an inclusion in the text being read; false
// (the error recorded at p) past the limit.
bool Produce(Dtd* dtd, size_t n, const char* p, VexaParsingData* data);

// Enters a replacement text holding markup, for the content reader: returns
// where to read on (the text's start), the reference's location then that of
// everything read from it; null when the parse must stop.
const char* EnterEntity(Dtd* dtd, const Reference& reference, const char* p, VexaElement* current,
                        VexaParsingData* data);
// Leaves the innermost replacement text at its end: where to read on in the
// text it came from, or null (error recorded) when its markup left current
// other than where it found it.
const char* LeaveEntity(Dtd* dtd, VexaElement* current, VexaParsingData* data);
// The element current when the innermost replacement text being read was
// entered, or null outside any: a closing tag for it may not be read there.
inline const VexaElement* Opener(const Dtd* dtd) { return dtd->frames.empty() ? 0 : dtd->frames.back().element; }
// Records the error of markup that does not balance in a replacement text.
void Unbalanced(Dtd* dtd, VexaParsingData* data);

// Supplies the declared defaults that element lacks and normalizes the
// values of its attributes declared with a type other than CDATA.
// p is the end of its start tag, where a supplied attribute is located.
void ApplyDeclarations(Dtd* dtd, VexaElement* element, const char* p, VexaParsingData* data);

// Whether attribute of element is declared of type ID in the internal
// subset of element's document.
bool IsIdAttribute(const VexaElement& element, const VexaAttribute& attribute);

}  // namespace impl
}  // namespace ORMELA

#endif  // VEXA_DTD_INCLUDED
