// Reads documents one after another from a stream and writes each on one line.
#include <vexa.h>

#include <fstream>
#include <iostream>

using namespace ORMELA;

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "stream.xml";
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot open " << path << '\n';
        return 1;
    }

    // operator>> reads up to the end of the first top-level element and leaves
    // the rest in the stream, so each call takes the next document.
    int count = 0;
    while ((in >> std::ws) && in.peek() != std::ifstream::traits_type::eof()) {
        VexaDocument doc;
        in >> doc;
        if (doc.Error()) {
            std::cerr << path << ": document " << count + 1 << ": " << doc.ErrorText() << '\n';
            return 1;
        }
        std::cout << doc << '\n';  // compact form, no line breaks inside
        ++count;
    }
    std::cout << count << " documents\n";
    return 0;
}
