// Index input helpers not built yet.
#include "converter/converter.h"

namespace kestro {

std::string Converter::ensure_i64_input(int64_t, int64_t, std::string_view) {
    throw Error("ensure_i64_input is not supported yet");
}
int64_t Converter::normalize_axis(int64_t, int64_t) const {
    throw Error("normalize_axis is not supported yet");
}
}  // namespace kestro
