// Loads a file and saves it again, the way a user round-trips a file: the
// corpus check puts this between two readings.
//
//   roundtrip_file [--keep-white-space] IN OUT
//
// With --keep-white-space the file is read with condensing off, so that its
// text is kept as written; otherwise with the default settings.
//
// Exit status: 0 when both worked; 1 when Vexa rejected IN (its error on
// standard error as IN:ROW:COL: code N: MESSAGE); 2 when OUT could not be
// written or the arguments are wrong.
#include <cstdio>
#include <cstring>

#include "vexa.h"

int main(int argc, char** argv) {
    const bool keep = argc == 4 && std::strcmp(argv[1], "--keep-white-space") == 0;
    if (argc != 3 && !keep) {
        std::fprintf(stderr, "usage: roundtrip_file [--keep-white-space] IN OUT\n");
        return 2;
    }
    const char* const in = argv[argc - 2];
    const char* const out = argv[argc - 1];
    if (keep) ORMELA::VexaBase::SetCondenseWhiteSpace(false);
    ORMELA::VexaDocument doc;
    if (!doc.LoadFile(in)) {
        std::fprintf(stderr, "%s:%d:%d: code %d: %s\n", in, doc.ErrorRow() + 1, doc.ErrorCol() + 1, doc.ErrorCode(),
                     doc.ErrorText());
        return 1;
    }
    if (!doc.SaveFile(out)) {
        std::fprintf(stderr, "%s: cannot write\n", out);
        return 2;
    }
    return 0;
}
