// Reads a configuration file through handles and typed attribute queries.
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
    std::printf("window \"%s\" %dx%d\n", title ? title : "untitled", width, height);

    double zoom = 1.0;
    int grid = 0;
    if (VexaElement* canvas = config.FirstChildElement("canvas").ToElement()) {
        canvas->QueryDoubleAttribute("zoom", &zoom);
        canvas->QueryIntAttribute("grid", &grid);
    }
    std::printf("zoom %.2f, grid %d\n", zoom, grid);

    // ChildElement(name, i) counts only the elements of that name.
    VexaHandle recent = config.FirstChildElement("recent");
    for (int i = 0; VexaElement* file = recent.ChildElement("file", i).ToElement(); ++i) {
        int pinned = 0;
        file->QueryIntAttribute("pinned", &pinned);
        std::printf("recent %d: %s%s\n", i + 1, file->Attribute("path"), pinned ? " (pinned)" : "");
    }
    return 0;
}
