// Lowerings not built yet: each fails with a message naming its operator.
#include "converter/converter.h"

namespace kestro {

void Converter::op_resize_interp(const Json&, std::string_view mode) {
    not_supported_yet(mode == "nearest" ? "1.nearest_interp" : "1.bilinear_interp");
}

}  // namespace kestro
