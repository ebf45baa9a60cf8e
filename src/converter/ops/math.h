#pragma once
// Small shared pieces of the arithmetic, activation and matrix lowerings.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "converter/converter.h"

namespace kestro::math_ops {

// Add, Sub, Mul and Div accept int8, int16 and uint8 only from opset 14: below that such
// operands are computed in int32 and cast back. Every other type is returned unchanged.
int32_t arithmetic_compute_dtype(int32_t dtype, int64_t opset);

// The integer an initializer of integer type `dtype` holds for `value`: truncated toward
// zero and clamped to the type's range, NaN giving 0.
int64_t saturate_to_int_dtype(int32_t dtype, double value);

// Names of the pieces of one unbind: one per value id recorded for its list output.
std::vector<std::string> unbind_split_names(int64_t out_id, const IdList& outs);
Error unbind_missing_split_error(int64_t out_id);

}  // namespace kestro::math_ops
