// operator>> from a stream of the input, reading one node after another
// until the stream is no longer good. The first byte picks the kind of node
// that is read (mostly documents) and the white-space flag.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

VexaNode* NewNode(uint8_t kind) {
    switch (kind % 8) {
        case 1:
            return new VexaElement("");
        case 2:
            return new VexaComment();
        case 3:
            return new VexaUnknown();
        case 4:
            return new VexaText("");
        case 5:
            return new VexaDeclaration();
        default:
            return new VexaDocument();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CondenseFlag flag((data[0] & 0x10) == 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::istringstream in(text);

    // The stream reader must end the first document where the parser ends
    // its first element: a buffer that parses cleanly up to an element
    // reads the same from a stream.
    const std::unique_ptr<VexaNode> kind(NewNode(data[0]));
    VexaDocument parsed;
    parsed.Parse(text.c_str());
    if (kind->ToDocument() && !parsed.Error() && parsed.FirstChildElement()) {
        std::istringstream first(text);
        VexaDocument streamed;
        first >> streamed;
        VEXA_FUZZ_CHECK(!streamed.Error());
        VEXA_FUZZ_CHECK(Dump(streamed) == Dump(parsed, false, true));
    }

    for (int round = 0; round < 256 && in.good(); ++round) {
        const std::streampos before = in.tellg();
        std::unique_ptr<VexaNode> node(NewNode(data[0]));
        in >> *node;
        CheckTree(node.get());
        Compact(*node);
        // A reader that takes nothing from a good stream would make every
        // "while (in >> doc)" loop spin for ever. Text stops before markup
        // by design, so only the other kinds must move on.
        VEXA_FUZZ_CHECK(!in.good() || in.tellg() > before || node->Type() == VexaNode::TEXT);
    }
    return 0;
}
