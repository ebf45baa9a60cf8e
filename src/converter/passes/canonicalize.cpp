// Local clean-ups of what the lowerings emit: Identity renames, a Cast of an equal Cast,
// and a Squeeze undone by an Unsqueeze on the same axes (or the reverse). Each rewrite
// builds its tables once and scans the nodes (the squeeze pairs in generations, so that
// nested pairs cost one call); the rewrites repeat until none changes anything, then equal
// small initializers are merged.
#include <algorithm>
#include <cstring>

#include "converter/converter.h"
#include "converter/passes/graph_walk.h"

namespace kestro {

using passes::NameSet;
using passes::producer_index;
using UseCounts = std::unordered_map<std::string_view, size_t>;

namespace {

// Final replacement of every renamed name. A name follows the map from one replacement to
// the next until it reaches a name that is not renamed; on a cycle the walk stops at the
// first name it reaches a second time. Results are memoized so long chains cost linear time.
class RenameResolver {
public:
    explicit RenameResolver(const Converter::RenameMap& map) : map_(map) {}

    // The replacement of `name`, or null when it is not renamed.
    const std::string* resolve(const std::string& name) {
        auto key = map_.find(name);
        if (key == map_.end()) return nullptr;
        if (auto done = state_.find(&key->first); done != state_.end() && done->second.done)
            return done->second.result;
        walk(key);
        return state_[&key->first].result;
    }

private:
    struct State {
        const std::string* result = nullptr;
        size_t path_pos = 0;
        bool done = false;
        bool on_cycle = false;
        bool in_path = false;
    };
    using Iter = Converter::RenameMap::const_iterator;

    void walk(Iter start) {
        std::vector<Iter> path;
        Iter cur = start;
        for (;;) {
            State& s = state_[&cur->first];
            if (s.done) {
                // A walk that reaches a name on a cycle stops at that name; otherwise it
                // ends where the reached name's walk ends.
                finish(path, 0, path.size(), s.on_cycle ? &cur->first : s.result);
                return;
            }
            if (s.in_path) {
                // Names on the cycle stop at their own replacement, the names leading into
                // it at the first cycle name.
                for (size_t i = s.path_pos; i < path.size(); ++i) {
                    State& c = state_[&path[i]->first];
                    c.result = &path[i]->second;
                    c.on_cycle = true;
                    c.done = true;
                }
                finish(path, 0, s.path_pos, &cur->first);
                return;
            }
            s.in_path = true;
            s.path_pos = path.size();
            path.push_back(cur);
            Iter next = map_.find(cur->second);
            if (next == map_.end()) {
                finish(path, 0, path.size(), &cur->second);
                return;
            }
            cur = next;
        }
    }

    void finish(const std::vector<Iter>& path, size_t from, size_t to, const std::string* r) {
        for (size_t i = from; i < to; ++i) {
            State& s = state_[&path[i]->first];
            s.result = r;
            s.done = true;
        }
    }

    const Converter::RenameMap& map_;
    std::unordered_map<const std::string*, State> state_;
};

void rename_inputs(proto::GraphProto& graph, RenameResolver& resolver) {
    for (auto& node : graph.node) {
        for (auto& in : node.input)
            if (const std::string* to = resolver.resolve(in)) in = *to;
        passes::for_each_subgraph(node,
                                  [&](proto::GraphProto& sub) { rename_inputs(sub, resolver); });
    }
}

// The value `m` read by a node, when this graph alone reads it exactly once and is free to
// rewrite it: not a graph output, and produced by a node of this graph.
std::optional<size_t> sole_use_producer(std::string_view m, const NameSet& outputs,
                                        const UseCounts& uses,
                                        const std::unordered_map<std::string_view, size_t>& producers) {
    if (m.empty() || outputs.count(m)) return std::nullopt;
    auto use = uses.find(m);
    if (use == uses.end() || use->second != 1) return std::nullopt;
    auto p = producers.find(m);
    if (p == producers.end()) return std::nullopt;
    return p->second;
}

bool bypass_identities(proto::GraphProto& graph) {
    const NameSet outputs = passes::output_names(graph);
    Converter::RenameMap renames;
    std::vector<bool> remove(graph.node.size());
    for (size_t i = 0; i < graph.node.size(); ++i) {
        const auto& node = graph.node[i];
        if (node.op_type != "Identity" || node.input.size() != 1 || node.output.size() != 1)
            continue;
        const std::string& in = node.input[0];
        const std::string& out = node.output[0];
        if (in.empty() || out.empty() || outputs.count(out)) continue;
        renames[out] = in;
        remove[i] = true;
    }
    if (renames.empty()) return false;
    Converter::replace_node_inputs(graph, renames);
    passes::remove_flagged(graph.node, remove);
    return true;
}

bool has_op(const proto::GraphProto& graph, std::string_view a, std::string_view b = {}) {
    return std::any_of(graph.node.begin(), graph.node.end(), [&](const proto::NodeProto& n) {
        return n.op_type == a || (!b.empty() && n.op_type == b);
    });
}

bool merge_casts(proto::GraphProto& graph) {
    if (!has_op(graph, "Cast")) return false;
    const NameSet outputs = passes::output_names(graph);
    UseCounts uses;
    Converter::add_recursive_input_use_counts(graph, uses);
    const auto producers = producer_index(graph);

    std::vector<bool> remove(graph.node.size());
    std::vector<bool> rewritten(graph.node.size());
    std::vector<std::pair<size_t, std::string>> updates;
    for (size_t c = 0; c < graph.node.size(); ++c) {
        const auto& cn = graph.node[c];
        if (cn.op_type != "Cast" || cn.input.size() != 1 || cn.output.size() != 1) continue;
        const auto p = sole_use_producer(cn.input[0], outputs, uses, producers);
        // A Cast already folded into a consumer listed before it must keep its input.
        if (!p || *p == c || rewritten[*p] || remove[c]) continue;
        const auto& pn = graph.node[*p];
        if (pn.op_type != "Cast" || pn.input.size() != 1 || pn.output.size() != 1 ||
            pn.attribute.empty())
            continue;
        const auto* pto = helper::find_attribute(pn.attribute, "to");
        const auto* cto = helper::find_attribute(cn.attribute, "to");
        if (!pto || !cto || pto->i != cto->i) continue;
        remove[*p] = true;
        rewritten[c] = true;
        updates.emplace_back(c, pn.input[0]);
    }
    if (updates.empty()) return false;
    for (auto& [c, input] : updates) graph.node[c].input[0] = std::move(input);
    passes::remove_flagged(graph.node, remove);
    return true;
}

bool all_non_negative(const std::vector<int64_t>& axes) {
    return std::all_of(axes.begin(), axes.end(), [](int64_t a) { return a >= 0; });
}

// The axes of a Squeeze or Unsqueeze whose axes input is read under the name `axes_input`.
std::optional<std::vector<int64_t>> axes_read_as(const Converter::InitializerIndex& initializers,
                                                 const proto::NodeProto& node,
                                                 std::string_view axes_input) {
    if (node.op_type != "Squeeze" && node.op_type != "Unsqueeze") return std::nullopt;
    if (const auto* a = helper::find_attribute(node.attribute, "axes")) return a->ints;
    if (axes_input.empty()) return std::nullopt;
    auto it = initializers.find(axes_input);
    if (it == initializers.end()) return std::nullopt;
    const proto::TensorProto& t = *it->second;
    if (t.data_type != proto::dtype::INT64) return std::nullopt;
    if (!t.int64_data().empty()) return t.int64_data();
    if (t.raw_data.size() % 8 != 0) return std::nullopt;
    std::vector<int64_t> axes(t.raw_data.size() / 8);
    for (size_t i = 0; i < axes.size(); ++i) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; --b) v = (v << 8) | t.raw_data.data()[i * 8 + b];
        axes[i] = static_cast<int64_t>(v);
    }
    return axes;
}

// Whether a Squeeze and an Unsqueeze (in either order) undo each other: explicit,
// non-negative, equal axes. An empty axes list asks Squeeze for every size-1 dim, which an
// Unsqueeze with no axes does not undo.
bool axes_cancel(std::optional<std::vector<int64_t>> pa, std::optional<std::vector<int64_t>> ca) {
    if (!pa || !ca || pa->empty() || ca->empty() || !all_non_negative(*pa) ||
        !all_non_negative(*ca))
        return false;
    std::sort(pa->begin(), pa->end());
    std::sort(ca->begin(), ca->end());
    return *pa == *ca;
}

// Cancels Squeeze/Unsqueeze pairs in one call, nested pairs included. The work goes in
// generations that give what repeated scans of the whole graph would give: the first looks
// at every node; each later one looks only at the nodes next to what the one before changed,
// and sees the names and use counts as that one left them. Nodes are removed and inputs
// renamed once, at the end.
class SqueezePairCanceller {
public:
    explicit SqueezePairCanceller(proto::GraphProto& graph)
        : graph_(graph),
          outputs_(passes::output_names(graph)),
          producers_(producer_index(graph)),
          remove_(graph.node.size()),
          gone_(graph.node.size()) {
        Converter::add_recursive_input_use_counts(graph, uses_);
        for (const auto& t : graph.initializer) initializers_.emplace(t.name, &t);  // first wins
        for (size_t i = 0; i < graph.node.size(); ++i)
            for (const auto& in : graph.node[i].input)
                if (!in.empty()) readers_[in].push_back(i);
    }

    bool run() {
        std::vector<size_t> candidates(graph_.node.size());
        for (size_t i = 0; i < candidates.size(); ++i) candidates[i] = i;
        bool first = true;
        while (!candidates.empty()) {
            const std::vector<Cancel> pairs = find_pairs(candidates, first);
            first = false;
            if (pairs.empty()) break;
            candidates = next_candidates(apply(pairs));
        }
        return finish();
    }

private:
    struct Cancel {
        size_t p, c;
        std::string_view x;  // the value the pair passes through
        bool keep_identity;  // the pair's result is a graph output
    };

    // The name an input is read under after the renames made so far.
    std::string_view current(std::string_view name) {
        const std::string_view start = name;
        for (size_t steps = 0; steps <= renamed_.size(); ++steps) {
            auto it = renamed_.find(name);
            if (it == renamed_.end()) break;
            name = it->second;
        }
        if (name != start) renamed_[start] = name;  // later look-ups take one step
        return name;
    }

    std::optional<std::vector<int64_t>> axes_of(const proto::NodeProto& node) {
        const bool named = node.input.size() >= 2 && !node.input[1].empty();
        return axes_read_as(initializers_, node, named ? current(node.input[1]) : std::string_view());
    }

    // One generation's pairs: each candidate that undoes its input's sole-use producer. The
    // pair's nodes are flagged for removal at once, so a node joins one pair only.
    std::vector<Cancel> find_pairs(const std::vector<size_t>& candidates, bool first) {
        std::vector<Cancel> pairs;
        for (size_t c : candidates) {
            if (!first && gone_[c]) continue;
            const auto& cn = graph_.node[c];
            if (cn.input.empty() || cn.output.size() != 1) continue;
            const auto p = sole_use_producer(current(cn.input[0]), outputs_, uses_, producers_);
            if (!p || remove_[*p] || gone_[*p]) continue;
            const auto& pn = graph_.node[*p];
            if (pn.input.empty() || pn.output.size() != 1 || pn.input[0].empty()) continue;
            const bool pair = (pn.op_type == "Squeeze" && cn.op_type == "Unsqueeze") ||
                              (pn.op_type == "Unsqueeze" && cn.op_type == "Squeeze");
            if (!pair) continue;
            auto pa = axes_of(pn);
            if (!axes_cancel(std::move(pa), axes_of(cn))) continue;

            const bool keep = outputs_.count(cn.output[0]) != 0;
            remove_[*p] = true;
            if (!keep) remove_[c] = true;
            pairs.push_back({*p, c, current(pn.input[0]), keep});
        }
        return pairs;
    }

    // A generation's changes: the removed nodes no longer read their inputs, a result kept
    // as a graph output is copied by an Identity, every other result is renamed. Gives the
    // names whose readers changed.
    std::vector<std::string_view> apply(const std::vector<Cancel>& pairs) {
        std::vector<std::string_view> touched;
        const auto drop_reads = [&](const proto::NodeProto& node) {
            for (const auto& in : node.input) {
                if (in.empty()) continue;
                const std::string_view name = current(in);
                --uses_[name];
                touched.push_back(name);
            }
        };
        for (const Cancel& k : pairs) {
            drop_reads(graph_.node[k.p]);
            drop_reads(graph_.node[k.c]);
            gone_[k.p] = true;
            gone_[k.c] = true;
            if (k.keep_identity) {
                ++uses_[k.x];
                to_identity_.emplace_back(k.c, k.x);
            }
        }
        for (const Cancel& k : pairs) {
            if (k.keep_identity) continue;
            const std::string_view y = graph_.node[k.c].output[0];
            const std::string_view x = current(k.x);
            renames_[std::string(y)] = std::string(x);
            renamed_[y] = x;
            uses_[x] += uses_[y];
            uses_[y] = 0;
            auto moved = readers_.find(y);
            if (moved != readers_.end()) {
                auto& into = readers_[x];
                into.insert(into.end(), moved->second.begin(), moved->second.end());
                readers_.erase(y);
            }
            touched.push_back(x);
        }
        return touched;
    }

    // The next generation's candidates: the readers of every touched name, and the readers
    // of their results (whose producer now reads another name), in node order.
    std::vector<size_t> next_candidates(const std::vector<std::string_view>& touched) {
        std::vector<size_t> next;
        for (std::string_view name : touched) {
            auto it = readers_.find(current(name));
            if (it == readers_.end()) continue;
            for (size_t r : it->second) {
                if (gone_[r]) continue;
                next.push_back(r);
                for (const auto& out : graph_.node[r].output) {
                    auto rr = readers_.find(out);
                    if (rr == readers_.end()) continue;
                    for (size_t q : rr->second)
                        if (!gone_[q]) next.push_back(q);
                }
            }
        }
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        return next;
    }

    // Writes every generation's changes into the graph; whether there were any.
    bool finish() {
        if (renames_.empty() && to_identity_.empty()) return false;
        std::vector<std::pair<size_t, std::string>> identities;
        for (auto& [c, x] : to_identity_) identities.emplace_back(c, std::string(x));
        for (auto& [c, x] : identities) {
            auto& node = graph_.node[c];
            node.op_type = "Identity";
            node.input.assign(1, std::move(x));
            node.attribute.clear();
        }
        Converter::replace_node_inputs(graph_, renames_);
        passes::remove_flagged(graph_.node, remove_);
        return true;
    }

    proto::GraphProto& graph_;
    const NameSet outputs_;
    UseCounts uses_;
    const std::unordered_map<std::string_view, size_t> producers_;  // name -> node making it
    Converter::InitializerIndex initializers_;
    // The nodes of this graph reading each name, at any input position; a renamed name's
    // readers move to its replacement.
    std::unordered_map<std::string_view, std::vector<size_t>> readers_;
    // Renames made so far (name -> the name it is read under now).
    std::unordered_map<std::string_view, std::string_view> renamed_;
    std::vector<bool> remove_;  // removed, in this generation or an earlier one
    std::vector<bool> gone_;    // removed or made an Identity in an earlier generation
    Converter::RenameMap renames_;
    std::vector<std::pair<size_t, std::string_view>> to_identity_;
};

bool cancel_squeeze_pairs(proto::GraphProto& graph) {
    if (!has_op(graph, "Squeeze", "Unsqueeze")) return false;
    return SqueezePairCanceller(graph).run();
}

}  // namespace

void Converter::replace_node_inputs(proto::GraphProto& graph, const RenameMap& renames) {
    if (renames.empty()) return;
    RenameResolver resolver(renames);
    rename_inputs(graph, resolver);
}

void Converter::add_recursive_input_use_counts(const proto::GraphProto& graph, UseCounts& counts) {
    passes::for_each_referenced_name(graph, [&](std::string_view n) { ++counts[n]; });
}

void Converter::canonicalize_graph_checked(proto::GraphProto& graph, size_t depth) {
    passes::check_depth(depth);
    passes::run_on_subgraphs(graph, depth, canonicalize_graph_checked);
    // Every change removes at least one node, so the loop ends.
    for (;;) {
        bool changed = bypass_identities(graph);
        changed = merge_casts(graph) || changed;
        changed = cancel_squeeze_pairs(graph) || changed;
        if (!changed) break;
    }
    dedup_byte_identical_initializers(graph);
}

}  // namespace kestro
