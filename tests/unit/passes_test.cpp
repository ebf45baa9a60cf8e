// Graph-finishing passes on hand-built graphs.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "converter/converter.h"
#include "test_support.h"

using namespace kestro;
using proto::GraphProto;
using proto::NodeProto;
using proto::TensorProto;
using test::Ints;
using test::Names;
using test::names_of;
using test::op_types;

namespace {

using Attrs = std::vector<proto::AttributeProto>;

NodeProto node(std::string op, Names in, Names out, Attrs attrs = {}) {
    NodeProto n;
    n.op_type = std::move(op);
    n.input = std::move(in);
    n.output = std::move(out);
    n.attribute = std::move(attrs);
    return n;
}

NodeProto cast(std::string in, std::string out, int64_t to) {
    return node("Cast", {std::move(in)}, {std::move(out)}, {helper::attr_int("to", to)});
}

// A node holding `body` as a subgraph (moved in, never copied).
NodeProto holder(GraphProto body, Names in = {}, Names out = {}) {
    NodeProto n = node("If", std::move(in), std::move(out));
    n.attribute.push_back(helper::attr_graph("then_branch", std::move(body)));
    return n;
}

TensorProto tensor(std::string name, int32_t type, const void* data, size_t bytes, Ints dims) {
    TensorProto t;
    t.name = std::move(name);
    t.data_type = type;
    t.dims = std::move(dims);
    std::vector<uint8_t> raw(bytes);
    if (bytes) std::memcpy(raw.data(), data, bytes);
    t.raw_data = proto::Bytes(std::move(raw));
    return t;
}
TensorProto i64s(std::string name, const Ints& v) {
    return tensor(std::move(name), proto::dtype::INT64, v.data(), v.size() * 8, {int64_t(v.size())});
}
TensorProto f32s(std::string name, const std::vector<float>& v) {
    return tensor(std::move(name), proto::dtype::FLOAT, v.data(), v.size() * 4, {int64_t(v.size())});
}

GraphProto graph(std::vector<NodeProto> nodes, Names outputs, Names inputs = {},
                 std::vector<TensorProto> inits = {}) {
    GraphProto g;
    for (auto& n : nodes) g.node.push_back(std::move(n));
    for (auto& o : outputs) g.output.emplace_back().name = std::move(o);
    for (auto& i : inputs) g.input.emplace_back().name = std::move(i);
    for (auto& t : inits) g.initializer.push_back(std::move(t));
    return g;
}

// A graph that passes reads as an empty message, which keeps the tables' passing rows short.
std::string error_of(const std::function<void()>& f) { return test::error_of(f, ""); }

}  // namespace

TEST(FinishingPasses, EveryPassRefusesGraphsNestedBelowTheLimit) {
    auto nested = [](int levels) {
        GraphProto g = graph({node("Relu", {"x"}, {"y"})}, {"y"}, {"x"});
        for (int i = 0; i < levels; ++i) {
            GraphProto outer = graph({}, {"y"});
            outer.node.push_back(holder(std::move(g), {}, {"y"}));
            g = std::move(outer);
        }
        return g;
    };
    for (auto pass : {Converter::sanitize_graph_checked, Converter::canonicalize_graph_checked,
                      Converter::prune_dead_nodes_checked, Converter::prune_unused_initializers_checked}) {
        GraphProto ok = nested(128), deep = nested(129);
        EXPECT_EQ(error_of([&] { pass(ok, 0); }), "");
        EXPECT_EQ(error_of([&] { pass(deep, 0); }), "maximum ONNX subgraph cleanup depth 128 exceeded");
    }
}

TEST(Sanitize, SettlesNamesMaterializesOutputsAndDropsUnread) {
    GraphProto branch = graph({node("Add", {"x", "k"}, {"z"})}, {"z"});
    GraphProto g = graph({node("Add", {"x", "a"}, {"s"}), holder(std::move(branch), {"x"}, {"y"})},
                         {"s", "y", "w"}, {"x", "a", "x", "y2"},
                         {i64s("a", {1}), i64s("k", {1}), i64s("a", {3}), i64s("unread", {4}), i64s("w", {7, 8})});
    Converter::sanitize_graph_checked(g, 0);
    // The last "a" wins; inputs lose repeats and names an initializer provides.
    EXPECT_EQ(names_of(g.initializer), (Names{"k", "a"}));
    EXPECT_EQ(g.initializer[1].raw_data.data()[0], 3);
    EXPECT_EQ(names_of(g.input), (Names{"x", "y2"}));
    // The output only an initializer provided is now a Constant node at the end.
    ASSERT_EQ(op_types(g), (Names{"Add", "If", "Constant"}));
    const NodeProto& c = g.node[2];
    EXPECT_TRUE(c.input.empty());
    EXPECT_EQ(c.output, Names{"w"});
    ASSERT_EQ(c.attribute.size(), 1u);
    EXPECT_EQ(c.attribute[0].name, "value");
    EXPECT_EQ(c.attribute[0].t->name, "w");
    EXPECT_EQ(c.attribute[0].t->raw_data.size(), 16u);
}

TEST(Canonicalize, IdentityAndCastChains) {
    struct Case {
        const char* what;
        std::vector<NodeProto> nodes;
        Names outputs, ops, y_reads;
    };
    std::vector<Case> cases;
    cases.push_back({"identity chain, graph-output identity kept",
                     {node("Identity", {"x"}, {"a"}), node("Identity", {"a"}, {"b"}), node("Relu", {"b"}, {"r"}),
                      node("Identity", {"r"}, {"y"})},
                     {"y"}, {"Relu", "Identity"}, {"r"}});
    cases.push_back({"equal casts merge", {cast("x", "a", 1), cast("a", "y", 1)}, {"y"}, {"Cast"}, {"x"}});
    cases.push_back({"different targets stay", {cast("x", "a", 10), cast("a", "y", 1)}, {"y"}, {"Cast", "Cast"}, {"a"}});
    cases.push_back({"three casts over two iterations", {cast("x", "a", 7), cast("a", "b", 7), cast("b", "y", 7)},
                     {"y"}, {"Cast"}, {"x"}});
    cases.push_back({"a reader inside a subgraph keeps the producer",
                     {cast("x", "a", 1), cast("a", "y", 1), holder(graph({node("Relu", {"a"}, {"z"})}, {"z"}), {}, {"w"})},
                     {"y", "w"}, {"Cast", "Cast", "If"}, {"a"}});
    for (auto& c : cases) {
        GraphProto g = graph(std::move(c.nodes), c.outputs, {"x"});
        Converter::canonicalize_graph_checked(g, 0);
        EXPECT_EQ(op_types(g), c.ops) << c.what;
        for (const auto& n : g.node) {
            if (n.output[0] == "y") {
                EXPECT_EQ(n.input, c.y_reads) << c.what;
            }
        }
        if (g.node[0].op_type == "Relu") {
            EXPECT_EQ(g.node[0].input, Names{"x"}) << c.what;
        }
    }
}

TEST(Canonicalize, SqueezePairsCancelOnlyOnEqualExplicitAxes) {
    auto axes = [](Ints a) { return Attrs{helper::attr_ints("axes", a)}; };
    struct Case {
        const char* what;
        Attrs p_attrs, c_attrs;
        std::string c_axes_input;
        bool cancels;
    };
    const Case cases[] = {
        {"attribute [2, 0] against an INT64 initializer [0, 2]", axes({2, 0}), {}, "ax02", true},
        {"negative axes", axes({-1}), axes({-1}), "", false},
        {"different axes", axes({0}), axes({1}), "", false},
        {"axes stored as INT32", axes({0}), {}, "ax32", false},
        // An empty Squeeze axes list drops every size-1 dim: it undoes nothing.
        {"empty axes", axes({}), axes({}), "", false},
        {"empty initializer axes", axes({}), {}, "ax_empty", false},
    };
    for (const auto& c : cases) {
        TensorProto ax32 = i64s("ax32", {0});
        ax32.data_type = proto::dtype::INT32;
        Names c_in{"u"};
        if (!c.c_axes_input.empty()) c_in.push_back(c.c_axes_input);
        GraphProto g = graph({node("Unsqueeze", {"x"}, {"u"}, c.p_attrs), node("Squeeze", c_in, {"s"}, c.c_attrs),
                              node("Relu", {"s"}, {"y"})},
                             {"y"}, {"x"}, {i64s("ax02", {0, 2}), ax32, i64s("ax_empty", {})});
        Converter::canonicalize_graph_checked(g, 0);
        EXPECT_EQ(op_types(g), (c.cancels ? Names{"Relu"} : Names{"Unsqueeze", "Squeeze", "Relu"})) << c.what;
        if (c.cancels) {
            EXPECT_EQ(g.node[0].input, Names{"x"}) << c.what;
        }
    }
    // A chain ending in a graph output collapses to one Identity of the chain's input.
    auto ax = [] { return Attrs{helper::attr_ints("axes", {1})}; };
    GraphProto g = graph({node("Unsqueeze", {"x"}, {"a"}, ax()), node("Squeeze", {"a"}, {"b"}, ax()),
                          node("Unsqueeze", {"b"}, {"c"}, ax()), node("Squeeze", {"c"}, {"y"}, ax())},
                         {"y"}, {"x"});
    Converter::canonicalize_graph_checked(g, 0);
    ASSERT_EQ(op_types(g), Names{"Identity"});
    EXPECT_EQ(g.node[0].input, Names{"x"});
    EXPECT_TRUE(g.node[0].attribute.empty());
}

TEST(Canonicalize, RenamesFollowChainsAndStopOnCycles) {
    GraphProto g = graph({node("Sum", {"a", "j", "p", "q", "s", "free"}, {"y"})}, {"y"});
    Converter::replace_node_inputs(g, {{"a", "b"}, {"b", "c"}, {"j", "p"}, {"p", "q"}, {"q", "p"}, {"s", "s"}});
    EXPECT_EQ(g.node[0].input, (Names{"c", "p", "q", "p", "s", "free"}));
}

TEST(Dedup, MergesOnlyEqualSmallPlainInitializers) {
    TensorProto doc = i64s("b", {5});
    doc.rare_members().doc_string = "kept";
    TensorProto reshaped = i64s("b", {1, 2});
    reshaped.dims = {1, 2};
    const std::vector<float> big(1025, 1.0f), limit(1024, 1.0f);
    struct Case {
        const char* what;
        TensorProto first, second;
        bool merged;
    };
    std::vector<Case> cases;
    cases.push_back({"equal bytes", i64s("a", {1, 2}), i64s("b", {1, 2}), true});
    cases.push_back({"different dims", i64s("a", {1, 2}), reshaped, false});
    cases.push_back({"0.0 and -0.0", f32s("a", {0.0f}), f32s("b", {-0.0f}), false});
    cases.push_back({"above 4096 bytes", f32s("a", big), f32s("b", big), false});
    cases.push_back({"exactly 4096 bytes", f32s("a", limit), f32s("b", limit), true});
    cases.push_back({"a doc string", i64s("a", {5}), doc, false});
    cases.push_back({"a graph output", i64s("a", {6}), i64s("out", {6}), false});
    for (auto& c : cases) {
        const std::string second = c.second.name;
        GraphProto g = graph({node("Concat", {"a", second}, {"y"}),
                              holder(graph({node("Neg", {second}, {"z"})}, {"z"}), {}, {"w"})},
                             {"y", "w", "out"}, {}, {c.first, c.second});
        Converter::dedup_byte_identical_initializers(g);
        const std::string reads = c.merged ? "a" : second;
        EXPECT_EQ(g.initializer.size(), c.merged ? 1u : 2u) << c.what;
        EXPECT_EQ(g.node[0].input[1], reads) << c.what;
        EXPECT_EQ(g.node[1].attribute[0].g->node[0].input[0], reads) << c.what;
    }
}

TEST(Prune, RemovesUnreadAuxiliaryNodesAndUnusedInitializers) {
    GraphProto body = graph({node("Add", {"kept_cast", "inner"}, {"z"})}, {"z"});
    GraphProto g = graph({node("Cast", {"x"}, {"c"}), node("Shape", {"c"}, {"shape"}), node("Relu", {"x"}, {"r"}),
                          node("Relu", {"late"}, {"y"}), node("Cast", {"x"}, {"late"}), node("Cast", {"x"}, {"kept_cast"}),
                          holder(std::move(body), {"x"}, {"w"}), node("Shape", {"used"}, {"sh"})},
                         {"y", "w", "sh", "out"}, {"x"},
                         {i64s("unused", {1}), i64s("used", {1}), i64s("inner", {1}), i64s("out", {1})});
    Converter::prune_dead_nodes_checked(g, 0);
    Converter::prune_unused_initializers_checked(g, 0);
    // A producer listed after its reader stays, whatever the node order.
    EXPECT_EQ(op_types(g), (Names{"Relu", "Relu", "Cast", "Cast", "If", "Shape"}));
    EXPECT_EQ(names_of(g.initializer), (Names{"used", "inner", "out"}));
    Converter::validate_graph(g, {});
}

TEST(Validate, RefusesOpenOrDoublyDefinedGraphs) {
    GraphProto then_branch = graph({node("Relu", {"x"}, {"t"})}, {"t"});
    GraphProto else_branch = graph({node("Neg", {"t"}, {"e"})}, {"e"});
    NodeProto branches = node("If", {"c"}, {"y"});
    branches.attribute.push_back(helper::attr_graph("then_branch", std::move(then_branch)));
    branches.attribute.push_back(helper::attr_graph("else_branch", std::move(else_branch)));
    struct Case {
        GraphProto g;
        std::string error;
        const NodeOrigins* origins = nullptr;
    };
    // Nodes a lowering made are named by the program's operator and values.
    NodeOrigins origins;
    origins.note("tensor_7", "1.relu", 7, std::nullopt);
    origins.note("scale_mul_8", "1.scale", 8, std::nullopt);
    origins.note("tensor_8", "1.scale", 8, std::nullopt);
    std::vector<Case> cases;
    cases.push_back({graph({node("Relu", {"z"}, {"y"})}, {"y"}), "node Relu reads tensor z, which nothing defines in its scope"});
    cases.push_back({graph({node("Relu", {"none"}, {"a"}), node("Neg", {"x"}, {"y"}), node("Abs", {"x"}, {"y"})}, {"y"}, {"x"}),
                     "tensor y is produced twice, the second time by node Abs"});
    cases.push_back({graph({node("Relu", {"x"}, {"y"})}, {"q"}, {"x"}), "graph output q is never produced by any node"});
    cases.push_back({graph({node("Relu", {"a"}, {"x"})}, {"x"}, {"x", "a"}),
                     "tensor x is produced by node Relu but is also a graph input or initializer"});
    cases.push_back({graph({node("Relu", {"x"}, {"w"})}, {"w"}, {"x"}, {i64s("w", {1})}),
                     "tensor w is produced by node Relu but is also a graph input or initializer"});
    cases.push_back({graph({branches}, {"y"}, {"c", "x"}), "node Neg reads tensor t, which nothing defines in its scope"});
    // Omitted optional inputs are fine, an omitted first input is not (Loop aside).
    cases.push_back({graph({node("Resize", {"", "", "s"}, {"y"})}, {"y"}, {"s"}),
                     "node Resize has no value for its first input"});
    cases.push_back({graph({node("Relu", {"tensor_99"}, {"tensor_7"})}, {"tensor_7"}),
                     "operator relu (output 7) reads value 99, which nothing defines in its scope", &origins});
    cases.push_back({graph({node("Mul", {"x", "x"}, {"scale_mul_8"}), node("Add", {"x", "x"}, {"scale_mul_8"})},
                           {"scale_mul_8"}, {"x"}),
                     "scale_mul_8 (an intermediate of operator scale (output 8)) is produced twice, the "
                     "second time by operator scale (output 8)", &origins});
    cases.push_back({graph({node("Resize", {"", "", "s"}, {"tensor_8"})}, {"tensor_8"}, {"s"}),
                     "operator scale (output 8): its node Resize has no value for its first input", &origins});
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { Converter::validate_graph(c.g, {}, c.origins); }), c.error);
}

TEST(Validate, AcceptsWhatScopesAllow) {
    // Forward reads, outputs naming inputs and initializers, omitted optional names, and a
    // body that reads and shadows values of the enclosing graph.
    GraphProto body = graph({node("Add", {"i", "x"}, {"a"}), node("Relu", {"outer"}, {"s"})}, {"a"}, {"i"});
    NodeProto loop = node("Loop", {"", "c"}, {"l"});
    loop.attribute.push_back(helper::attr_graph("body", std::move(body)));
    GraphProto g = graph({node("Clip", {"s", "", ""}, {"y", ""}), node("Relu", {"x"}, {"s"}), loop},
                         {"y", "x", "w", "l"}, {"x", "c"}, {i64s("w", {1})});
    EXPECT_EQ(error_of([&] { Converter::validate_graph(g, {"outer"}); }), "");
}

TEST(Validate, HoldsSubgraphNamesToWhatOnnxRuntimeLoads) {
    // A main graph of input x and initializer w: Relu(x) -> a, then an If whose then-branch holds
    // `then_nodes` (and inputs, initializers), then Abs(x) -> late.
    const auto model = [](std::vector<NodeProto> then_nodes, Names then_inputs = {},
                          std::vector<TensorProto> then_inits = {}, std::vector<NodeProto> else_nodes = {}) {
        GraphProto then_branch = graph(std::move(then_nodes), {}, std::move(then_inputs), std::move(then_inits));
        then_branch.name = "then";
        GraphProto else_branch = graph(std::move(else_nodes), {});
        else_branch.name = "else";
        NodeProto branches = holder(std::move(then_branch), {"x"}, {"y"});
        branches.attribute.push_back(helper::attr_graph("else_branch", std::move(else_branch)));
        return graph({node("Relu", {"x"}, {"a"}), std::move(branches), node("Abs", {"x"}, {"late"})}, {"y"}, {"x"},
                     {i64s("w", {1})});
    };
    const std::string refused = "; ONNX Runtime loads no subgraph that repeats a name of an enclosing graph";
    const auto named = [](GraphProto g, std::string name) {
        g.name = std::move(name);
        return g;
    };
    struct Case {
        GraphProto g;
        std::string error;
    };
    std::vector<Case> cases;
    // A node output repeating a node output listed before the holder, an initializer, an input.
    cases.push_back({model({node("Neg", {"x"}, {"a"})}),
                     "node Neg in graph then of node If defines tensor a, which the main graph around it already "
                     "defines" + refused});
    cases.push_back({model({node("Neg", {"x"}, {"w"})}),
                     "node Neg in graph then of node If defines tensor w, which the main graph around it already "
                     "defines" + refused});
    cases.push_back({model({node("Neg", {"a"}, {"x"})}),
                     "node Neg in graph then of node If defines tensor x, which the main graph around it already "
                     "defines as an input" + refused});
    // Two levels down, and an enclosing subgraph's own input.
    cases.push_back({model({holder(named(graph({node("Neg", {"x"}, {"a"})}, {}), "inner"), {"x"}, {"z"})}),
                     "node Neg in graph inner of node If defines tensor a, which the main graph around it already "
                     "defines" + refused});
    cases.push_back({model({node("Neg", {"x"}, {"i"})}, {"i"}), ""});  // its own input: validation's concern
    cases.push_back({model({holder(named(graph({node("Neg", {"x"}, {"i"})}, {}), "inner"), {"x"}, {"z"})}, {"i"}),
                     "node Neg in graph inner of node If defines tensor i, which graph then of node If around it already "
                     "defines as an input" + refused});
    // An initializer named like an enclosing input reads differently at each optimisation level.
    cases.push_back({model({}, {}, {i64s("x", {2})}),
                     "graph then of node If holds an initializer tensor x, the name of an input of the main graph "
                     "around it; ONNX Runtime reads such a name as either, depending on its optimisation level"});
    // What ONNX Runtime loads: a name of a node listed after the holder, names shared by sibling
    // branches, a subgraph input or initializer repeating an enclosing name.
    cases.push_back({model({node("Neg", {"x"}, {"late"}), node("Abs", {"x"}, {"b"})}, {}, {},
                           {node("Abs", {"x"}, {"b"})}),
                     ""});
    cases.push_back({model({node("Neg", {"a"}, {"b"})}, {"a", "x"}, {i64s("w", {2})}), ""});
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { Converter::refuse_names_repeated_in_subgraphs(c.g); }), c.error);
}
