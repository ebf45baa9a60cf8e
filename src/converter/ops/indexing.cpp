// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_eye(const Json&) { not_supported_yet("1.eye"); }
void Converter::op_gather(const Json&) { not_supported_yet("1.gather"); }
void Converter::op_index_select(const Json&) { not_supported_yet("1.index_select"); }
void Converter::op_embedding(const Json&) { not_supported_yet("1.embedding"); }
void Converter::op_take_along_axis(const Json&) { not_supported_yet("1.take_along_axis"); }
void Converter::op_not_equal(const Json&) { not_supported_yet("1.not_equal"); }

}  // namespace kestro
