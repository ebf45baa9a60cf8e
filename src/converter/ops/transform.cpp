// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_flip(const Json&) { not_supported_yet("1.flip"); }
void Converter::op_cumsum(const Json&) { not_supported_yet("1.cumsum"); }
void Converter::op_einsum(const Json&) { not_supported_yet("1.einsum"); }
void Converter::op_meshgrid(const Json&) { not_supported_yet("1.meshgrid"); }

}  // namespace kestro
