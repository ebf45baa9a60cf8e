// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_squeeze(const Json&) { not_supported_yet("1.squeeze"); }
void Converter::op_unsqueeze(const Json&) { not_supported_yet("1.unsqueeze"); }
void Converter::op_flatten(const Json&) { not_supported_yet("1.flatten"); }
void Converter::op_stack(const Json&) { not_supported_yet("1.stack"); }
void Converter::op_concat(const Json&) { not_supported_yet("1.concat"); }
void Converter::op_split_family(std::string_view full_name, const Json&) { not_supported_yet(full_name); }

}  // namespace kestro
