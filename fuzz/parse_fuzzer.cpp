// Parse of a buffer. The first byte picks the tab size (low four bits, less
// two, so that zero and negative sizes come up), the white-space flag (bit
// 4), a small nesting limit (bit 5) and strict parsing (bit 6); the rest is
// the text. A strictly accepted text must be accepted by the lenient parse
// too, and read the same.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

// Locations only move forward: in document order every node and attribute
// lies at or after the one before it. With tracking off, all stay at the
// start of the parse.
void CheckLocations(const VexaNode& node, bool tracking, VexaCursor* last) {
    const auto check = [&](const VexaBase& item) {
        const VexaCursor at(item.Row(), item.Column());
        if (!tracking) {
            VEXA_FUZZ_CHECK(at.row == 0 && at.col == 0);
            return;
        }
        VEXA_FUZZ_CHECK(at.row > last->row || (at.row == last->row && at.col >= last->col));
        *last = at;
    };
    if (!node.ToDocument()) check(node);
    if (const VexaElement* e = node.ToElement()) {
        for (const VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) check(*a);
    }
    for (const VexaNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        CheckLocations(*child, tracking, last);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CondenseFlag flag((data[0] & 0x10) == 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* const start = text.c_str();

    VexaDocument doc;
    doc.SetTabSize((data[0] & 0x0F) - 2);
    if (data[0] & 0x20) doc.SetMaxDepth(3);
    const bool strict = (data[0] & 0x40) != 0;
    doc.SetStrict(strict);
    const char* end = doc.Parse(start);
    VEXA_FUZZ_CHECK(!end || (end >= start && end <= start + std::strlen(start)));
    CheckTree(&doc);
    VexaCursor last(0, 0);
    CheckLocations(doc, doc.TabSize() > 0, &last);
    if (doc.Error()) {
        VEXA_FUZZ_CHECK(doc.ErrorCode() > VEXA_ERROR_NONE && doc.ErrorCode() < VEXA_ERROR_STRING_COUNT);
        VEXA_FUZZ_CHECK(*doc.ErrorText() != 0);
        VEXA_FUZZ_CHECK(doc.ErrorRow() >= -1 && doc.ErrorCol() >= -1);
    } else {
        VEXA_FUZZ_CHECK(doc.ErrorCode() == VEXA_ERROR_NONE && *doc.ErrorText() == 0);
    }
    if (strict && !doc.Error()) {
        VexaDocument lenient;
        lenient.SetTabSize(doc.TabSize());
        lenient.SetMaxDepth(doc.MaxDepth());
        VEXA_FUZZ_CHECK(lenient.Parse(start) == end && !lenient.Error());
        VEXA_FUZZ_CHECK(Dump(lenient) == Dump(doc));
    }

    // Whatever was built can be written and copied.
    const std::string compact = Compact(doc);
    const std::string printed = Printed(doc);
    std::unique_ptr<VexaNode> copy(doc.Clone());
    CheckTree(copy.get());
    // Clone copies values up to a zero byte, which "&#x0;" can put there.
    const std::string dump = Dump(doc, true);
    VEXA_FUZZ_CHECK(Dump(*copy) == dump);
    if (dump == Dump(doc)) VEXA_FUZZ_CHECK(Compact(*copy) == compact && Printed(*copy) == printed);
    return 0;
}
