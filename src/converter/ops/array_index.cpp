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

// Makes a negative axis count from the front; no range check, callers that need a valid
// axis check it themselves. The rank is required even for a non-negative axis.
int64_t Converter::normalize_axis(int64_t axis, int64_t tensor_id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(tensor_id);
    if (!dims) throw Error("missing rank metadata for tensor {}", tensor_id);
    return axis < 0 ? axis + static_cast<int64_t>(dims->size()) : axis;
}

int64_t Converter::checked_axis(std::string_view op, std::string_view what, int64_t axis,
                                int64_t rank) {
    if (axis < -rank || axis >= rank)
        throw Error("{}: {} {} is outside [{}, {}) for an input of rank {}", op, what, axis, -rank,
                    rank, rank);
    return axis < 0 ? axis + rank : axis;
}

int64_t Converter::checked_axis_of(std::string_view op, std::string_view what, int64_t axis,
                                   int64_t tensor_id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(tensor_id);
    if (!dims) return axis;
    return checked_axis(op, what, axis, static_cast<int64_t>(dims->size()));
}

void Converter::require_operand_type(std::string_view op, std::string_view operand, int64_t id,
                                     std::initializer_list<int32_t> allowed) const {
    const std::optional<int32_t> t = onnx_dtype_if_known(id);
    if (!t || std::find(allowed.begin(), allowed.end(), *t) != allowed.end()) return;
    std::string names;
    for (int32_t a : allowed) names += fmt::format("{}{}", names.empty() ? "" : ", ", helper::onnx_dtype_name(a));
    throw Error("{}: {} is {}, but it must be one of {}", op, operand, helper::onnx_dtype_name(*t),
                names);
}

void Converter::require_same_type(std::string_view op, std::string_view a_what, int64_t a,
                                  std::string_view b_what, int64_t b) const {
    const std::optional<int32_t> ta = onnx_dtype_if_known(a);
    const std::optional<int32_t> tb = onnx_dtype_if_known(b);
    if (ta && tb && *ta != *tb)
        throw Error("{}: {} is {} but {} is {}; they must have one element type", op, a_what,
                    helper::onnx_dtype_name(*ta), b_what, helper::onnx_dtype_name(*tb));
}

void Converter::require_broadcastable(std::string_view op, int64_t a, int64_t b, size_t skip) const {
    const std::vector<int64_t>* da = state.tensor_shapes.find(a);
    const std::vector<int64_t>* db = state.tensor_shapes.find(b);
    if (!da || !db || da->size() < skip || db->size() < skip) return;
    const size_t n = std::min(da->size(), db->size()) - skip;
    for (size_t k = 1; k <= n; ++k) {
        const int64_t x = (*da)[da->size() - skip - k];
        const int64_t y = (*db)[db->size() - skip - k];
        if (x >= 0 && y >= 0 && x != 1 && y != 1 && x != y)
            throw Error("{}: operand dims {} and {} cannot broadcast", op, helper::fmt_dims(*da),
                        helper::fmt_dims(*db));
    }
}

void Converter::require_same_dims(std::string_view op, int64_t a, int64_t b, int64_t except) const {
    const std::vector<int64_t>* da = state.tensor_shapes.find(a);
    const std::vector<int64_t>* db = state.tensor_shapes.find(b);
    if (!da || !db) return;
    bool differs = da->size() != db->size();
    for (size_t k = 0; !differs && k < da->size(); ++k)
        differs = static_cast<int64_t>(k) != except && (*da)[k] >= 0 && (*db)[k] >= 0 && (*da)[k] != (*db)[k];
    if (differs)
        throw Error("{}: input dims {} and {} do not match{}", op, helper::fmt_dims(*da), helper::fmt_dims(*db),
                    except >= 0 ? fmt::format(" outside axis {}", except) : std::string());
}

}  // namespace kestro
