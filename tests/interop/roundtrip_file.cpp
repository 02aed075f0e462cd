// Loads a file and saves it again with the default settings, the way a user
// round-trips a file: the corpus check puts this between two readings.
//
//   roundtrip_file IN OUT
//
// Exit status: 0 when both worked; 1 when Vexa rejected IN (its error on
// standard error as IN:ROW:COL: code N: MESSAGE); 2 when OUT could not be
// written or the arguments are wrong.
#include <cstdio>

#include "vexa.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: roundtrip_file IN OUT\n");
        return 2;
    }
    ORMELA::VexaDocument doc;
    if (!doc.LoadFile(argv[1])) {
        std::fprintf(stderr, "%s:%d:%d: code %d: %s\n", argv[1], doc.ErrorRow() + 1, doc.ErrorCol() + 1,
                     doc.ErrorCode(), doc.ErrorText());
        return 1;
    }
    if (!doc.SaveFile(argv[2])) {
        std::fprintf(stderr, "%s: cannot write\n", argv[2]);
        return 2;
    }
    return 0;
}
