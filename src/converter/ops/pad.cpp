// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_pad(const Json&) { not_supported_yet("1.pad"); }
void Converter::op_pad3d(const Json&) { not_supported_yet("1.pad3d"); }
void Converter::op_roll(const Json&) { not_supported_yet("1.roll"); }
void Converter::op_tile(const Json&) { not_supported_yet("1.tile"); }

}  // namespace kestro
