// The input of a VexaReader: a file or stream read in fixed chunks and
// turned into the bytes that a parse of the whole loaded file would see.
// Never installed.
#ifndef VEXA_READER_INCLUDED
#define VEXA_READER_INCLUDED

#include <cstddef>
#include <cstdio>
#include <iosfwd>
#include <string>

namespace ORMELA {
namespace impl {

// UTF-16 (by its byte order mark or a declaration's first characters) is
// converted to UTF-8 a chunk at a time; after a zero byte the rest of its
// line is dropped, as loading a whole file drops it. A UTF-8 byte order
// mark is left for the reader, which decides on it as a parse does.
class ReaderInput {
public:
    ReaderInput();
    ~ReaderInput() { Close(); }

    // False when the file cannot be opened.
    bool OpenFile(const char* path);
    // Reads from in, which must outlive the reading.
    void OpenStream(std::istream* in);
    void Close();

    // Appends some bytes (up to about want) to *out; false once the input
    // is over and nothing more came.
    bool Append(std::string* out, size_t want);

    // Whether the file was UTF-16 (known after the first Append).
    bool Utf16() const { return form != kPlain; }
    // A read failed, or UTF-16 did not convert; the input is then over.
    bool ReadFailed() const { return readFailed; }
    bool EncodingFault() const { return fault; }

private:
    ReaderInput(const ReaderInput&);
    ReaderInput& operator=(const ReaderInput&);
    enum { kPlain, kLittle, kBig };
    size_t ReadRaw(char* to, size_t n);
    void Start();
    void DropAfterZeros(std::string* out, size_t from);

    FILE* file;
    std::istream* stream;
    std::string raw;  // UTF-16 bytes not converted yet: an odd byte, a high surrogate
    int form;
    bool started;
    bool ended;
    bool readFailed;
    bool fault;
    size_t piece;   // bytes since the last piece of a line began
    bool dropping;  // after a zero byte, up to the end of its piece
};

}  // namespace impl
}  // namespace ORMELA

#endif  // VEXA_READER_INCLUDED
