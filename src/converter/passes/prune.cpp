// Removal of what nothing reads: dead auxiliary nodes, unused initializers, and small
// initializers that repeat another one byte for byte.
#include <cstring>
#include <functional>

#include "converter/converter.h"
#include "converter/passes/graph_walk.h"

namespace kestro {

using passes::NameSet;

std::unordered_set<std::string_view> Converter::collect_referenced_value_names(
    const proto::GraphProto& graph) {
    NameSet names;
    passes::for_each_referenced_name(graph, [&](std::string_view n) { names.insert(n); });
    return names;
}

void passes::drop_unreferenced_initializers(proto::GraphProto& graph) {
    NameSet referenced = Converter::collect_referenced_value_names(graph);
    for (const auto& o : graph.output) referenced.insert(o.name);
    std::vector<bool> remove(graph.initializer.size());
    for (size_t i = 0; i < graph.initializer.size(); ++i)
        remove[i] = referenced.count(graph.initializer[i].name) == 0;
    passes::remove_flagged(graph.initializer, remove);
}

void Converter::prune_unused_initializers_checked(proto::GraphProto& graph, size_t depth) {
    passes::check_depth(depth);
    passes::run_on_subgraphs(graph, depth, prune_unused_initializers_checked);
    passes::drop_unreferenced_initializers(graph);
}

namespace {

// Operators without side effects whose only purpose is to feed another node.
bool is_removable_type(const std::string& op_type) {
    return op_type == "Cast" || op_type == "Shape" || op_type == "Concat" || op_type == "Squeeze" ||
           op_type == "Identity" || op_type == "Unsqueeze" || op_type == "Expand";
}

}  // namespace

// A removable node stays when one of its outputs is read by a node that stays (subgraph
// readers included) or is a graph output. Liveness is propagated from those roots through
// the producers of each name, so the result does not depend on the order of the node
// list: a producer listed after its reader is kept, where a backward sweep would have
// dropped it and left the reader undefined.
void Converter::prune_dead_nodes_checked(proto::GraphProto& graph, size_t depth) {
    passes::check_depth(depth);
    passes::run_on_subgraphs(graph, depth, prune_dead_nodes_checked);

    const size_t n = graph.node.size();
    std::unordered_multimap<std::string_view, size_t> producers;
    producers.reserve(n);
    for (size_t i = 0; i < n; ++i)
        for (const auto& out : graph.node[i].output)
            if (!out.empty()) producers.emplace(out, i);

    NameSet live;
    std::vector<std::string_view> pending;
    auto mark = [&](std::string_view name) {
        if (live.insert(name).second) pending.push_back(name);
    };
    std::vector<bool> keep(n);
    auto keep_node = [&](size_t i) {
        keep[i] = true;
        passes::for_each_name_read(graph.node[i], mark);
    };

    for (const auto& o : graph.output) mark(o.name);
    for (size_t i = 0; i < n; ++i)
        if (!is_removable_type(graph.node[i].op_type)) keep_node(i);
    while (!pending.empty()) {
        const std::string_view name = pending.back();
        pending.pop_back();
        auto [first, last] = producers.equal_range(name);
        for (auto it = first; it != last; ++it)
            if (!keep[it->second]) keep_node(it->second);
    }

    std::vector<bool> remove(n);
    for (size_t i = 0; i < n; ++i) remove[i] = !keep[i];
    passes::remove_flagged(graph.node, remove);
}

namespace {

// Initializers larger than this are never compared, so the content table stays small.
constexpr size_t kMaxMergedPayload = 4096;

size_t payload_size(const proto::TensorProto& t) {
    size_t strings = 0;
    for (const auto& s : t.string_data()) strings += s.size();
    return t.raw_data.size() + 4 * (t.float_data().size() + t.int32_data().size()) + strings +
           8 * (t.int64_data().size() + t.double_data().size() + t.uint64_data().size());
}

template <class T>
std::string_view bytes_of(const std::vector<T>& v) {
    return {reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T)};
}

// Floating-point lists are compared as bit patterns, so 0.0 and -0.0 differ and a NaN
// matches the same NaN; every list is compared by length and elements.
bool same_content(const proto::TensorProto& a, const proto::TensorProto& b) {
    return a.data_type == b.data_type && a.dims == b.dims &&
           bytes_of(a.float_data()) == bytes_of(b.float_data()) &&
           a.int32_data() == b.int32_data() && a.string_data() == b.string_data() &&
           a.int64_data() == b.int64_data() && a.raw_data.view() == b.raw_data.view() &&
           bytes_of(a.double_data()) == bytes_of(b.double_data()) &&
           a.uint64_data() == b.uint64_data();
}

size_t content_hash(const proto::TensorProto& t) {
    const std::hash<std::string_view> h;
    size_t seed = static_cast<size_t>(t.data_type);
    auto mix = [&](size_t v) { seed ^= v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    mix(h(bytes_of(t.dims)));
    mix(h(t.raw_data.view()));
    mix(h(bytes_of(t.float_data())));
    mix(h(bytes_of(t.int32_data())));
    mix(h(bytes_of(t.int64_data())));
    mix(h(bytes_of(t.double_data())));
    mix(h(bytes_of(t.uint64_data())));
    for (const auto& s : t.string_data()) mix(h(s));
    return seed;
}

struct ContentHash {
    size_t operator()(const proto::TensorProto* t) const { return content_hash(*t); }
};
struct ContentEq {
    bool operator()(const proto::TensorProto* a, const proto::TensorProto* b) const {
        return same_content(*a, *b);
    }
};

bool may_merge(const proto::TensorProto& t, const NameSet& outputs) {
    return outputs.count(t.name) == 0 && !t.segment() && t.external_data().empty() &&
           t.data_location() == 0 && t.doc_string().empty() && t.metadata_props().empty() &&
           payload_size(t) <= kMaxMergedPayload;
}

}  // namespace

void Converter::dedup_byte_identical_initializers(proto::GraphProto& graph) {
    const NameSet outputs = passes::output_names(graph);
    // Keys point into the initializer list, which is not changed until the merge is known.
    std::unordered_map<const proto::TensorProto*, const std::string*, ContentHash, ContentEq>
        first_with_content;
    RenameMap renames;
    std::vector<bool> remove(graph.initializer.size());
    for (size_t i = 0; i < graph.initializer.size(); ++i) {
        const proto::TensorProto& t = graph.initializer[i];
        if (!may_merge(t, outputs)) continue;
        auto [it, inserted] = first_with_content.emplace(&t, &t.name);
        if (inserted) continue;
        remove[i] = true;
        renames[t.name] = *it->second;
    }
    if (renames.empty()) return;
    passes::remove_flagged(graph.initializer, remove);
    replace_node_inputs(graph, renames);
}

}  // namespace kestro
