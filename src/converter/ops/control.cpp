// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_one_hot(const Json&) { not_supported_yet("1.one_hot"); }
void Converter::op_if(const Json&) { not_supported_yet("1.if"); }
void Converter::op_while(const Json&) { not_supported_yet("1.while"); }
void Converter::op_any_all(const Json&, bool any) { not_supported_yet(any ? "1.any" : "1.all"); }

}  // namespace kestro
