// Reading a document one subtree at a time: a small scanner finds the
// elements wanted and the tags that enclose them in a window of the file,
// and the document's own parse reads each piece, told where in the file it
// lies, so that values, locations and errors come out as a full parse makes
// them.
#include "vexareader.h"

#include <cstring>
#include <istream>
#include <vector>

#include "vexa.h"
#include "vexaencoding.h"
#include "vexaimpl.h"

namespace ORMELA {
namespace impl {

namespace {

const size_t kChunk = 64 * 1024;
// Pieces of a line that loading a file reads at a time (see DropAfterZeros).
const size_t kPiece = 2047;
// A document's memory past this (and twice the largest subtree) is given
// back whole: text too long for its free lists is not reused otherwise.
const size_t kRecycle = 8 * 1024 * 1024;
const size_t kNone = static_cast<size_t>(-1);

// Name bytes as the parser takes them: 1 for any, 2 for one that may start.
struct NameBytes {
    unsigned char table[256];
    NameBytes() : table() {
        for (int c = 0; c < 256; ++c) {
            const bool any = c >= 0x80 || (kCharClass[c] != 0 && !(kCharClass[c] & kSpace));
            const bool start = c >= 0x80 || (kCharClass[c] & kAlpha) || c == '_' || c == ':';
            table[c] = static_cast<unsigned char>((any ? 1 : 0) | (start ? 2 : 0));
        }
    }
};
const NameBytes kNameBytes;

inline bool IsNameStart(char c) { return (kNameBytes.table[static_cast<unsigned char>(c)] & 2) != 0; }
inline bool IsNameByte(char c) { return (kNameBytes.table[static_cast<unsigned char>(c)] & 1) != 0; }

unsigned Unit(const char* p, bool big) {
    const unsigned a = static_cast<unsigned char>(p[0]), b = static_cast<unsigned char>(p[1]);
    return big ? (a << 8 | b) : (b << 8 | a);
}

// A deep copy that keeps the locations Clone leaves out, walked without
// recursion: both trees have the same shape.
VexaElement* CopyWithLocations(const VexaElement& from) {
    VexaElement* const copy = static_cast<VexaElement*>(from.Clone());
    const VexaNode* a = &from;
    VexaNode* b = copy;
    for (;;) {
        Access::CopyLocation(*a, b);
        if (const VexaElement* e = a->ToElement()) {
            VexaAttribute* t = b->ToElement()->FirstAttribute();
            for (const VexaAttribute* s = e->FirstAttribute(); s && t; s = s->Next(), t = t->Next()) {
                Access::CopyLocation(*s, t);
            }
        }
        if (a->FirstChild() && b->FirstChild()) {
            a = a->FirstChild();
            b = b->FirstChild();
            continue;
        }
        while (a != &from && !a->NextSibling()) {
            a = a->Parent();
            b = b->Parent();
        }
        if (a == &from) return copy;
        a = a->NextSibling();
        b = b->NextSibling();
    }
}

// An enclosing start tag; the wrapper keeps the vector of them out of the
// exported symbols.
struct Tag {
    VexaElement* element;
};

}  // namespace

// ------------------------------------------------------------ input

ReaderInput::ReaderInput()
    : file(0),
      stream(0),
      form(kPlain),
      started(false),
      ended(true),
      readFailed(false),
      fault(false),
      piece(0),
      dropping(false) {}

bool ReaderInput::OpenFile(const char* path) {
    Close();
    file = std::fopen(path, "rb");
    if (!file) return false;
    ended = false;
    return true;
}

void ReaderInput::OpenStream(std::istream* in) {
    Close();
    stream = in;
    ended = false;
}

void ReaderInput::Close() {
    if (file) std::fclose(file);
    file = 0;
    stream = 0;
    raw.clear();
    form = kPlain;
    started = false;
    ended = true;
    readFailed = fault = dropping = false;
    piece = 0;
}

size_t ReaderInput::ReadRaw(char* to, size_t n) {
    if (file) {
        const size_t got = std::fread(to, 1, n, file);
        if (got < n && std::ferror(file)) readFailed = true;
        return got;
    }
    if (!stream || !stream->good()) return 0;
    stream->read(to, static_cast<std::streamsize>(n));
    if (stream->bad()) readFailed = true;
    return static_cast<size_t>(stream->gcount());
}

void ReaderInput::Start() {
    started = true;
    // Four bytes tell the UTF-16 forms apart.
    while (raw.size() < 4) {
        char bytes[4];
        const size_t got = ReadRaw(bytes, 4 - raw.size());
        if (!got) break;
        raw.append(bytes, got);
    }
    if (raw.size() >= 2 && ((raw[0] == '\xFF' && raw[1] == '\xFE') || (raw[0] == '\xFE' && raw[1] == '\xFF'))) {
        form = raw[0] == '\xFF' ? kLittle : kBig;
        raw.erase(0, 2);
    } else if (raw.size() >= 4 && raw.compare(0, 4, std::string("<\0?\0", 4)) == 0) {
        form = kLittle;
    } else if (raw.size() >= 4 && raw.compare(0, 4, std::string("\0<\0?", 4)) == 0) {
        form = kBig;
    }
}

bool ReaderInput::Append(std::string* out, size_t want) {
    const size_t before = out->size();
    if (!started && !ended) Start();
    while (out->size() == before && !ended) {
        const size_t from = out->size();
        if (form == kPlain) {
            // The first bytes, read to tell the form, come first.
            out->append(raw);
            raw.clear();
            const size_t at = out->size();
            out->resize(at + want);
            const size_t got = ReadRaw(&(*out)[at], want);
            out->resize(at + got);
            if (!got) ended = true;
        } else {
            const size_t have = raw.size();
            raw.resize(have + want);
            const size_t got = ReadRaw(&raw[have], want);
            raw.resize(have + got);
            size_t n = raw.size();
            if (got) {
                // Whole units only, and a high surrogate waits for its pair.
                n &= ~static_cast<size_t>(1);
                if (n >= 2) {
                    const unsigned unit = Unit(raw.data() + n - 2, form == kBig);
                    if (unit >= 0xD800 && unit <= 0xDBFF) n -= 2;
                }
            } else {
                ended = true;
            }
            if (!Utf16ToUtf8(raw.data(), n, form == kBig, out)) {
                fault = true;
                ended = true;
            }
            raw.erase(0, n);
        }
        if (readFailed) ended = true;
        DropAfterZeros(out, from);
    }
    return out->size() > before;
}

// Loading a whole file reads it in pieces of a line (at most kPiece bytes,
// each line feed ending one) and keeps of each piece what comes before a
// zero byte; the same is done here as the bytes come.
void ReaderInput::DropAfterZeros(std::string* out, size_t from) {
    const size_t n = out->size();
    if (from == n) return;
    char* const s = &(*out)[0];
    if (!dropping && !std::memchr(s + from, 0, n - from)) {
        size_t last = n;
        while (last > from && s[last - 1] != '\n') --last;
        piece = last > from ? (n - last) % kPiece : (piece + (n - from)) % kPiece;
        return;
    }
    size_t w = from;
    for (size_t i = from; i < n; ++i) {
        const char c = s[i];
        if (!c) dropping = true;
        if (!dropping) s[w++] = c;
        if (++piece == kPiece || c == '\n') {
            piece = 0;
            dropping = false;
        }
    }
    out->resize(w);
}

// ------------------------------------------------------------ the reader's state

struct ReaderState {
    enum Scan { kMore, kOpen, kEmpty, kBad, kEnd };

    ReaderState()
        : pos(0),
          keep(0),
          grow(0),
          trackOff(0),
          track(0, 0),
          tabSize(4),
          maxDepth(kDefaultMaxDepth),
          encoding(VEXA_ENCODING_LEGACY),
          forced(VEXA_ENCODING_DETECT),
          ended(true),
          opened(false),
          failed(false),
          sawRoot(false),
          prologKept(false),
          largest(0),
          outside(),
          textCounted(false),
          current(0),
          recStart(0),
          recAt(0) {}
    ~ReaderState() { Forget(); }

    VexaDocument doc;
    ReaderInput input;
    std::string win;  // a window of the input; win[win.size()] is its zero
    size_t pos;       // where the scan is
    size_t keep;      // the window may drop what comes before
    size_t grow;      // start of the piece being read, which sets how much more to read
    size_t trackOff;  // where track counts up to
    VexaCursor track;
    int tabSize;
    int maxDepth;
    int encoding;  // what the parses read with, once the prolog decided
    int forced;    // an encoding the file's form or the settings impose, or DETECT
    bool ended;    // the input is over: the window holds all that is left
    bool opened;
    bool failed;
    bool sawRoot;
    bool prologKept;
    std::string prolog;  // the text before the first element, parsed again when memory is recycled
    size_t largest;
    VexaReader::Outside outside;
    bool textCounted;            // the text run being passed over has been counted
    std::vector<Tag> ancestors;  // copies of the enclosing start tags
    VexaElement* current;        // in doc
    // A subtree being read: its start, where the scan is in it, and the
    // names it has open (offset from the start, length).
    size_t recStart;
    size_t recAt;
    std::vector<std::pair<size_t, size_t> > names;

    void Forget() {
        for (const Tag& tag : ancestors) delete tag.element;
        ancestors.clear();
    }

    void DropCurrent() {
        if (!current) return;
        doc.RemoveChild(current);
        current = 0;
        if (Access::MemoryHeld(doc) > kRecycle + 2 * largest) {
            // All of it back at once; the prolog is read again so that what
            // it holds is in the document as before.
            doc.Clear();
            if (prologKept) ParsePiece(prolog.c_str(), 0, prolog.size(), VexaCursor(0, 0), 0, encoding, kPieceFirst);
        }
    }

    // Whether xml:space="preserve" holds where the reading is: the innermost
    // enclosing element that sets xml:space decides.
    bool Preserved() const {
        for (size_t i = ancestors.size(); i-- > 0;) {
            const char* const space = ancestors[i].element->Attribute("xml:space");
            if (space && std::strcmp(space, "preserve") == 0) return true;
            if (space && std::strcmp(space, "default") == 0) return false;
        }
        return false;
    }

    // Counts the nodes of the document after `after` (all when null), at
    // the top or as an element depth deep, as passed over.
    void CountPassed(const VexaNode* after, int depth) {
        for (const VexaNode* n = after ? after->NextSibling() : doc.FirstChild(); n; n = n->NextSibling()) {
            ++outside.nodes[n->Type()];
            if (const VexaElement* e = n->ToElement()) {
                for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) ++outside.attributes;
                if (depth + 1 > outside.depth) outside.depth = depth + 1;
            }
        }
    }

    // ---- the window

    // Reads more into the window, first dropping what lies before keep;
    // sets ended when the input is over.
    void More() {
        if (ended) return;
        size_t from = keep;
        if (from > 0 && win[from - 1] == '\r') --from;  // never between the halves of a line break
        if (from > trackOff) Locate(from);
        if (from > trackOff) from = trackOff;
        if (from > 0 && (from >= win.size() / 2 || from >= kChunk)) {
            win.erase(0, from);
            pos -= from;
            keep -= from;
            grow = grow > from ? grow - from : 0;
            trackOff -= from;
            recStart -= from;
        }
        // A long piece read again from its start: grow geometrically.
        const size_t span = win.size() > grow ? win.size() - grow : 0;
        const size_t want = span > kChunk ? span : kChunk;
        if (!input.Append(&win, want)) ended = true;
    }

    // Row and column of win[p], counting on from the last place asked.
    VexaCursor Locate(size_t p) {
        if (tabSize <= 0 || p <= trackOff) return track;
        VexaParsingData tracker(win.data() + trackOff, tabSize, track.row, track.col);
        Access::SetEncoding(&tracker, encoding);
        tracker.Stamp(win.data() + p);
        track = tracker.Cursor();
        trackOff = static_cast<size_t>(Access::Counted(tracker) - win.data());
        return track;
    }

    // Records err at win[p] (kNone: without location) and stops the reading.
    void Fail(int err, size_t p) {
        failed = true;
        if (input.EncodingFault() && ended) {
            // Loading the whole file would have failed first.
            err = VEXA_ERROR_ENCODING;
            p = win.size();
        } else if (input.ReadFailed()) {
            err = VEXA_ERROR_FILE_OPEN;
            p = kNone;
        }
        if (doc.Error()) return;
        if (p == kNone) {
            doc.SetError(err, 0, 0);
            return;
        }
        const VexaCursor at = Locate(p);
        VexaParsingData tracker(win.data() + p, tabSize, at.row, at.col);
        Access::SetEncoding(&tracker, encoding);
        doc.SetError(err, win.data() + p, &tracker);
    }

    // Parses text[from, to) through the document as if it lay at `at` in
    // the file, depth elements deep, reading with the encoding given (DETECT:
    // the document's own decision). True without error.
    // The prolog is the first piece (kPieceFirst): it reads the DOCTYPE
    // afresh; every later one reads with what it declared.
    bool ParsePiece(const char* text, size_t from, size_t to, VexaCursor at, int depth, int readWith,
                    int piece = kPieceLater) {
        char* const place = const_cast<char*>(text);
        const char saved = place[to];
        place[to] = 0;
        const int setting = Access::EncodingSetting(doc);
        const int limit = doc.MaxDepth();
        if (readWith != VEXA_ENCODING_DETECT) doc.SetTextEncoding(readWith);
        doc.SetMaxDepth(maxDepth - depth);
        VexaParsingData seed(place + from, tabSize, tabSize > 0 ? at.row : 0, tabSize > 0 ? at.col : 0);
        Access::SetPiece(doc, piece);
        Access::SetPreserving(&seed, Preserved());
        try {
            doc.Parse(place + from, &seed);
            Access::SetPiece(doc, kPieceNone);
        } catch (...) {
            Access::SetPiece(doc, kPieceNone);
            place[to] = saved;
            doc.SetTextEncoding(setting);
            doc.SetMaxDepth(limit);
            throw;
        }
        place[to] = saved;
        doc.SetTextEncoding(setting);
        doc.SetMaxDepth(limit);
        if (!doc.Error()) return true;
        failed = true;
        if (input.EncodingFault() && ended) {
            doc.ClearError();
            Fail(VEXA_ERROR_ENCODING, win.size());
        }
        return false;
    }

    // Parses win[from, to) located where it lies.
    bool ParseWindow(size_t from, size_t to, int depth) {
        return ParsePiece(win.data(), from, to, Locate(from), depth, encoding);
    }

    // ---- scanning; each step returns kMore when the window ends before it
    // can tell (and the input is not over)

    Scan Short() const { return ended ? kBad : kMore; }

    size_t SkipSpace(size_t q) const {
        while (q < win.size() && IsSpaceByte(win[q])) ++q;
        return q;
    }

    // The end of the name at q, or kNone when the window ends in it.
    size_t NameEnd(size_t q) const {
        while (q < win.size() && IsNameByte(win[q])) ++q;
        return q < win.size() || ended ? q : kNone;
    }

    // The kind of markup at p ('<'), as the parser decides it; -1 for more.
    int KindAt(size_t p) const {
        if (win.size() - p < 6 && !ended) return -1;
        const char* const s = win.c_str() + p;
        if (s[1] == '?' && VexaBase::StringEqual(s, "<?xml", true) && IsSpaceByte(s[5])) return VexaNode::DECLARATION;
        if (IsNameStart(s[1])) return VexaNode::ELEMENT;
        if (VexaBase::StringEqual(s, "<!--", false)) return VexaNode::COMMENT;
        return VexaNode::UNKNOWN;
    }

    // Finds text in the window from q; kNone when it is not there.
    size_t Find(size_t q, const char* text) const {
        if (q >= win.size()) return kNone;
        const size_t n = std::strlen(text);
        const char* s = win.data() + q;
        const char* const end = win.data() + win.size();
        while (end - s >= static_cast<std::ptrdiff_t>(n)) {
            const char* hit = static_cast<const char*>(std::memchr(s, text[0], static_cast<size_t>(end - s)));
            if (!hit || end - hit < static_cast<std::ptrdiff_t>(n)) return kNone;
            if (std::memcmp(hit, text, n) == 0) return static_cast<size_t>(hit - win.data());
            s = hit + 1;
        }
        return kNone;
    }

    char At(size_t i) const { return i < win.size() ? win[i] : 0; }

    // The first stop from q that ends a text or a quoted value as the parse
    // reads it, or kNone with *resume where to go on once more is read. By
    // the classic single-byte rules a short hexadecimal reference takes the
    // two bytes after "&#x" whatever they are, a delimiter too.
    size_t Delimiter(size_t q, char stop, size_t* resume) const {
        const char* const s = win.data();
        const size_t n = win.size();
        *resume = n;
        if (encoding != VEXA_ENCODING_LEGACY) {
            const void* hit = q < n ? std::memchr(s + q, stop, n - q) : 0;
            return hit ? static_cast<size_t>(static_cast<const char*>(hit) - s) : kNone;
        }
        while (q < n) {
            const void* hit = std::memchr(s + q, stop, n - q);
            const size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - s) : n;
            const void* amp = std::memchr(s + q, '&', at - q);
            if (!amp) return hit ? at : kNone;
            const size_t a = static_cast<size_t>(static_cast<const char*>(amp) - s);
            if (a + 6 > n && !ended) {
                *resume = a;
                return kNone;
            }
            const bool shortHex = At(a + 1) == '#' && At(a + 2) == 'x' && At(a + 3) && At(a + 4) &&
                                  (At(a + 4) == ';' || At(a + 5) == ';');
            q = !shortHex ? a + 1 : At(a + 4) == ';' ? a + 5 : a + 6;
        }
        return kNone;
    }

    // A start tag at p: kOpen or kEmpty with *end after it, or kBad where
    // the parser will find fault (or the input ended).
    Scan StartTag(size_t p, size_t* end) const {
        size_t q = NameEnd(p + 1);
        if (q == kNone) return kMore;
        for (;;) {
            q = SkipSpace(q);
            if (q >= win.size()) return Short();
            const char c = win[q];
            if (c == '/') {
                if (q + 1 >= win.size()) return Short();
                if (win[q + 1] != '>') return kBad;
                *end = q + 2;
                return kEmpty;
            }
            if (c == '>') {
                *end = q + 1;
                return kOpen;
            }
            if (!IsNameStart(c)) return kBad;
            q = NameEnd(q);
            if (q == kNone) return kMore;
            q = SkipSpace(q);
            if (q >= win.size()) return Short();
            if (win[q] != '=') return kBad;
            q = SkipSpace(q + 1);
            if (q >= win.size()) return Short();
            if (win[q] == '"' || win[q] == '\'') {
                size_t resume = 0;
                const size_t close = Delimiter(q + 1, win[q], &resume);
                if (close == kNone) return Short();
                q = close + 1;
            } else {
                while (q < win.size() && !IsSpaceByte(win[q]) && win[q] != '/' && win[q] != '>') ++q;
                if (q >= win.size()) return Short();
            }
        }
    }

    // The end tag at p ("</") closing the name at win[name, name + n), as
    // the parser matches it: kEnd with *end after it, or kBad.
    Scan EndTag(size_t p, size_t name, size_t n, size_t* end) const {
        size_t q = p + 2;
        for (size_t i = 0; i < n; ++i, ++q) {
            if (q >= win.size()) return Short();
            if (win[q] != win[name + i] && FoldCase(win[q]) != FoldCase(win[name + i])) return kBad;
        }
        q = SkipSpace(q);
        if (q >= win.size()) return Short();
        if (win[q] != '>') return kBad;
        *end = q + 1;
        return kEnd;
    }

    // Markup other than an element at p, of the kind given: kEnd with *end
    // after it, or kBad when the input ends inside it.
    Scan Other(size_t p, int kind, size_t* end) const {
        size_t at = kNone;
        size_t after = 0;
        if (kind == VexaNode::COMMENT) {
            at = Find(p + 4, "-->");
            after = 3;
        } else if (kind == VexaNode::DECLARATION) {
            return Declaration(p, end);
        } else if (win.size() - p < 9 && !ended) {
            return kMore;  // the kinds of unknown markup differ in their first nine bytes
        } else if (win.compare(p, 2, "<?") == 0) {
            at = Find(p + 2, "?>");
            after = 2;
        } else if (win.compare(p, 9, "<![CDATA[") == 0) {
            at = Find(p + 9, "]]>");
            after = 3;
        } else if (win.compare(p, 9, "<!DOCTYPE") == 0) {
            UnknownScanner scanner;
            for (size_t q = p; q < win.size(); ++q) {
                if (scanner.Feed(win[q])) {
                    *end = q + 1;
                    return kEnd;
                }
            }
            return Short();
        } else {
            const void* close = std::memchr(win.data() + p + 1, '>', win.size() - p - 1);
            if (close) at = static_cast<size_t>(static_cast<const char*>(close) - win.data());
            after = 1;
        }
        if (at == kNone) return Short();
        *end = at + after;
        return kEnd;
    }

    // A declaration read as the parser reads one: fields by name with
    // quoted values, anything else up to a space or its '>'.
    Scan Declaration(size_t p, size_t* end) const {
        size_t q = p + 5;
        for (;;) {
            if (q >= win.size()) return Short();
            if (win[q] == '>') {
                *end = q + 1;
                return kEnd;
            }
            q = SkipSpace(q);
            if (q + 10 >= win.size() && !ended) return kMore;
            const char* const s = win.c_str() + q;
            if (VexaBase::StringEqual(s, "version", true) || VexaBase::StringEqual(s, "encoding", true) ||
                VexaBase::StringEqual(s, "standalone", true)) {
                q = NameEnd(q);
                if (q == kNone) return kMore;
                q = SkipSpace(q);
                if (q >= win.size()) return Short();
                if (win[q] != '=') return kBad;
                q = SkipSpace(q + 1);
                if (q >= win.size()) return Short();
                if (win[q] == '"' || win[q] == '\'') {
                    const void* close = std::memchr(win.data() + q + 1, win[q], win.size() - q - 1);
                    if (!close) return Short();
                    q = static_cast<size_t>(static_cast<const char*>(close) - win.data()) + 1;
                    continue;
                }
            }
            while (q < win.size() && win[q] != '>' && !IsSpaceByte(win[q])) ++q;
        }
    }

    // ---- reading

    // The end of the input where an element is still open.
    VexaElement* EndInside() {
        Fail(VEXA_ERROR_ELEMENT_VALUE, kNone);
        return 0;
    }

    // Reads the nodes outside every element from pos up to the next element
    // (pos then at it: true) or the end (false). The first such run is the
    // prolog: it decides the encoding and stays in the document.
    bool TopLevel() {
        const size_t start = pos;
        keep = start;
        size_t q = start;
        for (;;) {
            grow = q;
            q = SkipSpace(q);
            if (q >= win.size()) {
                if (!ended) {
                    const size_t offset = q - keep;
                    More();
                    q = keep + offset;
                    continue;
                }
                break;
            }
            if (win[q] != '<') {
                // Text outside any element: the parse reports it.
                Group(keep, q + 1);
                if (!failed) Fail(VEXA_ERROR_OUTSIDE_ELEMENT, q);
                return false;
            }
            const int kind = KindAt(q);
            size_t end = 0;
            const Scan scan = kind < 0 ? kMore : kind == VexaNode::ELEMENT ? kEnd : Other(q, kind, &end);
            if (scan == kMore) {
                const size_t offset = q - keep;
                More();
                q = keep + offset;
                continue;
            }
            if (scan == kBad) {
                Group(keep, win.size());
                if (!failed) Fail(VEXA_ERROR_GENERIC, q);
                return false;
            }
            if (kind == VexaNode::ELEMENT) {
                Group(keep, q);
                pos = q;
                return !failed;
            }
            q = end;
        }
        Group(keep, win.size());
        pos = win.size();
        if (!failed && (input.EncodingFault() || input.ReadFailed())) Fail(VEXA_ERROR_ENCODING, win.size());
        return false;
    }

    // Parses the top-level run win[from, to) when it holds more than white space.
    void Group(size_t from, size_t to) {
        size_t q = from;
        while (q < to && IsSpaceByte(win[q])) ++q;
        const bool first = !sawRoot && !prologKept;
        if (q == to) {
            if (first && forced == VEXA_ENCODING_DETECT) encoding = VEXA_ENCODING_LEGACY;
            if (first && forced != VEXA_ENCODING_DETECT) encoding = forced;
            return;
        }
        if (first) {
            prolog.assign(win, from, to - from);
            prologKept = true;
            ParsePiece(win.data(), from, to, VexaCursor(0, 0), 0, forced, kPieceFirst);
            CountPassed(0, 0);
            encoding = forced != VEXA_ENCODING_DETECT ? forced : doc.TextEncoding();
            return;
        }
        VexaNode* const last = doc.LastChild();
        ParseWindow(from, to, 0);
        CountPassed(last, 0);
        // Only the prolog stays.
        while (doc.LastChild() && doc.LastChild() != last) doc.RemoveChild(doc.LastChild());
    }

    // The element at pos, whose name is wanted: read whole and parsed.
    VexaElement* Subtree() {
        recStart = pos;
        recAt = 0;
        names.clear();
        keep = recStart;
        const int depth = static_cast<int>(ancestors.size());
        for (;;) {
            const size_t q = recStart + recAt;
            grow = q;
            Scan scan = kEnd;
            size_t end = 0;
            if (recAt == 0) {
                scan = StartTag(q, &end);
                if (scan == kOpen) names.push_back(std::make_pair(size_t(1), NameEnd(q + 1) - q - 1));
            } else if (q >= win.size()) {
                scan = Short();
            } else if (win[q] != '<') {
                size_t resume = 0;
                end = Delimiter(q, '<', &resume);
                if (end == kNone) {
                    end = resume;
                    scan = ended ? kBad : end == q ? kMore : kEnd;
                }
            } else if (q + 1 >= win.size()) {
                scan = Short();
            } else if (win[q + 1] == '/') {
                scan = EndTag(q, recStart + names.back().first, names.back().second, &end);
                if (scan == kEnd) names.pop_back();
            } else {
                const int kind = KindAt(q);
                if (kind < 0) {
                    scan = kMore;
                } else if (kind == VexaNode::ELEMENT) {
                    if (depth + static_cast<int>(names.size()) >= maxDepth) {
                        scan = kBad;
                    } else {
                        scan = StartTag(q, &end);
                        if (scan == kOpen) names.push_back(std::make_pair(q + 1 - recStart, NameEnd(q + 1) - q - 1));
                    }
                } else {
                    scan = Other(q, kind, &end);
                }
            }
            if (scan == kMore) {
                More();
                continue;
            }
            if (scan == kBad) {
                // The parse finds the fault, and where it lies.
                ParseWindow(recStart, win.size(), depth);
                if (!failed) Fail(VEXA_ERROR_ELEMENT_VALUE, kNone);
                return 0;
            }
            recAt = end - recStart;
            if (names.empty()) break;
        }
        const size_t end = recStart + recAt;
        if (!ParseWindow(recStart, end, depth)) return 0;
        if (recAt > largest) largest = recAt;
        pos = keep = end;
        current = doc.LastChild() ? doc.LastChild()->ToElement() : 0;
        if (!current) Fail(VEXA_ERROR_ELEMENT, recStart);
        return current;
    }

    // A start tag at pos that is not wanted: parsed, and kept as an
    // ancestor when content follows.
    bool Enclosing() {
        size_t end = 0;
        Scan scan;
        while ((scan = StartTag(pos, &end)) == kMore) {
            grow = keep = pos;
            More();
        }
        const int depth = static_cast<int>(ancestors.size());
        if (scan == kBad) {
            ParseWindow(pos, win.size(), depth);
            if (!failed) Fail(VEXA_ERROR_ELEMENT, pos);
            return false;
        }
        VexaNode* const last = doc.LastChild();
        if (scan == kEmpty) {
            ParseWindow(pos, end, depth);
        } else {
            // Read as an element with no content: the same name, attributes,
            // faults and places (defaults are placed at the tag's '>').
            std::string tag(win, pos, end - pos);
            tag += "</";
            tag.append(win, pos + 1, NameEnd(pos + 1) - pos - 1);
            tag += '>';
            ParsePiece(tag.c_str(), 0, tag.size(), Locate(pos), depth, encoding);
            if (!failed && doc.LastChild() && doc.LastChild() != last && doc.LastChild()->ToElement()) {
                ancestors.push_back(Tag{CopyWithLocations(*doc.LastChild()->ToElement())});
            }
        }
        if (!failed) CountPassed(last, depth);
        while (doc.LastChild() && doc.LastChild() != last) doc.RemoveChild(doc.LastChild());
        pos = keep = end;
        return !failed;
    }

    VexaElement* Next(const char* name) {
        DropCurrent();
        if (!opened || failed) return 0;
        for (;;) {
            if (ancestors.empty()) {
                if (!TopLevel()) return 0;
                sawRoot = true;
            }
            keep = grow = pos;
            if (pos >= win.size()) {
                if (!ended) {
                    More();
                    continue;
                }
                return EndInside();
            }
            if (win[pos] != '<') {
                size_t resume = 0;
                size_t end = Delimiter(pos, '<', &resume);
                if (end == kNone) end = resume;
                if (end == pos) {
                    More();
                    continue;
                }
                // A run with more than white space makes a text node, and
                // any run does where white space is kept.
                const bool blankCounts = !CondensesWhiteSpace(&doc) || Preserved();
                for (size_t q = pos; q < end && !textCounted; ++q) {
                    if (blankCounts || !IsSpaceByte(win[q])) {
                        textCounted = true;
                        ++outside.nodes[VexaNode::TEXT];
                    }
                }
                pos = end;
                continue;
            }
            textCounted = false;
            if (win.size() - pos < 2 && !ended) {
                More();
                continue;
            }
            if (pos + 1 < win.size() && win[pos + 1] == '/') {
                const VexaElement* open = ancestors.back().element;
                const size_t n = std::strlen(open->Value());
                // Compared with the kept name through a copy placed in the window's terms.
                size_t end = 0;
                const Scan scan = CloseAncestor(pos, open->Value(), n, &end);
                if (scan == kMore) {
                    More();
                    continue;
                }
                if (scan == kBad) {
                    Fail(VEXA_ERROR_END_TAG, pos);
                    return 0;
                }
                delete ancestors.back().element;
                ancestors.pop_back();
                pos = end;
                continue;
            }
            const int kind = KindAt(pos);
            if (kind < 0) {
                More();
                continue;
            }
            if (kind != VexaNode::ELEMENT) {
                size_t end = 0;
                const Scan scan = Other(pos, kind, &end);
                if (scan == kMore) {
                    More();
                    continue;
                }
                if (scan == kBad) return EndInside();
                ++outside.nodes[kind];
                pos = end;
                continue;
            }
            const int depth = static_cast<int>(ancestors.size());
            if (depth >= maxDepth) {
                Fail(VEXA_ERROR_DEPTH, pos);
                return 0;
            }
            const size_t nameEnd = NameEnd(pos + 1);
            if (nameEnd == kNone) {
                More();
                continue;
            }
            const size_t n = nameEnd - pos - 1;
            const bool wanted = name ? (std::strlen(name) == n && win.compare(pos + 1, n, name) == 0) : depth == 1;
            if (wanted) return Subtree();
            if (!Enclosing()) return 0;
        }
    }

    // As EndTag, for a name held outside the window.
    Scan CloseAncestor(size_t p, const char* name, size_t n, size_t* end) const {
        size_t q = p + 2;
        for (size_t i = 0; i < n; ++i, ++q) {
            if (q >= win.size()) return Short();
            if (win[q] != name[i] && FoldCase(win[q]) != FoldCase(name[i])) return kBad;
        }
        q = SkipSpace(q);
        if (q >= win.size()) return Short();
        if (win[q] != '>') return kBad;
        *end = q + 1;
        return kEnd;
    }

    bool Open() {
        Forget();
        current = 0;
        doc.Clear();
        doc.ClearError();
        win.clear();
        prolog.clear();
        pos = keep = grow = trackOff = recStart = recAt = 0;
        track = VexaCursor(0, 0);
        tabSize = doc.TabSize();
        maxDepth = doc.MaxDepth();
        failed = sawRoot = prologKept = false;
        largest = 0;
        outside = VexaReader::Outside();
        textCounted = false;
        ended = false;
        opened = true;
        // Enough to see a byte order mark.
        while (win.size() < 3 && !ended) More();
        forced = Access::EncodingSetting(doc);
        bool mark = input.Utf16();
        if (win.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            win.erase(0, 3);
            mark = true;
        }
        if (win.empty()) More();
        if (forced == VEXA_ENCODING_DETECT && mark) forced = VEXA_ENCODING_UTF8;
        encoding = forced != VEXA_ENCODING_DETECT ? forced : VEXA_ENCODING_LEGACY;
        if (win.empty()) {
            // Nothing to parse: an empty document, unless reading failed.
            Fail(VEXA_ERROR_DOCUMENT_EMPTY, input.EncodingFault() ? 0 : kNone);
            return false;
        }
        if (TopLevel()) return true;
        return !failed;
    }
};

}  // namespace impl

// ------------------------------------------------------------ public face

VexaReader::VexaReader() : state(new impl::ReaderState()) {}

VexaReader::~VexaReader() { delete state; }

VexaDocument& VexaReader::Settings() { return state->doc; }

const VexaDocument& VexaReader::Settings() const { return state->doc; }

bool VexaReader::Open(const char* path) {
    Close();
    if (!path || !state->input.OpenFile(path)) {
        state->doc.Clear();
        state->doc.ClearError();
        state->doc.SetError(VEXA_ERROR_FILE_OPEN, 0, 0);
        return false;
    }
    state->doc.SetValue(path);
    return state->Open();
}

bool VexaReader::Open(std::istream& in) {
    Close();
    state->input.OpenStream(&in);
    return state->Open();
}

void VexaReader::Close() {
    state->current = 0;
    state->Forget();
    state->input.Close();
    state->opened = false;
    state->win.clear();
    state->win.shrink_to_fit();
}

VexaElement* VexaReader::Next(const char* name) { return state->Next(name); }

VexaElement* VexaReader::Current() const { return state->current; }

VexaDocument* VexaReader::ReleaseDocument() {
    impl::ReaderState* const s = state;
    if (!s->current) return 0;
    VexaDocument* const holder = new VexaDocument();
    holder->SetTabSize(s->doc.TabSize());
    holder->SetMaxDepth(s->doc.MaxDepth());
    holder->SetTextEncoding(s->encoding);
    impl::Access::MoveContent(&s->doc, holder);
    s->current = 0;
    // The reader's document starts again from its prolog.
    if (s->prologKept)
        s->ParsePiece(s->prolog.c_str(), 0, s->prolog.size(), VexaCursor(0, 0), 0, s->encoding, impl::kPieceFirst);
    return holder;
}

VexaElement* VexaReader::Release() {
    if (!state->current) return 0;
    VexaElement* const copy = impl::CopyWithLocations(*state->current);
    state->DropCurrent();
    return copy;
}

const VexaReader::Outside& VexaReader::PassedOver() const { return state->outside; }

int VexaReader::Depth() const { return static_cast<int>(state->ancestors.size()); }

const VexaElement* VexaReader::Ancestor(int level) const {
    if (level < 0 || level >= static_cast<int>(state->ancestors.size())) return 0;
    return state->ancestors[static_cast<size_t>(level)].element;
}

bool VexaReader::Error() const { return state->doc.Error(); }

int VexaReader::ErrorCode() const { return state->doc.ErrorCode(); }

const char* VexaReader::ErrorText() const { return state->doc.ErrorText(); }

int VexaReader::ErrorRow() const { return state->doc.ErrorRow(); }

int VexaReader::ErrorCol() const { return state->doc.ErrorCol(); }

}  // namespace ORMELA
