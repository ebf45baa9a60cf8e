// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_index_put(const Json&) { not_supported_yet("1.index_put"); }
void Converter::op_set_value(const Json&) { not_supported_yet("1.set_value_"); }
void Converter::op_set_value_with_tensor(const Json&) { not_supported_yet("1.set_value_with_tensor_"); }
void Converter::op_put_along_axis(const Json&) { not_supported_yet("1.put_along_axis"); }
void Converter::op_repeat_interleave(const Json&) { not_supported_yet("1.repeat_interleave"); }

}  // namespace kestro
