// XPath 1.0 over the tree: a compiler to a compact expression tree held by
// the query, and an evaluator that walks the tree through parent and sibling
// links only, so that no axis recurses once per level of the document. The
// expression tree itself is bounded in depth when it is compiled, which
// bounds the evaluator's own recursion.
#ifndef VEXA_NO_XPATH

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vexadtd.h"
#include "vexaimpl.h"

namespace ORMELA {

const char* const VexaXPath::errorString[VEXA_XPATH_ERROR_COUNT] = {
    "",
    "Empty expression.",
    "Unexpected token in expression.",
    "Unterminated string literal.",
    "Unknown function.",
    "Wrong number of arguments.",
    "Expected a node-set.",
    "Expression nested too deeply.",
};

namespace impl {

typedef std::vector<VexaXPathNode> Items;

// Deepest expression tree a query may compile to. The evaluator recurses
// once per level of the tree, never per level of the document.
const int kMaxExprDepth = 200;

enum Axis {
    kAncestor,
    kAncestorOrSelf,
    kAttribute,
    kChild,
    kDescendant,
    kDescendantOrSelf,
    kFollowing,
    kFollowingSibling,
    kNamespace,
    kParent,
    kPreceding,
    kPrecedingSibling,
    kSelf,
    kDescendantAttribute  // "//@name": the attributes of every element at or below the context
};

enum Test { kTestName, kTestPrefix, kTestAny, kTestNode, kTestText, kTestComment, kTestPi, kTestPiTarget };

enum Op {
    kOr,
    kAnd,
    kEq,
    kNe,
    kLt,
    kLe,
    kGt,
    kGe,
    kAdd,
    kSub,
    kMul,
    kDiv,
    kMod,
    kNeg,
    kUnion,
    kLiteral,
    kNumberLit,
    kVar,
    kFunc,
    kFilter,
    kPath
};

// A dynamic type: a variable's value is known at evaluation only.
const int kAnyType = 4;

enum Fn {
    kFnLast,
    kFnPosition,
    kFnCount,
    kFnId,
    kFnLocalName,
    kFnNamespaceUri,
    kFnName,
    kFnString,
    kFnConcat,
    kFnStartsWith,
    kFnContains,
    kFnSubstringBefore,
    kFnSubstringAfter,
    kFnSubstring,
    kFnStringLength,
    kFnNormalizeSpace,
    kFnTranslate,
    kFnBoolean,
    kFnNot,
    kFnTrue,
    kFnFalse,
    kFnLang,
    kFnNumber,
    kFnSum,
    kFnFloor,
    kFnCeiling,
    kFnRound
};

struct FnInfo {
    const char* name;
    int minArgs;
    int maxArgs;  // -1: no limit
    int type;
};

const FnInfo kFunctions[] = {
    {"last", 0, 0, VEXA_XPATH_NUMBER},
    {"position", 0, 0, VEXA_XPATH_NUMBER},
    {"count", 1, 1, VEXA_XPATH_NUMBER},
    {"id", 1, 1, VEXA_XPATH_NODESET},
    {"local-name", 0, 1, VEXA_XPATH_STRING},
    {"namespace-uri", 0, 1, VEXA_XPATH_STRING},
    {"name", 0, 1, VEXA_XPATH_STRING},
    {"string", 0, 1, VEXA_XPATH_STRING},
    {"concat", 2, -1, VEXA_XPATH_STRING},
    {"starts-with", 2, 2, VEXA_XPATH_BOOLEAN},
    {"contains", 2, 2, VEXA_XPATH_BOOLEAN},
    {"substring-before", 2, 2, VEXA_XPATH_STRING},
    {"substring-after", 2, 2, VEXA_XPATH_STRING},
    {"substring", 2, 3, VEXA_XPATH_STRING},
    {"string-length", 0, 1, VEXA_XPATH_NUMBER},
    {"normalize-space", 0, 1, VEXA_XPATH_STRING},
    {"translate", 3, 3, VEXA_XPATH_STRING},
    {"boolean", 1, 1, VEXA_XPATH_BOOLEAN},
    {"not", 1, 1, VEXA_XPATH_BOOLEAN},
    {"true", 0, 0, VEXA_XPATH_BOOLEAN},
    {"false", 0, 0, VEXA_XPATH_BOOLEAN},
    {"lang", 1, 1, VEXA_XPATH_BOOLEAN},
    {"number", 0, 1, VEXA_XPATH_NUMBER},
    {"sum", 1, 1, VEXA_XPATH_NUMBER},
    {"floor", 1, 1, VEXA_XPATH_NUMBER},
    {"ceiling", 1, 1, VEXA_XPATH_NUMBER},
    {"round", 1, 1, VEXA_XPATH_NUMBER},
};

struct Step {
    Axis axis;
    Test test;
    std::string name;  // the name, the prefix with its colon, or the target
    std::vector<int> preds;
};

struct Expr {
    Op op;
    int type;
    int a = -1;
    int b = -1;
    int fn = 0;
    bool absolute = false;
    bool positional = false;  // reads position() or last() of its context
    double number = 0;
    std::string text;       // literal or variable name
    std::vector<int> args;  // function arguments, or a filter's predicates
    std::vector<Step> steps;
};

}  // namespace impl

struct impl::XPathProgram {
    std::vector<Expr> exprs;
    int root = -1;
    std::vector<std::pair<std::string, VexaXPathValue> > variables;
};

namespace impl {
namespace {

// ------------------------------------------------------------ data model

enum Kind { kNone, kRoot, kElement, kText, kComment, kPi, kAttr };

struct Str {
    const char* p;
    size_t n;
};

inline Kind KindOf(const VexaNode* n) {
    switch (Access::Kind(*n)) {
        case VexaNode::DOCUMENT:
            return kRoot;
        case VexaNode::ELEMENT:
            return kElement;
        case VexaNode::TEXT:
            return kText;
        case VexaNode::COMMENT:
            return kComment;
        case VexaNode::UNKNOWN: {
            const Chars& v = Access::Value(*n);
            if (v.size() >= 8 && std::memcmp(v.c_str(), "![CDATA[", 8) == 0) return kText;
            if (v.size() >= 1 && v.c_str()[0] == '?') return kPi;
            return kNone;
        }
        default:
            return kNone;
    }
}

inline Str CharsOf(const Chars& c) { return Str{c.c_str(), c.size()}; }

// The characters a text or CDATA node contributes.
Str TextOf(const VexaNode* n) {
    const Chars& v = Access::Value(*n);
    if (Access::Kind(*n) == VexaNode::TEXT) return CharsOf(v);
    const char* p = v.c_str() + 8;
    size_t len = v.size() - 8;
    if (len >= 2 && p[len - 1] == ']' && p[len - 2] == ']') len -= 2;
    return Str{p, len};
}

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A processing instruction's value is "?target data?".
Str PiTarget(const VexaNode* n) {
    const Chars& v = Access::Value(*n);
    const char* p = v.c_str() + 1;
    const char* end = v.c_str() + v.size();
    if (end > p && end[-1] == '?') --end;
    const char* q = p;
    while (q < end && !IsSpace(*q)) ++q;
    return Str{p, static_cast<size_t>(q - p)};
}

Str PiData(const VexaNode* n) {
    const Chars& v = Access::Value(*n);
    const char* end = v.c_str() + v.size();
    if (end > v.c_str() + 1 && end[-1] == '?') --end;
    const char* q = v.c_str() + 1;
    while (q < end && !IsSpace(*q)) ++q;
    while (q < end && IsSpace(*q)) ++q;
    return Str{q, static_cast<size_t>(end - q)};
}

inline bool IsNamespaceDecl(const VexaAttribute* a) {
    const Chars& n = Access::Name(*a);
    return n.size() >= 5 && std::memcmp(n.c_str(), "xmlns", 5) == 0 && (n.size() == 5 || n.c_str()[5] == ':');
}

// Appends an item built in place: a temporary passed by reference to an
// outlined push_back costs a stalled 16-byte load per item.
VEXA_ALWAYS_INLINE void AddItem(Items* v, VexaNode* n, VexaAttribute* a = 0) { v->emplace_back(n, a); }

// Adjacent text and CDATA nodes form one text node, named by the first of
// them; markup outside the model between them does not part them. A run
// with no characters at all is no node.
inline bool IsTextish(const VexaNode* n) {
    const Kind k = KindOf(n);
    return k == kText || k == kNone;
}

// The first model node at or after s among its siblings.
inline bool IsPlain(const VexaNode* n) {  // an element or a comment: a model node by itself
    const int t = Access::Kind(*n);
    return t == VexaNode::ELEMENT || t == VexaNode::COMMENT;
}

VexaNode* ModelFrom(VexaNode* s) {
    while (s) {
        // The common cases first: an element or comment, a lone text node.
        if (IsPlain(s)) return s;
        if (Access::Kind(*s) == VexaNode::TEXT && !Access::Value(*s).empty()) {
            const VexaNode* next = s->NextSibling();
            if (!next || IsPlain(next)) return s;
        }
        const Kind k = KindOf(s);
        if (k == kNone) {
            s = s->NextSibling();
            continue;
        }
        if (k != kText) return s;
        VexaNode* start = s;
        bool any = false;
        while (s && IsTextish(s)) {
            if (KindOf(s) == kText && TextOf(s).n) any = true;
            s = s->NextSibling();
        }
        if (any) return start;
    }
    return 0;
}

inline VexaNode* FirstModelChild(const VexaNode* n) { return ModelFrom(n->FirstChild()); }

// The next model sibling of a model node n.
inline VexaNode* NextModelSibling(const VexaNode* n) {
    VexaNode* s = n->NextSibling();
    if (!s || IsPlain(s)) return s;
    if (KindOf(n) == kText)
        while (s && IsTextish(s)) s = s->NextSibling();
    return ModelFrom(s);
}

// The model node at or before s, going backwards; a text run is named by its first node.
VexaNode* ModelBackFrom(VexaNode* s) {
    while (s) {
        const Kind k = KindOf(s);
        if (k == kNone) {
            s = s->PreviousSibling();
            continue;
        }
        if (k != kText) return s;
        VexaNode* start = s;
        bool any = false;
        while (s && IsTextish(s)) {
            if (KindOf(s) == kText) {
                start = s;
                if (TextOf(s).n) any = true;
            }
            s = s->PreviousSibling();
        }
        if (any) return start;
    }
    return 0;
}

inline VexaNode* PrevModelSibling(const VexaNode* n) { return ModelBackFrom(n->PreviousSibling()); }
inline VexaNode* LastModelChild(const VexaNode* n) { return ModelBackFrom(n->LastChild()); }

// The next model node after n in document order within root's subtree.
inline VexaNode* NextInSubtree(const VexaNode* n, const VexaNode* root) {
    if (VexaNode* c = FirstModelChild(n)) return c;
    while (n != root) {
        if (VexaNode* s = NextModelSibling(n)) return s;
        n = n->Parent();
    }
    return 0;
}

// The next element after n in document order within root's subtree (n an element or root).
inline VexaNode* NextElement(const VexaNode* n, const VexaNode* root) {
    for (VexaNode* c = n->FirstChild(); c; c = c->NextSibling())
        if (Access::Kind(*c) == VexaNode::ELEMENT) return c;
    for (;;) {
        if (n == root) return 0;
        for (VexaNode* s = n->NextSibling(); s; s = s->NextSibling())
            if (Access::Kind(*s) == VexaNode::ELEMENT) return s;
        n = n->Parent();
        if (!n) return 0;
    }
}

// The next node of any kind after n in document order within root's subtree.
inline VexaNode* NextRaw(const VexaNode* n, const VexaNode* root) {
    if (VexaNode* c = n->FirstChild()) return c;
    for (; n != root; n = n->Parent())
        if (VexaNode* s = n->NextSibling()) return s;
    return 0;
}

// Whether n is the node that names a text node: the first text or CDATA
// node of a run that holds characters.
inline bool StartsTextNode(VexaNode* n) {
    const int t = Access::Kind(*n);
    if (t != VexaNode::TEXT && (t != VexaNode::UNKNOWN || KindOf(n) != kText)) return false;
    const VexaNode* p = n->PreviousSibling();
    while (p && KindOf(p) == kNone) p = p->PreviousSibling();
    return (!p || KindOf(p) != kText) && ModelFrom(n) == n;
}

// The deepest last model descendant of n, or n.
inline VexaNode* DeepestLast(VexaNode* n) {
    while (VexaNode* c = LastModelChild(n)) n = c;
    return n;
}

// A text node given as a context stands for its whole run.
VexaNode* RunStart(VexaNode* n) {
    if (KindOf(n) != kText) return n;
    VexaNode* start = n;
    for (VexaNode* p = n->PreviousSibling(); p && IsTextish(p); p = p->PreviousSibling())
        if (KindOf(p) == kText) start = p;
    return start;
}

void AppendText(const VexaNode* n, std::string* out) {
    const Str t = TextOf(n);
    out->append(t.p, t.n);
}

// Appends the string-value of item.
void AppendValue(const VexaXPathNode& item, std::string* out) {
    if (const VexaAttribute* a = item.Attribute()) {
        const Chars& v = Access::Value(*a);
        out->append(v.c_str(), v.size());
        return;
    }
    const VexaNode* n = item.Node();
    switch (KindOf(n)) {
        case kText:
            for (const VexaNode* s = n; s && IsTextish(s); s = s->NextSibling())
                if (KindOf(s) == kText) AppendText(s, out);
            return;
        case kComment: {
            const Chars& v = Access::Value(*n);
            out->append(v.c_str(), v.size());
            return;
        }
        case kPi: {
            const Str d = PiData(n);
            out->append(d.p, d.n);
            return;
        }
        case kElement:
        case kRoot: {
            const VexaNode* c = n->FirstChild();
            if (!c) return;
            const VexaNode* d = c;
            for (;;) {
                if (Access::Kind(*d) == VexaNode::TEXT || (Access::Kind(*d) == VexaNode::UNKNOWN && KindOf(d) == kText))
                    AppendText(d, out);
                if (d->FirstChild()) {
                    d = d->FirstChild();
                    continue;
                }
                while (d != n && !d->NextSibling()) d = d->Parent();
                if (d == n) return;
                d = d->NextSibling();
            }
        }
        default:
            return;
    }
}

// The string-value of item without a copy where it lies in one piece, else built in scratch.
Str ValueView(const VexaXPathNode& item, std::string* scratch) {
    if (const VexaAttribute* a = item.Attribute()) return CharsOf(Access::Value(*a));
    const VexaNode* n = item.Node();
    const Kind k = KindOf(n);
    if (k == kComment) return CharsOf(Access::Value(*n));
    if (k == kText) {
        const VexaNode* s = n->NextSibling();
        while (s && KindOf(s) == kNone) s = s->NextSibling();
        if (!s || KindOf(s) != kText) return TextOf(n);
    } else if (k == kElement) {
        const VexaNode* c = n->FirstChild();
        if (!c) return Str{"", 0};
        if (!c->NextSibling() && Access::Kind(*c) == VexaNode::TEXT) return CharsOf(Access::Value(*c));
    }
    scratch->clear();
    AppendValue(item, scratch);
    return Str{scratch->data(), scratch->size()};
}

inline bool Equal(Str a, Str b) { return a.n == b.n && (a.n == 0 || std::memcmp(a.p, b.p, a.n) == 0); }

// ---------------------------------------------------------- document order

int Depth(const VexaNode* n) {
    int d = 0;
    for (; n; n = n->Parent()) ++d;
    return d;
}

// True when a comes before b in document order.
bool Before(const VexaXPathNode& a, const VexaXPathNode& b) {
    const VexaNode* x = a.Node();
    const VexaNode* y = b.Node();
    if (x == y) {
        if (a.Attribute() == b.Attribute()) return false;
        if (!a.Attribute()) return true;
        if (!b.Attribute()) return false;
        for (const VexaAttribute* t = a.Attribute()->Next(); t; t = t->Next())
            if (t == b.Attribute()) return true;
        return false;
    }
    int dx = Depth(x);
    int dy = Depth(y);
    while (dx > dy) {
        x = x->Parent();
        --dx;
    }
    while (dy > dx) {
        y = y->Parent();
        --dy;
    }
    if (x == y) return Depth(a.Node()) < Depth(b.Node());  // the ancestor first
    while (x->Parent() != y->Parent()) {
        x = x->Parent();
        y = y->Parent();
    }
    if (!x->Parent()) return x < y;  // separate trees: any fixed order
    for (const VexaNode *p = x->NextSibling(), *q = y->NextSibling();; p = p->NextSibling(), q = q->NextSibling()) {
        if (p == y || !q) return true;
        if (q == x || !p) return false;
    }
}

// A set of pointers, for sorting by a walk of the tree.
class PtrSet {
public:
    explicit PtrSet(size_t n) {
        size_t cap = 16;
        while (cap < n * 2) cap <<= 1;
        slots.assign(cap, 0);
        mask = cap - 1;
    }
    bool Insert(const void* p) {
        size_t i = Hash(p);
        while (slots[i]) {
            if (slots[i] == p) return false;
            i = (i + 1) & mask;
        }
        slots[i] = p;
        return true;
    }
    bool Has(const void* p) const {
        size_t i = Hash(p);
        while (slots[i]) {
            if (slots[i] == p) return true;
            i = (i + 1) & mask;
        }
        return false;
    }

private:
    size_t Hash(const void* p) const {
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        v ^= v >> 17;
        v *= 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(v >> 20) & mask;
    }
    std::vector<const void*> slots;
    size_t mask;
};

const VexaNode* TopOf(const VexaNode* n) {
    while (n->Parent()) n = n->Parent();
    return n;
}

// Puts items into document order and drops duplicates.
void SortUnique(Items* v) {
    if (v->size() < 2) return;
    if (v->size() <= 48) {
        std::stable_sort(v->begin(), v->end(), Before);
        v->erase(std::unique(v->begin(), v->end()), v->end());
        return;
    }
    // Large sets: mark the items and collect them in one walk of the tree.
    const VexaNode* top = TopOf((*v)[0].Node());
    PtrSet nodes(v->size());
    PtrSet attrs(v->size());
    PtrSet hasAttrs(v->size());
    size_t unique = 0;
    bool elements = true;  // then a walk of the elements finds them all
    for (const VexaXPathNode& item : *v) {
        const int kind = Access::Kind(*item.Node());
        if (kind != VexaNode::ELEMENT && kind != VexaNode::DOCUMENT) elements = false;
        if (item.Attribute()) {
            if (attrs.Insert(item.Attribute())) ++unique;
            hasAttrs.Insert(item.Node());
        } else if (nodes.Insert(item.Node())) {
            ++unique;
        }
    }
    Items out;
    out.reserve(unique);
    for (const VexaNode* n = top; n && out.size() < unique;
         n = elements ? NextElement(n, top) : NextInSubtree(n, top)) {
        if (nodes.Has(n)) AddItem(&out, const_cast<VexaNode*>(n));
        if (Access::Kind(*n) == VexaNode::ELEMENT && hasAttrs.Has(n))
            for (VexaAttribute* a = n->ToElement()->FirstAttribute(); a; a = a->Next())
                if (attrs.Has(a)) AddItem(&out, const_cast<VexaNode*>(n), a);
    }
    if (out.size() < unique) {  // items from more than one tree
        std::stable_sort(v->begin(), v->end(), Before);
        v->erase(std::unique(v->begin(), v->end()), v->end());
        return;
    }
    v->swap(out);
}

// ---------------------------------------------------------------- numbers

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

double StringToNumber(Str s) {
    const char* p = s.p;
    const char* end = s.p + s.n;
    while (p < end && IsXmlSpace(*p)) ++p;
    while (end > p && IsXmlSpace(end[-1])) --end;
    const char* start = p;
    if (p < end && *p == '-') ++p;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    bool any = p > digits;
    if (p < end && *p == '.') {
        ++p;
        const char* frac = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        any = any || p > frac;
    }
    if (!any || p != end) return std::numeric_limits<double>::quiet_NaN();
    double d = 0;
    std::from_chars(start[0] == '-' ? start + 1 : start, end, d);
    return start[0] == '-' ? -d : d;
}

void NumberToString(double d, std::string* out) {
    if (std::isnan(d)) {
        out->append("NaN");
    } else if (std::isinf(d)) {
        out->append(d < 0 ? "-Infinity" : "Infinity");
    } else if (d == 0) {
        out->push_back('0');
    } else {
        // The shortest digits that read back as d, written out without an exponent.
        char buf[64];
        const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf - 1, d, std::chars_format::scientific);
        *r.ptr = 0;
        const char* p = buf;
        if (*p == '-') {
            out->push_back('-');
            ++p;
        }
        char digits[32];
        size_t n = 0;
        for (; p < r.ptr && *p != 'e'; ++p)
            if (*p != '.') digits[n++] = *p;
        const int exp = std::atoi(p + 1);  // the point goes after digit exp + 1
        if (exp < 0) {
            out->append("0.");
            out->append(static_cast<size_t>(-exp - 1), '0');
            out->append(digits, n);
        } else if (static_cast<size_t>(exp) + 1 >= n) {
            out->append(digits, n);
            out->append(static_cast<size_t>(exp) + 1 - n, '0');
        } else {
            out->append(digits, static_cast<size_t>(exp) + 1);
            out->push_back('.');
            out->append(digits + exp + 1, n - static_cast<size_t>(exp) - 1);
        }
    }
}

double Round(double d) {
    if (!std::isfinite(d) || d == 0) return d;
    if (d < 0 && d >= -0.5) return -0.0;
    return std::floor(d + 0.5);
}

// ---------------------------------------------------------------- strings

// Characters in UTF-8 documents, bytes under the single-byte rules.
struct Chars8 {
    bool utf8;
    size_t Length(Str s) const {
        if (!utf8) return s.n;
        size_t count = 0;
        for (size_t i = 0; i < s.n; ++i) count += (static_cast<unsigned char>(s.p[i]) & 0xC0) != 0x80;
        return count;
    }
    // Bytes of the character at p (p < end).
    size_t Width(const char* p, const char* end) const {
        if (!utf8) return 1;
        size_t w = 1;
        while (p + w < end && (static_cast<unsigned char>(p[w]) & 0xC0) == 0x80) ++w;
        return w;
    }
};

const char* Find(Str hay, Str needle) {
    if (needle.n == 0) return hay.p;
    if (needle.n > hay.n) return 0;
    const char* last = hay.p + hay.n - needle.n;
    for (const char* p = hay.p; p <= last; ++p) {
        p = static_cast<const char*>(std::memchr(p, needle.p[0], static_cast<size_t>(last - p) + 1));
        if (!p) return 0;
        if (std::memcmp(p, needle.p, needle.n) == 0) return p;
    }
    return 0;
}

// --------------------------------------------------------------- compiler

enum Tok {
    tEnd,
    tSlash,
    tSlash2,
    tLBracket,
    tRBracket,
    tLParen,
    tRParen,
    tAt,
    tDot,
    tDot2,
    tComma,
    tColon2,
    tPipe,
    tPlus,
    tMinus,
    tEq,
    tNe,
    tLt,
    tLe,
    tGt,
    tGe,
    tStar,  // a name test
    tMul,
    tAnd,
    tOr,
    tMod,
    tDiv,
    tLiteral,
    tNumber,
    tVar,
    tName,    // a QName
    tPrefix,  // "prefix:*"
    tBad,     // an unterminated literal
    tError    // anything else that is no token
};

inline bool NameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
inline bool NameChar(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

class Compiler {
public:
    Compiler(const char* text, XPathProgram* program) : src(text), prog(program) { depths.reserve(16); }

    // The root expression, or -1 with code and offset set.
    int Run() {
        pos = src;
        while (IsXmlSpace(*pos)) ++pos;
        if (!*pos) return Fail(VEXA_XPATH_EMPTY, pos);
        Next();
        const int e = ParseExpr();
        if (e < 0) return -1;
        if (tok != tEnd) return Fail(code(tok), tokStart);
        return e;
    }

    int errorCode = VEXA_XPATH_OK;
    int offset = -1;

private:
    static int code(Tok t) { return t == tBad ? VEXA_XPATH_LITERAL : VEXA_XPATH_SYNTAX; }

    int Fail(int c, const char* where) {
        if (errorCode == VEXA_XPATH_OK) {
            errorCode = c;
            offset = static_cast<int>(where - src);
        }
        return -1;
    }

    // Whether the token before allows an operator here.
    bool OperatorMayFollow() const {
        switch (tok) {
            case tAt:
            case tColon2:
            case tLParen:
            case tLBracket:
            case tComma:
            case tSlash:
            case tSlash2:
            case tPipe:
            case tPlus:
            case tMinus:
            case tEq:
            case tNe:
            case tLt:
            case tLe:
            case tGt:
            case tGe:
            case tMul:
            case tAnd:
            case tOr:
            case tMod:
            case tDiv:
                return false;
            default:
                return hadToken;
        }
    }

    // The token of a character that is one by itself, else tError.
    static Tok Single(char c) {
        switch (c) {
            case '[':
                return tLBracket;
            case ']':
                return tRBracket;
            case '(':
                return tLParen;
            case ')':
                return tRParen;
            case '@':
                return tAt;
            case ',':
                return tComma;
            case '|':
                return tPipe;
            case '+':
                return tPlus;
            case '-':
                return tMinus;
            case '=':
                return tEq;
            default:
                return tError;
        }
    }

    const char* ReadNcName(const char* p) {
        while (NameChar(static_cast<unsigned char>(*p))) ++p;
        return p;
    }

    void Next() {
        const bool opMay = OperatorMayFollow();
        hadToken = true;
        while (IsXmlSpace(*pos)) ++pos;
        tokStart = pos;
        const char c = *pos;
        text.clear();
        const Tok single = Single(c);
        if (single != tError) {
            ++pos;
            tok = single;
            return;
        }
        switch (c) {
            case 0:
                tok = tEnd;
                return;
            case '/':
                tok = pos[1] == '/' ? tSlash2 : tSlash;
                pos += tok == tSlash2 ? 2 : 1;
                return;
            case '!':
                if (pos[1] == '=') {
                    pos += 2;
                    tok = tNe;
                } else {
                    tok = tError;
                }
                return;
            case '<':
            case '>': {
                const bool orEqual = pos[1] == '=';
                tok = c == '<' ? (orEqual ? tLe : tLt) : (orEqual ? tGe : tGt);
                pos += orEqual ? 2 : 1;
                return;
            }
            case ':':
                if (pos[1] == ':') {
                    pos += 2;
                    tok = tColon2;
                } else {
                    tok = tError;
                }
                return;
            case '*':
                ++pos;
                tok = opMay ? tMul : tStar;
                return;
            case '"':
            case '\'': {
                const char* q = std::strchr(pos + 1, c);
                if (!q) {
                    tok = tBad;
                    return;
                }
                text.assign(pos + 1, q);
                pos = q + 1;
                tok = tLiteral;
                return;
            }
            case '$': {
                const char* p = pos + 1;
                if (!NameStart(static_cast<unsigned char>(*p))) {
                    tok = tError;
                    return;
                }
                p = ReadNcName(p);
                if (*p == ':' && NameStart(static_cast<unsigned char>(p[1]))) p = ReadNcName(p + 1);
                text.assign(pos + 1, p);
                pos = p;
                tok = tVar;
                return;
            }
            default:
                break;
        }
        if ((c >= '0' && c <= '9') || (c == '.' && pos[1] >= '0' && pos[1] <= '9')) {
            const char* p = pos;
            while (*p >= '0' && *p <= '9') ++p;
            if (*p == '.') {
                ++p;
                while (*p >= '0' && *p <= '9') ++p;
            }
            number = StringToNumber(Str{pos, static_cast<size_t>(p - pos)});
            pos = p;
            tok = tNumber;
            return;
        }
        if (c == '.') {
            if (pos[1] == '.') {
                pos += 2;
                tok = tDot2;
            } else {
                ++pos;
                tok = tDot;
            }
            return;
        }
        if (NameStart(static_cast<unsigned char>(c))) {
            const char* p = ReadNcName(pos);
            if (opMay) {
                const size_t n = static_cast<size_t>(p - pos);
                Tok op = tError;
                if (n == 3 && std::memcmp(pos, "and", 3) == 0) op = tAnd;
                if (n == 2 && std::memcmp(pos, "or", 2) == 0) op = tOr;
                if (n == 3 && std::memcmp(pos, "mod", 3) == 0) op = tMod;
                if (n == 3 && std::memcmp(pos, "div", 3) == 0) op = tDiv;
                if (op != tError) {
                    pos = p;
                    tok = op;
                    return;
                }
                tok = tError;  // a name where an operator must come
                return;
            }
            if (*p == ':' && p[1] == '*') {
                text.assign(pos, p + 1);
                pos = p + 2;
                tok = tPrefix;
                return;
            }
            if (*p == ':' && NameStart(static_cast<unsigned char>(p[1]))) p = ReadNcName(p + 1);
            text.assign(pos, p);
            pos = p;
            tok = tName;
            return;
        }
        tok = tError;
    }

    // What follows the current token, past white space.
    char Peek() const {
        const char* p = pos;
        while (IsXmlSpace(*p)) ++p;
        return *p;
    }
    bool PeekColon2() const {
        const char* p = pos;
        while (IsXmlSpace(*p)) ++p;
        return p[0] == ':' && p[1] == ':';
    }

    int Add(Op op, int type) {
        prog->exprs.push_back(Expr());
        Expr& e = prog->exprs.back();
        e.op = op;
        e.type = type;
        depths.push_back(1);
        return static_cast<int>(prog->exprs.size()) - 1;
    }
    // Records that parent holds child; false when the tree grew too deep.
    bool Hold(int parent, int child) {
        if (depths[static_cast<size_t>(child)] + 1 > depths[static_cast<size_t>(parent)])
            depths[static_cast<size_t>(parent)] = depths[static_cast<size_t>(child)] + 1;
        if (depths[static_cast<size_t>(parent)] > kMaxExprDepth) {
            Fail(VEXA_XPATH_DEPTH, tokStart);
            return false;
        }
        return true;
    }
    Expr& E(int i) { return prog->exprs[static_cast<size_t>(i)]; }

    bool Enter() {
        if (++nesting > kMaxExprDepth) {
            Fail(VEXA_XPATH_DEPTH, tokStart);
            return false;
        }
        return true;
    }

    int Binary(Op op, int type, int l, int r) {
        const int e = Add(op, type);
        E(e).a = l;
        E(e).b = r;
        if (!Hold(e, l) || !Hold(e, r)) return -1;
        E(e).positional = E(l).positional || E(r).positional;
        return e;
    }

    int ParseExpr() {
        if (!Enter()) return -1;
        int l = ParseAnd();
        while (l >= 0 && tok == tOr) {
            Next();
            const int r = ParseAnd();
            if (r < 0) return -1;
            l = Binary(kOr, VEXA_XPATH_BOOLEAN, l, r);
        }
        --nesting;
        return l;
    }
    int ParseAnd() {
        int l = ParseEquality();
        while (l >= 0 && tok == tAnd) {
            Next();
            const int r = ParseEquality();
            if (r < 0) return -1;
            l = Binary(kAnd, VEXA_XPATH_BOOLEAN, l, r);
        }
        return l;
    }
    int ParseEquality() {
        int l = ParseRelational();
        while (l >= 0 && (tok == tEq || tok == tNe)) {
            const Op op = tok == tEq ? kEq : kNe;
            Next();
            const int r = ParseRelational();
            if (r < 0) return -1;
            l = Binary(op, VEXA_XPATH_BOOLEAN, l, r);
        }
        return l;
    }
    int ParseRelational() {
        int l = ParseAdditive();
        while (l >= 0 && (tok == tLt || tok == tLe || tok == tGt || tok == tGe)) {
            const Op op = tok == tLt ? kLt : tok == tLe ? kLe : tok == tGt ? kGt : kGe;
            Next();
            const int r = ParseAdditive();
            if (r < 0) return -1;
            l = Binary(op, VEXA_XPATH_BOOLEAN, l, r);
        }
        return l;
    }
    int ParseAdditive() {
        int l = ParseMultiplicative();
        while (l >= 0 && (tok == tPlus || tok == tMinus)) {
            const Op op = tok == tPlus ? kAdd : kSub;
            Next();
            const int r = ParseMultiplicative();
            if (r < 0) return -1;
            l = Binary(op, VEXA_XPATH_NUMBER, l, r);
        }
        return l;
    }
    int ParseMultiplicative() {
        int l = ParseUnary();
        while (l >= 0 && (tok == tMul || tok == tDiv || tok == tMod)) {
            const Op op = tok == tMul ? kMul : tok == tDiv ? kDiv : kMod;
            Next();
            const int r = ParseUnary();
            if (r < 0) return -1;
            l = Binary(op, VEXA_XPATH_NUMBER, l, r);
        }
        return l;
    }
    int ParseUnary() {
        int count = 0;
        while (tok == tMinus) {
            if (!Enter()) return -1;
            ++count;
            Next();
        }
        int e = ParseUnion();
        nesting -= count;
        for (; e >= 0 && count > 0; --count) {
            const int n = Add(kNeg, VEXA_XPATH_NUMBER);
            E(n).a = e;
            if (!Hold(n, e)) return -1;
            E(n).positional = E(e).positional;
            e = n;
        }
        return e;
    }
    bool NodeSetTyped(int e) const {
        const int t = prog->exprs[static_cast<size_t>(e)].type;
        return t == VEXA_XPATH_NODESET || t == kAnyType;
    }
    int ParseUnion() {
        const char* start = tokStart;
        int l = ParsePath();
        while (l >= 0 && tok == tPipe) {
            if (!NodeSetTyped(l)) return Fail(VEXA_XPATH_NOT_NODESET, start);
            Next();
            start = tokStart;
            const int r = ParsePath();
            if (r < 0) return -1;
            if (!NodeSetTyped(r)) return Fail(VEXA_XPATH_NOT_NODESET, start);
            l = Binary(kUnion, VEXA_XPATH_NODESET, l, r);
        }
        return l;
    }

    static bool IsNodeType(const std::string& s) {
        return s == "node" || s == "text" || s == "comment" || s == "processing-instruction";
    }

    int ParsePath() {
        bool filter = tok == tVar || tok == tLParen || tok == tLiteral || tok == tNumber;
        if (tok == tName && Peek() == '(' && !IsNodeType(text)) filter = true;
        if (!filter) return ParseLocationPath();
        const char* start = tokStart;
        int e = ParseFilter();
        if (e < 0) return -1;
        if (tok != tSlash && tok != tSlash2) return e;
        if (!NodeSetTyped(e)) return Fail(VEXA_XPATH_NOT_NODESET, start);
        const int p = Add(kPath, VEXA_XPATH_NODESET);
        E(p).a = e;
        if (!Hold(p, e)) return -1;
        E(p).positional = E(e).positional;
        return ParseRelative(p, true) ? p : -1;
    }

    int ParseFilter() {
        const char* start = tokStart;
        int e = ParsePrimary();
        if (e < 0 || tok != tLBracket) return e;
        if (!NodeSetTyped(e)) return Fail(VEXA_XPATH_NOT_NODESET, start);
        const int f = Add(kFilter, VEXA_XPATH_NODESET);
        E(f).a = e;
        E(f).positional = E(e).positional;
        if (!Hold(f, e)) return -1;
        while (tok == tLBracket) {
            const int pr = ParsePredicate();
            if (pr < 0) return -1;
            E(f).args.push_back(pr);
            if (!Hold(f, pr)) return -1;
        }
        return f;
    }

    int ParsePredicate() {
        Next();
        const int e = ParseExpr();
        if (e < 0) return -1;
        if (tok != tRBracket) return Fail(code(tok), tokStart);
        Next();
        return e;
    }

    int ParsePrimary() {
        switch (tok) {
            case tVar: {
                const int e = Add(kVar, kAnyType);
                E(e).text = text;
                Next();
                return e;
            }
            case tLiteral: {
                const int e = Add(kLiteral, VEXA_XPATH_STRING);
                E(e).text = text;
                Next();
                return e;
            }
            case tNumber: {
                const int e = Add(kNumberLit, VEXA_XPATH_NUMBER);
                E(e).number = number;
                Next();
                return e;
            }
            case tLParen: {
                Next();
                const int e = ParseExpr();
                if (e < 0) return -1;
                if (tok != tRParen) return Fail(code(tok), tokStart);
                Next();
                return e;
            }
            default:
                return ParseCall();
        }
    }

    int ParseCall() {
        const char* start = tokStart;
        int fn = -1;
        for (size_t i = 0; i < sizeof kFunctions / sizeof kFunctions[0]; ++i)
            if (text == kFunctions[i].name) {
                fn = static_cast<int>(i);
                break;
            }
        if (fn < 0) return Fail(VEXA_XPATH_FUNCTION, start);
        const int e = Add(kFunc, kFunctions[fn].type);
        E(e).fn = fn;
        Next();  // the name
        Next();  // '('
        if (!Enter()) return -1;
        if (tok != tRParen) {
            for (;;) {
                const int arg = ParseExpr();
                if (arg < 0) return -1;
                E(e).args.push_back(arg);
                if (!Hold(e, arg)) return -1;
                if (E(arg).positional) E(e).positional = true;
                if (tok == tComma) {
                    Next();
                    continue;
                }
                if (tok != tRParen) return Fail(code(tok), tokStart);
                break;
            }
        }
        --nesting;
        Next();
        const int n = static_cast<int>(E(e).args.size());
        if (n < kFunctions[fn].minArgs || (kFunctions[fn].maxArgs >= 0 && n > kFunctions[fn].maxArgs))
            return Fail(VEXA_XPATH_ARGUMENTS, start);
        if (fn == kFnLast || fn == kFnPosition) E(e).positional = true;
        // Functions without arguments read the context node; not positional.
        if ((fn == kFnCount || fn == kFnSum ||
             ((fn == kFnLocalName || fn == kFnName || fn == kFnNamespaceUri) && n == 1)) &&
            !NodeSetTyped(E(e).args[0]))
            return Fail(VEXA_XPATH_NOT_NODESET, start);
        return e;
    }

    int ParseLocationPath() {
        const int p = Add(kPath, VEXA_XPATH_NODESET);
        if (tok == tSlash) {
            E(p).absolute = true;
            Next();
            // A lone "/" selects the root.
            if (tok != tName && tok != tStar && tok != tPrefix && tok != tAt && tok != tDot && tok != tDot2) return p;
            return ParseRelative(p, false) ? p : -1;
        }
        if (tok == tSlash2) {
            E(p).absolute = true;
            return ParseRelative(p, true) ? p : -1;
        }
        return ParseRelative(p, false) ? p : -1;
    }

    // Reads steps into path p; a leading separator when afterSeparator.
    bool ParseRelative(int p, bool separatorFirst) {
        bool needStep = !separatorFirst;
        for (;;) {
            if (!needStep) {
                if (tok == tSlash2) {
                    Step s;
                    s.axis = kDescendantOrSelf;
                    s.test = kTestNode;
                    E(p).steps.push_back(std::move(s));
                } else if (tok != tSlash) {
                    return true;
                }
                Next();
            }
            needStep = false;
            if (!ParseStep(p)) return false;
        }
    }

    bool ParseStep(int p) {
        Step s;
        s.axis = kChild;
        s.test = kTestNode;
        if (tok == tDot) {
            s.axis = kSelf;
            Next();
            E(p).steps.push_back(std::move(s));
            return true;
        }
        if (tok == tDot2) {
            s.axis = kParent;
            Next();
            E(p).steps.push_back(std::move(s));
            return true;
        }
        if (tok == tAt) {
            s.axis = kAttribute;
            Next();
        } else if (tok == tName && PeekColon2()) {
            static const char* const axes[] = {
                "ancestor",  "ancestor-or-self",  "attribute", "child",  "descendant", "descendant-or-self",
                "following", "following-sibling", "namespace", "parent", "preceding",  "preceding-sibling",
                "self"};
            int axis = -1;
            for (int i = 0; i < 13 && axis < 0; ++i)
                if (text == axes[i]) axis = i;
            if (axis < 0) {
                Fail(VEXA_XPATH_SYNTAX, tokStart);
                return false;
            }
            s.axis = static_cast<Axis>(axis);
            Next();
            Next();  // '::'
        }
        if (tok == tStar) {
            s.test = kTestAny;
        } else if (tok == tPrefix) {
            s.test = kTestPrefix;
            s.name = text;
        } else if (tok == tName) {
            if (Peek() == '(' && IsNodeType(text)) {
                const std::string type = text;
                Next();
                Next();  // '('
                if (type == "processing-instruction" && tok == tLiteral) {
                    s.test = kTestPiTarget;
                    s.name = text;
                    Next();
                } else {
                    s.test = type == "node"      ? kTestNode
                             : type == "text"    ? kTestText
                             : type == "comment" ? kTestComment
                                                 : kTestPi;
                }
                if (tok != tRParen) {
                    Fail(code(tok), tokStart);
                    return false;
                }
            } else {
                s.test = kTestName;
                s.name = text;
            }
        } else {
            Fail(code(tok), tokStart);
            return false;
        }
        Next();
        while (tok == tLBracket) {
            const int pr = ParsePredicate();
            if (pr < 0) return false;
            s.preds.push_back(pr);
            if (!Hold(p, pr)) return false;
        }
        E(p).steps.push_back(std::move(s));
        return true;
    }

    const char* src;
    XPathProgram* prog;
    const char* pos = 0;
    const char* tokStart = 0;
    Tok tok = tEnd;
    bool hadToken = false;
    std::string text;
    double number = 0;
    int nesting = 0;
    std::vector<int> depths;
};

// Whether a predicate's value depends on the position of its context.
bool Positional(const XPathProgram& prog, int e) {
    const Expr& x = prog.exprs[static_cast<size_t>(e)];
    return x.positional || x.type == VEXA_XPATH_NUMBER || x.type == kAnyType;
}

// "//name" is descendant-or-self::node()/child::name; where no predicate
// counts positions, descendant::name selects the same nodes in one walk.
void Simplify(XPathProgram* prog) {
    for (Expr& e : prog->exprs) {
        if (e.op != kPath) continue;
        std::vector<Step>& st = e.steps;
        for (size_t i = 0; i + 1 < st.size(); ++i) {
            if (st[i].axis != kDescendantOrSelf || st[i].test != kTestNode || !st[i].preds.empty()) continue;
            Step& n = st[i + 1];
            if (n.axis != kChild && n.axis != kAttribute) continue;
            bool positional = false;
            for (int p : n.preds) positional = positional || Positional(*prog, p);
            if (positional) continue;
            n.axis = n.axis == kChild ? kDescendant : kDescendantAttribute;
            st.erase(st.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

// -------------------------------------------------------------- evaluator

struct Ctx {
    VexaXPathNode item;
    size_t position;
    size_t size;
};

struct Value {
    int type = VEXA_XPATH_BOOLEAN;
    bool b = false;
    double num = 0;
    std::string str;
    Items* set = 0;  // from the evaluator's pool
};

// Vectors kept from one evaluation to the next on each thread, so that a
// query run in a loop stops allocating once its sets have grown.
struct SparePool {
    std::vector<std::unique_ptr<Items> > vectors;
};
thread_local SparePool spares;
const size_t kSpareVectors = 16;
const size_t kSpareItems = size_t(1) << 18;  // larger ones go back to the heap

class Evaluator {
public:
    Evaluator(const XPathProgram& program, bool utf8Chars) : prog(program), chars{utf8Chars}, reuse(&spares) {}
    ~Evaluator() {
        for (std::unique_ptr<Items>& v : owned) {
            if (reuse->vectors.size() >= kSpareVectors || v->capacity() > kSpareItems) continue;
            v->clear();
            reuse->vectors.push_back(std::move(v));
        }
    }
    Items* Take() {
        if (pool.empty()) {
            if (!reuse->vectors.empty()) {
                owned.push_back(std::move(reuse->vectors.back()));
                reuse->vectors.pop_back();
            } else {
                owned.emplace_back(new Items());
            }
            return owned.back().get();
        }
        Items* v = pool.back();
        pool.pop_back();
        return v;
    }
    void Give(Items* v) {
        if (!v) return;
        v->clear();
        pool.push_back(v);
    }
    void Release(Value* v) {
        Give(v->set);
        v->set = 0;
    }

    const Expr& X(int e) const { return prog.exprs[static_cast<size_t>(e)]; }

    // ---- generic evaluation

    void Eval(int e, const Ctx& c, Value* out) {
        const Expr& x = X(e);
        int type = x.type;
        if (x.op == kVar) {
            const VexaXPathValue* v = Variable(x.text);
            if (!v) {
                out->type = VEXA_XPATH_NODESET;
                out->set = Take();
                return;
            }
            VexaXPathValue& w = const_cast<VexaXPathValue&>(*v);
            out->type = w.Type();
            switch (out->type) {
                case VEXA_XPATH_NODESET:
                    out->set = Take();
                    *out->set = Access::Items(Access::Nodes(w));
                    return;
                case VEXA_XPATH_NUMBER:
                    out->num = Access::Number(w);
                    return;
                case VEXA_XPATH_STRING:
                    out->str = Access::Text(w);
                    return;
                default:
                    out->b = Access::Boolean(w);
                    return;
            }
        }
        if (type == kAnyType) type = VEXA_XPATH_NODESET;  // a filter or path over a variable
        out->type = type;
        switch (type) {
            case VEXA_XPATH_NODESET:
                out->set = Take();
                NodeSet(e, c, out->set);
                return;
            case VEXA_XPATH_NUMBER:
                out->num = Number(e, c);
                return;
            case VEXA_XPATH_STRING:
                String(e, c, &out->str);
                return;
            default:
                out->b = Boolean(e, c);
                return;
        }
    }

    const VexaXPathValue* Variable(const std::string& name) const {
        for (const auto& v : prog.variables)
            if (v.first == name) return &v.second;
        return 0;
    }

    // ---- conversions of a value

    double ToNumber(const Value& v) {
        switch (v.type) {
            case VEXA_XPATH_NODESET:
                if (v.set->empty()) return std::numeric_limits<double>::quiet_NaN();
                return StringToNumber(ValueView((*v.set)[0], &scratch));
            case VEXA_XPATH_NUMBER:
                return v.num;
            case VEXA_XPATH_STRING:
                return StringToNumber(Str{v.str.data(), v.str.size()});
            default:
                return v.b ? 1 : 0;
        }
    }
    bool ToBoolean(const Value& v) {
        switch (v.type) {
            case VEXA_XPATH_NODESET:
                return !v.set->empty();
            case VEXA_XPATH_NUMBER:
                return v.num != 0 && !std::isnan(v.num);
            case VEXA_XPATH_STRING:
                return !v.str.empty();
            default:
                return v.b;
        }
    }
    void ToString(const Value& v, std::string* out) {
        out->clear();
        switch (v.type) {
            case VEXA_XPATH_NODESET:
                if (!v.set->empty()) AppendValue((*v.set)[0], out);
                return;
            case VEXA_XPATH_NUMBER:
                NumberToString(v.num, out);
                return;
            case VEXA_XPATH_STRING:
                *out = v.str;
                return;
            default:
                out->append(v.b ? "true" : "false");
                return;
        }
    }

    // ---- typed evaluation

    bool Boolean(int e, const Ctx& c) {
        const Expr& x = X(e);
        switch (x.op) {
            case kOr:
                return Boolean(x.a, c) || Boolean(x.b, c);
            case kAnd:
                return Boolean(x.a, c) && Boolean(x.b, c);
            case kEq:
            case kNe:
            case kLt:
            case kLe:
            case kGt:
            case kGe:
                return Compare(x.op, x.a, x.b, c);
            case kFunc:
                if (x.type == VEXA_XPATH_BOOLEAN) return BooleanFunction(x, c);
                break;
            case kPath:
            case kFilter:
            case kUnion: {
                if (const Step* s = SimpleStep(x)) return Visit(*s, c.item, [](const VexaXPathNode&) { return true; });
                Items* v = Take();
                NodeSet(e, c, v);
                const bool any = !v->empty();
                Give(v);
                return any;
            }
            default:
                break;
        }
        if (x.type == VEXA_XPATH_NUMBER) {
            const double d = Number(e, c);
            return d != 0 && !std::isnan(d);
        }
        if (x.type == VEXA_XPATH_STRING) {
            std::string s;
            String(e, c, &s);
            return !s.empty();
        }
        Value v;
        Eval(e, c, &v);
        const bool r = ToBoolean(v);
        Release(&v);
        return r;
    }

    double Number(int e, const Ctx& c) {
        const Expr& x = X(e);
        switch (x.op) {
            case kNumberLit:
                return x.number;
            case kAdd:
                return Number(x.a, c) + Number(x.b, c);
            case kSub:
                return Number(x.a, c) - Number(x.b, c);
            case kMul:
                return Number(x.a, c) * Number(x.b, c);
            case kDiv:
                return Number(x.a, c) / Number(x.b, c);
            case kMod:
                return std::fmod(Number(x.a, c), Number(x.b, c));
            case kNeg:
                return -Number(x.a, c);
            case kFunc:
                if (x.type == VEXA_XPATH_NUMBER) return NumberFunction(x, c);
                break;
            default:
                break;
        }
        if (x.type == VEXA_XPATH_BOOLEAN) return Boolean(e, c) ? 1 : 0;
        if (x.type == VEXA_XPATH_STRING) {
            std::string s;
            String(e, c, &s);
            return StringToNumber(Str{s.data(), s.size()});
        }
        Value v;
        Eval(e, c, &v);
        const double r = ToNumber(v);
        Release(&v);
        return r;
    }

    void String(int e, const Ctx& c, std::string* out) {
        const Expr& x = X(e);
        if (x.op == kLiteral) {
            *out = x.text;
            return;
        }
        if (x.op == kFunc && x.type == VEXA_XPATH_STRING) {
            out->clear();
            StringFunction(x, c, out);
            return;
        }
        if (x.type == VEXA_XPATH_NUMBER) {
            out->clear();
            NumberToString(Number(e, c), out);
            return;
        }
        if (x.type == VEXA_XPATH_BOOLEAN) {
            *out = Boolean(e, c) ? "true" : "false";
            return;
        }
        if (x.type == VEXA_XPATH_NODESET) {
            Items* v = Take();
            NodeSet(e, c, v);
            out->clear();
            if (!v->empty()) AppendValue((*v)[0], out);
            Give(v);
            return;
        }
        Value v;
        Eval(e, c, &v);
        ToString(v, out);
        Release(&v);
    }

    // The node-set of e, in document order.
    void NodeSet(int e, const Ctx& c, Items* out) {
        const Expr& x = X(e);
        out->clear();
        switch (x.op) {
            case kPath:
                Path(x, c, out);
                return;
            case kFilter: {
                NodeSet(x.a, c, out);
                for (int p : x.args) Filter(p, out);
                return;
            }
            case kUnion: {
                NodeSet(x.a, c, out);
                Items* r = Take();
                NodeSet(x.b, c, r);
                if (!r->empty()) {
                    out->insert(out->end(), r->begin(), r->end());
                    SortUnique(out);
                }
                Give(r);
                return;
            }
            case kVar: {
                const VexaXPathValue* v = Variable(x.text);
                if (v && v->Type() == VEXA_XPATH_NODESET)
                    *out = Access::Items(Access::Nodes(const_cast<VexaXPathValue&>(*v)));
                return;
            }
            case kFunc:
                if (x.fn == kFnId) Id(x, c, out);
                return;
            default:
                return;  // not a node-set: empty
        }
    }

    // ---- comparisons

    static bool CompareNumbers(Op op, double a, double b) {
        switch (op) {
            case kEq:
                return a == b;
            case kNe:
                return a != b;
            case kLt:
                return a < b;
            case kLe:
                return a <= b;
            case kGt:
                return a > b;
            default:
                return a >= b;
        }
    }
    static Op Swap(Op op) {
        switch (op) {
            case kLt:
                return kGt;
            case kLe:
                return kGe;
            case kGt:
                return kLt;
            case kGe:
                return kLe;
            default:
                return op;
        }
    }

    static bool Scalar(int type) { return type != VEXA_XPATH_NODESET && type != kAnyType; }

    bool Compare(Op op, int ea, int eb, const Ctx& c) {
        const Expr& xa = X(ea);
        const Expr& xb = X(eb);
        // Scalars of known types compare without building values.
        if (Scalar(xa.type) && Scalar(xb.type)) {
            const bool eq = op == kEq || op == kNe;
            if (eq && (xa.type == VEXA_XPATH_BOOLEAN || xb.type == VEXA_XPATH_BOOLEAN))
                return CompareNumbers(op, Boolean(ea, c), Boolean(eb, c));
            if (!eq || xa.type == VEXA_XPATH_NUMBER || xb.type == VEXA_XPATH_NUMBER)
                return CompareNumbers(op, Number(ea, c), Number(eb, c));
        }
        // A one-step path against a literal: the items are visited in place.
        const Step* s = SimpleStep(xa);
        const Expr* lit = &xb;
        if (!s && xa.op == kLiteral) {
            s = SimpleStep(xb);
            lit = &xa;
            op = Swap(op);
        }
        if (s && (lit->op == kLiteral || lit->op == kNumberLit)) {
            if (lit->op == kLiteral && (op == kEq || op == kNe)) {
                const Str want{lit->text.data(), lit->text.size()};
                const bool eq = op == kEq;
                return Visit(*s, c.item,
                             [&](const VexaXPathNode& n) { return Equal(ValueView(n, &scratch), want) == eq; });
            }
            const double want =
                lit->op == kNumberLit ? lit->number : StringToNumber(Str{lit->text.data(), lit->text.size()});
            return Visit(*s, c.item, [&](const VexaXPathNode& n) {
                return CompareNumbers(op, StringToNumber(ValueView(n, &scratch)), want);
            });
        }
        Value a;
        Value b;
        Eval(ea, c, &a);
        Eval(eb, c, &b);
        bool r;
        if (a.type != VEXA_XPATH_NODESET && b.type == VEXA_XPATH_NODESET)
            r = CompareValues(Swap(op), b, a);
        else
            r = CompareValues(op, a, b);
        Release(&a);
        Release(&b);
        return r;
    }

    bool CompareValues(Op op, const Value& a, const Value& b) {
        const bool eq = op == kEq || op == kNe;
        if (a.type == VEXA_XPATH_NODESET && b.type == VEXA_XPATH_NODESET) {
            if (a.set->empty() || b.set->empty()) return false;
            if (eq) {
                std::vector<std::string> right;
                right.reserve(b.set->size());
                for (const VexaXPathNode& n : *b.set) {
                    const Str s = ValueView(n, &scratch);
                    right.emplace_back(s.p, s.n);
                }
                std::sort(right.begin(), right.end());
                right.erase(std::unique(right.begin(), right.end()), right.end());
                for (const VexaXPathNode& n : *a.set) {
                    const Str s = ValueView(n, &scratch);
                    const std::string key(s.p, s.n);
                    const bool found = std::binary_search(right.begin(), right.end(), key);
                    if (op == kEq ? found : (right.size() > 1 || !found)) return true;
                }
                return false;
            }
            double amin = 0, amax = 0, bmin = 0, bmax = 0;
            bool anyA = false, anyB = false;
            for (const VexaXPathNode& n : *a.set) {
                const double d = StringToNumber(ValueView(n, &scratch));
                if (std::isnan(d)) continue;
                amin = anyA ? std::min(amin, d) : d;
                amax = anyA ? std::max(amax, d) : d;
                anyA = true;
            }
            for (const VexaXPathNode& n : *b.set) {
                const double d = StringToNumber(ValueView(n, &scratch));
                if (std::isnan(d)) continue;
                bmin = anyB ? std::min(bmin, d) : d;
                bmax = anyB ? std::max(bmax, d) : d;
                anyB = true;
            }
            if (!anyA || !anyB) return false;
            // Some pair satisfies op exactly when the extreme pair does.
            if (op == kLt || op == kLe) return CompareNumbers(op, amin, bmax);
            return CompareNumbers(op, amax, bmin);
        }
        if (a.type == VEXA_XPATH_NODESET) {
            if (b.type == VEXA_XPATH_BOOLEAN) return CompareBooleansOrNumbers(op, !a.set->empty() ? 1 : 0, b.b ? 1 : 0);
            if (b.type == VEXA_XPATH_NUMBER || !eq) {
                const double rb = b.type == VEXA_XPATH_NUMBER ? b.num : StringToNumber(Str{b.str.data(), b.str.size()});
                for (const VexaXPathNode& n : *a.set)
                    if (CompareNumbers(op, StringToNumber(ValueView(n, &scratch)), rb)) return true;
                return false;
            }
            const Str rb{b.str.data(), b.str.size()};
            for (const VexaXPathNode& n : *a.set)
                if (Equal(ValueView(n, &scratch), rb) == (op == kEq)) return true;
            return false;
        }
        if (eq) {
            if (a.type == VEXA_XPATH_BOOLEAN || b.type == VEXA_XPATH_BOOLEAN)
                return CompareNumbers(op, ToBoolean(a) ? 1 : 0, ToBoolean(b) ? 1 : 0);
            if (a.type == VEXA_XPATH_NUMBER || b.type == VEXA_XPATH_NUMBER)
                return CompareNumbers(op, ToNumber(a), ToNumber(b));
            return (a.str == b.str) == (op == kEq);
        }
        return CompareNumbers(op, ToNumber(a), ToNumber(b));
    }
    static bool CompareBooleansOrNumbers(Op op, double a, double b) { return CompareNumbers(op, a, b); }

    // ---- paths

    void Path(const Expr& x, const Ctx& c, Items* out) {
        if (x.a >= 0) {
            NodeSet(x.a, c, out);
        } else if (x.absolute) {
            AddItem(out, const_cast<VexaNode*>(TopOf(c.item.Node())));
        } else {
            out->push_back(c.item);
        }
        bool flat = x.a < 0;  // no item is an ancestor of another
        Items* next = Take();
        for (const Step& s : x.steps) {
            if (out->empty()) break;
            next->clear();
            ApplyStep(s, *out, next, &flat);
            out->swap(*next);
        }
        Give(next);
    }

    bool Match(const Step& s, const VexaNode* n, Kind k) const {
        switch (s.test) {
            case kTestNode:
                return true;
            case kTestText:
                return k == kText;
            case kTestComment:
                return k == kComment;
            case kTestPi:
                return k == kPi;
            case kTestPiTarget:
                return k == kPi && Equal(PiTarget(n), Str{s.name.data(), s.name.size()});
            case kTestAny:
                return k == kElement;
            case kTestName: {
                if (k != kElement) return false;
                const Chars& v = Access::Value(*n);
                return v.size() == s.name.size() && std::memcmp(v.c_str(), s.name.data(), v.size()) == 0;
            }
            default: {  // prefix
                if (k != kElement) return false;
                const Chars& v = Access::Value(*n);
                return v.size() > s.name.size() && std::memcmp(v.c_str(), s.name.data(), s.name.size()) == 0;
            }
        }
    }
    bool MatchAttr(const Step& s, const VexaAttribute* a) const {
        if (IsNamespaceDecl(a)) return false;
        const Chars& v = Access::Name(*a);
        switch (s.test) {
            case kTestNode:
            case kTestAny:
                return true;
            case kTestName:
                return v.size() == s.name.size() && std::memcmp(v.c_str(), s.name.data(), v.size()) == 0;
            case kTestPrefix:
                return v.size() > s.name.size() && std::memcmp(v.c_str(), s.name.data(), s.name.size()) == 0;
            default:
                return false;
        }
    }
    // The step of a path that is one step from the context with no
    // predicate on a short axis, or null.
    static const Step* SimpleStep(const Expr& x) {
        if (x.op != kPath || x.absolute || x.a >= 0 || x.steps.size() != 1) return 0;
        const Step& s = x.steps[0];
        if (!s.preds.empty()) return 0;
        return s.axis == kChild || s.axis == kAttribute || s.axis == kSelf || s.axis == kParent ? &s : 0;
    }

    // Calls f on the items of such a step from item in document order until f returns true;
    // returns whether it did.
    template <class F>
    bool Visit(const Step& s, const VexaXPathNode& item, F f) {
        VexaNode* n = item.Node();
        if (s.axis == kAttribute) {
            if (item.Attribute() || Access::Kind(*n) != VexaNode::ELEMENT) return false;
            for (VexaAttribute* a = static_cast<VexaElement*>(n)->FirstAttribute(); a; a = a->Next())
                if (MatchAttr(s, a) && f(VexaXPathNode(n, a))) return true;
            return false;
        }
        if (s.axis == kChild) {
            if (item.Attribute()) return false;
            if (ElementsOnly(s)) {
                for (VexaNode* ch = n->FirstChild(); ch; ch = ch->NextSibling())
                    if (Access::Kind(*ch) == VexaNode::ELEMENT && Match(s, ch, kElement) && f(VexaXPathNode(ch)))
                        return true;
                return false;
            }
            for (VexaNode* ch = FirstModelChild(n); ch; ch = NextModelSibling(ch))
                if (Match(s, ch, KindOf(ch)) && f(VexaXPathNode(ch))) return true;
            return false;
        }
        Items* v = Take();
        Collect(s, item, v);
        bool hit = false;
        for (const VexaXPathNode& m : *v)
            if ((hit = f(m))) break;
        Give(v);
        return hit;
    }

    VEXA_ALWAYS_INLINE void Emit(const Step& s, VexaNode* n, Items* out) const {
        if (Match(s, n, KindOf(n))) AddItem(out, n);
    }
    static bool ElementsOnly(const Step& s) {
        return s.test == kTestName || s.test == kTestAny || s.test == kTestPrefix;
    }

    // Appends the nodes of s's axis from item that pass its node test, in axis order.
    // Collecting stops once out holds stop items (a predicate [n] needs no more).
    void Collect(const Step& s, const VexaXPathNode& item, Items* out, size_t stop = SIZE_MAX) {
        VexaNode* n = item.Node();
        const bool attr = item.Attribute() != 0;
        switch (s.axis) {
            case kSelf:
                if (attr) {
                    if (s.test == kTestNode) out->push_back(item);
                } else {
                    Emit(s, n, out);
                }
                return;
            case kChild:
                if (attr) return;
                if (ElementsOnly(s)) {
                    for (VexaNode* ch = n->FirstChild(); ch; ch = ch->NextSibling())
                        if (Access::Kind(*ch) == VexaNode::ELEMENT && Match(s, ch, kElement)) AddItem(out, ch);
                    return;
                }
                for (VexaNode* ch = FirstModelChild(n); ch; ch = NextModelSibling(ch)) Emit(s, ch, out);
                return;
            case kAttribute:
                if (attr || Access::Kind(*n) != VexaNode::ELEMENT) return;
                for (VexaAttribute* a = n->ToElement()->FirstAttribute(); a; a = a->Next())
                    if (MatchAttr(s, a)) AddItem(out, n, a);
                return;
            case kDescendantOrSelf:
                if (attr) {
                    if (s.test == kTestNode) out->push_back(item);
                    return;
                }
                Emit(s, n, out);
                // fall through
            case kDescendant:
                if (attr) return;
                if (ElementsOnly(s)) {
                    for (VexaNode* d = NextElement(n, n); d && out->size() < stop; d = NextElement(d, n))
                        if (Match(s, d, kElement)) AddItem(out, d);
                    return;
                }
                if (s.test == kTestText) {  // every node once, text runs picked by their first node
                    for (VexaNode* d = NextRaw(n, n); d && out->size() < stop; d = NextRaw(d, n))
                        if (StartsTextNode(d)) AddItem(out, d);
                    return;
                }
                for (VexaNode* d = NextInSubtree(n, n); d && out->size() < stop; d = NextInSubtree(d, n))
                    Emit(s, d, out);
                return;
            case kParent: {
                // Siblings come one after another: their parent is written once.
                VexaNode* p = attr ? n : n->Parent();
                if (p && (out->empty() || out->back().Node() != p || out->back().Attribute())) Emit(s, p, out);
                return;
            }
            case kAncestorOrSelf:
                if (attr) {
                    if (s.test == kTestNode) out->push_back(item);
                } else {
                    Emit(s, n, out);
                    n = n->Parent();
                }
                for (; n && out->size() < stop; n = n->Parent()) Emit(s, n, out);
                return;
            case kAncestor:
                if (!attr) n = n->Parent();
                for (; n && out->size() < stop; n = n->Parent()) Emit(s, n, out);
                return;
            case kFollowingSibling:
                if (attr) return;
                for (VexaNode* sib = NextModelSibling(n); sib && out->size() < stop; sib = NextModelSibling(sib))
                    Emit(s, sib, out);
                return;
            case kPrecedingSibling:
                if (attr) return;
                for (VexaNode* sib = PrevModelSibling(n); sib && out->size() < stop; sib = PrevModelSibling(sib))
                    Emit(s, sib, out);
                return;
            case kFollowing: {
                if (attr)  // an attribute's element's content follows it
                    for (VexaNode* d = NextInSubtree(n, n); d && out->size() < stop; d = NextInSubtree(d, n))
                        Emit(s, d, out);
                const VexaNode* cur = n;
                while (out->size() < stop) {
                    VexaNode* sib = 0;
                    while (cur && !(sib = NextModelSibling(cur))) cur = cur->Parent();
                    if (!cur) return;
                    for (VexaNode* d = sib; d && out->size() < stop; d = NextInSubtree(d, sib)) Emit(s, d, out);
                    cur = sib;
                }
                return;
            }
            case kPreceding:
                for (const VexaNode* cur = n; cur && out->size() < stop; cur = cur->Parent()) {
                    for (VexaNode* sib = PrevModelSibling(cur); sib && out->size() < stop;
                         sib = PrevModelSibling(sib)) {
                        // sib's subtree in reverse document order
                        VexaNode* d = DeepestLast(sib);
                        for (;;) {
                            Emit(s, d, out);
                            if (d == sib || out->size() >= stop) break;
                            VexaNode* p = PrevModelSibling(d);
                            d = p ? DeepestLast(p) : d->Parent();
                        }
                    }
                }
                return;
            case kDescendantAttribute:
                if (attr) return;
                for (VexaNode* d = Access::Kind(*n) == VexaNode::ELEMENT ? n : NextElement(n, n); d;
                     d = NextElement(d, n)) {
                    for (VexaAttribute* at = static_cast<VexaElement*>(d)->FirstAttribute(); at; at = at->Next())
                        if (MatchAttr(s, at)) AddItem(out, d, at);
                }
                return;
            case kNamespace:
                return;
        }
    }

    // How many items predicate i of s may keep: n when the next one is [n]
    // and predicate i reads no position.
    size_t LimitFor(const Step& s, size_t i) const {
        const Expr& next = X(s.preds[i + 1]);
        if (next.op != kNumberLit || !(next.number >= 1 && next.number < 1e15) || Positional(prog, s.preds[i]))
            return SIZE_MAX;
        return static_cast<size_t>(next.number);
    }

    static bool Reverse(Axis a) {
        return a == kAncestor || a == kAncestorOrSelf || a == kPreceding || a == kPrecedingSibling;
    }

    void ApplyStep(const Step& s, const Items& in, Items* out, bool* flat) {
        const bool single = in.size() == 1;
        if (s.preds.empty()) {
            for (const VexaXPathNode& item : in) {
                const size_t from = out->size();
                Collect(s, item, out);
                if (Reverse(s.axis)) std::reverse(out->begin() + static_cast<std::ptrdiff_t>(from), out->end());
            }
        } else {
            // A leading [n] takes the nth item: the axis is walked no further.
            size_t stop = SIZE_MAX;
            const Expr& first = X(s.preds[0]);
            if (first.op == kNumberLit && first.number >= 1 && first.number < 1e15)
                stop = static_cast<size_t>(first.number);
            Items* tmp = Take();
            for (const VexaXPathNode& item : in) {
                tmp->clear();
                Collect(s, item, tmp, stop);
                for (size_t i = 0; i < s.preds.size(); ++i)
                    Filter(s.preds[i], tmp, i + 1 < s.preds.size() ? LimitFor(s, i) : SIZE_MAX);
                if (Reverse(s.axis)) std::reverse(tmp->begin(), tmp->end());
                out->insert(out->end(), tmp->begin(), tmp->end());
            }
            Give(tmp);
        }
        // The input is in document order; the output is too where the axis
        // cannot break it, else it is sorted.
        const Axis a = s.axis;
        if (a == kAttribute || a == kDescendantAttribute) {
            *flat = true;  // attributes have no descendants; each element's follow it
        } else if (a == kSelf || a == kNamespace) {
            // as it was
        } else if (single) {
            *flat = a == kChild || a == kParent || a == kFollowingSibling || a == kPrecedingSibling;
        } else if (*flat && a == kChild) {
            // ordered already
        } else if (*flat && (a == kDescendant || a == kDescendantOrSelf)) {
            *flat = false;
        } else {
            // Siblings share a parent: drop the neighbours first, cheaply.
            out->erase(std::unique(out->begin(), out->end()), out->end());
            SortUnique(out);
            *flat = false;
        }
    }

    // Keeps the items of v for which predicate p holds, positions counted in v's order.
    // A predicate that reads no position keeps at most limit items: a [n]
    // after it needs no more.
    void Filter(int p, Items* v, size_t limit = SIZE_MAX) {
        const Expr& x = X(p);
        const size_t size = v->size();
        if (size == 0) return;
        if (x.op == kNumberLit) {  // [n]
            const double d = x.number;
            if (d >= 1 && d <= static_cast<double>(size) && d == std::floor(d)) {
                (*v)[0] = (*v)[static_cast<size_t>(d) - 1];
                v->resize(1);
            } else {
                v->clear();
            }
            return;
        }
        if (x.op == kFunc && x.fn == kFnLast) {  // [last()]
            (*v)[0] = (*v)[size - 1];
            v->resize(1);
            return;
        }
        size_t kept = 0;
        const bool numeric = x.type == VEXA_XPATH_NUMBER;
        for (size_t i = 0; i < size; ++i) {
            const Ctx c{(*v)[i], i + 1, size};
            bool keep;
            if (numeric) {
                keep = Number(p, c) == static_cast<double>(i + 1);
            } else if (x.type == kAnyType) {
                Value val;
                Eval(p, c, &val);
                keep = val.type == VEXA_XPATH_NUMBER ? val.num == static_cast<double>(i + 1) : ToBoolean(val);
                Release(&val);
            } else {
                keep = Boolean(p, c);
            }
            if (!keep) continue;
            (*v)[kept++] = (*v)[i];
            if (kept == limit) break;
        }
        v->resize(kept);
    }

    // ---- functions

    // The single node-set argument, or the context node when there is none.
    VexaXPathNode NodeArg(const Expr& x, const Ctx& c) {
        if (x.args.empty()) return c.item;
        Items* v = Take();
        NodeSet(x.args[0], c, v);
        const VexaXPathNode r = v->empty() ? VexaXPathNode() : (*v)[0];
        Give(v);
        return r;
    }
    void StringArg(const Expr& x, size_t i, const Ctx& c, std::string* out) {
        if (i < x.args.size()) {
            String(x.args[i], c, out);
        } else {
            out->clear();
            AppendValue(c.item, out);
        }
    }

    static Str NameOf(const VexaXPathNode& n) {
        if (n.IsNull()) return Str{"", 0};
        if (n.Attribute()) return CharsOf(Access::Name(*n.Attribute()));
        const Kind k = KindOf(n.Node());
        if (k == kElement) return CharsOf(Access::Value(*n.Node()));
        if (k == kPi) return PiTarget(n.Node());
        return Str{"", 0};
    }

    bool BooleanFunction(const Expr& x, const Ctx& c) {
        switch (x.fn) {
            case kFnTrue:
                return true;
            case kFnFalse:
                return false;
            case kFnNot:
                return !Boolean(x.args[0], c);
            case kFnBoolean:
                return Boolean(x.args[0], c);
            case kFnStartsWith:
            case kFnContains: {
                std::string a, b;
                String(x.args[0], c, &a);
                String(x.args[1], c, &b);
                if (x.fn == kFnStartsWith) return a.compare(0, b.size(), b) == 0;
                return Find(Str{a.data(), a.size()}, Str{b.data(), b.size()}) != 0;
            }
            case kFnLang: {
                std::string want;
                String(x.args[0], c, &want);
                const VexaNode* n = c.item.Node();
                for (; n; n = n->Parent()) {
                    if (Access::Kind(*n) != VexaNode::ELEMENT) continue;
                    const char* lang = n->ToElement()->Attribute("xml:lang");
                    if (!lang) continue;
                    size_t i = 0;
                    for (; i < want.size(); ++i)
                        if (!lang[i] || FoldCase(lang[i]) != FoldCase(want[i])) return false;
                    return lang[i] == 0 || lang[i] == '-';
                }
                return false;
            }
            default:
                return false;
        }
    }

    double NumberFunction(const Expr& x, const Ctx& c) {
        switch (x.fn) {
            case kFnLast:
                return static_cast<double>(c.size);
            case kFnPosition:
                return static_cast<double>(c.position);
            case kFnCount: {
                Items* v = Take();
                NodeSet(x.args[0], c, v);
                const double n = static_cast<double>(v->size());
                Give(v);
                return n;
            }
            case kFnSum: {
                Items* v = Take();
                NodeSet(x.args[0], c, v);
                double sum = 0;
                for (const VexaXPathNode& n : *v) sum += StringToNumber(ValueView(n, &scratch));
                Give(v);
                return sum;
            }
            case kFnStringLength: {
                std::string s;
                StringArg(x, 0, c, &s);
                return static_cast<double>(chars.Length(Str{s.data(), s.size()}));
            }
            case kFnNumber: {
                if (x.args.empty()) {
                    std::string s;
                    AppendValue(c.item, &s);
                    return StringToNumber(Str{s.data(), s.size()});
                }
                return Number(x.args[0], c);
            }
            case kFnFloor:
                return std::floor(Number(x.args[0], c));
            case kFnCeiling:
                return std::ceil(Number(x.args[0], c));
            case kFnRound:
                return Round(Number(x.args[0], c));
            default:
                return std::numeric_limits<double>::quiet_NaN();
        }
    }

    void StringFunction(const Expr& x, const Ctx& c, std::string* out) {
        switch (x.fn) {
            case kFnString:
                StringArg(x, 0, c, out);
                return;
            case kFnName:
            case kFnLocalName: {
                const Str n = NameOf(NodeArg(x, c));
                if (x.fn == kFnName) {
                    out->assign(n.p, n.n);
                } else {
                    const char* colon = static_cast<const char*>(std::memchr(n.p, ':', n.n));
                    out->assign(colon ? colon + 1 : n.p, n.p + n.n);
                }
                return;
            }
            case kFnNamespaceUri:
                if (!x.args.empty()) NodeArg(x, c);
                return;
            case kFnConcat: {
                std::string part;
                for (int a : x.args) {
                    String(a, c, &part);
                    out->append(part);
                }
                return;
            }
            case kFnSubstringBefore:
            case kFnSubstringAfter: {
                std::string a, b;
                String(x.args[0], c, &a);
                String(x.args[1], c, &b);
                const char* at = Find(Str{a.data(), a.size()}, Str{b.data(), b.size()});
                if (!at) return;
                const char* begin = a.data();
                if (x.fn == kFnSubstringBefore)
                    out->assign(begin, static_cast<size_t>(at - begin));
                else
                    out->assign(at + b.size(), static_cast<size_t>(begin + a.size() - at - b.size()));
                return;
            }
            case kFnSubstring: {
                std::string s;
                String(x.args[0], c, &s);
                const double start = Round(Number(x.args[1], c));
                const bool bounded = x.args.size() > 2;
                const double end = bounded ? start + Round(Number(x.args[2], c)) : 0;
                const char* p = s.data();
                const char* e = p + s.size();
                for (double pos = 1; p < e; pos += 1) {
                    const size_t w = chars.Width(p, e);
                    if (pos >= start && (!bounded || pos < end)) out->append(p, w);
                    p += w;
                }
                return;
            }
            case kFnNormalizeSpace: {
                std::string s;
                StringArg(x, 0, c, &s);
                out->reserve(s.size());
                const char* p = s.data();
                const char* end = p + s.size();
                for (;;) {
                    while (p < end && IsXmlSpace(*p)) ++p;
                    if (p == end) return;
                    const char* word = p;
                    while (p < end && !IsXmlSpace(*p)) ++p;
                    if (!out->empty()) out->push_back(' ');
                    out->append(word, static_cast<size_t>(p - word));
                }
            }
            case kFnTranslate: {
                std::string s, from, to;
                String(x.args[0], c, &s);
                String(x.args[1], c, &from);
                String(x.args[2], c, &to);
                const char* fe = from.data() + from.size();
                const char* te = to.data() + to.size();
                for (const char *p = s.data(), *e = p + s.size(); p < e;) {
                    const size_t w = chars.Width(p, e);
                    // the first occurrence in from decides
                    size_t index = 0;
                    const char* f = from.data();
                    for (; f < fe; ++index) {
                        const size_t fw = chars.Width(f, fe);
                        if (fw == w && std::memcmp(f, p, w) == 0) break;
                        f += fw;
                    }
                    if (f >= fe) {
                        out->append(p, w);
                    } else {
                        const char* t = to.data();
                        for (size_t i = 0; i < index && t < te; ++i) t += chars.Width(t, te);
                        if (t < te) out->append(t, chars.Width(t, te));
                    }
                    p += w;
                }
                return;
            }
            default:
                return;
        }
    }

    void Id(const Expr& x, const Ctx& c, Items* out);

    const XPathProgram& prog;
    Chars8 chars;
    std::vector<std::unique_ptr<Items> > owned;  // every vector made, freed also after a throw
    std::vector<Items*> pool;                    // those not in use
    SparePool* reuse;                            // this thread's spares, looked up once
    std::string scratch;
};

void Evaluator::Id(const Expr& x, const Ctx& c, Items* out) {
    std::string all;
    const Expr& arg = X(x.args[0]);
    if (arg.type == VEXA_XPATH_NODESET || arg.type == kAnyType) {
        Value v;
        Eval(x.args[0], c, &v);
        if (v.type == VEXA_XPATH_NODESET) {
            for (const VexaXPathNode& n : *v.set) {
                AppendValue(n, &all);
                all.push_back(' ');
            }
        } else {
            ToString(v, &all);
        }
        Release(&v);
    } else {
        String(x.args[0], c, &all);
    }
    std::vector<std::string> tokens;
    for (size_t i = 0; i < all.size();) {
        while (i < all.size() && IsXmlSpace(all[i])) ++i;
        const size_t start = i;
        while (i < all.size() && !IsXmlSpace(all[i])) ++i;
        if (i > start) tokens.push_back(all.substr(start, i - start));
    }
    if (tokens.empty()) return;
    std::sort(tokens.begin(), tokens.end());
    const VexaNode* top = TopOf(c.item.Node());
    for (VexaNode* n = NextElement(top, top); n; n = NextElement(n, top)) {
        const VexaElement* e = n->ToElement();
        for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            if (!impl::IsIdAttribute(*e, *a)) continue;  // declared of type ID by the internal subset
            if (std::binary_search(tokens.begin(), tokens.end(), std::string(a->Value()))) {
                AddItem(out, n);
                break;
            }
        }
    }
}

bool Utf8Chars(const VexaNode* n) {
    const VexaDocument* doc = n ? n->GetDocument() : 0;
    if (!doc) return true;
    const int enc = doc->TextEncoding();
    return enc != VEXA_ENCODING_LEGACY && enc != VEXA_ENCODING_RAW;
}

}  // namespace
}  // namespace impl

// -------------------------------------------------------------- public API

using impl::Access;

std::string VexaXPathNode::StringValue() const {
    std::string s;
    if (node) impl::AppendValue(*this, &s);
    return s;
}

int VexaXPathNode::Row() const {
    if (attribute && attribute->Row() >= 0) return attribute->Row();
    return node ? node->Row() : -1;
}

int VexaXPathNode::Column() const {
    if (attribute && attribute->Row() >= 0) return attribute->Column();
    return node ? node->Column() : -1;
}

double VexaXPathValue::Number() const {
    switch (type) {
        case VEXA_XPATH_NUMBER:
            return number;
        case VEXA_XPATH_BOOLEAN:
            return boolean ? 1 : 0;
        case VEXA_XPATH_STRING:
            return impl::StringToNumber(impl::Str{text.data(), text.size()});
        default: {
            if (nodes.Empty()) return std::numeric_limits<double>::quiet_NaN();
            const std::string s = nodes[0].StringValue();
            return impl::StringToNumber(impl::Str{s.data(), s.size()});
        }
    }
}

std::string VexaXPathValue::String() const {
    std::string s;
    switch (type) {
        case VEXA_XPATH_NUMBER:
            impl::NumberToString(number, &s);
            return s;
        case VEXA_XPATH_BOOLEAN:
            return boolean ? "true" : "false";
        case VEXA_XPATH_STRING:
            return text;
        default:
            return nodes.Empty() ? s : nodes[0].StringValue();
    }
}

bool VexaXPathValue::Boolean() const {
    switch (type) {
        case VEXA_XPATH_NUMBER:
            return number != 0 && !std::isnan(number);
        case VEXA_XPATH_BOOLEAN:
            return boolean;
        case VEXA_XPATH_STRING:
            return !text.empty();
        default:
            return !nodes.Empty();
    }
}

VexaXPath::VexaXPath() : program(new impl::XPathProgram), errorCode(VEXA_XPATH_EMPTY), errorOffset(0) {}

VexaXPath::VexaXPath(const char* expression)
    : program(new impl::XPathProgram), errorCode(VEXA_XPATH_EMPTY), errorOffset(0) {
    Compile(expression);
}

VexaXPath::~VexaXPath() { delete program; }

bool VexaXPath::Compile(const char* expression) {
    program->exprs.clear();
    program->exprs.reserve(16);
    program->root = -1;
    impl::Compiler compiler(expression ? expression : "", program);
    const int root = compiler.Run();
    if (root < 0) {
        program->exprs.clear();
        errorCode = compiler.errorCode;
        errorOffset = compiler.offset;
        return false;
    }
    impl::Simplify(program);
    program->root = root;
    errorCode = VEXA_XPATH_OK;
    errorOffset = -1;
    return true;
}

const char* VexaXPath::ErrorText() const {
    return errorCode >= 0 && errorCode < VEXA_XPATH_ERROR_COUNT ? errorString[errorCode] : "";
}

int VexaXPath::ReturnType() const {
    if (program->root < 0) return VEXA_XPATH_NODESET;
    const int t = program->exprs[static_cast<size_t>(program->root)].type;
    return t == impl::kAnyType ? VEXA_XPATH_NODESET : t;
}

VexaXPathValue VexaXPath::Evaluate(const VexaXPathNode& context) const {
    VexaXPathValue result;
    if (program->root < 0 || context.IsNull()) return result;
    const VexaXPathNode start(context.Attribute() ? context.Node() : impl::RunStart(context.Node()),
                              context.Attribute());
    impl::Evaluator ev(*program, impl::Utf8Chars(start.Node()));
    impl::Value v;
    ev.Eval(program->root, impl::Ctx{start, 1, 1}, &v);
    Access::Type(result) = v.type;
    switch (v.type) {
        case VEXA_XPATH_NODESET:  // an exact copy; the evaluator keeps its grown vector
            Access::Items(Access::Nodes(result)).assign(v.set->begin(), v.set->end());
            break;
        case VEXA_XPATH_NUMBER:
            Access::Number(result) = v.num;
            break;
        case VEXA_XPATH_STRING:
            Access::Text(result).swap(v.str);
            break;
        default:
            Access::Boolean(result) = v.b;
            break;
    }
    ev.Release(&v);
    return result;
}

VexaXPathValue VexaXPath::Evaluate(const VexaNode& context) const {
    return Evaluate(VexaXPathNode(const_cast<VexaNode*>(&context)));
}

VexaXPathNodeSet VexaXPath::SelectNodes(const VexaXPathNode& context) const {
    VexaXPathValue v = Evaluate(context);
    VexaXPathNodeSet set;
    if (v.Type() == VEXA_XPATH_NODESET) Access::Items(set).swap(Access::Items(Access::Nodes(v)));
    return set;
}

VexaXPathNodeSet VexaXPath::SelectNodes(const VexaNode& context) const {
    return SelectNodes(VexaXPathNode(const_cast<VexaNode*>(&context)));
}

VexaXPathNode VexaXPath::SelectNode(const VexaXPathNode& context) const { return SelectNodes(context).First(); }

VexaXPathNode VexaXPath::SelectNode(const VexaNode& context) const { return SelectNodes(context).First(); }

double VexaXPath::EvaluateNumber(const VexaXPathNode& context) const {
    if (program->root < 0 || context.IsNull()) return std::numeric_limits<double>::quiet_NaN();
    const VexaXPathNode start(context.Attribute() ? context.Node() : impl::RunStart(context.Node()),
                              context.Attribute());
    impl::Evaluator ev(*program, impl::Utf8Chars(start.Node()));
    return ev.Number(program->root, impl::Ctx{start, 1, 1});
}

std::string VexaXPath::EvaluateString(const VexaXPathNode& context) const {
    std::string s;
    if (program->root < 0 || context.IsNull()) return s;
    const VexaXPathNode start(context.Attribute() ? context.Node() : impl::RunStart(context.Node()),
                              context.Attribute());
    impl::Evaluator ev(*program, impl::Utf8Chars(start.Node()));
    ev.String(program->root, impl::Ctx{start, 1, 1}, &s);
    return s;
}

bool VexaXPath::EvaluateBoolean(const VexaXPathNode& context) const {
    if (program->root < 0 || context.IsNull()) return false;
    const VexaXPathNode start(context.Attribute() ? context.Node() : impl::RunStart(context.Node()),
                              context.Attribute());
    impl::Evaluator ev(*program, impl::Utf8Chars(start.Node()));
    return ev.Boolean(program->root, impl::Ctx{start, 1, 1});
}

double VexaXPath::EvaluateNumber(const VexaNode& context) const {
    return EvaluateNumber(VexaXPathNode(const_cast<VexaNode*>(&context)));
}

std::string VexaXPath::EvaluateString(const VexaNode& context) const {
    return EvaluateString(VexaXPathNode(const_cast<VexaNode*>(&context)));
}

bool VexaXPath::EvaluateBoolean(const VexaNode& context) const {
    return EvaluateBoolean(VexaXPathNode(const_cast<VexaNode*>(&context)));
}

VexaXPathValue* VexaXPath::Variable(const char* name) {
    const std::string key(name ? name : "");
    for (auto& v : program->variables)
        if (v.first == key) return &v.second;
    program->variables.push_back(std::make_pair(key, VexaXPathValue()));
    return &program->variables.back().second;
}

void VexaXPath::SetVariable(const char* name, double value) {
    VexaXPathValue* v = Variable(name);
    *v = VexaXPathValue();
    Access::Type(*v) = VEXA_XPATH_NUMBER;
    Access::Number(*v) = value;
}

void VexaXPath::SetVariable(const char* name, const char* value) {
    VexaXPathValue* v = Variable(name);
    *v = VexaXPathValue();
    Access::Type(*v) = VEXA_XPATH_STRING;
    Access::Text(*v) = value ? value : "";
}

void VexaXPath::SetVariable(const char* name, bool value) {
    VexaXPathValue* v = Variable(name);
    *v = VexaXPathValue();
    Access::Type(*v) = VEXA_XPATH_BOOLEAN;
    Access::Boolean(*v) = value;
}

void VexaXPath::SetVariable(const char* name, const VexaXPathNodeSet& value) {
    VexaXPathValue* v = Variable(name);
    *v = VexaXPathValue();
    Access::Nodes(*v) = value;
}

// ----------------------------------------------------- node and handle shortcuts

VexaXPathNodeSet VexaNode::SelectNodes(const char* expression) const {
    const VexaXPath query(expression);
    return query.SelectNodes(*this);
}

VexaXPathNode VexaNode::SelectNode(const char* expression) const { return SelectNodes(expression).First(); }

VexaXPathNodeSet VexaNode::SelectNodes(const VexaXPath& query) const { return query.SelectNodes(*this); }

VexaXPathNode VexaNode::SelectNode(const VexaXPath& query) const { return query.SelectNode(*this); }

VexaHandle VexaHandle::SelectNode(const char* expression) const {
    if (!node) return VexaHandle(0);
    const VexaXPathNode first = node->SelectNode(expression);
    return VexaHandle(first.Attribute() ? 0 : first.Node());
}

VexaXPathNodeSet VexaHandle::SelectNodes(const char* expression) const {
    return node ? node->SelectNodes(expression) : VexaXPathNodeSet();
}

}  // namespace ORMELA

#endif  // VEXA_NO_XPATH
