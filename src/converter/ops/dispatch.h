#pragma once
// The second-pass dispatch table, exposed for tests.
#include <string_view>
#include <unordered_map>

#include "converter/converter.h"

namespace kestro::ops {

void pass2_noop(Converter&, std::string_view, const Json&);
// PASS2_OP_DISPATCH: full operator name -> handler; built once, on first use.
const std::unordered_map<std::string_view, Pass2OpHandler>& pass2_op_dispatch();
// The bare name the generic conversion receives: the leading "1." and every trailing "_"
// stripped ("1.1.relu" keeps "1.relu", which names no operator).
std::string_view generic_name(std::string_view full_name);

}  // namespace kestro::ops
