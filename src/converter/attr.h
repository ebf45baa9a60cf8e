#pragma once
// The fixed table of Paddle operators that map one-to-one onto an ONNX operator, and the
// opset at which each of those ONNX operators first exists. The attribute translation
// itself is Converter::extract_attributes (attr.cpp).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestro::attr {

// ONNX op type of a bare Paddle operator name (exact, case-sensitive); empty when the
// operator has no one-node counterpart.
std::optional<std::string_view> generated_op_type(std::string_view bare_name);

// The lowest opset whose default domain has `op_type` (1 for types not listed).
int64_t min_opset(std::string_view op_type);

// How many leading inputs `op_type` requires at `opset`: a node with fewer, or with one of
// them omitted, is not a valid model.
size_t required_inputs(std::string_view op_type, int64_t opset);

}  // namespace kestro::attr
