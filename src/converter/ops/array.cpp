// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_assign_value(const Json&) { not_supported_yet("1.assign_value_"); }
void Converter::op_cast(const Json&) { not_supported_yet("1.cast"); }
void Converter::op_clip(const Json&) { not_supported_yet("1.clip"); }
void Converter::op_arange(const Json&) { not_supported_yet("1.arange"); }
void Converter::op_expand(const Json&) { not_supported_yet("1.expand"); }
void Converter::op_full_like(const Json&) { not_supported_yet("1.full_like"); }
void Converter::op_full_with_tensor(const Json&) { not_supported_yet("1.full_with_tensor"); }
void Converter::op_slice(const Json&) { not_supported_yet("1.slice"); }
void Converter::op_strided_slice(const Json&) { not_supported_yet("1.strided_slice"); }
void Converter::op_full(std::string_view full_name, const Json&) { not_supported_yet(full_name); }

std::string Converter::ensure_scalar_i64_input(int64_t, int64_t, std::string_view) {
    throw Error("ensure_scalar_i64_input is not supported yet");
}
bool Converter::scalar_reduce_passthrough(int64_t, int64_t) {
    throw Error("scalar_reduce_passthrough is not supported yet");
}

}  // namespace kestro
