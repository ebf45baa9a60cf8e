#pragma once
// The Paddle framework's TensorDesc message, as found in a .pdiparams weight file.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestro::proto::paddle {

// VarType.Type values read from a TensorDesc.
struct TensorDesc {
    int32_t data_type = 0;  // a value that names no VarType.Type member reads as 0 (Bool)
    std::vector<int64_t> dims;
};

// Decodes a TensorDesc from its wire bytes. Unknown fields are skipped; malformed wire
// data throws kestro::Error with a message that starts "failed to decode Protobuf message".
TensorDesc decode_tensor_desc(const uint8_t* data, size_t size);

// The VarType.Type member name of a value ("Fp32", "Complex64", ...); values that name no
// member give "Bool", as the decoder reads them.
std::string_view var_type_name(int32_t value);

// True when the value names a member of VarType.Type.
bool is_var_type_member(int32_t value);

}  // namespace kestro::proto::paddle
