// A program built against an installed vexa: parses, queries, edits and
// writes a document, and fails loudly when any step gives the wrong result.
#include <vexa.h>

#include <iostream>
#include <string>

static int Fail(const std::string& what) {
    std::cerr << "vexa consumer: " << what << '\n';
    return 1;
}

int main() {
    ORMELA::VexaDocument doc;
    doc.Parse("<config version='2'><name>vexa</name></config>");
    if (doc.Error()) return Fail(std::string("parse failed: ") + doc.ErrorText());

    ORMELA::VexaElement* config = doc.FirstChildElement("config");
    if (!config) return Fail("no <config> element");
    int version = 0;
    if (config->QueryIntAttribute("version", &version) != ORMELA::VEXA_QUERY_OK || version != 2)
        return Fail("version attribute is not 2");
    ORMELA::VexaText* name = ORMELA::VexaHandle(config).FirstChildElement("name").FirstChild().ToText();
    if (!name || std::string(name->Value()) != "vexa") return Fail("<name> does not hold the text vexa");

    config->SetAttribute("build", VEXA_VERSION);
    std::string out;
    out << doc;
    const std::string expected =
        "<config version=\"2\" build=\"" + std::to_string(VEXA_VERSION) + "\"><name>vexa</name></config>";
    if (out != expected) return Fail("streamed \"" + out + "\", expected \"" + expected + "\"");

    std::cout << out << '\n';
    return 0;
}
