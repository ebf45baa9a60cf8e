// The first finishing pass. Lowerings and the weight reader add initializers and graph
// inputs independently, so names can repeat, an input can coincide with an initializer,
// and an output can be provided by an initializer alone; this pass settles all of that.
#include "converter/converter.h"
#include "converter/passes/graph_walk.h"

namespace kestro {

using passes::NameSet;

void Converter::sanitize_graph_checked(proto::GraphProto& graph, size_t depth) {
    passes::check_depth(depth);
    passes::run_on_subgraphs(graph, depth, sanitize_graph_checked);

    // Repeated initializer names: the last occurrence wins, survivors keep their order.
    {
        NameSet seen;
        std::vector<bool> remove(graph.initializer.size());
        for (size_t i = graph.initializer.size(); i-- > 0;)
            remove[i] = !seen.insert(graph.initializer[i].name).second;
        passes::remove_flagged(graph.initializer, remove);
    }

    // Inputs: one per name, and none that an initializer already provides.
    {
        NameSet initializers;
        for (const auto& t : graph.initializer) initializers.insert(t.name);
        NameSet kept;
        std::vector<bool> remove(graph.input.size());
        for (size_t i = 0; i < graph.input.size(); ++i) {
            const std::string& name = graph.input[i].name;
            remove[i] = initializers.count(name) || !kept.insert(name).second;
        }
        passes::remove_flagged(graph.input, remove);
    }

    materialize_initializer_only_outputs(graph);
    passes::drop_unreferenced_initializers(graph);
}

void Converter::materialize_initializer_only_outputs(proto::GraphProto& graph) {
    NameSet produced;
    for (const auto& node : graph.node)
        for (const auto& out : node.output)
            if (!out.empty()) produced.insert(out);
    const NameSet outputs = passes::output_names(graph);

    std::vector<proto::NodeProto> constants;
    std::vector<bool> remove(graph.initializer.size());
    for (size_t i = 0; i < graph.initializer.size(); ++i) {
        const std::string& name = graph.initializer[i].name;
        remove[i] = outputs.count(name) && !produced.count(name);
    }
    for (size_t i = 0; i < graph.initializer.size(); ++i) {
        if (!remove[i]) continue;
        proto::NodeProto node;
        node.op_type = "Constant";
        node.output.push_back(graph.initializer[i].name);
        node.attribute.push_back(helper::attr_tensor("value", std::move(graph.initializer[i])));
        constants.push_back(std::move(node));
    }
    if (constants.empty()) return;
    passes::remove_flagged(graph.initializer, remove);
    for (auto& node : constants) graph.node.push_back(std::move(node));
}

}  // namespace kestro
