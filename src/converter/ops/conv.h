#pragma once
// Attribute-list filters shared by the transposed-convolution and pooling lowerings.
#include <string_view>
#include <vector>

#include "proto/onnx.h"

namespace kestro::ops {

// Removes, in place and keeping the order of the rest, every attribute whose name is
// exactly `name`.
void remove_attributes_named(std::vector<proto::AttributeProto>& attrs, std::string_view name);
void remove_output_shape_attributes(std::vector<proto::AttributeProto>& attrs);
void remove_ceil_mode_attributes(std::vector<proto::AttributeProto>& attrs);

}  // namespace kestro::ops
