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

// Row and column of each target of text stamped in turn from (0, 0), byte by
// byte: '\n' or '\r' starts a row and takes the other one right after it
// along, a tab moves to the next multiple of the tab size, a UTF-8
// continuation byte takes no column when utf8, and a zero byte before a
// target leaves the cursor where it was.
static std::vector<std::pair<int, int>> ByteCount(const std::string& text, int tabsize, bool utf8,
                                                  const std::vector<size_t>& targets) {
    std::vector<std::pair<int, int>> out;
    int row = 0, col = 0;
    size_t at = 0;
    for (const size_t target : targets) {
        int r = row, c = col;
        size_t i = at;
        while (i < target && text[i]) {
            const char b = text[i++];
            if (b == '\r' || b == '\n') {
                ++r;
                c = 0;
                if (text[i] == (b == '\r' ? '\n' : '\r')) ++i;
            } else if (b == '\t') {
                c = (c / tabsize + 1) * tabsize;
            } else if (!utf8 || (static_cast<unsigned char>(b) & 0xC0) != 0x80) {
                ++c;
            }
        }
        if (i >= target) std::tie(row, col, at) = std::make_tuple(r, c, i);
        out.emplace_back(row, col);
    }
    return out;
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
        for (std::uint32_t n = next(120); n--;) text += alphabet[next(round % 2 ? 10 : 3)];
        const int tabsize = 1 + static_cast<int>(next(8));
        std::vector<size_t> targets;
        for (size_t i = 0; i < text.size();) targets.push_back(i = std::min(text.size(), i + next(40)));
        const auto expected = ByteCount(text, tabsize, false, targets);
        VexaParsingData data(text.c_str(), tabsize, 0, 0);
        for (size_t k = 0; k < targets.size(); ++k) {
            data.Stamp(text.c_str() + targets[k]);
            ASSERT_EQ(expected[k], std::make_pair(data.Cursor().row, data.Cursor().col))
                << Escaped(text) << " at " << targets[k];
        }
    }
}

// Spans placed against the 16-byte blocks that the tracker reads ending at
// each stamped position, past the text's first 48 bytes unless said.
TEST(Locations, StampAtBlockEdges) {
    const std::string pad(48, 'x');
    const std::string cases[] = {
        // A break among the last 16 bytes, with tabs after it, the span
        // reaching into the block before.
        pad + "name=\"a value of some length\"\n\t\tnext",
        pad + "k='v'\n\t\t  x='y'\n\t \tz",              // tabs then spaces; a tab after a space
        pad + "0123456789abcd\r\n\t\t0123456789abc",     // "\r\n" split at the last block's edge
        pad + "0123456789abcd\n\r\t\t0123456789abc",     // "\n\r" likewise
        pad + "0123456789abcde\r\n\t0123456789abcd",     // the '\n' first in the last block
        pad + "ab\n\rcd\r\n\r\nef\n\n\r\rgh\r\n\n\rij",  // breaks pairing off in runs
        pad + "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\nm\nn\no\np\nq\nr\ns\nt\n\t\tu",  // many rows, longer than 32
        pad + "<item>with some text, longer than thirty-two bytes</item>\n    <next>",
        pad + "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\tn\to\tp\tq",  // tabs and no break, longer than 32
        pad + "ab\t\tcde\t f\tghijk\t\t\tl",  // tabs in runs and alone, between attributes on one line
        pad + "tail\r",
        "a\n\tb\r\n\tc\td",  // the text's first 16 bytes
        "\t\tx\ny",
    };
    for (const std::string& text : cases) {
        for (const int tabsize : {1, 3, 4, 8}) {
            // A stamp at every position, then one at every position after it.
            for (size_t from = 0; from <= text.size(); ++from) {
                for (size_t to = from + 1; to <= text.size(); ++to) {
                    // Then the next byte and the end: where a stamp leaves off
                    // (inside a line break's pair, say) shows in the next.
                    const std::vector<size_t> targets = {from, to, std::min(to + 1, text.size()), text.size()};
                    const auto expected = ByteCount(text, tabsize, false, targets);
                    VexaParsingData data(text.c_str(), tabsize, 0, 0);
                    for (size_t k = 0; k < targets.size(); ++k) {
                        data.Stamp(text.c_str() + targets[k]);
                        if (k == 0) continue;
                        ASSERT_EQ(expected[k], std::make_pair(data.Cursor().row, data.Cursor().col))
                            << Escaped(text) << " tab " << tabsize << " from " << from << " to " << to << " then "
                            << targets[k];
                    }
                }
            }
        }
    }
}

// In UTF-8 a character is one column, also where its bytes straddle the
// edge of a block read before a stamped node.
TEST(Locations, Utf8AtBlockEdges) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>";
    const std::string e = "\xC3\xA9", yen = "\xE2\x82\xAC";
    const std::string bodies[] = {
        std::string(40, 'x') + e + std::string(15, 'y'),           // split before the last 15 bytes
        std::string(41, 'x') + yen + std::string(14, 'y'),         // a three-byte character across the edge
        std::string(30, 'x') + "\n" + e + e + e + "\t" + e + "z",  // after a break, with a tab
        e + "\n\t\t" + e + "\n" + yen + yen,
        std::string(20, ' ') + e + "\r\n\t" + std::string(33, 'q'),
    };
    for (const std::string& body : bodies) {
        for (const std::string& before : {std::string(), std::string(37, 'p') + "\n"}) {
            const std::string text = head + before + body + "<b/></r>";
            VexaDocument doc;
            doc.SetTabSize(4);
            doc.Parse(text.c_str());
            ASSERT_FALSE(doc.Error()) << Escaped(text);
            const VexaElement* r = doc.FirstChildElement("r");
            const VexaElement* b = r ? r->FirstChildElement("b") : nullptr;
            ASSERT_NE(nullptr, b) << Escaped(text);
            const auto expected = ByteCount(text, 4, true, {text.find("<b/>")});
            EXPECT_EQ(expected[0], std::make_pair(b->Row(), b->Column())) << Escaped(text);
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
