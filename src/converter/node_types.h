#pragma once
// The element types the ONNX nodes kestro writes compute, and the element types their
// operands must have: one rule per op type, the same at every opset and inside subgraphs.
// ONNX's own checker does not run above opset 17 and does not hold a subgraph's nodes to
// their types as ONNX Runtime does at load; with this rule a lowering's nodes are typed as
// they are written, so a program whose declared element types contradict what its operators
// compute is refused instead of written as a model no runtime loads.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proto/onnx.h"

namespace kestro::node_types {

// What one node computes, given its operands' element types (0: not known).
struct Typed {
    // One element type per node output; 0 where the rule does not say (an op type the rule
    // does not know, or an output whose type depends on what it does not know).
    std::vector<int32_t> outputs;
    // How the operands break the node's rule ("takes int8 and float32, which must have one
    // element type"); nothing when they keep it or their types are not known.
    std::optional<std::string> violation;
};

// Types `node` from the element types of its inputs (by position; 0 for an omitted or
// untyped one). An op type the rule does not know takes any operands and computes unknown
// types.
Typed type_node(const proto::NodeProto& node, const std::vector<int32_t>& inputs);

}  // namespace kestro::node_types
