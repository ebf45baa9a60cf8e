// The last check before a model is written: every value a node or a graph output names is
// defined in scope, every value has exactly one definition in its graph, and no subgraph
// repeats a name of a graph around it where ONNX Runtime refuses that.
#include <functional>
#include <optional>
#include <queue>

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

// How a message names a node and a tensor: by the operator and value of the program when
// `origins` knows them, else by the model's own names.
struct Namer {
    const NodeOrigins* origins;

    std::string node(const proto::NodeProto& n) const {
        if (origins)
            if (auto op = origins->describe_node(n)) return *op;
        return "node " + n.op_type;
    }
    // The same, saying which node of the operator: "operator x (output 5): its node Resize".
    std::string node_of_kind(const proto::NodeProto& n) const {
        if (origins)
            if (auto op = origins->describe_node(n)) return *op + ": its node " + n.op_type;
        return "node " + n.op_type;
    }
    std::string tensor(const std::string& name) const {
        return origins ? origins->describe_tensor(name) : "tensor " + helper::fmt_text(name);
    }
};

void validate(const proto::GraphProto& graph, const Scope* parent,
              const std::unordered_set<std::string>& outer, const Namer& namer) {
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
                throw Error("{} is produced twice, the second time by {}", namer.tensor(out),
                            namer.node(node));
            if (declared.count(out))
                throw Error("{} is produced by {} but is also a graph input or initializer",
                            namer.tensor(out), namer.node(node));
            scope.names.insert(out);
        }
    }

    for (const auto& node : graph.node) {
        // The first input is required by every operator the converter writes except Loop,
        // whose trip count may be left out; an omitted one is a model no runtime loads.
        if (node.op_type != "Loop" && !node.input.empty() && node.input[0].empty())
            throw Error("{} has no value for its first input", namer.node_of_kind(node));
        for (const auto& in : node.input)
            if (!in.empty() && !scope.contains(in))
                throw Error("{} reads {}, which nothing defines in its scope",
                            namer.node(node), namer.tensor(in));
        passes::for_each_subgraph(
            node, [&](const proto::GraphProto& sub) { validate(sub, &scope, outer, namer); });
    }

    for (const auto& o : graph.output)
        if (!scope.contains(o.name))
            throw Error("graph output {} is never produced by any node", helper::fmt_text(o.name));
}

// The names of one graph that a subgraph of it may not repeat, as the walk has reached them:
// its inputs, apart, then its initializers and the outputs of the nodes listed so far.
struct Enclosing {
    passes::NameSet inputs;
    passes::NameSet defined;
    const Enclosing* parent = nullptr;
    std::string described;  // "graph if_then_branch of operator if (output 9)", "the main graph"

    // The innermost graph at this level or above that defines the name, and whether it is an input there.
    const Enclosing* definer(std::string_view name, bool& input) const {
        for (const Enclosing* e = this; e; e = e->parent) {
            input = e->inputs.count(name) != 0;
            if (input || e->defined.count(name)) return e;
        }
        return nullptr;
    }
};

void refuse_repeats(const proto::GraphProto& graph, const Enclosing* parent, std::string described,
                    const Namer& namer) {
    Enclosing here{{}, {}, parent, std::move(described)};
    for (const auto& i : graph.input) here.inputs.insert(i.name);
    // An initializer may repeat an enclosing initializer or node output (the inner one wins),
    // but one named like an enclosing graph input is read as the input at one optimisation
    // level of ONNX Runtime and as the initializer at another.
    for (const auto& t : graph.initializer) {
        bool input = false;
        const Enclosing* outer = parent ? parent->definer(t.name, input) : nullptr;
        if (outer && input)
            throw Error("{} holds an initializer {}, the name of an input of {} around it; ONNX Runtime "
                        "reads such a name as either, depending on its optimisation level",
                        here.described, namer.tensor(t.name), outer->described);
        here.defined.insert(t.name);
    }
    for (const auto& node : graph.node) {
        // A subgraph sees the names of the nodes listed before the one that holds it.
        passes::for_each_subgraph(node, [&](const proto::GraphProto& sub) {
            refuse_repeats(sub, &here, fmt::format("graph {} of {}", sub.name, namer.node(node)), namer);
        });
        for (const auto& out : node.output) {
            if (out.empty()) continue;
            bool input = false;
            if (const Enclosing* outer = parent ? parent->definer(out, input) : nullptr)
                throw Error("{} in {} defines {}, which {} around it already defines{}; ONNX Runtime loads no "
                            "subgraph that repeats a name of an enclosing graph",
                            namer.node(node), here.described, namer.tensor(out), outer->described,
                            input ? " as an input" : "");
            here.defined.insert(out);
        }
    }
}

}  // namespace

void Converter::refuse_names_repeated_in_subgraphs(const proto::GraphProto& graph, const NodeOrigins* origins) {
    refuse_repeats(graph, nullptr, "the main graph", Namer{origins});
}

// ONNX requires every node to follow the producers of what it reads, and a cycle is a graph
// no runtime runs. A program already in order keeps its order; otherwise the nodes are
// written in a topological order that takes ready nodes by their position in the program,
// and a cycle is refused. Linear in the nodes and their inputs (apart from the heap).
void Converter::sort_nodes_checked(proto::GraphProto& graph, size_t depth,
                                   const NodeOrigins* origins) {
    passes::check_depth(depth);
    passes::run_on_subgraphs(graph, depth, [origins](proto::GraphProto& sub, size_t d) {
        sort_nodes_checked(sub, d, origins);
    });

    const size_t n = graph.node.size();
    // Validation has made every name's producer unique.
    const auto producer = passes::producer_index(graph);

    // Calls f with the position of the producer of each value node i reads, including the
    // values its subgraphs read from this graph.
    auto for_each_producer = [&](size_t i, auto&& f) {
        passes::for_each_name_read(graph.node[i], [&](std::string_view name) {
            if (const auto it = producer.find(name); it != producer.end()) f(it->second);
        });
    };
    bool in_order = true;
    for (size_t i = 0; i < n && in_order; ++i)
        for_each_producer(i, [&](size_t p) { in_order = in_order && p < i; });
    if (in_order) return;

    std::vector<std::vector<size_t>> readers(n);
    std::vector<size_t> waiting(n, 0);
    for (size_t i = 0; i < n; ++i)
        for_each_producer(i, [&](size_t p) {
            readers[p].push_back(i);
            ++waiting[i];
        });

    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready;
    for (size_t i = 0; i < n; ++i)
        if (waiting[i] == 0) ready.push(i);
    std::vector<size_t> order;
    order.reserve(n);
    while (!ready.empty()) {
        const size_t i = ready.top();
        ready.pop();
        order.push_back(i);
        for (size_t r : readers[i])
            if (--waiting[r] == 0) ready.push(r);
    }
    if (order.size() < n) {
        // Every node left waits on another node left: walking from one to a producer that
        // is still waiting ends on a node of a cycle.
        size_t at = 0;
        while (waiting[at] == 0) ++at;
        std::vector<bool> seen(n);
        while (!seen[at]) {
            seen[at] = true;
            std::optional<size_t> next;
            for_each_producer(at, [&](size_t p) {
                if (!next && waiting[p] != 0) next = p;
            });
            if (!next) break;
            at = *next;
        }
        const auto& node = graph.node[at];
        if (origins) {
            if (auto op = origins->describe_node(node))
                throw Error("the program's operators form a cycle through {}", *op);
        }
        throw Error("the program's operators form a cycle through node {} producing {}", node.op_type,
                    helper::fmt_text(node.output.empty() ? std::string() : node.output.front()));
    }
    std::vector<proto::NodeProto> sorted;
    sorted.reserve(n);
    for (size_t i : order) sorted.push_back(std::move(graph.node[i]));
    graph.node = std::move(sorted);
}

void Converter::validate_graph(const proto::GraphProto& graph,
                               const std::unordered_set<std::string>& outer_scope,
                               const NodeOrigins* origins) {
    validate(graph, nullptr, outer_scope, Namer{origins});
}

}  // namespace kestro
