#pragma once
// The fixed table of Paddle operators that map one-to-one onto an ONNX operator, and the
// opset at which each of those ONNX operators first exists. The attribute translation
// itself is Converter::extract_attributes (attr.cpp).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "proto/onnx.h"

namespace kestro::attr {

// ONNX op type of a bare Paddle operator name (exact, case-sensitive); empty when the
// operator has no one-node counterpart.
std::optional<std::string_view> generated_op_type(std::string_view bare_name);

// The lowest opset whose default domain has `op_type` (1 for types not listed).
int64_t min_opset(std::string_view op_type);

// How many leading inputs `op_type` requires at `opset`: a node with fewer, or with one of
// them omitted, is not a valid model.
size_t required_inputs(std::string_view op_type, int64_t opset);

// How many inputs and outputs `op_type` takes at `opset` at most.
size_t max_inputs(std::string_view op_type, int64_t opset);
size_t max_outputs(std::string_view op_type, int64_t opset);

// The first opset at which input `position` of `op_type` takes element type `dtype` (an ONNX
// code): 1 when the position takes any type, empty when no opset takes that type there.
std::optional<int64_t> first_opset_taking(std::string_view op_type, size_t position, int32_t dtype);

// How ONNX `op_type` ties element types and dims at `opset`: groups of input positions that
// share one element type (a bit per position), the input whose type the output has (when it
// has one) or the output's own type (bool for comparisons), whether its inputs broadcast
// elementwise, and whether its output has its operands' (broadcast) dims. The one list of
// the operators whose output keeps their operand's type.
struct TypeTies {
    std::vector<uint32_t> same_type;
    std::optional<size_t> output_like;
    std::optional<int32_t> output_type;
    bool broadcast = false;
    bool output_dims_like = false;
};
TypeTies type_ties(std::string_view op_type, int64_t opset);

// Holds a generic node's attributes to what ONNX `op_type` defines at `opset`: attributes it
// does not define are dropped (with a warning), a whole float or an integer is brought to the
// defined kind; a repeated attribute or one of another kind fails, naming `bare_name`.
void conform_attributes(std::string_view bare_name, std::string_view op_type, int64_t opset,
                        std::vector<proto::AttributeProto>& attrs);

// Refuses convolution and pooling attributes no runtime runs: strides, dilations or kernel
// sizes below 1, negative pads or output padding, groups below 1, and strides, dilations,
// kernel sizes and pads that disagree on the number of spatial axes, or with the operator's
// `spatial_axes` (two begin-end pairs of pads for two axes).
void check_window_attributes(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                             size_t spatial_axes);

// Refuses a channel-last layout ("NHWC", "NDHWC"): ONNX convolution and pooling read the
// second axis as the channels, so such an input would be computed with its axes mixed up.
void require_channel_first(std::string_view bare_name, std::optional<std::string_view> data_format);

}  // namespace kestro::attr
