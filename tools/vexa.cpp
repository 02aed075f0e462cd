// vexa: checks, reformats and counts XML files. Built on the public API only.
#include <unistd.h>
#include <vexa.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

using namespace ORMELA;

namespace {

// Exit statuses, as xmlwf and xmllint use them.
enum { kOk = 0, kBadDocument = 1, kUsage = 2 };

const char kUsageText[] =
    "usage: vexa [OPTIONS] COMMAND [FILE...]\n"
    "\n"
    "Commands:\n"
    "  check FILE...    report the errors of each file as FILE:ROW:COL: error: MESSAGE,\n"
    "                   then the line with a caret under the column\n"
    "  format [FILE]    write the file in indented form\n"
    "  compact [FILE]   write the file in compact form, on one line\n"
    "  stats FILE...    count the nodes of each file and time its load\n"
#ifndef VEXA_NO_XPATH
    "  query EXPR [FILE...]\n"
    "                   print what the XPath expression selects, as FILE:ROW:COL: ITEM\n"
#endif
    "\n"
    "Options:\n"
    "  -h, --help           show this help, or a command's help after its name\n"
    "  --version            show the version\n"
    "  --tab-size N         columns between tab stops when counting locations (default 4)\n"
    "  --keep-white-space   keep text white space as written instead of condensing it, and\n"
    "                       write it back without added layout\n"
    "  --max-depth N        deepest element nesting to accept (default 1000)\n"
    "  --encoding E         text encoding: detect, utf-8, legacy or raw (default: detect, but\n"
    "                       UTF-8 for a file with no byte order mark and no declared encoding)\n"
    "  --no-context         print errors without the source line and caret under them\n"
    "  --strict, --lenient  check every well-formedness rule of XML, or the classic rules only\n"
    "                       (default: strict for check, lenient for the other commands)\n"
    "  --no-doctype         read references the classic way: no entities from the DOCTYPE's\n"
    "                       internal subset, no default attributes\n"
    "\n"
    "A FILE of '-', or no FILE, reads standard input. Rows and columns count from 1.\n"
    "Lines longer than 120 columns are cut around the error's column, with \"...\" marks.\n"
    "Exit status: 0 when every file is good, 1 when one is not, 2 for a usage or I/O problem.\n";

struct Command {
    const char* name;
    const char* usage;
};

const Command kCommands[] = {
    {"check",
     "usage: vexa check [-v] [--lenient] FILE...\n"
     "Loads each file and prints FILE:ROW:COL: error: MESSAGE on standard error for a bad one,\n"
     "checking every well-formedness rule of XML (--lenient: the classic rules only),\n"
     "and FILE:ROW:COL: warning: ... where a zero byte ended the text early.\n"
     "Under each comes the source line with a caret under the column, unless --no-context.\n"
     "  -v, --verbose   also print FILE: ok for each good file\n"},
    {"format",
     "usage: vexa format [-o OUT] [--indent N|tab] [--crlf] [--strict] [FILE]\n"
     "Writes the document in indented form, one element per line, to standard output.\n"
     "  -o OUT           save to the file OUT instead\n"
     "  --indent N|tab   indent each level by N spaces (0 to 16) or by one tab (default 4 spaces)\n"
     "  --crlf           end lines with CR LF instead of LF\n"},
    {"compact",
     "usage: vexa compact [--strict] [FILE]\n"
     "Writes the document in compact form, on one line, to standard output.\n"},
    {"stats",
     "usage: vexa stats [--json] [--strict] [--each NAME] FILE...\n"
     "Counts elements, attributes, text, comments, declarations and unknown nodes,\n"
     "finds the deepest element nesting and times the load of each file.\n"
     "  --json        print a JSON array with one object per file\n"
     "  --each NAME   read one NAME element at a time (any child of the root for '*'),\n"
     "                never the whole tree: the same counts in bounded memory, for files\n"
     "                larger than memory (zero bytes drop the rest of their line, as on load)\n"},
#ifndef VEXA_NO_XPATH
    {"query",
     "usage: vexa query [--value] [--each NAME] EXPR [FILE...]\n"
     "Evaluates the XPath 1.0 expression EXPR on each file's document.\n"
     "A node-set prints one line per item, FILE:ROW:COL: ITEM, where ITEM is an element's\n"
     "compact form, an attribute as name=\"value\", or a text node's escaped text.\n"
     "A number, string or boolean prints its string value on one line (FILE: first when\n"
     "there are several files).\n"
     "  --value       print only each item's string value, one a line\n"
     "  --each NAME   evaluate EXPR on each NAME element in turn (any child of the root\n"
     "                for '*'), read one at a time in bounded memory; locations count\n"
     "                over the whole file\n"
     "Exit status: 0 when something was found or the result is not a node-set, 1 when\n"
     "every node-set was empty, 2 for a bad expression (a caret marks where) or a file\n"
     "that cannot be read or parsed.\n"},
#endif
};

struct Options {
    const Command* command = nullptr;
    std::vector<std::string> files;
    std::string output;  // -o; empty means standard output
    std::string each;    // --each: the name of the subtrees read one at a time
    std::string indent = "    ";
    bool indentGiven = false;
    bool crlf = false;
    bool noContext = false;
    bool noDoctype = false;
    int tabSize = 4;
    int maxDepth = 1000;
    int encoding = -1;  // --encoding; -1 is the default rule
    bool keepWhiteSpace = false;
    bool verbose = false;
    bool json = false;
    bool value = false;  // query --value
    bool help = false;
    bool version = false;
    bool strict = false;   // --strict
    bool lenient = false;  // --lenient
};

// One line on standard error; usage problems and I/O failures all end here.
int Fail(const std::string& message) {
    std::fprintf(stderr, "vexa: %s\n", message.c_str());
    return kUsage;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

// Reads a whole decimal number in [low, high]; false for anything else.
bool ParseNumber(const std::string& text, int low, int high, int* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}

// Options without a value, and the field each one sets.
const struct {
    const char* name;
    bool Options::*field;
} kFlags[] = {
    {"-h", &Options::help},
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"-v", &Options::verbose},
    {"--verbose", &Options::verbose},
    {"--json", &Options::json},
    {"--keep-white-space", &Options::keepWhiteSpace},
    {"--crlf", &Options::crlf},
    {"--no-context", &Options::noContext},
    {"--strict", &Options::strict},
    {"--lenient", &Options::lenient},
    {"--no-doctype", &Options::noDoctype},
    {"--value", &Options::value},
};

bool Reject(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// Fills *options from the command line; on a usage error returns false with
// the message in *error. Options may come before or after the command.
bool ParseArguments(int argc, char** argv, Options* options, std::string* error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string original = argv[i];
        std::string arg = original;
        if (optionsEnded || arg == "-" || arg[0] != '-') {
            if (options->command || optionsEnded) {
                options->files.push_back(arg);
            } else if (!(options->command = FindCommand(arg))) {
                return Reject(error, "unknown command '" + arg + "'");
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        bool isFlag = false;
        for (const auto& flag : kFlags) {
            if (arg == flag.name) {
                options->*flag.field = true;
                isFlag = true;
            }
        }
        if (isFlag) continue;

        // The value comes after '=' in the same argument, or as the next one.
        std::string value;
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.erase(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (arg == "--tab-size") {
            if (!ParseNumber(value, 0, 256, &options->tabSize)) {
                return Reject(error, "--tab-size needs a number from 0 to 256");
            }
        } else if (arg == "--max-depth") {
            // Nothing recurses per level, so any limit is safe.
            if (!ParseNumber(value, 1, INT_MAX, &options->maxDepth)) {
                return Reject(error, "--max-depth needs a number from 1 to " + std::to_string(INT_MAX));
            }
        } else if (arg == "--encoding") {
            static const struct {
                const char* name;
                int encoding;
            } kEncodings[] = {{"detect", VEXA_ENCODING_DETECT},
                              {"utf-8", VEXA_ENCODING_UTF8},
                              {"legacy", VEXA_ENCODING_LEGACY},
                              {"raw", VEXA_ENCODING_RAW}};
            options->encoding = -2;
            for (const auto& e : kEncodings) {
                if (value == e.name) options->encoding = e.encoding;
            }
            if (options->encoding == -2) return Reject(error, "--encoding needs detect, utf-8, legacy or raw");
        } else if (arg == "--each") {
            if (value.empty()) return Reject(error, "--each needs an element name, or '*'");
            options->each = value;
        } else if (arg == "--indent") {
            int spaces = 0;
            if (value == "tab") {
                options->indent = "\t";
            } else if (ParseNumber(value, 0, 16, &spaces)) {
                options->indent.assign(static_cast<size_t>(spaces), ' ');
            } else {
                return Reject(error, "--indent needs a number from 0 to 16 or 'tab'");
            }
            options->indentGiven = true;
        } else if (arg == "-o" || arg == "--output") {
            if (value.empty()) return Reject(error, "-o needs a file name");
            options->output = value;
        } else {
            return Reject(error, "unknown option '" + original + "'");
        }
    }
    return true;
}

// Options that belong to one command only.
bool CheckOptionsFit(const Options& options, std::string* error) {
    const std::string name = options.command->name;
    if (options.verbose && name != "check") *error = "-v is an option of 'check'";
    if (options.json && name != "stats") *error = "--json is an option of 'stats'";
    if (!options.each.empty() && name != "stats" && name != "query")
        *error = "--each is an option of 'stats' and 'query'";
    if (options.value && name != "query") *error = "--value is an option of 'query'";
    if (name == "query" && options.files.empty()) *error = "'query' needs an expression";
    if (!options.output.empty() && name != "format") *error = "-o is an option of 'format'";
    if (options.indentGiven && name != "format") *error = "--indent is an option of 'format'";
    if (options.crlf && name != "format") *error = "--crlf is an option of 'format'";
    if (options.strict && options.lenient) *error = "--strict and --lenient exclude each other";
    if ((name == "format" || name == "compact") && options.files.size() > 1) {
        *error = "'" + name + "' takes one FILE at most";
    }
    return error->empty();
}

// A file read whole into memory; name is what messages call it.
struct Input {
    std::string path;  // as given; "-" for standard input
    std::string name;
    std::string text;
};

// Reads path, or standard input for "-". Prints one line and returns false on failure.
bool ReadInput(const std::string& path, Input* input) {
    const bool useStdin = path == "-";
    input->path = path;
    input->name = useStdin ? "<stdin>" : path;
    input->text.clear();
    FILE* file = useStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        const int openErrno = errno;
        Fail("cannot open '" + path + "': " + std::strerror(openErrno));
        return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) input->text.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    if (!useStdin) std::fclose(file);
    if (failed) {
        Fail("cannot read '" + input->name + "': " + std::strerror(readErrno));
        return false;
    }
    return true;
}

// Whether the bytes are UTF-16: a byte order mark, or the first characters
// of a declaration in either byte order.
bool LooksUtf16(const std::string& text) {
    static const char* const starts[] = {"\xFF\xFE", "\xFE\xFF"};
    for (const char* start : starts) {
        if (text.compare(0, 2, start) == 0) return true;
    }
    return text.compare(0, 4, std::string("<\0?\0", 4)) == 0 || text.compare(0, 4, std::string("\0<\0?", 4)) == 0;
}

// Whether the text names its encoding: a byte order mark or an encoding in
// the declaration it starts with.
bool NamesEncoding(const std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || LooksUtf16(text)) return true;
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || text.compare(start, 5, "<?xml") != 0) return false;
    const size_t end = text.find("?>", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start).find("encoding") !=
           std::string::npos;
}

// Whether the command parses strictly: check does unless --lenient, the
// others only with --strict.
bool ParsesStrictly(const Options& options) {
    return std::strcmp(options.command->name, "check") == 0 ? !options.lenient : options.strict;
}

// Parses the input into doc with the chosen settings. Returns where the
// parse stopped, as VexaDocument::Parse does; null for a converted file.
const char* ParseInput(const Input& input, const Options& options, VexaDocument* doc) {
    doc->SetTabSize(options.tabSize);
    doc->SetMaxDepth(options.maxDepth);
    doc->SetStrict(ParsesStrictly(options));
    doc->SetDoctypeProcessing(!options.noDoctype);
    // XML's own rule: without a byte order mark or a declared encoding, UTF-8.
    int encoding = options.encoding;
    if (encoding < 0) encoding = NamesEncoding(input.text) ? VEXA_ENCODING_DETECT : VEXA_ENCODING_UTF8;
    doc->SetTextEncoding(encoding);
    if (!LooksUtf16(input.text)) return doc->Parse(input.text.c_str());
    // UTF-16 is converted by LoadFile, which also lets SaveFile write it back.
    if (input.path != "-") {
        doc->LoadFile(input.path.c_str());
        return nullptr;
    }
    char spool[] = "/tmp/vexa-stdin-XXXXXX";
    const int fd = ::mkstemp(spool);
    FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    const bool written = file && std::fwrite(input.text.data(), 1, input.text.size(), file) == input.text.size();
    if (file) std::fclose(file);
    if (written) doc->LoadFile(spool);
    if (fd >= 0) std::remove(spool);
    if (!written) doc->Parse(input.text.c_str());
    doc->SetValue(input.name.c_str());
    return nullptr;
}

// ------------------------------------------------- context lines under errors

// Widest context line, "..." marks included.
const int kContextColumns = 120;
// Bytes of one character at most: a window never grows past this many bytes
// per column, however many bytes take no column.
const size_t kCharBytes = 4;

// The byte where the parse's text begins: a UTF-8 byte order mark is not content.
size_t TextStart(const std::string& text) { return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; }

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The column after byte c, which starts at column col, counted as the
// parser counts locations.
int NextColumn(unsigned char c, int col, int tabSize, bool utf8Columns) {
    if (c == '\t') return (col / tabSize + 1) * tabSize;
    if (utf8Columns && IsContinuation(c)) return col;
    return col + 1;
}

// The zero-based row of text, without its line break. Rows end as the
// parser counts them: "\n", "\r", "\r\n" and "\n\r" each end one. False
// when the text has fewer rows.
bool LineOfRow(const std::string& text, int row, std::string* line) {
    size_t start = TextStart(text);
    for (; row > 0; --row) {
        start = text.find_first_of("\r\n", start);
        if (start == std::string::npos) return false;
        const char first = text[start++];
        if (start < text.size() && (text[start] == '\r' || text[start] == '\n') && text[start] != first) ++start;
    }
    const size_t end = text.find_first_of("\r\n", start);
    line->assign(text, start, end == std::string::npos ? std::string::npos : end - start);
    return true;
}

// The byte of line at which zero-based column col lies: the first byte of
// the character that covers it (a tab covers every column up to its stop).
// A column past the end gives line.size(). With utf8Columns, UTF-8
// continuation bytes take no column, as they do in UTF-8 text.
size_t ByteAtColumn(const std::string& line, int col, int tabSize, bool utf8Columns) {
    int at = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (utf8Columns && IsContinuation(c)) continue;
        const int next = NextColumn(c, at, tabSize, utf8Columns);
        if (next > col) return i;
        at = next;
    }
    return line.size();
}

// Steps between the characters of a line: a character is one byte, or with
// utf8Columns a byte and the continuation bytes after it (three at most).
struct CharSteps {
    const std::string& line;
    bool utf8;

    size_t After(size_t i) const {
        const size_t limit = std::min(line.size(), i + kCharBytes);
        ++i;
        while (utf8 && i < limit && IsContinuation(static_cast<unsigned char>(line[i]))) ++i;
        return i;
    }
    size_t Before(size_t i) const {
        const size_t limit = i >= kCharBytes ? i - kCharBytes : 0;
        --i;
        while (utf8 && i > limit && IsContinuation(static_cast<unsigned char>(line[i]))) --i;
        return i;
    }
};

// The columns that line[begin, end) takes when shown with "..." before it
// (when begin > 0) and after it (when end is short of the line's end),
// counted from the shown line's start; stops counting past limit.
int ShownColumns(const std::string& line, size_t begin, size_t end, int tabSize, bool utf8Columns, int limit) {
    int col = begin > 0 ? 3 : 0;
    for (size_t i = begin; i < end && col <= limit; ++i) {
        col = NextColumn(static_cast<unsigned char>(line[i]), col, tabSize, utf8Columns);
    }
    return end < line.size() ? col + 3 : col;
}

// Prints row of text and a caret under column col, as compilers do. Tabs
// of the line are kept in the caret's padding, so the caret lines up however
// the terminal expands them; other control bytes show as spaces, one column
// each as the parser counts them. A line wider than kContextColumns is cut
// to a window around the column, grown one character at a time on each side.
void PrintContext(const std::string& text, int row, int col, int tabSize, bool utf8Columns) {
    std::string line;
    if (row < 0 || col < 0 || tabSize <= 0 || !LineOfRow(text, row, &line)) return;
    const size_t caret = ByteAtColumn(line, col, tabSize, utf8Columns);
    size_t begin = 0, end = line.size();
    if (ShownColumns(line, 0, line.size(), tabSize, utf8Columns, kContextColumns) > kContextColumns) {
        const CharSteps step = {line, utf8Columns};
        const auto fits = [&](size_t b, size_t e) {
            return e - b <= kContextColumns * kCharBytes &&
                   ShownColumns(line, b, e, tabSize, utf8Columns, kContextColumns) <= kContextColumns;
        };
        begin = caret;
        end = caret < line.size() ? step.After(caret) : caret;
        for (bool grew = true; grew;) {
            grew = false;
            if (end < line.size() && fits(begin, step.After(end))) {
                end = step.After(end);
                grew = true;
            }
            if (begin > 0 && fits(step.Before(begin), end)) {
                begin = step.Before(begin);
                grew = true;
            }
        }
    }
    std::string shown = begin > 0 ? "..." : "";
    std::string under = begin > 0 ? "   " : "";
    for (size_t i = begin; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        shown += (c < 0x20 && c != '\t') || c == 0x7F ? ' ' : static_cast<char>(c);
        if (i < caret && !(utf8Columns && IsContinuation(c))) under += c == '\t' ? '\t' : ' ';
    }
    if (end < line.size()) shown += "...";
    shown += '\n';
    under += "^\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    std::fwrite(under.data(), 1, under.size(), stderr);
}

// Prints the document's error, or a warning when a zero byte ended the text
// before its end, each with its context line unless turned off. Returns true
// for a good document.
bool Diagnose(const Input& input, const VexaDocument& doc, const char* stop, const Options& options) {
    // In UTF-8 a column is a character. A UTF-16 file was converted before
    // its parse, so its bytes are not the lines the locations count.
    const bool utf8Columns = doc.TextEncoding() == VEXA_ENCODING_UTF8;
    const bool context = !options.noContext && !LooksUtf16(input.text);
    if (doc.Error()) {
        if (doc.ErrorRow() >= 0) {
            std::fprintf(stderr, "%s:%d:%d: error: %s\n", input.name.c_str(), doc.ErrorRow() + 1, doc.ErrorCol() + 1,
                         doc.ErrorText());
            if (context) PrintContext(input.text, doc.ErrorRow(), doc.ErrorCol(), options.tabSize, utf8Columns);
        } else {
            std::fprintf(stderr, "%s: error: %s\n", input.name.c_str(), doc.ErrorText());
        }
        return false;
    }
    if (LooksUtf16(input.text)) return true;
    const char* begin = input.text.c_str();
    const char* end = begin + input.text.size();
    if (!stop) stop = static_cast<const char*>(std::memchr(begin, '\0', input.text.size()));
    if (stop && stop < end && !*stop) {
        // Counted from where the parse counts, after a byte order mark.
        VexaParsingData where(begin + TextStart(input.text), options.tabSize, 0, 0);
        where.Stamp(stop);
        const VexaCursor at = where.Cursor();
        // Strictly, a zero byte is a character XML does not allow.
        if (doc.Strict()) {
            std::fprintf(stderr, "%s:%d:%d: error: %s\n", input.name.c_str(), at.row + 1, at.col + 1,
                         VexaBase::errorString[VEXA_ERROR_CHARACTER]);
        } else {
            std::fprintf(stderr, "%s:%d:%d: warning: parse stopped at a zero byte; the rest of the file is ignored\n",
                         input.name.c_str(), at.row + 1, at.col + 1);
        }
        if (context) PrintContext(input.text, at.row, at.col, options.tabSize, false);  // counted in bytes
        if (doc.Strict()) return false;
    }
    return true;
}

// A document that was read from UTF-16 goes to standard output as UTF-8;
// its declaration must say so.
void LabelUtf8(VexaDocument* doc) {
    for (VexaNode* node = doc->FirstChild(); node; node = node->NextSibling()) {
        const VexaDeclaration* declaration = node->ToDeclaration();
        if (!declaration) continue;
        std::string name = declaration->Encoding();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name.compare(0, 6, "utf-16") == 0) {
            doc->ReplaceChild(node, VexaDeclaration(declaration->Version(), "UTF-8", declaration->Standalone()));
        }
        return;
    }
}

int RunCheck(const Options& options) {
    int status = kOk;
    for (const std::string& path : options.files) {
        Input input;
        if (!ReadInput(path, &input)) {
            status = kUsage;
            continue;
        }
        VexaDocument doc;
        const char* stop = ParseInput(input, options, &doc);
        if (!Diagnose(input, doc, stop, options)) {
            if (status == kOk) status = kBadDocument;
        } else if (options.verbose) {
            std::printf("%s: ok\n", input.name.c_str());
        }
    }
    return status;
}

// format and compact: one document in, one document out.
int RunWrite(const Options& options, bool indented) {
    Input input;
    if (!ReadInput(options.files.empty() ? "-" : options.files[0], &input)) return kUsage;
    VexaDocument doc;
    const char* stop = ParseInput(input, options, &doc);
    if (!Diagnose(input, doc, stop, options)) return kBadDocument;
    VexaPrintOptions layout;
    layout.indent = options.indent.c_str();
    layout.lineBreak = options.crlf ? "\r\n" : "\n";
    if (!options.output.empty()) {
        if (!doc.SaveFile(options.output.c_str(), layout)) return Fail("cannot write '" + options.output + "'");
        return kOk;
    }
    if (LooksUtf16(input.text)) LabelUtf8(&doc);
    if (indented) {
        doc.PrintTo(std::cout, layout);
    } else {
        // The document's own compact form ends at its first element; writing
        // each top-level node keeps whatever follows that element too.
        for (const VexaNode* node = doc.FirstChild(); node; node = node->NextSibling()) std::cout << *node;
        std::cout << '\n' << std::flush;
    }
    return kOk;
}

struct Counts {
    long nodes[VexaNode::DECLARATION + 1] = {};  // indexed by node type
    long attributes = 0;
    int depth = 0;  // deepest element nesting; a top-level element is 1
};

// Walks the tree without recursion: down to the first child, else on to the
// next sibling of the nearest node that has one.
Counts CountNodes(const VexaDocument& doc) {
    Counts counts;
    int depth = 0;  // element nesting of the current node's parent
    const VexaNode* node = doc.FirstChild();
    while (node) {
        ++counts.nodes[node->Type()];
        if (const VexaElement* element = node->ToElement()) {
            if (depth + 1 > counts.depth) counts.depth = depth + 1;
            for (const VexaAttribute* a = element->FirstAttribute(); a; a = a->Next()) ++counts.attributes;
        }
        if (node->FirstChild()) {
            ++depth;
            node = node->FirstChild();
            continue;
        }
        while (node != &doc && !node->NextSibling()) {
            node = node->Parent();
            --depth;
        }
        node = node == &doc ? nullptr : node->NextSibling();
    }
    return counts;
}

// Adds the nodes of the subtree at top, which depthAbove elements enclose.
void CountSubtree(const VexaElement& top, int depthAbove, Counts* counts) {
    int depth = depthAbove;  // element nesting of the current node's parent
    const VexaNode* node = &top;
    for (;;) {
        ++counts->nodes[node->Type()];
        if (const VexaElement* element = node->ToElement()) {
            if (depth + 1 > counts->depth) counts->depth = depth + 1;
            for (const VexaAttribute* a = element->FirstAttribute(); a; a = a->Next()) ++counts->attributes;
        }
        if (node->FirstChild()) {
            ++depth;
            node = node->FirstChild();
            continue;
        }
        while (node != &top && !node->NextSibling()) {
            node = node->Parent();
            --depth;
        }
        if (node == &top) return;
        node = node->NextSibling();
    }
}

// Standard input for a reader once its first bytes were taken to decide
// the encoding: those bytes, then the rest.
class PrefixedInput : public std::streambuf {
public:
    PrefixedInput(const std::string& first, std::streambuf* rest) : prefix(first), rest(rest), buffer(65536) {
        setg(&prefix[0], &prefix[0], &prefix[0] + prefix.size());
    }

private:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        const std::streamsize n = rest->sgetn(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (n <= 0) return traits_type::eof();
        setg(buffer.data(), buffer.data(), buffer.data() + n);
        return traits_type::to_int_type(*gptr());
    }
    std::string prefix;
    std::streambuf* rest;
    std::vector<char> buffer;
};

// Reads the subtrees named each ('*': every child of the root) of the file
// at path ("-": standard input) one at a time, with the command's settings,
// and hands each to visit with the reader, which knows its ancestors; visit
// returns false to stop. An error is printed as check prints it, without
// the source line. Returns the exit status for the file.
int EachSubtree(const std::string& path, const Options& options,
                const std::function<bool(VexaReader&, VexaElement&)>& visit, VexaReader* reader) {
    const bool useStdin = path == "-";
    const std::string name = useStdin ? "<stdin>" : path;
    // The first bytes decide the encoding as for a whole file.
    std::string first(4096, '\0');
    if (useStdin) {
        std::cin.read(&first[0], static_cast<std::streamsize>(first.size()));
        first.resize(static_cast<size_t>(std::cin.gcount()));
    } else if (FILE* file = std::fopen(path.c_str(), "rb")) {
        first.resize(std::fread(&first[0], 1, first.size(), file));
        std::fclose(file);
    } else {
        const int openErrno = errno;
        return Fail("cannot open '" + path + "': " + std::strerror(openErrno));
    }
    VexaDocument& settings = reader->Settings();
    settings.SetTabSize(options.tabSize);
    settings.SetMaxDepth(options.maxDepth);
    settings.SetStrict(ParsesStrictly(options));
    settings.SetDoctypeProcessing(!options.noDoctype);
    int encoding = options.encoding;
    if (encoding < 0) encoding = NamesEncoding(first) ? VEXA_ENCODING_DETECT : VEXA_ENCODING_UTF8;
    settings.SetTextEncoding(encoding);
    PrefixedInput buffered(first, std::cin.rdbuf());
    std::istream in(&buffered);
    const bool opened = useStdin ? reader->Open(in) : reader->Open(path.c_str());
    if (!opened && reader->ErrorCode() == VEXA_ERROR_FILE_OPEN) return Fail("cannot read '" + name + "'");
    const char* const wanted = options.each == "*" ? nullptr : options.each.c_str();
    while (VexaElement* element = reader->Next(wanted)) {
        if (!visit(*reader, *element)) break;
    }
    if (!reader->Error()) return kOk;
    if (reader->ErrorRow() >= 0) {
        std::fprintf(stderr, "%s:%d:%d: error: %s\n", name.c_str(), reader->ErrorRow() + 1, reader->ErrorCol() + 1,
                     reader->ErrorText());
    } else {
        std::fprintf(stderr, "%s: error: %s\n", name.c_str(), reader->ErrorText());
    }
    return kBadDocument;
}

// The file name as a JSON string.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One file's figures; both forms take the same arguments in the same order.
const char kStatsText[] =
    "%s%s\n  status        %s\n  elements      %ld\n  attributes    %ld\n  text          %ld\n"
    "  comments      %ld\n  declarations  %ld\n  unknown       %ld\n  depth         %d\n  load time     %.3f ms\n";
const char kStatsJson[] =
    "%s\n  {\"file\": %s, \"ok\": %s, \"elements\": %ld, \"attributes\": %ld, \"text\": %ld, \"comments\": %ld, "
    "\"declarations\": %ld, \"unknown\": %ld, \"depth\": %d, \"load_ms\": %.3f}";

int RunStats(const Options& options) {
    int status = kOk;
    bool first = true;
    if (options.json) std::printf("[");
    for (const std::string& path : options.files) {
        Input input;
        Counts c;
        bool good = true;
        const auto start = std::chrono::steady_clock::now();
        if (!options.each.empty()) {
            // What lies outside the subtrees is counted by the reader.
            VexaReader reader;
            const int read = EachSubtree(
                path, options,
                [&c](VexaReader& r, VexaElement& e) {
                    CountSubtree(e, r.Depth(), &c);
                    return true;
                },
                &reader);
            if (read == kUsage) {
                status = kUsage;
                continue;
            }
            good = read == kOk;
            const VexaReader::Outside& outside = reader.PassedOver();
            for (int type = 0; type <= VexaNode::DECLARATION; ++type) c.nodes[type] += outside.nodes[type];
            c.attributes += outside.attributes;
            c.depth = std::max(c.depth, outside.depth);
            input.name = path == "-" ? "<stdin>" : path;
        } else {
            if (!ReadInput(path, &input)) {
                status = kUsage;
                continue;
            }
            VexaDocument doc;
            const char* stop = ParseInput(input, options, &doc);
            good = Diagnose(input, doc, stop, options);
            // A bad file still shows what was read before the error.
            c = CountNodes(doc);
        }
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        if (!good && status == kOk) status = kBadDocument;
        const long* n = c.nodes;
        const char* format = options.json ? kStatsJson : kStatsText;
        const std::string name = options.json ? JsonString(input.name) : input.name;
        const char* state = options.json ? (good ? "true" : "false") : (good ? "ok" : "error");
        std::printf(format, first ? "" : (options.json ? "," : "\n"), name.c_str(), state, n[VexaNode::ELEMENT],
                    c.attributes, n[VexaNode::TEXT], n[VexaNode::COMMENT], n[VexaNode::DECLARATION],
                    n[VexaNode::UNKNOWN], c.depth, elapsed.count());
        first = false;
    }
    if (options.json) std::printf("%s]\n", first ? "" : "\n");
    return status;
}

#ifndef VEXA_NO_XPATH
// ------------------------------------------------------------------ query

// An item on one line: line breaks become character references.
std::string OneLine(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += "&#xA;";
        } else if (c == '\r') {
            out += "&#xD;";
        } else {
            out += c;
        }
    }
    return out;
}

// Text escaped as markup would hold it, bytes beyond ASCII as they are.
std::string EscapedText(const std::string& text, bool quotes) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += quotes ? "&quot;" : "\"";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                    char ref[8];
                    std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(c));
                    out += ref;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// The item as the query prints it.
std::string ItemText(const VexaXPathNode& item) {
    if (const VexaAttribute* a = item.Attribute()) {
        return std::string(a->Name()) + "=\"" + EscapedText(a->Value(), true) + "\"";
    }
    const VexaNode* node = item.Node();
    if (node->ToText() || (node->ToUnknown() && std::strncmp(node->Value(), "![CDATA[", 8) == 0)) {
        return EscapedText(item.StringValue(), false);
    }
    std::string out;
    if (node->ToDocument()) {
        for (const VexaNode* n = node->FirstChild(); n; n = n->NextSibling()) out << *n;
    } else {
        out << *node;
    }
    return OneLine(out);
}

// The expression with a caret under the character at offset.
void PrintExpressionCaret(const std::string& expr, int offset) {
    std::string under;
    for (size_t i = 0; i < expr.size() && static_cast<int>(i) < offset; ++i) {
        const unsigned char c = static_cast<unsigned char>(expr[i]);
        if (!IsContinuation(c)) under += c == '\t' ? '\t' : ' ';
    }
    std::fprintf(stderr, "  %s\n  %s^\n", expr.c_str(), under.c_str());
}

int RunQuery(const Options& options) {
    const std::string expr = options.files[0];
    VexaXPath query(expr.c_str());
    if (!query.Valid()) {
        std::fprintf(stderr, "vexa: query: bad expression at offset %d: %s\n", query.ErrorOffset(), query.ErrorText());
        PrintExpressionCaret(expr, query.ErrorOffset());
        return kUsage;
    }
    std::vector<std::string> files(options.files.begin() + 1, options.files.end());
    if (files.empty()) files.push_back("-");
    bool trouble = false;
    bool found = false;
    const auto print = [&](const std::string& name, const VexaXPathValue& result) {
        if (result.Type() != VEXA_XPATH_NODESET) {
            found = true;
            if (files.size() > 1 && !options.value) std::printf("%s: ", name.c_str());
            std::printf("%s\n", result.String().c_str());
            return;
        }
        for (const VexaXPathNode& item : result.NodeSet()) {
            found = true;
            if (options.value) {
                std::printf("%s\n", item.StringValue().c_str());
                continue;
            }
            const bool root = item.Node()->ToDocument() != nullptr;
            const int row = root ? 0 : item.Row();
            const int col = root ? 0 : item.Column();
            if (row >= 0) {
                std::printf("%s:%d:%d: %s\n", name.c_str(), row + 1, col + 1, ItemText(item).c_str());
            } else {
                std::printf("%s: %s\n", name.c_str(), ItemText(item).c_str());
            }
        }
    };
    if (!options.each.empty()) {
        // One subtree at a time, each the query's context; locations count
        // over the whole file.
        for (const std::string& path : files) {
            const std::string name = path == "-" ? "<stdin>" : path;
            VexaReader reader;
            const int read = EachSubtree(
                path, options,
                [&](VexaReader&, VexaElement& element) {
                    print(name, query.Evaluate(element));
                    return true;
                },
                &reader);
            if (read != kOk) trouble = true;
        }
        return trouble ? kUsage : found ? kOk : kBadDocument;
    }
    for (const std::string& path : files) {
        Input input;
        if (!ReadInput(path, &input)) {
            trouble = true;
            continue;
        }
        VexaDocument doc;
        const char* stop = ParseInput(input, options, &doc);
        if (!Diagnose(input, doc, stop, options)) {
            trouble = true;
            continue;
        }
        print(input.name, query.Evaluate(doc));
    }
    return trouble ? kUsage : found ? kOk : kBadDocument;
}
#endif  // VEXA_NO_XPATH

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseArguments(argc, argv, &options, &error)) return Fail(error + " (see 'vexa --help')");
    if (options.help) {
        std::fputs(options.command ? options.command->usage : kUsageText, stdout);
        return kOk;
    }
    if (options.version) {
        std::printf("vexa %d.%d.%d\n", VEXA_VERSION_MAJOR, VEXA_VERSION_MINOR, VEXA_VERSION_PATCH);
        return kOk;
    }
    if (!options.command) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    if (!CheckOptionsFit(options, &error)) return Fail(error + " (see 'vexa " + options.command->name + " --help')");
    if (options.files.empty() && std::string(options.command->name) != "query") options.files.push_back("-");
    if (options.keepWhiteSpace) VexaBase::SetCondenseWhiteSpace(false);

    const std::string name = options.command->name;
    int status;
    if (name == "check") {
        status = RunCheck(options);
    } else if (name == "stats") {
        status = RunStats(options);
#ifndef VEXA_NO_XPATH
    } else if (name == "query") {
        status = RunQuery(options);
#endif
    } else {
        status = RunWrite(options, name == "format");
    }
    // A full disk or a closed pipe must not pass for success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout) return Fail("cannot write standard output");
    return status;
}
