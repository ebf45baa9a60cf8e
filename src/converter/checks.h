#pragma once
// The stateless pieces of the checks of a program against itself (the checks that read the
// converter's tables are its members, in converter.h): what it declares for a value against
// what its operator computes. A declared result that cannot be kept is refused in one form:
// "<op> declares its output <out> as <type dims>, but computes <type dims>".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "helper/helper.h"

namespace kestro {

struct ConverterState;
namespace proto {
struct ValueInfoProto;
}

// A value's dims as far as they are known: nothing when not even its rank is.
using Dims = std::optional<std::vector<int64_t>>;

// The dims a description (a graph's or region's input or output) declares, -1 for a dim
// without a value; nothing when it declares no tensor shape.
Dims described_dims(const proto::ValueInfoProto& info);
// The element type a description declares; 0 when it declares none.
int32_t described_elem_type(const proto::ValueInfoProto& info);
// The dims the program records for value `id`; nothing when it records none.
Dims recorded_dims(const ConverterState& state, int64_t id);
// The element type the program records for value `id`; 0 when it records none ONNX has
// (Converter::onnx_dtype_if_known reads it as nothing).
int32_t recorded_elem_type(const ConverterState& state, int64_t id);

// "float32 [2, 3]": an element type (an ONNX code, nothing when unknown) and dims (left out
// when open).
std::string fmt_tensor_type(std::optional<int32_t> elem_type, const Dims& dims);

// The refusal of a declared result: "<op> declares its output <out> as <declared>, but <actual>",
// where `actual` is "computes <type dims>" or what else contradicts the declaration.
Error declared_result_error(std::string_view op, std::string_view out, std::string_view declared,
                            std::string_view actual);

// Numpy-style broadcast of dims; nothing when one is nothing. A dim that one side leaves
// unknown is unknown unless the other side's is known and not 1; dims that cannot broadcast
// are left unknown (that contradiction is the operands', not the result's).
Dims broadcast_dims(const std::vector<const std::vector<int64_t>*>& all);

// Whether known dims `a` and `b` broadcast, their last `skip` dims left out: each pair of
// trailing dims known to differ holds a 1 (unknown dims may match).
bool dims_broadcast(const std::vector<int64_t>& a, const std::vector<int64_t>& b, size_t skip = 0);

// What holds of one value that two paths give as `a` and `b`: the dims both give, -1 where
// they differ, nothing when their ranks differ or either leaves its rank open.
Dims joined_dims(const Dims& a, const Dims& b);

// Refuses a data operator whose output entry (`info`, the graph input) contradicts its dtype
// or shape attribute.
void refuse_data_contradiction(const Json& op, const proto::ValueInfoProto& info);

}  // namespace kestro
