// Rows and columns: the tracker on its own, and the location every parsed
// node and attribute carries.
#include "test_util.h"

using namespace vexatest;

// "K row:col" for each node (K its kind's initial, X a declaration) and
// "@ row:col" for each attribute, in document order.
static std::string Locations(const VexaNode& node) {
    std::string out = "DECUTX"[node.Type()] + std::to_string(node.Row()) + ":" + std::to_string(node.Column()) + " ";
    const VexaElement* e = node.ToElement();
    for (const VexaAttribute* a = e ? e->FirstAttribute() : nullptr; a; a = a->Next())
        out += "@" + std::to_string(a->Row()) + ":" + std::to_string(a->Column()) + " ";
    for (const VexaNode* c = node.FirstChild(); c; c = c->NextSibling()) out += Locations(*c);
    return out;
}

TEST(Locations, Stamp) {
    // The text, tab size, the offset stamped, and the row and column it gets.
    const std::tuple<const char*, int, int, int, int> cases[] = {
        {"ab\tc", 4, 3, 0, 4},     {"ab\tc", 8, 3, 0, 8},  {"abcd\tx", 4, 5, 0, 8}, {"abcdefg\tx", 4, 8, 0, 8},
        {"x\r\ny", 4, 3, 1, 0},    {"x\n\ry", 4, 3, 1, 0}, {"x\r\ry", 4, 3, 2, 0},  {"x\n\ny", 4, 3, 2, 0},
        {"\xC3\xA9z", 4, 2, 0, 2}, {"a\tb", 0, 2, 0, 0},   {"a\0b", 4, 2, 0, 0}};
    for (const auto& [text, tabsize, at, row, col] : cases) {
        VexaParsingData data(text, tabsize, 0, 0);
        data.Stamp(text + at);
        EXPECT_EQ(std::make_pair(row, col), std::make_pair(data.Cursor().row, data.Cursor().col)) << text;
    }
    // A line break whose second half is the target is crossed whole, and
    // the cursor never moves back.
    const char* text = "a\r\nbc";
    VexaParsingData data(text, 4, 2, 5);
    data.Stamp(text + 2);
    data.Stamp(text + 3);
    EXPECT_TRUE(data.Cursor().row == 3 && data.Cursor().col == 0);
    data.Stamp(text + 4);
    data.Stamp(text + 1);
    EXPECT_TRUE(data.Cursor().row == 3 && data.Cursor().col == 1);
}

// Stamps along texts mixing line breaks, tabs and other bytes below and
// above 0x0E, at spans of every length, against a byte-by-byte count.
TEST(Locations, StampMatchesByteCount) {
    const char alphabet[] = {'a', ' ', '\t', '\n', '\r', '\x01', '\x0E', '\x0D', '\xC3', '\x7F'};
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 400; ++round) {
        std::string text;
        for (std::uint32_t n = next(80); n--;) text += alphabet[next(round % 2 ? 10 : 3)];
        const int tabsize = 1 + static_cast<int>(next(8));
        VexaParsingData data(text.c_str(), tabsize, 0, 0);
        int row = 0, col = 0;
        size_t i = 0;
        while (i < text.size()) {
            const size_t target = std::min(text.size(), i + next(20));
            while (i < target) {
                const char c = text[i++];
                if (c == '\r' || c == '\n') {
                    ++row;
                    col = 0;
                    if (text[i] == (c == '\r' ? '\n' : '\r')) ++i;
                } else {
                    col = c == '\t' ? (col / tabsize + 1) * tabsize : col + 1;
                }
            }
            data.Stamp(text.c_str() + target);
            ASSERT_EQ(std::make_pair(row, col), std::make_pair(data.Cursor().row, data.Cursor().col))
                << Escaped(text) << " at " << target;
        }
    }
}

TEST(Locations, EveryNodeAndAttribute) {
    const char* const mixed = "<a b='1'\tc='2'>\n\t<x/>\r\n<!--c-->\n\r<?xml version='1'?>\r\r<!D>\n\ntext</a>";
    const std::tuple<const char*, int, const char*> cases[] = {
        {mixed, 4, "D0:0 E0:0 @0:3 @0:12 E1:4 C2:0 X3:0 U5:0 T7:0 "},
        {mixed, 8, "D0:0 E0:0 @0:3 @0:16 E1:8 C2:0 X3:0 U5:0 T7:0 "},
        {mixed, 0, "D0:0 E0:0 @0:0 @0:0 E0:0 C0:0 X0:0 U0:0 T0:0 "},
        {"<a>\t x<b\n\n  k = 'v'/></a>", 4, "D0:0 E0:0 T0:5 E0:6 @2:2 "},
        {"\xEF\xBB\xBF<?xml version='1'?>\n<r/>", 4, "D0:0 X0:0 E1:0 "},
        {"  \n <r> caf\xC3\xA9 <!-- --></r>", 4, "D0:0 E1:1 T1:5 C1:11 "}};
    for (const auto& [text, tabsize, locations] : cases) {
        VexaDocument doc;
        doc.SetTabSize(tabsize);
        doc.Parse(text);
        EXPECT_FALSE(doc.Error()) << text;
        EXPECT_EQ(locations, Locations(doc)) << text;
    }
}

TEST(Locations, ParseContinuesTheCallersCount) {
    const char* text = "<a/>\n\t<b/>";
    VexaParsingData start(text, 4, 3, 7);
    VexaDocument doc;
    doc.Parse(text, &start);
    EXPECT_EQ("D3:7 E3:7 E4:4 ", Locations(doc));
}
