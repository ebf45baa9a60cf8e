// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_reduce_sum(const Json&) { not_supported_yet("1.sum"); }
void Converter::op_topk(const Json&) { not_supported_yet("1.topk"); }
void Converter::op_argmax(const Json&) { not_supported_yet("1.argmax"); }
void Converter::op_argsort(const Json&) { not_supported_yet("1.argsort"); }
void Converter::reduce_via_const_axes(const Json&, std::string_view, std::string_view, std::string_view prefix) {
    not_supported_yet(prefix == "reduce_max" ? "1.max" : prefix == "reduce_min" ? "1.min" : "1.mean");
}

}  // namespace kestro
