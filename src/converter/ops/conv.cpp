// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_conv2d_transpose(const Json&) { not_supported_yet("1.conv2d_transpose"); }
void Converter::op_pool2d(const Json&) { not_supported_yet("1.pool2d"); }

}  // namespace kestro
