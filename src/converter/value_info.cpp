// Descriptions of graph values (ValueInfoProto) from element-type tokens and dims.
#include "converter/converter.h"

namespace kestro {

int32_t Converter::onnx_elem_type_from_paddle(std::string_view token) {
    if (auto code = helper::paddle_token_to_onnx(token)) return *code;
    throw Error("Unsupported Paddle element type: {}", helper::fmt_text(token));
}

proto::ValueInfoProto Converter::build_value_info_from_meta(std::string name,
                                                            std::string_view token,
                                                            const std::vector<int64_t>& dims) {
    return tensor_value_info(std::move(name), onnx_elem_type_from_paddle(token), dims);
}

proto::ValueInfoProto Converter::tensor_value_info(std::string name, int32_t elem_type,
                                                   const std::vector<int64_t>& dims) {
    proto::TensorShapeProto shape;
    shape.dim.reserve(dims.size());
    for (int64_t d : dims) {
        // An unknown dim (negative) carries neither a value nor a parameter name.
        auto& dim = shape.dim.emplace_back();
        if (d >= 0) dim.value.emplace<int64_t>(d);
    }
    proto::TypeProto::Tensor tensor;
    tensor.elem_type = elem_type;
    tensor.shape = std::move(shape);

    proto::ValueInfoProto info;
    info.name = std::move(name);
    info.type.emplace();
    info.type->value = std::move(tensor);
    return info;
}

proto::ValueInfoProto Converter::build_value_info_for_id(int64_t id, std::string name) const {
    const std::string* token = state.tensor_dtypes.find(id);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    proto::ValueInfoProto info = build_value_info_from_meta(
        std::move(name), token ? std::string_view(*token) : "0.t_f32", dims ? *dims : std::vector<int64_t>{});
    // No dims recorded: the shape is left open rather than declared a scalar, which the value
    // may well not be.
    if (!dims) std::get<proto::TypeProto::Tensor>(info.type->value).shape.reset();
    return info;
}

namespace {

struct TypeDescription {
    std::string_view token;
    std::vector<int64_t> dims;
};

// The type of the first "I" or "O" entry. A graph input or output needs both a token and
// a dims entry. A dims entry that is not an integer is an unknown dim: dropping it would
// silently change the rank of the graph's input or output.
std::optional<TypeDescription> first_entry_type(const Json& op, const char* key) {
    const Json* entry = helper::first_entry(op, key);
    if (entry == nullptr) return std::nullopt;
    auto type = helper::declared_type(*entry, helper::NonIntegerDims::Unknown,
                                      helper::TypeOnly::Refused);
    if (!type || !type->token) return std::nullopt;
    return TypeDescription{*type->token, type->dims.value_or(std::vector<int64_t>{})};
}

}  // namespace

std::string Converter::graph_value_name(const Json& op, Direction direction) {
    if (auto given = helper::op_attr_str(op, "name"); given && !given->empty()) return std::string(*given);
    if (direction == Direction::Input) {
        auto out = helper::try_op_out_id(op);
        return out ? fmt::format("input_{}", *out) : "input";
    }
    IdList ids = helper::op_input_ids(op);
    return ids.empty() ? "output" : fmt::format("output_{}", ids.front());
}

proto::ValueInfoProto Converter::build_value_info(const Json& op, Direction direction) {
    std::string name = graph_value_name(op, direction);

    if (auto type = first_entry_type(op, "O"))
        return build_value_info_from_meta(std::move(name), type->token, type->dims);
    proto::ValueInfoProto info;
    info.name = std::move(name);
    return info;
}

// Used by the fetch lowering: the output entry's type, else the first input entry's.
std::optional<proto::ValueInfoProto> fetch_type_fallback(const Json& op, const std::string& name) {
    if (auto type = first_entry_type(op, "I"))
        return Converter::build_value_info_from_meta(name, type->token, type->dims);
    return std::nullopt;
}

}  // namespace kestro
