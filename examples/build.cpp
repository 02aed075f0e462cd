// Builds a document in memory, saves it, and prints what was saved.
#include <vexa.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

using namespace ORMELA;

int main(int argc, char** argv) {
    const std::string path =
        argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "vexa_example_build.xml").string();

    VexaDocument doc;
    // LinkEndChild takes a heap node into the tree; the parent deletes it later.
    doc.LinkEndChild(new VexaDeclaration("1.0", "", ""));
    doc.LinkEndChild(new VexaComment())->SetValue(" Made by examples/build.cpp ");
    VexaElement* shelf = new VexaElement("shelf");
    doc.LinkEndChild(shelf);
    shelf->SetAttribute("room", "study");

    const struct {
        const char* title;
        const char* author;
        int year;
    } books[] = {{"Pride & Prejudice", "Austen", 1813}, {"The C Programming Language", "Kernighan, Ritchie", 1978}};
    for (const auto& b : books) {
        VexaElement* book = new VexaElement("book");
        book->SetAttribute("year", b.year);  // stored as text, "1813"
        book->SetAttribute("author", b.author);
        book->LinkEndChild(new VexaText(b.title));  // '&' is written as "&amp;"
        shelf->LinkEndChild(book);
    }

    if (!doc.SaveFile(path.c_str())) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }

    // Load the file back to show what was written, indented and then compact.
    VexaDocument saved;
    if (!saved.LoadFile(path.c_str())) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), saved.ErrorText());
        return 1;
    }
    std::printf("saved %s:\n", path.c_str());
    saved.Print();
    std::cout << "compact: " << saved << '\n';
    return 0;
}
