// Reads a configuration file through handles, typed attribute queries and
// range-for loops.
#include <vexa.h>

#include <cstdio>

using namespace ORMELA;

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "config.xml";
    VexaDocument doc;
    if (!doc.LoadFile(path)) {
        // Rows and columns count from zero; -1 means the error has no place.
        std::fprintf(stderr, "%s:%d:%d: %s\n", path, doc.ErrorRow() + 1, doc.ErrorCol() + 1,
                     doc.Error() ? doc.ErrorText() : "empty file");
        return 1;
    }

    // A handle carries null through every step, so one check at the end does.
    VexaHandle config = VexaHandle(&doc).FirstChildElement("config");
    VexaElement* window = config.FirstChildElement("window").ToElement();
    if (!window) {
        std::fprintf(stderr, "%s: no <window> in <config>\n", path);
        return 1;
    }

    // The queries write their result only on success, so defaults survive.
    int width = 800, height = 600;
    if (window->QueryIntAttribute("width", &width) == VEXA_QUERY_WRONG_TYPE) {
        std::fprintf(stderr, "%s: width is not a number\n", path);
        return 1;
    }
    window->QueryIntAttribute("height", &height);
    const char* title = window->Attribute("title");  // null when absent
    // true, yes or 1 and false, no or 0, in any letter case.
    bool fullscreen = false;
    if (window->QueryBoolAttribute("fullscreen", &fullscreen) == VEXA_QUERY_WRONG_TYPE) {
        std::fprintf(stderr, "%s: fullscreen is not yes or no\n", path);
        return 1;
    }
    std::printf("window \"%s\" %dx%d, %s\n", title ? title : "untitled", width, height,
                fullscreen ? "fullscreen" : "windowed");

    double zoom = 1.0;
    int grid = 0;
    if (VexaElement* canvas = config.FirstChildElement("canvas").ToElement()) {
        canvas->QueryDoubleAttribute("zoom", &zoom);
        canvas->QueryIntAttribute("grid", &grid);
    }
    std::printf("zoom %.2f, grid %d\n", zoom, grid);

    // Range-for over the child elements of one name; the readers with a
    // default suit optional attributes.
    int count = 0;
    if (VexaElement* recent = config.FirstChildElement("recent").ToElement()) {
        for (VexaElement* file : recent->ChildElements("file")) {
            const bool pinned = file->BoolAttribute("pinned", false);
            std::printf("recent %d: %s%s\n", ++count, file->Attribute("path"), pinned ? " (pinned)" : "");
        }
    }
    return 0;
}
