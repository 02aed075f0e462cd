// A sequence of DOM edits driven by the input bytes. The text up to the
// first zero byte is parsed into a document; each following group of bytes
// is one edit (link, insert before, after or at the end, replace, remove,
// clear, clone, attributes, values, handles, more parsing) on nodes picked
// from the tree, whose links are checked after every step.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

class Bytes {
public:
    Bytes(const uint8_t* d, size_t n) : data(d), left(n) {}
    bool Empty() const { return left == 0; }
    unsigned Byte() {
        if (!left) return 0;
        --left;
        return *data++;
    }
    // A short string (up to 15 bytes, no zero byte).
    std::string Text() {
        std::string s;
        for (unsigned n = Byte() % 16; n > 0 && left; --n) s += static_cast<char>(Byte() | 1);
        return s;
    }
    std::string Name() {
        static const char* const names[] = {"a", "b", "id", "x:y", "_z"};
        const unsigned pick = Byte() % 6;
        if (pick < 5) return names[pick];
        const std::string s = Text();
        return s.empty() ? "n" : s;
    }
    template <typename T>
    T* Pick(const std::vector<T*>& v) {
        return v.empty() ? 0 : v[((Byte() << 8) | Byte()) % v.size()];
    }

private:
    const uint8_t* data;
    size_t left;
};

// Every node under root in document order; returns the depth of the tree.
int Collect(VexaNode* root, std::vector<VexaNode*>* out) {
    int deepest = 0;
    std::vector<std::pair<VexaNode*, int> > pending(1, std::make_pair(root, 0));
    while (!pending.empty()) {
        VexaNode* node = pending.back().first;
        const int depth = pending.back().second;
        pending.pop_back();
        out->push_back(node);
        if (depth > deepest) deepest = depth;
        for (VexaNode* child = node->LastChild(); child; child = child->PreviousSibling()) {
            pending.push_back(std::make_pair(child, depth + 1));
        }
    }
    return deepest;
}

VexaNode* NewNode(Bytes& in) {
    switch (in.Byte() % 7) {
        case 0:
            return new VexaText(in.Text().c_str());
        case 1:
            return new VexaComment();
        case 2:
            return new VexaUnknown();
        case 3:
            return new VexaDeclaration("1.0", in.Text().c_str(), "");
        case 4:
            return new VexaDocument();
        default:
            return new VexaElement(in.Name().c_str());
    }
}

bool Within(const VexaNode* node, const VexaNode* root) {
    while (node && node != root) node = node->Parent();
    return node == root;
}

void Step(VexaDocument& doc, Bytes& in) {
    std::vector<VexaNode*> nodes;
    // Growth stops at a size and depth that keep each step quick; the
    // writers and Clone recurse, and only the parser limits nesting.
    const bool small = Collect(&doc, &nodes) < 300 && nodes.size() < 2000;
    VexaNode* target = in.Pick(nodes);
    VexaNode* other = in.Pick(nodes);
    VexaNode* parent = target->Parent();
    VexaElement* element = target->ToElement();
    switch (in.Byte() % 16) {
        case 0:
            if (small) target->LinkEndChild(NewNode(in));
            break;
        case 1:
            if (small) VEXA_FUZZ_CHECK(target->InsertEndChild(*other)->Parent() == target);
            break;
        case 2:
        case 3: {
            // Against its own parent the anchor works; against any other
            // node it must be refused with nothing changed.
            VexaNode* owner = (in.Byte() & 1) || !parent ? other : parent;
            if (!small) break;
            const std::string before = Dump(doc);
            VexaNode* copy =
                (in.Byte() & 1) ? owner->InsertBeforeChild(target, *other) : owner->InsertAfterChild(target, *other);
            VEXA_FUZZ_CHECK((copy != 0) == (target->Parent() == owner));
            if (!copy) VEXA_FUZZ_CHECK(Dump(doc) == before);
            break;
        }
        case 4:
            if (parent && small) VEXA_FUZZ_CHECK(parent->ReplaceChild(target, *other)->Parent() == parent);
            break;
        case 5:
            if (parent) VEXA_FUZZ_CHECK(parent->RemoveChild(target));
            break;
        case 6:
            target->Clear();
            VEXA_FUZZ_CHECK(!target->FirstChild() && !target->LastChild());
            break;
        case 7: {
            std::unique_ptr<VexaNode> copy(target->Clone());
            CheckTree(copy.get());
            VEXA_FUZZ_CHECK(Dump(*copy) == Dump(*target, true) && copy->Row() == -1 && !copy->Parent());
            if ((in.Byte() & 1) && small) other->LinkEndChild(copy.release());
            break;
        }
        case 8:
            if (element) element->SetAttribute(in.Name().c_str(), in.Text().c_str());
            break;
        case 9:
            if (element) element->SetAttribute(in.Name().c_str(), static_cast<int>(in.Byte()) - 128);
            break;
        case 10:
            if (element) {
                const std::string name = in.Name();
                element->RemoveAttribute(name.c_str());
                VEXA_FUZZ_CHECK(!element->Attribute(name.c_str()));
            }
            break;
        case 11:
            target->SetValue(in.Text());
            break;
        case 12: {
            VexaHandle h(target);
            for (unsigned n = in.Byte() % 4; n > 0; --n) {
                const int index = static_cast<int>(in.Byte() % 8) - 2;
                switch (in.Byte() % 6) {
                    case 0:
                        h = h.FirstChild();
                        break;
                    case 1:
                        h = h.Child(index);
                        break;
                    case 2:
                        h = h.ChildElement(index);
                        break;
                    case 3:
                        h = h.Child(in.Name().c_str(), index);
                        break;
                    case 4:
                        h = h.ChildElement(in.Name().c_str(), index);
                        break;
                    default:
                        h = h.FirstChildElement(in.Name().c_str());
                        break;
                }
            }
            VEXA_FUZZ_CHECK(!h.GetNode() || Within(h.GetNode(), target));
            VEXA_FUZZ_CHECK(h.ToElement() == (h.GetNode() ? h.GetNode()->ToElement() : 0));
            break;
        }
        case 13:
            if (small) doc.Parse(in.Text().c_str());
            break;
        case 14: {
            // Iteration agrees with the sibling links, by value too.
            const std::string name = in.Name();
            VexaNode* a = target->IterateChildren(0);
            for (VexaNode* b = target->FirstChild(); b; b = b->NextSibling(), a = target->IterateChildren(a)) {
                VEXA_FUZZ_CHECK(a == b);
            }
            VEXA_FUZZ_CHECK(a == 0);
            VexaNode* byName = target->FirstChild(name.c_str());
            for (VexaNode* n = target->IterateChildren(name.c_str(), 0); n;
                 n = target->IterateChildren(name.c_str(), n), byName = byName->NextSibling(name.c_str())) {
                VEXA_FUZZ_CHECK(n == byName && n->ValueStr() == name);
            }
            VEXA_FUZZ_CHECK(byName == 0);
            break;
        }
        default:
            Compact(*target);
            Printed(*target);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textSize = zero ? static_cast<size_t>(zero - data) : size;
    const std::string text(reinterpret_cast<const char*>(data), textSize);
    VexaDocument doc;
    doc.Parse(text.c_str());
    CheckTree(&doc);
    Bytes in(data + textSize, size - textSize);
    in.Byte();  // the zero byte
    for (int step = 0; step < 200 && !in.Empty(); ++step) {
        Step(doc, in);
        CheckTree(&doc);
    }
    return 0;
}
