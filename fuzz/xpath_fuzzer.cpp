// An XPath expression and a document: the text up to the first zero byte is
// the expression, the rest the document. Every evaluation must end, and its
// node-set must hold items of the document, in document order, once each.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"

using namespace vexafuzz;

namespace {

// Every item of the tree in document order: nodes, attributes after their element.
std::vector<VexaXPathNode> DocumentOrder(VexaDocument* doc) {
    std::vector<VexaXPathNode> all;
    for (VexaNode* n = doc; n;) {
        all.push_back(VexaXPathNode(n));
        if (VexaElement* e = n->ToElement())
            for (VexaAttribute* a = e->FirstAttribute(); a; a = a->Next()) all.push_back(VexaXPathNode(n, a));
        if (n->FirstChild()) {
            n = n->FirstChild();
            continue;
        }
        while (n && !n->NextSibling()) n = n->Parent();
        if (n) n = n->NextSibling();
    }
    return all;
}

void CheckOrdered(const VexaXPathNodeSet& set, const std::vector<VexaXPathNode>& order) {
    size_t at = 0;
    for (const VexaXPathNode& item : set) {
        while (at < order.size() && order[at] != item) ++at;
        VEXA_FUZZ_CHECK(at < order.size());  // in the tree, after the one before
        ++at;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    if (!zero) return 0;
    const std::string expr(reinterpret_cast<const char*>(data), static_cast<size_t>(zero - data));
    const std::string text(reinterpret_cast<const char*>(zero + 1), size - static_cast<size_t>(zero + 1 - data));
    // Nested predicates cost the document's size to the power of their
    // depth in time (never in memory); small inputs keep runs short.
    if (expr.size() > 256 || text.size() > 4096) return 0;

    VexaXPath query(expr.c_str());
    if (!query.Valid()) {
        VEXA_FUZZ_CHECK(query.ErrorOffset() >= 0 && query.ErrorOffset() <= static_cast<int>(expr.size()));
        VEXA_FUZZ_CHECK(std::strlen(query.ErrorText()) > 0);
        return 0;
    }
    VexaBase::SetCondenseWhiteSpace((size & 1) != 0);
    VexaDocument doc;
    doc.Parse(text.c_str());
    const std::vector<VexaXPathNode> order = DocumentOrder(&doc);
    query.SetVariable("n", 2.0);
    query.SetVariable("s", "a");
    query.SetVariable("b", true);
    query.SetVariable("set", doc.SelectNodes("//*"));

    // The root, an element, an attribute and a text node as contexts.
    std::vector<VexaXPathNode> contexts(1, VexaXPathNode(&doc));
    for (const VexaXPathNode& item : order) {
        if (contexts.size() >= 4) break;
        if (item.Attribute() || item.Node()->ToText() || (item.Node()->ToElement() && contexts.size() == 1))
            contexts.push_back(item);
    }
    for (const VexaXPathNode& context : contexts) {
        const VexaXPathValue value = query.Evaluate(context);
        if (value.Type() == VEXA_XPATH_NODESET) {
            CheckOrdered(value.NodeSet(), order);
            VEXA_FUZZ_CHECK(query.SelectNodes(context).Size() == value.NodeSet().Size());
        }
        VEXA_FUZZ_CHECK(query.EvaluateString(context) == value.String());
        const double number = query.EvaluateNumber(context);
        VEXA_FUZZ_CHECK(number == value.Number() || (number != number && value.Number() != value.Number()));
        VEXA_FUZZ_CHECK(query.EvaluateBoolean(context) == value.Boolean());
    }
    return 0;
}
