#pragma once
// Small tools shared by the graph-finishing passes: the nesting limit, the walk over the
// subgraphs held in node attributes, name sets that borrow from the graph, removal of
// flagged nodes and of unread initializers. Every order these produce comes from the graph's
// own lists.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "error.h"
#include "proto/onnx.h"

namespace kestro::passes {

// How many levels below the main graph a model's graphs may nest: each region of the
// program becomes one level, and so does a subgraph a lowering builds of its own. A graph
// held by a node's attribute lies three messages deeper (node, attribute, graph) than the
// graph around it, and a value's type lies five below its graph (value, type, tensor type,
// shape, dim): counting the model as one, the graph of level r holds messages 2 + 3r + 5
// deep. ONNX's checker reads a model through protobuf's default nesting limit of 100
// messages and ONNX Runtime one more, so a graph of level 32 is past what they read.
inline constexpr size_t kMaxGraphNesting = 31;

// Graphs nested deeper than this below the main graph are refused, which also bounds the
// recursion of every pass; the finished model is then held to kMaxGraphNesting.
inline constexpr size_t kMaxSubgraphDepth = 128;

inline void check_depth(size_t depth) {
    if (depth > kMaxSubgraphDepth)
        throw Error("maximum ONNX subgraph cleanup depth {} exceeded", kMaxSubgraphDepth);
}

// Calls f on every graph held by the node's attributes: each attribute in order, its `g`
// first and then each of its `graphs`.
template <class Node, class F>
void for_each_subgraph(Node& node, F&& f) {
    for (auto& a : node.attribute) {
        if (a.g) f(*a.g);
        if (a.rare)
            for (auto& g : a.rare->graphs) f(g);
    }
}

// Runs a checked pass on every subgraph of the graph, one level deeper, before the caller
// works on the graph itself.
template <class Pass>
void run_on_subgraphs(proto::GraphProto& graph, size_t depth, Pass pass) {
    for (auto& node : graph.node)
        for_each_subgraph(node, [&](proto::GraphProto& sub) { pass(sub, depth + 1); });
}

template <class F>
void for_each_referenced_name(const proto::GraphProto& graph, F&& f);

// Calls f on every name the node reads: its non-empty inputs and, recursively, the names
// read inside the graphs held in its attributes.
template <class F>
void for_each_name_read(const proto::NodeProto& node, F&& f) {
    for (const auto& in : node.input)
        if (!in.empty()) f(std::string_view(in));
    for_each_subgraph(node, [&](const proto::GraphProto& sub) { for_each_referenced_name(sub, f); });
}

// Calls f on every name the graph's nodes read, subgraphs included (the names a graph
// refers to).
template <class F>
void for_each_referenced_name(const proto::GraphProto& graph, F&& f) {
    for (const auto& node : graph.node) for_each_name_read(node, f);
}

using NameSet = std::unordered_set<std::string_view>;

inline NameSet output_names(const proto::GraphProto& graph) {
    NameSet out;
    out.reserve(graph.output.size());
    for (const auto& o : graph.output) out.insert(o.name);
    return out;
}

// The position of the last node listing each name as an output (the only one, once the
// graph is validated).
inline std::unordered_map<std::string_view, size_t> producer_index(const proto::GraphProto& graph) {
    std::unordered_map<std::string_view, size_t> producers;
    producers.reserve(graph.node.size());
    for (size_t i = 0; i < graph.node.size(); ++i)
        for (const auto& out : graph.node[i].output)
            if (!out.empty()) producers[out] = i;
    return producers;
}

// Keeps the elements whose flag is clear, in order. Returns true when any was removed.
template <class T>
bool remove_flagged(std::vector<T>& items, const std::vector<bool>& remove) {
    size_t w = 0;
    for (size_t r = 0; r < items.size(); ++r) {
        if (remove[r]) continue;
        if (w != r) items[w] = std::move(items[r]);
        ++w;
    }
    const bool changed = w != items.size();
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(w), items.end());
    return changed;
}

// Drops the initializers that no node of the graph or of its subgraphs reads and that are
// not graph outputs; the others keep their order.
void drop_unreferenced_initializers(proto::GraphProto& graph);

}  // namespace kestro::passes
