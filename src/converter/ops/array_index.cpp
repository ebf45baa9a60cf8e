// Index input helpers shared by the slicing, sorting and scatter lowerings.
#include <algorithm>

#include "converter/converter.h"

namespace kestro {

// ONNX index inputs are int64; anything not recorded as exactly int64 gets a Cast
// (an unrecorded type too: casting an int64 is harmless, leaving an int32 is not).
std::string Converter::ensure_i64_input(int64_t id, int64_t name_id, std::string_view prefix) {
    return ensure_i64_value(id, get_tensor_name(id), fmt::format("{}_i64_{}", prefix, name_id));
}

std::string Converter::ensure_i64_value(int64_t type_id, std::string name, std::string cast_name) {
    if (dtype_token_is(type_id, proto::dtype::INT64)) return name;
    add_cast_node(std::move(name), cast_name, proto::dtype::INT64);
    return cast_name;
}

std::string Converter::ensure_i64_if_known(int64_t type_id, std::string name,
                                           std::string cast_name) {
    const auto type = onnx_dtype_if_known(type_id);
    if (!type || *type == proto::dtype::INT64) return name;
    add_cast_node(std::move(name), cast_name, proto::dtype::INT64);
    return cast_name;
}

std::string Converter::axes_as_list(int64_t id, std::string name, const std::string& vector_name) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || !dims->empty()) return name;
    add_unsqueeze_node(std::move(name), vector_name, {0}, vector_name + "_axes");
    return vector_name;
}

// A [1]-shaped value becomes a scalar, and then INT64 as ensure_i64_input makes it.
std::string Converter::ensure_scalar_i64_input(int64_t id, int64_t name_id, std::string_view prefix) {
    std::string current = get_tensor_name(id);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (dims && *dims == std::vector<int64_t>{1}) {
        std::string squeezed = fmt::format("{}_scalar_{}", prefix, name_id);
        add_squeeze_node(std::move(current), squeezed, std::vector<int64_t>{0},
                         fmt::format("{}_scalar_axes_{}", prefix, name_id));
        current = std::move(squeezed);
    }
    return ensure_i64_value(id, std::move(current), fmt::format("{}_i64_{}", prefix, name_id));
}

std::string Converter::flat_i64_list(int64_t id, int64_t name_id, std::string_view prefix) {
    std::string list = ensure_i64_input(id, name_id, prefix);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || dims->size() == 1) return list;
    const std::string flat = fmt::format("{}_flat_{}", prefix, name_id);
    const std::string shape = fmt::format("{}_flat_shape_{}", prefix, name_id);
    push_i64_vector_initializer(shape, {-1});
    append_node("Reshape", {std::move(list), shape}, {flat});
    return flat;
}

std::string Converter::one_value_of_rank(int64_t id, std::string name, size_t rank, const std::string& new_name) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || dims->size() <= rank) return name;
    const std::string shape = new_name + "_shape";
    push_i64_vector_initializer(shape, rank == 0 ? std::vector<int64_t>{} : std::vector<int64_t>{1});
    append_node("Reshape", {std::move(name), shape}, {new_name});
    return new_name;
}

// Makes a negative axis count from the front; no range check, callers that need a valid
// axis check it themselves. The rank is required even for a non-negative axis.
int64_t Converter::normalize_axis(int64_t axis, int64_t tensor_id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(tensor_id);
    if (!dims) throw Error("missing rank metadata for tensor {}", tensor_id);
    return axis < 0 ? axis + static_cast<int64_t>(dims->size()) : axis;
}

}  // namespace kestro
