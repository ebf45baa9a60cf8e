// Descriptions of graph values (ValueInfoProto) from element-type tokens and dims.
#include <algorithm>

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

void Converter::refuse_output_contradiction(std::string_view op_name, int64_t out,
                                            std::optional<int32_t> computed_type,
                                            const std::optional<std::vector<int64_t>>& computed_dims) const {
    const std::optional<int32_t> declared_type = onnx_dtype_if_known(out);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(out);
    const std::optional<std::vector<int64_t>> declared_dims =
        dims ? std::optional<std::vector<int64_t>>(*dims) : std::nullopt;
    const bool type_differs = declared_type && computed_type && *declared_type != *computed_type;
    if (!type_differs && !shapes_conflict(declared_dims, computed_dims)) return;
    const auto describe = [](std::optional<int32_t> type, const std::optional<std::vector<int64_t>>& d) {
        return type ? fmt_type(*type, d) : fmt::format("of dims {}", helper::fmt_dims(*d));
    };
    throw Error("{} declares its output {} as {}, but computes {}", op_name, out,
                describe(declared_type ? declared_type : computed_type, declared_dims),
                describe(computed_type ? computed_type : declared_type, computed_dims));
}

namespace {

// Numpy-style broadcast of recorded dims; nothing when one is not recorded. A dim that one
// side leaves unknown is unknown unless the other side's is known and not 1; dims that
// cannot broadcast are left unknown (that contradiction is the operands', not the output's).
std::optional<std::vector<int64_t>> broadcast(const std::vector<const std::vector<int64_t>*>& all) {
    size_t rank = 0;
    for (const auto* d : all) {
        if (!d) return std::nullopt;
        rank = std::max(rank, d->size());
    }
    std::vector<int64_t> out(rank, 1);
    for (const auto* d : all) {
        const size_t offset = rank - d->size();
        for (size_t k = 0; k < d->size(); ++k) {
            int64_t& o = out[offset + k];
            const int64_t v = (*d)[k];
            if (v == 1 || o == v) continue;
            if (o == 1) o = v;
            else if (v < 0 && o >= 0) continue;  // o known and not 1: the unknown must match it
            else if (o < 0 && v >= 0) o = v;
            else o = -1;
        }
    }
    return out;
}

}  // namespace

void Converter::refuse_output_unlike(std::string_view op_name, int64_t out,
                                     std::initializer_list<int64_t> operands,
                                     std::optional<int32_t> result_type) const {
    std::vector<const std::vector<int64_t>*> dims;
    std::optional<int32_t> common;
    bool types_agree = true;
    for (int64_t id : operands) {
        if (id == 0) continue;
        dims.push_back(state.tensor_shapes.find(id));
        const std::optional<int32_t> t = onnx_dtype_if_known(id);
        if (!t || (common && *common != *t)) types_agree = false;
        if (t && !common) common = t;
    }
    if (!result_type && types_agree) result_type = common;
    refuse_output_contradiction(op_name, out, result_type, dims.empty() ? std::nullopt : broadcast(dims));
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
