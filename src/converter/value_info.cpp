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

proto::ValueInfoProto Converter::build_value_info(const Json& op, Direction direction) {
    std::string name;
    if (direction == Direction::Input) {
        auto out = helper::try_op_out_id(op);
        name = out ? fmt::format("input_{}", *out) : "input";
    } else {
        IdList ids = helper::op_input_ids(op);
        name = ids.empty() ? "output" : fmt::format("output_{}", ids.front());
    }
    if (auto given = helper::op_attr_str(op, "name"); given && !given->empty())
        name = std::string(*given);

    if (auto type = first_entry_type(op, "O"))
        return build_value_info_from_meta(std::move(name), type->token, type->dims);
    proto::ValueInfoProto info;
    info.name = std::move(name);
    return info;
}

namespace {

// The element type and dims a description declares; dims empty-optional when it leaves its
// shape open, -1 for a dim without a value.
struct DescribedType {
    int32_t elem_type = 0;
    std::optional<std::vector<int64_t>> dims;
};

std::optional<DescribedType> described_type(const proto::ValueInfoProto& info) {
    if (!info.type) return std::nullopt;
    const auto* tensor = std::get_if<proto::TypeProto::Tensor>(&info.type->value);
    if (!tensor) return std::nullopt;
    DescribedType t{tensor->elem_type, std::nullopt};
    if (tensor->shape) {
        std::vector<int64_t> dims;
        for (const auto& d : tensor->shape->dim) {
            const int64_t* v = std::get_if<int64_t>(&d.value);
            dims.push_back(v ? *v : -1);
        }
        t.dims = std::move(dims);
    }
    return t;
}

std::string fmt_type(int32_t elem_type, const std::optional<std::vector<int64_t>>& dims) {
    std::string out = helper::onnx_dtype_name(elem_type);
    if (dims) out += " " + helper::fmt_dims(*dims);
    return out;
}

}  // namespace

bool Converter::shapes_conflict(const std::optional<std::vector<int64_t>>& a,
                                const std::optional<std::vector<int64_t>>& b) {
    if (!a || !b) return false;
    if (a->size() != b->size()) return true;
    for (size_t k = 0; k < a->size(); ++k)
        if ((*a)[k] >= 0 && (*b)[k] >= 0 && (*a)[k] != (*b)[k]) return true;
    return false;
}

std::optional<std::string> Converter::contradiction_with_value(const proto::ValueInfoProto& info,
                                                               int64_t id) const {
    const std::optional<DescribedType> declared = described_type(info);
    if (!declared) return std::nullopt;
    const std::string* token = state.tensor_dtypes.find(id);
    // 0 (UNDEFINED) when the program records no element type ONNX has.
    int32_t known = 0;
    if (token)
        if (auto code = helper::paddle_token_to_onnx(*token)) known = *code;
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    const std::optional<std::vector<int64_t>> known_dims =
        dims ? std::optional<std::vector<int64_t>>(*dims) : std::nullopt;
    const bool type_differs = known != 0 && known != declared->elem_type;
    if (!type_differs && !shapes_conflict(declared->dims, known_dims)) return std::nullopt;
    const std::string value = known != 0 ? fmt_type(known, known_dims)
                                    : fmt::format("of dims {}", helper::fmt_dims(*known_dims));
    return fmt::format("declares {}, but value {} is {}", fmt_type(declared->elem_type, declared->dims), id,
                       value);
}

void refuse_data_contradiction(const Json& op, const proto::ValueInfoProto& info) {
    const std::optional<DescribedType> declared = described_type(info);
    if (!declared) return;
    // The attributes say what is fed; the output entry is what the program's operators were
    // typed against. Where they disagree, the graph input would contradict one of them.
    if (auto word = helper::op_attr_str(op, "dtype")) {
        const std::optional<int32_t> fed = helper::paddle_dtype_token_to_onnx(*word);
        if (fed && *fed != declared->elem_type)
            throw Error("data {} declares {}, but its dtype attribute is {}", helper::fmt_text(info.name),
                        fmt_type(declared->elem_type, declared->dims), helper::onnx_dtype_name(*fed));
    }
    if (const Json* shape = helper::attr(op, "shape"); shape && shape->IsArray()) {
        const std::vector<int64_t> fed = helper::collect_dims(*shape);
        if (Converter::shapes_conflict(declared->dims, fed))
            throw Error("data {} declares {}, but its shape attribute is {}", helper::fmt_text(info.name),
                        fmt_type(declared->elem_type, declared->dims), helper::fmt_dims(fed));
    }
}

// Used by the fetch lowering: the output entry's type, else the first input entry's.
std::optional<proto::ValueInfoProto> fetch_type_fallback(const Json& op, const std::string& name) {
    if (auto type = first_entry_type(op, "I"))
        return Converter::build_value_info_from_meta(name, type->token, type->dims);
    return std::nullopt;
}

}  // namespace kestro
