// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_multiclass_nms3(const Json&) { not_supported_yet("1.multiclass_nms3"); }

}  // namespace kestro
