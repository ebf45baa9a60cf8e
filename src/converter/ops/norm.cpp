// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_batch_norm(const Json&) { not_supported_yet("1.batch_norm"); }
void Converter::op_group_norm(const Json&) { not_supported_yet("1.group_norm"); }

}  // namespace kestro
