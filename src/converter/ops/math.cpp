// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_scale(const Json&) { not_supported_yet("1.scale"); }
void Converter::op_multiply(const Json&) { not_supported_yet("1.multiply"); }
void Converter::op_floor_divide(const Json&) { not_supported_yet("1.floor_divide"); }
void Converter::op_pow(const Json&) { not_supported_yet("1.pow"); }
void Converter::op_bitwise_and(const Json&) { not_supported_yet("1.bitwise_and"); }
void Converter::op_bitwise_not(const Json&) { not_supported_yet("1.bitwise_not"); }
void Converter::op_hardswish(const Json&) { not_supported_yet("1.hardswish"); }
void Converter::op_leaky_relu(const Json&) { not_supported_yet("1.leaky_relu"); }
void Converter::op_gelu(const Json&) { not_supported_yet("1.gelu"); }
void Converter::op_prelu(const Json&) { not_supported_yet("1.prelu"); }
void Converter::op_swish(const Json&) { not_supported_yet("1.swish"); }
void Converter::op_matmul(const Json&) { not_supported_yet("1.matmul"); }
void Converter::op_linear_v2(const Json&) { not_supported_yet("1.linear_v2"); }
void Converter::op_unbind(const Json&) { not_supported_yet("1.unbind"); }
void Converter::op_grid_sample(const Json&) { not_supported_yet("1.grid_sample"); }
void Converter::op_multinomial(const Json&) { not_supported_yet("1.multinomial"); }
void Converter::op_trilu(const Json&, bool upper) { not_supported_yet(upper ? "1.triu" : "1.tril"); }

}  // namespace kestro
