// Throughput, memory and instruction counts of Vexa against other XML parsers.
//
//   vexa_bench --gen DIR [--scale X]            write the generated inputs into DIR
//   vexa_bench [--quick] [--reps N] [--min-time S] [--real|--generated] FILE...
//                                               the throughput table
//   vexa_bench --growth [--quick] SMALL LARGE [SMALL LARGE ...]
//                                               parse time of each pair, LARGE being SMALL doubled
//   vexa_bench --memory FILE                    peak and kept memory, one process per library
//   vexa_bench --fresh [--runs K] FILE...       one parse timed in each of K fresh processes
//                                               per library (default 7), default allocator
//   vexa_bench --callgrind FILE...              instructions per byte of one parse under callgrind
//   vexa_bench --steady FILE...                 steady-state instructions per byte under callgrind:
//                                               (Ir of 3 parses - Ir of 1 parse) / 2
//   vexa_bench --peers                          which peers this build has
//   vexa_bench --xpath [--quick] FILE...        the query table: XPath against pugixml and libxml2
//
// The modes --mem LIB FILE and --one LIB FILE [--times N | --timed] are what
// the program runs in its own child processes. The throughput table times
// everything in one long-running process; --fresh times first parses in new
// ones, where the page faults of a growing heap show. Either way the
// libraries take turns round-robin, so that a noisy machine slows all alike.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vexa.h"
#include "xpath_bench.h"

#ifdef VEXA_BENCH_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef VEXA_BENCH_RAPIDXML
#include <rapidxml/rapidxml.hpp>
#endif
#ifdef VEXA_BENCH_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif
#ifdef VEXA_BENCH_EXPAT
#include <expat.h>
#endif
#ifdef VEXA_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#endif

using ORMELA::VexaAttribute;
using ORMELA::VexaDocument;
using ORMELA::VexaElement;
using ORMELA::VexaNode;

namespace {

// ------------------------------------------------------------------ helpers

double Now() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

bool ReadFile(const std::string& path, std::string* data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    data->clear();
    // One allocation of the right size: a chain of growing copies would free
    // large blocks, which moves glibc's mmap threshold before the parse.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && st.st_size > 0) data->reserve(static_cast<size_t>(st.st_size));
    char chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data->append(chunk, got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "vexa_bench";
    buf[n] = 0;
    return buf;
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

// Runs this program again, in a fresh process, with args (quoted already),
// under wrapper (a command prefix, or empty), and gives back what it printed
// on stdout. False when it failed, or when it ran past limit seconds (none
// if zero).
bool RunSelf(const std::string& wrapper, const std::string& args, double limit, std::string* out) {
    std::string cmd = ShellQuote(SelfPath()) + " " + args + " 2>/dev/null";
    if (!wrapper.empty()) cmd = wrapper + " " + cmd;
    if (limit > 0) cmd = "timeout " + std::to_string(static_cast<long>(std::ceil(limit))) + " " + cmd;
    out->clear();
    std::fflush(stdout);
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, p)) > 0) out->append(chunk, got);
    const int status = pclose(p);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Half the range of the measurements, relative to their median.
double Spread(const std::vector<double>& v) {
    if (v.size() < 2) return 0;
    const double med = Median(v);
    if (med <= 0) return 0;
    const auto mm = std::minmax_element(v.begin(), v.end());
    return (*mm.second - *mm.first) / 2 / med;
}

// A kilobyte-sized field from /proc/self/status, in bytes.
size_t StatusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
            return static_cast<size_t>(std::strtoull(line.c_str() + n + 1, 0, 10)) * 1024;
        }
    }
    return 0;
}

const char* kLibraries[] = {"vexa", "pugixml", "rapidxml", "libxml2", "expat"};

bool HasLibrary(const std::string& lib) {
    if (lib == "vexa") return true;
#ifdef VEXA_BENCH_PUGIXML
    if (lib == "pugixml") return true;
#endif
#ifdef VEXA_BENCH_RAPIDXML
    if (lib == "rapidxml") return true;
#endif
#ifdef VEXA_BENCH_LIBXML2
    if (lib == "libxml2") return true;
#endif
#ifdef VEXA_BENCH_EXPAT
    if (lib == "expat") return true;
#endif
    return false;
}

void SayMissingPeers() {
    for (const char* lib : kLibraries) {
        if (!HasLibrary(lib)) std::printf("peer %s: not installed when this was built, skipped\n", lib);
    }
}

// ---------------------------------------------------------------- generator

// xorshift64: the same numbers on every machine and library.
class Rng {
public:
    explicit Rng(uint64_t seed) : s(seed) {}
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 32);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }

private:
    uint64_t s;
};

const char* const kWords[] = {"alpha",    "bravo",  "charlie",  "delta",   "echo",    "foxtrot",  "golf",    "hotel",
                              "india",    "juliet", "kilo",     "lima",    "mike",    "november", "oscar",   "papa",
                              "quebec",   "romeo",  "sierra",   "tango",   "river",   "mountain", "valley",  "harbour",
                              "station",  "bridge", "market",   "garden",  "library", "castle",   "the",     "of",
                              "and",      "to",     "in",       "is",      "was",     "for",      "on",      "with",
                              "north",    "south",  "east",     "west",    "amber",   "cobalt",   "crimson", "emerald",
                              "indigo",   "silver", "record",   "ledger",  "invoice", "account",  "balance", "summary",
                              "schedule", "report", "estimate", "quarter", "a",       "an",       "by",      "at"};
const uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

class Out {
public:
    explicit Out(const std::string& path) : f(std::fopen(path.c_str(), "wb")), written(0) {
        if (!f) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    }
    ~Out() {
        Flush();
        if (f) std::fclose(f);
    }
    bool Ok() const { return f != 0; }
    Out& operator<<(const char* s) {
        buf += s;
        Spill();
        return *this;
    }
    Out& operator<<(const std::string& s) {
        buf += s;
        Spill();
        return *this;
    }
    Out& operator<<(unsigned long n) {
        buf += std::to_string(n);
        return *this;
    }
    Out& operator<<(char c) {
        buf += c;
        return *this;
    }
    size_t Size() const { return written + buf.size(); }

private:
    void Spill() {
        if (buf.size() > (1u << 20)) Flush();
    }
    void Flush() {
        if (f && !buf.empty()) std::fwrite(buf.data(), 1, buf.size(), f);
        written += buf.size();
        buf.clear();
    }
    FILE* f;
    size_t written;
    std::string buf;
};

void Indent(Out& o, int depth) { o << std::string(static_cast<size_t>(depth) * 2, ' '); }

void Words(Out& o, Rng& r, uint32_t lo, uint32_t hi) {
    const uint32_t n = lo + r.Below(hi - lo + 1);
    for (uint32_t i = 0; i < n; ++i) {
        if (i) o << ' ';
        o << kWords[r.Below(kWordCount)];
    }
}

void Record(Out& o, Rng& r, int depth, unsigned long& id) {
    static const char* const kinds[] = {"person", "company", "order", "invoice", "device"};
    const unsigned long n = ++id;
    Indent(o, depth);
    o << "<record id=\"r" << n << "\" kind=\"" << kinds[r.Below(5)] << "\" created=\"20"
      << static_cast<unsigned long>(10 + r.Below(15)) << '-' << static_cast<unsigned long>(1 + r.Below(12)) << '-'
      << static_cast<unsigned long>(1 + r.Below(28)) << "\" score=\"" << static_cast<unsigned long>(r.Below(1000))
      << '.' << static_cast<unsigned long>(r.Below(100)) << "\" active=\"" << (r.Below(2) ? "true" : "false")
      << "\">\n";
    Indent(o, depth + 1);
    o << "<name>";
    Words(o, r, 1, 3);
    o << "</name>\n";
    Indent(o, depth + 1);
    o << "<email>" << kWords[r.Below(kWordCount)] << '.' << kWords[r.Below(kWordCount)] << "@example.org</email>\n";
    Indent(o, depth + 1);
    o << "<address street=\"" << static_cast<unsigned long>(1 + r.Below(200)) << ' ' << kWords[r.Below(kWordCount)]
      << " Street\" city=\"" << kWords[r.Below(kWordCount)] << "\" zip=\""
      << static_cast<unsigned long>(10000 + r.Below(90000)) << "\"/>\n";
    Indent(o, depth + 1);
    o << "<tags>";
    for (uint32_t t = r.Below(4); t > 0; --t) o << "<tag>" << kWords[r.Below(kWordCount)] << "</tag>";
    o << "</tags>\n";
    if (r.Below(3) == 0) {
        Indent(o, depth + 1);
        o << "<!-- ";
        Words(o, r, 2, 6);
        o << " -->\n";
    }
    Indent(o, depth + 1);
    o << "<note lang=\"en\">";
    Words(o, r, 3, 12);
    if (r.Below(4) == 0) o << " &amp; " << kWords[r.Below(kWordCount)];
    if (r.Below(8) == 0) o << " &lt;" << kWords[r.Below(kWordCount)] << "&gt;";
    o << "</note>\n";
    Indent(o, depth + 1);
    o << "<items>\n";
    for (uint32_t i = 1 + r.Below(4); i > 0; --i) {
        Indent(o, depth + 2);
        o << "<item sku=\"S" << static_cast<unsigned long>(r.Below(100000)) << "\" qty=\""
          << static_cast<unsigned long>(1 + r.Below(20)) << "\" price=\"" << static_cast<unsigned long>(r.Below(500))
          << '.' << static_cast<unsigned long>(r.Below(100)) << "\">" << kWords[r.Below(kWordCount)] << "</item>\n";
    }
    Indent(o, depth + 1);
    o << "</items>\n";
    Indent(o, depth);
    o << "</record>\n";
}

void Group(Out& o, Rng& r, int depth, unsigned long& id, unsigned long& gid) {
    static const char* const regions[] = {"north", "south", "east", "west", "central"};
    Indent(o, depth);
    o << "<group id=\"g" << ++gid << "\" region=\"" << regions[r.Below(5)] << "\" level=\""
      << static_cast<unsigned long>(depth) << "\">\n";
    Indent(o, depth + 1);
    o << "<!-- group " << gid << ": ";
    Words(o, r, 2, 5);
    o << " -->\n";
    for (uint32_t i = 2 + r.Below(6); i > 0; --i) Record(o, r, depth + 1, id);
    if (depth < 4) {
        for (uint32_t i = r.Below(3); i > 0; --i) Group(o, r, depth + 1, id, gid);
    }
    Indent(o, depth);
    o << "</group>\n";
}

// About 50 MB of nested records with attributes, short text and comments.
void GenRecords(const std::string& path, double scale) {
    Out o(path);
    Rng r(0x5eed0001);
    const size_t target = static_cast<size_t>(50e6 * scale);
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Nested records for the benchmark. -->\n"
         "<catalog version=\"1\" source=\"generator\">\n";
    unsigned long id = 0, gid = 0;
    while (o.Size() < target) Group(o, r, 1, id, gid);
    o << "</catalog>\n";
}

// About 20 MB of long text runs with entity and character references.
void GenText(const std::string& path, double scale) {
    static const char* const refs[] = {"&amp;",  "&lt;",   "&gt;",   "&quot;", "&apos;",
                                       "&#x41;", "&#x7a;", "&#x3C;", "&#x26;", "&#x2E;"};
    Out o(path);
    Rng r(0x5eed0002);
    const size_t target = static_cast<size_t>(20e6 * scale);
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<library>\n";
    unsigned long book = 0;
    while (o.Size() < target) {
        o << "<book id=\"b" << ++book << "\" title=\"";
        Words(o, r, 2, 4);
        o << "\">\n";
        for (uint32_t ch = 1 + r.Below(4); ch > 0 && o.Size() < target; --ch) {
            o << "<chapter>\n";
            for (uint32_t p = 1 + r.Below(5); p > 0; --p) {
                o << "<para>";
                const uint32_t words = 300 + r.Below(2500);
                uint32_t line = 0;
                for (uint32_t w = 0; w < words; ++w) {
                    if (w) {
                        if (++line == 12) {
                            o << '\n';
                            line = 0;
                        } else {
                            o << ' ';
                        }
                    }
                    if (r.Below(10) == 0) {
                        o << refs[r.Below(10)];
                    } else {
                        o << kWords[r.Below(kWordCount)];
                    }
                }
                o << "</para>\n";
            }
            o << "</chapter>\n";
        }
        o << "</book>\n";
    }
    o << "</library>\n";
}

// One element with 200,000 attributes.
void GenAttributes(const std::string& path, double scale) {
    Out o(path);
    Rng r(0x5eed0003);
    const unsigned long count = static_cast<unsigned long>(200000 * scale);
    o << "<?xml version=\"1.0\"?>\n<element";
    for (unsigned long i = 0; i < count; ++i) {
        o << (i % 8 == 0 ? "\n  " : " ") << "attribute" << i << "=\"" << kWords[r.Below(kWordCount)] << "\"";
    }
    o << "/>\n";
}

// 100,000 levels of nesting: the error path of a parser with a depth limit.
void GenDeep(const std::string& path, double scale) {
    Out o(path);
    const unsigned long levels = static_cast<unsigned long>(100000 * scale);
    o << "<?xml version=\"1.0\"?>\n";
    for (unsigned long i = 0; i < levels; ++i) o << "<n>";
    o << "deep";
    for (unsigned long i = 0; i < levels; ++i) o << "</n>";
    o << "\n";
}

int Generate(const std::string& dir, double scale) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        mkdir(dir.substr(0, slash).c_str(), 0755);
    }
    mkdir(dir.c_str(), 0755);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "cannot make %s\n", dir.c_str());
        return 1;
    }
    GenRecords(dir + "/records.xml", scale);
    GenText(dir + "/text.xml", scale);
    GenAttributes(dir + "/attrs.xml", scale);
    GenDeep(dir + "/deep.xml", scale);
    return 0;
}

// --------------------------------------------------------------- the peers

#ifdef VEXA_BENCH_PUGIXML
struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};
#endif

#ifdef VEXA_BENCH_EXPAT
void XMLCALL ExpatStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL ExpatEnd(void*, const XML_Char*) {}
void XMLCALL ExpatText(void*, const XML_Char*, int) {}

XML_Parser NewExpat() {
    XML_Parser p = XML_ParserCreate(0);
    XML_SetElementHandler(p, ExpatStart, ExpatEnd);
    XML_SetCharacterDataHandler(p, ExpatText);
    return p;
}

bool ExpatPass(const std::string& buf) {
    XML_Parser p = NewExpat();
    const bool ok = XML_Parse(p, buf.data(), static_cast<int>(buf.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}
#endif

#ifdef VEXA_BENCH_LIBXML2
void QuietLibxml(void*, const char*, ...) {}

void InitLibxml() {
    xmlInitParser();
    xmlSetGenericErrorFunc(0, QuietLibxml);
}

const int kLibxmlOptions = XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET;
#endif

#ifdef VEXA_BENCH_RAPIDXML
// In-situ parse of a copy: the copy is part of the cost.
bool RapidParse(const std::string& buf, std::vector<char>* copy) {
    copy->assign(buf.c_str(), buf.c_str() + buf.size() + 1);
    try {
        std::unique_ptr<rapidxml::xml_document<> > doc(new rapidxml::xml_document<>());
        doc->parse<0>(copy->data());
        return true;
    } catch (const rapidxml::parse_error&) {
        return false;
    }
}
#endif

// ---------------------------------------------------------- one parse, alone

// One library's parse of an in-memory buffer into a tree, and the freeing of
// that tree, as the child processes run them. parse tells through *ok whether
// the input was accepted. Expat builds no tree: its pass is the floor.
struct TreeParser {
    std::function<void*(bool*)> parse;
    std::function<void(void*)> destroy;
};

#ifdef VEXA_BENCH_RAPIDXML
// RapidXML's tree points into its copy of the input, which is kept with it.
struct RapidTree {
    std::vector<char> text;
    rapidxml::xml_document<> doc;
};
#endif

bool MakeTreeParser(const std::string& lib, const std::string& buf, TreeParser* p) {
    // "strict" is Vexa's strict parse, counted in the steady-state table.
    if (lib == "vexa" || lib == "strict") {
        const bool strict = lib == "strict";
        p->parse = [&buf, strict](bool* ok) -> void* {
            VexaDocument* doc = new VexaDocument();
            doc->SetStrict(strict);
            doc->Parse(buf.c_str());
            *ok = !doc->Error();
            return doc;
        };
        p->destroy = [](void* d) { delete static_cast<VexaDocument*>(d); };
        return true;
    }
#ifdef VEXA_BENCH_PUGIXML
    if (lib == "pugixml") {
        p->parse = [&buf](bool* ok) -> void* {
            pugi::xml_document* doc = new pugi::xml_document();
            *ok = static_cast<bool>(doc->load_buffer(buf.data(), buf.size()));
            return doc;
        };
        p->destroy = [](void* d) { delete static_cast<pugi::xml_document*>(d); };
        return true;
    }
#endif
#ifdef VEXA_BENCH_RAPIDXML
    if (lib == "rapidxml") {
        p->parse = [&buf](bool* ok) -> void* {
            RapidTree* tree = new RapidTree();
            tree->text.assign(buf.c_str(), buf.c_str() + buf.size() + 1);
            try {
                tree->doc.parse<0>(tree->text.data());
                *ok = true;
            } catch (const rapidxml::parse_error&) {
                *ok = false;
            }
            return tree;
        };
        p->destroy = [](void* d) { delete static_cast<RapidTree*>(d); };
        return true;
    }
#endif
#ifdef VEXA_BENCH_LIBXML2
    if (lib == "libxml2") {
        InitLibxml();
        p->parse = [&buf](bool* ok) -> void* {
            xmlDocPtr doc = xmlReadMemory(buf.data(), static_cast<int>(buf.size()), "input.xml", 0, kLibxmlOptions);
            *ok = doc != 0;
            return doc;
        };
        p->destroy = [](void* d) {
            if (d) xmlFreeDoc(static_cast<xmlDocPtr>(d));
        };
        return true;
    }
#endif
#ifdef VEXA_BENCH_EXPAT
    if (lib == "expat") {
        p->parse = [&buf](bool* ok) -> void* {
            *ok = ExpatPass(buf);
            return 0;
        };
        p->destroy = [](void*) {};
        return true;
    }
#endif
    return false;
}

// What the child started as "--one LIB FILE ..." does.
enum class ChildMode {
    kProfile,  // under callgrind, with client requests: one parse and one free, dumped apart
    kRepeat,   // N parses, each tree freed before the next; nothing else
    kTimed,    // one parse timed by the clock, in a process that has done nothing else
};

// In the child. kProfile parses once unmeasured first, so that lazy symbol
// binding and the allocator's first growth are not counted. kRepeat gives
// callgrind whole runs to subtract from each other. kTimed prints "seconds
// kept-bytes accepted", kept bytes being the resident memory the tree added.
int OneChild(const std::string& lib, const std::string& path, ChildMode mode, int times) {
    std::string buf;
    if (!ReadFile(path, &buf)) return 1;
    TreeParser p;
    if (!MakeTreeParser(lib, buf, &p)) return 1;
    bool ok = false;
    if (mode == ChildMode::kTimed) {
        const size_t base = StatusBytes("VmRSS");
        const double start = Now();
        void* tree = p.parse(&ok);
        const double seconds = Now() - start;
        const size_t now = StatusBytes("VmRSS");
        p.destroy(tree);
        std::printf("%.9f %zu %d\n", seconds, now > base ? now - base : 0, ok ? 1 : 0);
        return 0;
    }
    if (mode == ChildMode::kRepeat) {
        for (int i = 0; i < times; ++i) p.destroy(p.parse(&ok));
        return 0;
    }
    p.destroy(p.parse(&ok));
#ifdef VEXA_BENCH_CALLGRIND
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_TOGGLE_COLLECT;
    void* tree = p.parse(&ok);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("parse");
    CALLGRIND_TOGGLE_COLLECT;
    p.destroy(tree);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("free");
    CALLGRIND_STOP_INSTRUMENTATION;
#else
    p.destroy(p.parse(&ok));
#endif
    return 0;
}

// ---------------------------------------------------------------- throughput

// One timed operation. Input operations are compared with the peers' parses,
// output operations with the peers' writers.
struct Op {
    enum Kind { kInput, kOutput };
    std::string lib;
    std::string name;
    Kind kind;
    std::function<bool()> run;
    std::vector<double> rates;  // MB/s of each measurement
    bool ok;
};

struct Options {
    int reps = 5;
    double minTime = 1.0;
    bool quick = false;
};

// Runs op until minTime has passed; MB/s of the input file.
double Measure(Op& op, double minTime, size_t bytes) {
    size_t n = 0;
    const double start = Now();
    double elapsed;
    do {
        op.ok = op.run();
        ++n;
        elapsed = Now() - start;
    } while (elapsed < minTime);
    return static_cast<double>(n) * static_cast<double>(bytes) / elapsed / 1e6;
}

// Whether one run of op ends within limit seconds, tried in a child process
// so that a peer whose time grows faster than its input cannot stall the run.
bool EndsWithin(Op& op, double limit) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return true;
    if (child == 0) {
        op.run();
        std::_Exit(0);
    }
    const double start = Now();
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0) return true;
        if (Now() - start > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        usleep(5000);
    }
}

struct FileResult {
    std::string name;
    bool real;
    size_t bytes;
    bool errorPath;
    std::map<std::string, double> median;  // by "lib name"
    std::map<std::string, double> spread;
    std::map<std::string, bool> accepted;  // whether the library accepted the input
};

bool Accepted(const FileResult& r, const char* key) {
    auto i = r.accepted.find(key);
    return i != r.accepted.end() && i->second;
}

// A ratio of two medians; '*' marks a peer that rejected the input (and so
// stopped early: the ratio does not compare like with like).
std::string Ratio(const FileResult& r, const char* a, const char* b) {
    auto ia = r.median.find(a), ib = r.median.find(b);
    if (ia == r.median.end() || ib == r.median.end() || ib->second <= 0) return "-";
    char s[32];
    std::snprintf(s, sizeof s, "%.2f%s", ia->second / ib->second, Accepted(r, b) ? "" : "*");
    return s;
}

std::string PrintPath() {
    struct stat st;
    const std::string dir = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    return dir + "/vexa_bench_print_" + std::to_string(static_cast<long>(getpid())) + ".xml";
}

FileResult BenchFile(const std::string& path, bool real, const Options& opt) {
    FileResult result;
    result.name = BaseName(path);
    result.real = real;
    result.errorPath = false;
    std::string buf;
    if (!ReadFile(path, &buf)) {
        std::printf("%s: cannot read, skipped\n", path.c_str());
        result.bytes = 0;
        return result;
    }
    result.bytes = buf.size();
    const std::string printPath = PrintPath();

    // The trees the output operations write, loaded once.
    VexaDocument vexaTree;
    vexaTree.Parse(buf.c_str());
    result.errorPath = vexaTree.Error();
    std::printf("\n== %s  (%.2f MB, %s)\n", result.name.c_str(), static_cast<double>(buf.size()) / 1e6,
                real ? "real" : "generated");
    if (result.errorPath) {
        std::printf("   Vexa rejects it: \"%s\" at row %d, column %d; output operations skipped\n",
                    vexaTree.ErrorText(), vexaTree.ErrorRow() + 1, vexaTree.ErrorCol() + 1);
    }

    // Each operation is first run once in a child, so that one that would
    // take minutes (a peer's time growing faster than its input) is dropped.
    // The bound grows with the input: at 2 MB/s a run is slow but linear.
    const double limit = std::max(std::max(10.0, 5 * opt.minTime), static_cast<double>(buf.size()) / 2e6);
    std::vector<Op> ops;
    auto add = [&ops, limit](const char* lib, const char* name, Op::Kind kind, std::function<bool()> run) {
        Op op;
        op.lib = lib;
        op.name = name;
        op.kind = kind;
        op.run = std::move(run);
        op.ok = true;
        if (!EndsWithin(op, limit)) {
            std::printf("   %s %s: one run takes over %.0f s (or crashes), dropped\n", lib, name, limit);
            return false;
        }
        ops.push_back(std::move(op));
        return true;
    };
    const bool output = !result.errorPath;

    add("vexa", "Parse", Op::kInput, [&buf] {
        VexaDocument doc;
        doc.Parse(buf.c_str());
        return !doc.Error();
    });
    add("vexa", "LoadFile", Op::kInput, [&path] {
        VexaDocument doc;
        return doc.LoadFile(path.c_str());
    });
    add("vexa", "operator>>", Op::kInput, [&path] {
        std::ifstream in(path.c_str(), std::ios::binary);
        VexaDocument doc;
        in >> doc;
        return !doc.Error();
    });
    if (output) {
        add("vexa", "Print", Op::kOutput, [&vexaTree, &printPath] {
            FILE* f = std::fopen(printPath.c_str(), "wb");
            if (!f) return false;
            vexaTree.Print(f, 0);
            return std::fclose(f) == 0;
        });
        add("vexa", "stream", Op::kOutput, [&vexaTree] {
            std::string text;
            text << vexaTree;
            return !text.empty();
        });
    }
#ifdef VEXA_BENCH_PUGIXML
    pugi::xml_document pugiTree;
    if (add("pugixml", "load_buffer", Op::kInput,
            [&buf] {
                pugi::xml_document doc;
                return static_cast<bool>(doc.load_buffer(buf.data(), buf.size()));
            }) &&
        output) {
        pugiTree.load_buffer(buf.data(), buf.size());
        add("pugixml", "save", Op::kOutput, [&pugiTree] {
            StringWriter w;
            pugiTree.save(w);
            return !w.text.empty();
        });
    }
#endif
#ifdef VEXA_BENCH_RAPIDXML
    std::vector<char> rapidCopy;
    add("rapidxml", "parse", Op::kInput, [&buf, &rapidCopy] { return RapidParse(buf, &rapidCopy); });
#endif
#ifdef VEXA_BENCH_LIBXML2
    xmlDocPtr xmlTree = 0;
    if (add("libxml2", "xmlReadMemory", Op::kInput,
            [&buf] {
                xmlDocPtr doc = xmlReadMemory(buf.data(), static_cast<int>(buf.size()), "input.xml", 0, kLibxmlOptions);
                if (!doc) return false;
                xmlFreeDoc(doc);
                return true;
            }) &&
        output) {
        xmlTree = xmlReadMemory(buf.data(), static_cast<int>(buf.size()), "input.xml", 0, kLibxmlOptions);
        if (xmlTree) {
            add("libxml2", "xmlDocDump", Op::kOutput, [xmlTree] {
                xmlChar* text = 0;
                int size = 0;
                xmlDocDumpFormatMemory(xmlTree, &text, &size, 1);
                xmlFree(text);
                return size > 0;
            });
        }
    }
#endif
#ifdef VEXA_BENCH_EXPAT
    add("expat", "empty handlers", Op::kInput, [&buf] { return ExpatPass(buf); });
#endif

    // A warm-up round, then the measurements, interleaved.
    for (Op& op : ops) op.ok = op.run();
    for (int rep = 0; rep < opt.reps; ++rep) {
        for (Op& op : ops) op.rates.push_back(Measure(op, opt.minTime, buf.size()));
    }
    std::remove(printPath.c_str());

    for (const Op& op : ops) {
        const std::string key = op.lib + " " + op.name;
        result.median[key] = Median(op.rates);
        result.spread[key] = Spread(op.rates);
        result.accepted[key] = op.ok;
    }
    std::printf("   %-28s %9s %8s %10s %10s\n", "operation", "MB/s", "spread", "x pugixml", "x libxml2");
    for (const Op& op : ops) {
        const std::string key = op.lib + " " + op.name;
        const double med = result.median[key];
        std::string pugi, xml;
        if (op.lib == "vexa") {
            const bool in = op.kind == Op::kInput;
            pugi = Ratio(result, key.c_str(), in ? "pugixml load_buffer" : "pugixml save");
            xml = Ratio(result, key.c_str(), in ? "libxml2 xmlReadMemory" : "libxml2 xmlDocDump");
            if (pugi == "-") pugi.clear();
            if (xml == "-") xml.clear();
        }
        std::printf("   %-28s %9.1f %7.1f%% %10s %10s%s\n", key.c_str(), med, 100 * result.spread[key], pugi.c_str(),
                    xml.c_str(), op.ok ? "" : "   (input rejected)");
    }
#ifdef VEXA_BENCH_LIBXML2
    if (xmlTree) xmlFreeDoc(xmlTree);
#endif
    std::fflush(stdout);
    return result;
}

double Get(const FileResult& r, const char* key) {
    auto i = r.median.find(key);
    return i == r.median.end() ? 0 : i->second;
}

// The figures the library is held to, one line per file.
void Summary(const std::vector<FileResult>& results) {
    std::printf("\n== Summary: medians in MB/s of the input file; x = ratio of throughputs, t = ratio of times\n");
    std::printf("%-22s %7s %8s %7s %8s %8s %8s %8s %8s  %s\n", "file", "MB", "Parse", "xpugi", "xlibxml2", "Load t",
                ">> t", "Print x", "strm x", "figures missed");
    for (const FileResult& r : results) {
        if (!r.bytes) continue;
        const double parse = Get(r, "vexa Parse");
        const double load = Get(r, "vexa LoadFile");
        const double in = Get(r, "vexa operator>>");
        const double pugi = Get(r, "pugixml load_buffer");
        const double xml = Get(r, "libxml2 xmlReadMemory");
        const double save = Get(r, "pugixml save");
        std::string missed;
        const bool judged = r.real || r.name == "records.xml";
        if (judged && !r.errorPath) {
            if (xml > 0 && Accepted(r, "libxml2 xmlReadMemory") && parse < 2 * xml) missed += " parse<2xlibxml2";
            if (pugi > 0 && Accepted(r, "pugixml load_buffer") && parse < pugi / 3) missed += " parse<pugixml/3";
        }
        if (!r.errorPath) {
            if (load > 0 && parse / load > 1.15) missed += " LoadFile>1.15t";
            if (in > 0 && parse / in > 1.5) missed += " >>1.5t";
        }
        if (r.name == "records.xml" && save > 0) {
            if (Get(r, "vexa Print") < save) missed += " Print<save";
            if (Get(r, "vexa stream") < save) missed += " stream<save";
        }
        char loadT[16] = "-", inT[16] = "-";
        if (load > 0) std::snprintf(loadT, sizeof loadT, "%.2f", parse / load);
        if (in > 0) std::snprintf(inT, sizeof inT, "%.2f", parse / in);
        std::printf("%-22s %7.2f %8.1f %7s %8s %8s %8s %8s %8s  %s\n", r.name.c_str(),
                    static_cast<double>(r.bytes) / 1e6, parse, Ratio(r, "vexa Parse", "pugixml load_buffer").c_str(),
                    Ratio(r, "vexa Parse", "libxml2 xmlReadMemory").c_str(), loadT, inT,
                    Ratio(r, "vexa Print", "pugixml save").c_str(), Ratio(r, "vexa stream", "pugixml save").c_str(),
                    r.errorPath ? "(error path)" : (missed.empty() ? "none" : missed.c_str() + 1));
    }
    std::printf(
        "Figures: Parse >= 2x libxml2 and >= pugixml/3 (real files, records.xml); LoadFile time <= 1.15x Parse;\n"
        "operator>> time <= 1.5x Parse; Print and stream >= pugixml save (records.xml). MB = 10^6 bytes.\n"
        "* the peer rejected the input (it stops early), so that figure is not judged.\n");
}

// --------------------------------------------------------------------- growth

int Growth(const std::vector<std::string>& files, const Options& opt) {
    std::printf("\n== Growth: parse time of each input doubled (x = time ratio / size ratio; 1.00 is linear)\n");
    std::printf("%-14s %9s %9s %11s %11s %7s %9s\n", "input", "MB", "MB x2", "vexa ms", "vexa x2 ms", "vexa x",
                "pugixml x");
    for (size_t i = 0; i + 1 < files.size(); i += 2) {
        std::string small, large;
        if (!ReadFile(files[i], &small) || !ReadFile(files[i + 1], &large)) {
            std::printf("%s: cannot read, skipped\n", files[i].c_str());
            continue;
        }
        struct Timed {
            const std::string* buf;
            bool vexa;
            std::vector<double> secs;
        };
        std::vector<Timed> timed = {{&small, true, {}}, {&large, true, {}}};
#ifdef VEXA_BENCH_PUGIXML
        timed.push_back({&small, false, {}});
        timed.push_back({&large, false, {}});
#endif
        for (int rep = 0; rep < opt.reps; ++rep) {
            for (Timed& t : timed) {
                size_t n = 0;
                const double start = Now();
                double elapsed;
                do {
                    if (t.vexa) {
                        VexaDocument doc;
                        doc.Parse(t.buf->c_str());
                    } else {
#ifdef VEXA_BENCH_PUGIXML
                        pugi::xml_document doc;
                        doc.load_buffer(t.buf->data(), t.buf->size());
#endif
                    }
                    ++n;
                    elapsed = Now() - start;
                } while (elapsed < opt.minTime);
                t.secs.push_back(elapsed / static_cast<double>(n));
            }
        }
        const double sizeRatio = static_cast<double>(large.size()) / static_cast<double>(small.size());
        const double v0 = Median(timed[0].secs), v1 = Median(timed[1].secs);
        char pugi[16] = "-";
#ifdef VEXA_BENCH_PUGIXML
        // Compiled out without pugixml: g++ warns of the indexes even behind a size check.
        std::snprintf(pugi, sizeof pugi, "%.2f", Median(timed[3].secs) / Median(timed[2].secs) / sizeRatio);
#endif
        std::printf("%-14s %9.2f %9.2f %11.2f %11.2f %7.2f %9s\n", BaseName(files[i]).c_str(),
                    static_cast<double>(small.size()) / 1e6, static_cast<double>(large.size()) / 1e6, v0 * 1e3,
                    v1 * 1e3, v1 / v0 / sizeRatio, pugi);
        std::fflush(stdout);
    }
    std::printf("Figure: doubling an input doubles the time within 20%%, i.e. vexa x in [0.80, 1.20].\n");
    return 0;
}

// --------------------------------------------------------------------- memory

// Bytes of an object carved from a document's own blocks: its size rounded
// up to 8, no header.
size_t Carved(size_t size) { return (size + 7) & ~static_cast<size_t>(7); }

// Bytes of a parsed name or value: carved too, with its terminating zero;
// an empty one takes none.
size_t Text(const char* s) {
    const size_t n = std::strlen(s);
    return n ? Carved(n + 1) : 0;
}

struct Census {
    size_t count[6] = {0, 0, 0, 0, 0, 0};
    size_t bytes[6] = {0, 0, 0, 0, 0, 0};
    size_t attributes = 0;
    size_t attributeBytes = 0;
};

void Count(const VexaNode* node, Census* c) {
    // Iterative walk: the tree may be deep.
    const VexaNode* n = node;
    while (n) {
        const int t = n->Type();
        size_t own = 0;
        switch (t) {
            case VexaNode::ELEMENT:
                own = sizeof(VexaElement);
                break;
            case VexaNode::TEXT:
                own = sizeof(ORMELA::VexaText);
                break;
            case VexaNode::COMMENT:
                own = sizeof(ORMELA::VexaComment);
                break;
            case VexaNode::DECLARATION:
                own = sizeof(ORMELA::VexaDeclaration);
                break;
            case VexaNode::UNKNOWN:
                own = sizeof(ORMELA::VexaUnknown);
                break;
            default:
                own = 0;
                break;
        }
        if (t != VexaNode::DOCUMENT) {
            c->count[t] += 1;
            c->bytes[t] += Carved(own) + Text(n->Value());
        }
        if (const VexaElement* e = n->ToElement()) {
            for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                c->attributes += 1;
                c->attributeBytes += Carved(sizeof(VexaAttribute)) + Text(a->Name()) + Text(a->Value());
            }
        }
        if (n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n && n != node && !n->NextSibling()) n = n->Parent();
        if (!n || n == node) break;
        n = n->NextSibling();
    }
}

// In the child: load and keep the tree, then report "peak kept ok".
int MemChild(const std::string& lib, const std::string& path) {
    const size_t base = StatusBytes("VmRSS");
    bool ok = false;
    std::string extra;
    if (lib == "vexa") {
        VexaDocument* doc = new VexaDocument();
        ok = doc->LoadFile(path.c_str());
        Census c;
        Count(doc, &c);
        char line[512];
        std::snprintf(line, sizeof line, "census %zu %zu %zu %zu %zu %zu %zu %zu %zu %zu %zu %zu",
                      c.count[VexaNode::ELEMENT], c.bytes[VexaNode::ELEMENT], c.attributes, c.attributeBytes,
                      c.count[VexaNode::TEXT], c.bytes[VexaNode::TEXT], c.count[VexaNode::COMMENT],
                      c.bytes[VexaNode::COMMENT], sizeof(VexaElement), sizeof(VexaAttribute), sizeof(ORMELA::VexaText),
                      sizeof(ORMELA::VexaComment));
        extra = line;
        // The tree is kept: the process ends with it.
#ifdef VEXA_BENCH_PUGIXML
    } else if (lib == "pugixml") {
        pugi::xml_document* doc = new pugi::xml_document();
        ok = static_cast<bool>(doc->load_file(path.c_str()));
#endif
#ifdef VEXA_BENCH_RAPIDXML
    } else if (lib == "rapidxml") {
        // The tree points into the buffer, which is kept with it.
        std::vector<char>* text = new std::vector<char>();
        std::string data;
        ok = ReadFile(path, &data);
        text->assign(data.c_str(), data.c_str() + data.size() + 1);
        std::string().swap(data);
        rapidxml::xml_document<>* doc = new rapidxml::xml_document<>();
        try {
            doc->parse<0>(text->data());
        } catch (const rapidxml::parse_error&) {
            ok = false;
        }
#endif
#ifdef VEXA_BENCH_LIBXML2
    } else if (lib == "libxml2") {
        InitLibxml();
        xmlDocPtr doc = xmlReadFile(path.c_str(), 0, kLibxmlOptions);
        ok = doc != 0;
#endif
#ifdef VEXA_BENCH_EXPAT
    } else if (lib == "expat") {
        // No tree: a streaming pass over the file, the floor.
        FILE* f = std::fopen(path.c_str(), "rb");
        XML_Parser p = NewExpat();
        ok = f != 0;
        char chunk[1 << 16];
        size_t got = 0;
        while (ok && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
            ok = XML_Parse(p, chunk, static_cast<int>(got), 0) == XML_STATUS_OK;
        }
        if (ok) ok = XML_Parse(p, chunk, 0, 1) == XML_STATUS_OK;
        XML_ParserFree(p);
        if (f) std::fclose(f);
#endif
    } else {
        std::printf("unknown\n");
        return 1;
    }
    const size_t peak = StatusBytes("VmHWM");
    const size_t now = StatusBytes("VmRSS");
    std::printf("%zu %zu %d\n%s\n", peak > base ? peak - base : 0, now > base ? now - base : 0, ok ? 1 : 0,
                extra.c_str());
    std::fflush(stdout);
    std::_Exit(0);  // keep the tree to the end; no teardown to measure
}

int Memory(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::printf("%s: cannot read, skipped\n", path.c_str());
        return 1;
    }
    const double size = static_cast<double>(st.st_size);
    std::printf("\n== Memory: loading and keeping the tree of %s (%.2f MB), one process each\n", BaseName(path).c_str(),
                size / 1e6);
    std::printf("%-10s %10s %8s %10s %8s\n", "library", "peak MB", "x file", "kept MB", "x file");
    std::string census;
    for (const char* lib : kLibraries) {
        if (!HasLibrary(lib)) continue;
        std::string out;
        unsigned long long peak = 0, kept = 0;
        int ok = 0;
        int got = 0;
        if (RunSelf("", std::string("--mem ") + lib + " " + ShellQuote(path), 0, &out)) {
            got = std::sscanf(out.c_str(), "%llu %llu %d", &peak, &kept, &ok);
            const size_t at = out.find("\ncensus ");
            if (at != std::string::npos) census = out.substr(at + 8);
        }
        if (got != 3) {
            std::printf("%-10s failed\n", lib);
            continue;
        }
        std::printf("%-10s %10.1f %8.2f %10.1f %8.2f%s%s\n", lib, static_cast<double>(peak) / 1e6,
                    static_cast<double>(peak) / size, static_cast<double>(kept) / 1e6, static_cast<double>(kept) / size,
                    ok ? "" : "  (input rejected)",
                    std::strcmp(lib, "expat") == 0 ? "  (no tree: streaming floor)" : "");
    }
    unsigned long long v[12];
    if (!census.empty() &&
        std::sscanf(census.c_str(), "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                    &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]) == 12) {
        auto per = [](unsigned long long bytes, unsigned long long n) {
            return n ? static_cast<double>(bytes) / static_cast<double>(n) : 0.0;
        };
        std::printf(
            "Vexa's tree: objects, names and values carved from the document's own blocks (no allocator\n"
            "header; a name or value takes its length and a zero, rounded up to 8):\n");
        std::printf("  %9llu elements    %6.1f B each (object %llu B: node links, name, attribute list)\n", v[0],
                    per(v[1], v[0]), v[8]);
        std::printf("  %9llu attributes  %6.1f B each (object %llu B: name, value, links, document)\n", v[2],
                    per(v[3], v[2]), v[9]);
        std::printf("  %9llu text nodes  %6.1f B each (object %llu B: node links, value)\n", v[4], per(v[5], v[4]),
                    v[10]);
        std::printf("  %9llu comments    %6.1f B each (object %llu B)\n", v[6], per(v[7], v[6]), v[11]);
        std::printf("  modelled total %.1f MB\n", static_cast<double>(v[1] + v[3] + v[5] + v[7]) / 1e6);
    }
    return 0;
}

// ------------------------------------------------------------------ callgrind

// The instruction total of a callgrind output file, or -1.
double CallgrindTotal(const std::string& file) {
    std::ifstream in(file.c_str());
    std::string line;
    double total = -1;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "summary:") == 0) total = std::atof(line.c_str() + 8);
        if (line.compare(0, 7, "totals:") == 0) total = std::atof(line.c_str() + 7);
    }
    return total;
}

// The valgrind command that writes its counts to out: the whole program, or
// only what the client requests collect.
std::string CallgrindWrapper(const std::string& out, bool wholeProgram) {
    return std::string("valgrind --tool=callgrind ") +
           (wholeProgram ? "" : "--instr-atstart=no --collect-atstart=no ") + "--callgrind-out-file=" + ShellQuote(out);
}

// libxml2 is there for context only: its time grows with the square of an
// element's attributes, which under callgrind would take hours.
double CallgrindLimit(const std::string& lib) { return lib == "libxml2" ? 300 : 3600; }

// Instructions of a whole run of the child that parses path `times` times
// (each tree freed before the next), or -1.
double WholeRunInstructions(const std::string& lib, const std::string& path, const std::string& dir, int times) {
    const std::string out = dir + "/cg." + lib + "." + std::to_string(times);
    std::remove(out.c_str());
    std::string printed;
    if (!RunSelf(CallgrindWrapper(out, true),
                 "--one " + lib + " " + ShellQuote(path) + " --times " + std::to_string(times), CallgrindLimit(lib),
                 &printed))
        return -1;
    return CallgrindTotal(out);
}

// Instructions of one parse (and of freeing the tree) of path by lib.
bool RunCallgrind(const std::string& lib, const std::string& path, const std::string& dir, double* parse,
                  double* destroy) {
#ifdef VEXA_BENCH_CALLGRIND
    const std::string out = dir + "/cg." + lib;
    std::remove(out.c_str());
    std::remove((out + ".1").c_str());
    std::remove((out + ".2").c_str());
    std::string printed;
    if (!RunSelf(CallgrindWrapper(out, false), "--one " + lib + " " + ShellQuote(path), CallgrindLimit(lib), &printed))
        return false;
    *parse = CallgrindTotal(out + ".1");
    *destroy = CallgrindTotal(out + ".2");
    return *parse >= 0 && *destroy >= 0;
#else
    // No client requests: two parses less one, parse and free together.
    const double one = WholeRunInstructions(lib, path, dir, 1);
    const double two = one < 0 ? -1 : WholeRunInstructions(lib, path, dir, 2);
    *parse = two - one;
    *destroy = -1;  // counted with the parse
    return one >= 0 && two >= 0 && *parse >= 0;
#endif
}

// The libraries whose instructions are counted: those that build a tree.
std::vector<std::string> CountedLibraries(bool rapidxml) {
    std::vector<std::string> libs;
    for (const char* lib : {"vexa", "pugixml", "rapidxml", "libxml2"}) {
        if (HasLibrary(lib) && (rapidxml || std::strcmp(lib, "rapidxml") != 0)) libs.push_back(lib);
    }
    if (!HasLibrary("pugixml")) std::printf("peer pugixml: not installed when this was built, no ratio\n");
    return libs;
}

size_t IndexOf(const std::vector<std::string>& libs, const char* lib) {
    return static_cast<size_t>(std::find(libs.begin(), libs.end(), lib) - libs.begin());
}

// A table of instruction counts: checks for valgrind, prints the title and
// the header, and calls row(path, bytes, dir) for each readable file, dir
// being a scratch directory for callgrind's output.
int InstructionTable(const char* title, const std::vector<std::string>& libs, const char* moreColumns,
                     const std::vector<std::string>& files,
                     const std::function<void(const std::string&, double, const std::string&)>& row) {
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        std::printf("\nvalgrind is not installed: instruction counts skipped\n");
        return 0;
    }
    char dirTemplate[] = "/tmp/vexa_bench_cg_XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) return 1;
    std::printf("\n== %s\n", title);
    std::printf("%-22s %7s", "file", "MB");
    for (const std::string& lib : libs) std::printf(" %13s", (lib + " Ir/B").c_str());
    std::printf("%s\n", moreColumns);
    for (const std::string& path : files) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || st.st_size == 0) continue;
        const double size = static_cast<double>(st.st_size);
        std::printf("%-22s %7.2f", BaseName(path).c_str(), size / 1e6);
        std::fflush(stdout);
        row(path, size, dir);
        std::fflush(stdout);
    }
    const std::string clean = std::string("rm -rf ") + ShellQuote(dir);
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}

// Instruction counts per byte, "too slow" where a run failed; the ratio of
// the first of libs to pugixml's, or "-".
std::string PrintCounts(const std::vector<std::string>& libs, const std::vector<double>& counts, double size) {
    for (double n : counts) {
        if (n < 0) {
            std::printf(" %13s", "too slow");
        } else {
            std::printf(" %13.1f", n / size);
        }
    }
    const size_t pugi = IndexOf(libs, "pugixml");
    char ratio[16] = "-";
    if (pugi < libs.size() && counts[0] > 0 && counts[pugi] > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", counts[0] / counts[pugi]);
    return ratio;
}

int Callgrind(const std::vector<std::string>& files) {
    const std::vector<std::string> libs = CountedLibraries(false);
#ifdef VEXA_BENCH_CALLGRIND
    const char* title = "Instructions per input byte, one parse under callgrind (then freeing the tree)";
#else
    const char* title =
        "Instructions per input byte under callgrind (valgrind/callgrind.h was missing at build time:\n"
        "parse and free together, two parses less one)";
#endif
    auto row = [&libs](const std::string& path, double size, const std::string& dir) {
        std::vector<double> parse(libs.size(), -1), destroy(libs.size(), -1);
        for (size_t i = 0; i < libs.size(); ++i) {
            if (!RunCallgrind(libs[i], path, dir, &parse[i], &destroy[i])) parse[i] = destroy[i] = -1;
        }
        const std::string ratio = PrintCounts(libs, parse, size);
        const size_t pugi = IndexOf(libs, "pugixml");
        char vf[16] = "-", pf[16] = "-";
        if (destroy[0] >= 0) std::snprintf(vf, sizeof vf, "%.1f", destroy[0] / size);
        if (pugi < libs.size() && destroy[pugi] >= 0) std::snprintf(pf, sizeof pf, "%.1f", destroy[pugi] / size);
        std::printf(" %10s %12s %12s\n", ratio.c_str(), vf, pf);
    };
    const int rc = InstructionTable(title, libs, "  vexa/pugi  vexa free/B  pugi free/B", files, row);
    std::printf("Figure: at most 3x pugixml's instructions per byte on every real file (vexa/pugi <= 3).\n");
    return rc;
}

// Steady state: the instructions of a parse (and of freeing its tree) once
// the allocator has grown and the symbols are bound, as in a long-running
// process: (whole run of 3 parses - whole run of 1) / 2.
int Steady(const std::vector<std::string>& files) {
    std::vector<std::string> libs = CountedLibraries(true);
    libs.push_back("strict");
    const int rc = InstructionTable(
        "Steady-state instructions per input byte under callgrind: (Ir of a run of 3 parses - Ir of a run of 1) / 2,\n"
        "each tree freed before the next parse",
        libs, "  vexa/pugi  strict/vexa", files, [&libs](const std::string& path, double size, const std::string& dir) {
            std::vector<double> steady(libs.size(), -1);
            for (size_t i = 0; i < libs.size(); ++i) {
                const double one = WholeRunInstructions(libs[i], path, dir, 1);
                const double three = one < 0 ? -1 : WholeRunInstructions(libs[i], path, dir, 3);
                if (one >= 0 && three >= one) steady[i] = (three - one) / 2;
            }
            char strict[16] = "-";
            if (steady[0] > 0 && steady.back() > 0)
                std::snprintf(strict, sizeof strict, "%.3f", steady.back() / steady[0]);
            std::printf(" %10s %12s\n", PrintCounts(libs, steady, size).c_str(), strict);
        });
    std::printf(
        "Figure: at most 2x pugixml's steady-state instructions per byte on the real files (vexa/pugi <= 2);\n"
        "strict parsing at most 1.15x the default (strict/vexa <= 1.15).\n");
    return rc;
}

// ---------------------------------------------------------------------- fresh

// A fresh child parses on its main thread, as a plain program would (and so
// in glibc's main arena); RapidXML recurses once per level of nesting, so the
// children get a main stack as large as the thread the rest runs in.
void RaiseStackLimit() {
    struct rlimit limit;
    const rlim_t want = static_cast<rlim_t>(1) << 30;
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= want) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? want : std::min(want, limit.rlim_max);
    setrlimit(RLIMIT_STACK, &limit);
}

// Parse throughput in fresh processes with the default allocator: each
// child reads the file, then times one parse of it, so that the page faults
// of a heap growing for the first time are in the figure.
int Fresh(const std::vector<std::string>& files, int runs) {
    RaiseStackLimit();
    std::vector<std::string> libs;
    for (const char* lib : kLibraries) {
        if (HasLibrary(lib)) libs.push_back(lib);
    }
    std::printf(
        "\n== Fresh processes: each reads the file, then one parse of it is timed (default glibc allocator);\n"
        "%d processes per library, interleaved round-robin; median MB/s of the input file\n",
        runs);
    SayMissingPeers();
    std::printf("%-22s %7s", "file", "MB");
    for (const std::string& lib : libs) std::printf(" %10s", lib.c_str());
    std::printf(" %10s %12s\n", "vexa/pugi", "vexa/libxml2");

    struct Largest {
        std::string name;
        double size = 0;
        std::vector<double> kept;
    } largest;
    for (const std::string& path : files) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || st.st_size == 0) {
            std::printf("%s: cannot read, skipped\n", path.c_str());
            continue;
        }
        const double size = static_cast<double>(st.st_size);
        // As in the throughput table: slow but linear is 2 MB/s.
        const double limit = std::max(10.0, size / 2e6);
        std::vector<std::vector<double> > rates(libs.size()), kept(libs.size());
        std::vector<bool> accepted(libs.size(), true), dropped(libs.size(), false);
        for (int run = 0; run < runs; ++run) {
            for (size_t i = 0; i < libs.size(); ++i) {
                if (dropped[i]) continue;
                std::string out;
                double seconds = 0;
                unsigned long long bytes = 0;
                int ok = 0;
                if (!RunSelf("", "--one " + libs[i] + " " + ShellQuote(path) + " --timed", limit, &out) ||
                    std::sscanf(out.c_str(), "%lf %llu %d", &seconds, &bytes, &ok) != 3) {
                    dropped[i] = true;
                    continue;
                }
                rates[i].push_back(size / std::max(seconds, 1e-9) / 1e6);
                kept[i].push_back(static_cast<double>(bytes));
                accepted[i] = accepted[i] && ok;
            }
        }
        std::printf("%-22s %7.2f", BaseName(path).c_str(), size / 1e6);
        std::vector<double> median(libs.size(), 0);
        for (size_t i = 0; i < libs.size(); ++i) {
            if (dropped[i]) {
                std::printf(" %10s", "too slow");
                continue;
            }
            median[i] = Median(rates[i]);
            std::printf(" %9.1f%s", median[i], accepted[i] ? " " : "*");
        }
        // '*' marks a library that rejected the input (and so stopped early).
        auto ratio = [&](const char* peer) {
            const size_t j = IndexOf(libs, peer);
            if (j >= libs.size() || median[0] <= 0 || median[j] <= 0) return std::string("-");
            char s[32];
            std::snprintf(s, sizeof s, "%.2f%s", median[0] / median[j], accepted[j] ? "" : "*");
            return std::string(s);
        };
        std::printf(" %10s %12s\n", ratio("pugixml").c_str(), ratio("libxml2").c_str());
        std::fflush(stdout);
        if (size > largest.size) {
            largest.name = BaseName(path);
            largest.size = size;
            largest.kept.assign(libs.size(), -1);
            for (size_t i = 0; i < libs.size(); ++i) {
                if (!dropped[i]) largest.kept[i] = Median(kept[i]);
            }
        }
    }
    std::printf(
        "Figures: vexa >= 2x libxml2 and >= 0.5x pugixml (vexa/pugi >= 0.50) on the real files and records.xml,\n"
        "here in fresh processes; the tree of records.xml kept in <= 1.5x pugixml's memory.\n"
        "* the library rejected the input (it stops early). too slow: a process took longer than 10 s or than the\n"
        "file at 2 MB/s (or crashed), and that library's other runs on the file were skipped.\n");
    if (largest.size > 0) {
        std::printf("Kept by the tree of %s (resident memory the parse added, median MB and x file):\n",
                    largest.name.c_str());
        for (size_t i = 0; i < libs.size(); ++i) {
            if (largest.kept[i] < 0 || libs[i] == "expat") continue;
            std::printf("  %-10s %8.1f %6.2f\n", libs[i].c_str(), largest.kept[i] / 1e6,
                        largest.kept[i] / largest.size);
        }
    }
    return 0;
}

// ----------------------------------------------------------------------- main

int Usage() {
    std::fprintf(stderr,
                 "usage: vexa_bench [--quick] [--reps N] [--min-time S] [--real|--generated] FILE...\n"
                 "       vexa_bench --gen DIR [--scale X]\n"
                 "       vexa_bench --growth [--quick] SMALL LARGE [SMALL LARGE ...]\n"
                 "       vexa_bench --memory FILE\n"
                 "       vexa_bench --fresh [--runs K] FILE...\n"
                 "       vexa_bench --callgrind FILE...\n"
                 "       vexa_bench --steady FILE...\n"
                 "       vexa_bench --peers\n");
    return 2;
}

int RealMain(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    const std::string mode = args[0];
    if (mode == "--gen") {
        if (args.size() < 2) return Usage();
        const double scale = args.size() >= 4 && args[2] == "--scale" ? std::atof(args[3].c_str()) : 1.0;
        return Generate(args[1], scale > 0 ? scale : 1.0);
    }
    if (mode == "--mem") {
        if (args.size() != 3) return Usage();
        return MemChild(args[1], args[2]);
    }
    if (mode == "--one") {
        if (args.size() == 3) return OneChild(args[1], args[2], ChildMode::kProfile, 1);
        if (args.size() == 4 && args[3] == "--timed") return OneChild(args[1], args[2], ChildMode::kTimed, 1);
        if (args.size() == 5 && args[3] == "--times")
            return OneChild(args[1], args[2], ChildMode::kRepeat, std::max(0, std::atoi(args[4].c_str())));
        return Usage();
    }
    if (mode == "--memory") {
        if (args.size() != 2) return Usage();
        return Memory(args[1]);
    }
    if (mode == "--callgrind") {
        return Callgrind(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (mode == "--steady") {
        return Steady(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (mode == "--fresh") {
        int runs = 7;
        size_t first = 1;
        if (args.size() > 2 && args[1] == "--runs") {
            runs = std::max(1, std::atoi(args[2].c_str()));
            first = 3;
        }
        return Fresh(std::vector<std::string>(args.begin() + first, args.end()), runs);
    }
    if (mode == "--xpath") {
        const bool quick = args.size() > 1 && args[1] == "--quick";
        return XPathTable(std::vector<std::string>(args.begin() + (quick ? 2 : 1), args.end()), quick);
    }
    if (mode == "--peers") {
        for (const char* lib : kLibraries) std::printf("%s %s\n", lib, HasLibrary(lib) ? "yes" : "no");
        return 0;
    }

    Options opt;
    bool growth = false;
    bool real = true;
    std::vector<std::pair<std::string, bool> > files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--growth") {
            growth = true;
        } else if (a == "--quick") {
            opt.quick = true;
            opt.reps = 3;
            opt.minTime = 0.2;
        } else if (a == "--reps" && i + 1 < args.size()) {
            opt.reps = std::max(1, std::atoi(args[++i].c_str()));
        } else if (a == "--min-time" && i + 1 < args.size()) {
            opt.minTime = std::atof(args[++i].c_str());
        } else if (a == "--real") {
            real = true;
        } else if (a == "--generated") {
            real = false;
        } else if (!a.empty() && a[0] == '-') {
            return Usage();
        } else {
            files.push_back(std::make_pair(a, real));
        }
    }
#ifdef VEXA_BENCH_LIBXML2
    InitLibxml();
#endif
    if (growth) {
        std::vector<std::string> paths;
        for (const auto& f : files) paths.push_back(f.first);
        return Growth(paths, opt);
    }
    std::printf(
        "Throughput: %d measurements of at least %.1f s each per operation, interleaved round-robin;\n"
        "MB/s of the input file (10^6 bytes), median and half-range; Vexa's ratio to the peer's\n"
        "parse (input rows) or writer (output rows) of the same run.\n",
        opt.reps, opt.minTime);
    SayMissingPeers();
    std::vector<FileResult> results;
    for (const auto& f : files) results.push_back(BenchFile(f.first, f.second, opt));
    Summary(results);
    return 0;
}

struct MainCall {
    int argc;
    char** argv;
    int rc;
};

void* MainThread(void* p) {
    MainCall* call = static_cast<MainCall*>(p);
    call->rc = RealMain(call->argc, call->argv);
    return 0;
}

}  // namespace

// Everything runs in a thread with a large stack: RapidXML recurses once per
// level of nesting, and the deepest input has 100,000 of them. The timed
// child of --fresh is the exception: it runs on the main thread, whose stack
// limit its parent raised.
int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--one") == 0 && std::strcmp(argv[4], "--timed") == 0)
        return RealMain(argc, argv);
    MainCall call = {argc, argv, 1};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, static_cast<size_t>(1) << 30);
    pthread_t thread;
    if (pthread_create(&thread, &attr, MainThread, &call) != 0) return RealMain(argc, argv);
    pthread_join(thread, 0);
    pthread_attr_destroy(&attr);
    return call.rc;
}
