// The last check before a model is written: every value a node or a graph output names is
// defined in scope, and every value has exactly one definition in its graph.
#include "converter/converter.h"
#include "converter/passes/graph_walk.h"

namespace kestro {

namespace {

// The names visible in a graph: its own, then those of each enclosing graph, then the outer
// scope handed to the validation. Subgraphs link to their parent's scope instead of copying
// it, so nested graphs cost only their own names.
struct Scope {
    passes::NameSet names;
    const Scope* parent = nullptr;
    const std::unordered_set<std::string>* outer = nullptr;

    bool contains(const std::string& name) const {
        for (const Scope* s = this; s; s = s->parent)
            if (s->names.count(name)) return true;
        return outer->count(name) != 0;
    }
};

void validate(const proto::GraphProto& graph, const Scope* parent,
              const std::unordered_set<std::string>& outer) {
    Scope scope{{}, parent, &outer};
    passes::NameSet declared;  // this graph's initializers and inputs
    for (const auto& t : graph.initializer) declared.insert(t.name);
    for (const auto& i : graph.input) declared.insert(i.name);
    scope.names = declared;

    // Producers first, so that uses may precede their producer in the node list. A node
    // output that repeats an input or initializer of the same graph would give the value a
    // second definition; names of enclosing graphs may be shadowed.
    passes::NameSet produced;
    for (const auto& node : graph.node) {
        for (const auto& out : node.output) {
            if (out.empty()) continue;
            if (!produced.insert(out).second)
                throw Error("tensor {} is produced by more than one node", helper::fmt_text(out));
            if (declared.count(out))
                throw Error("tensor {} is produced by a node but is also a graph input or "
                            "initializer",
                            helper::fmt_text(out));
            scope.names.insert(out);
        }
    }

    for (const auto& node : graph.node) {
        // The first input is required by every operator the converter writes except Loop,
        // whose trip count may be left out; an omitted one is a model no runtime loads.
        if (node.op_type != "Loop" && !node.input.empty() && node.input[0].empty())
            throw Error("node {} has no value for its first input", node.op_type);
        for (const auto& in : node.input)
            if (!in.empty() && !scope.contains(in))
                throw Error("node {} references undefined tensor {}", node.op_type, helper::fmt_text(in));
        passes::for_each_subgraph(
            node, [&](const proto::GraphProto& sub) { validate(sub, &scope, outer); });
    }

    for (const auto& o : graph.output)
        if (!scope.contains(o.name))
            throw Error("graph output {} is never produced by any node", helper::fmt_text(o.name));
}

}  // namespace

void Converter::validate_graph(const proto::GraphProto& graph,
                               const std::unordered_set<std::string>& outer_scope) {
    validate(graph, nullptr, outer_scope);
}

}  // namespace kestro
