// Matrix products (matmul, linear), triangle masks and unbind.
#include <algorithm>
#include <numeric>

#include "converter/converter.h"
#include "converter/ops/math.h"

namespace kestro {

namespace math_ops {

std::vector<std::string> unbind_split_names(int64_t out_id, const IdList& outs) {
    const NameMaker split_name{"unbind", out_id};
    std::vector<std::string> names;
    names.reserve(outs.size());
    for (size_t i = 0; i < outs.size(); ++i) names.push_back(split_name("split", i));
    return names;
}

Error unbind_missing_split_error(int64_t out_id) {
    return Error("unbind missing 0.split metadata for {}", out_id);
}

}  // namespace math_ops

using namespace math_ops;

void Converter::op_linear_v2(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"linear", out};
    const auto ids = helper::op_input_ids(op);
    // Paddle's linear multiplies floating-point vectors and matrices only (its signature
    // holds the rank).
    require_float_operand("linear_v2", ids[0]);
    const Dims product = check_matmul_operands("linear_v2", ids[0], ids[1], false, false);
    if (ids.size() >= 3 && ids[2] != 0) {
        require_same_type("linear_v2", "x", ids[0], "bias", ids[2]);
        // Paddle's bias is [out_features], added along the weight's last dim; one whose known
        // dims do not broadcast against x times weight would give an Add that no runtime runs.
        const std::vector<int64_t>* b = state.tensor_shapes.find(ids[2]);
        if (b && product && !dims_broadcast(*b, *product))
            throw Error("linear_v2: bias dims {} do not broadcast against {}, the dims of x times weight",
                        helper::fmt_dims(*b), helper::fmt_dims(*product));
    }
    settle_matmul_output("linear_v2", ids[0], ids[1], false, false, out, ids.size() >= 3 ? ids[2] : 0);
    std::string x = get_tensor_name(ids[0]);
    std::string w = get_tensor_name(ids[1]);
    const bool has_bias = ids.size() >= 3 && ids[2] != 0;
    if (!has_bias) {
        append_node("MatMul", {std::move(x), std::move(w)}, {get_tensor_name(out)});
        return;
    }
    const std::string mm = names("mm");
    append_node("MatMul", {std::move(x), std::move(w)}, {mm});
    std::string b = get_tensor_name(ids[2]);
    append_node("Add", {mm, std::move(b)}, {get_tensor_name(out)});
}

void Converter::op_matmul(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    // Paddle multiplies vectors and matrices only, in floats, int32 or int64, the types
    // MatMul takes; a rank-0 operand or another type is refused.
    for (int k = 0; k < 2; ++k) {
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[k]);
        if (dims && dims->empty()) throw Error("matmul does not take a rank-0 operand");
        const std::optional<int32_t> t = onnx_dtype_if_known(ids[k]);
        if (t && !helper::is_float_onnx_dtype(*t) && *t != proto::dtype::BFLOAT16 &&
            *t != proto::dtype::INT32 && *t != proto::dtype::INT64)
            throw Error("matmul does not take {} operands", helper::onnx_dtype_name(*t));
    }
    std::string operands[2] = {get_tensor_name(ids[0]), get_tensor_name(ids[1])};
    const bool flags[2] = {helper::op_attr_bool(op, "transpose_x").value_or(false),
                           helper::op_attr_bool(op, "transpose_y").value_or(false)};
    const char letters[2] = {'x', 'y'};
    for (int k = 0; k < 2; ++k) {
        if (!flags[k]) continue;
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[k]);
        // Without the rank the swap of the last two axes cannot be written, and dropping
        // the flag would silently compute a different product.
        if (!dims)
            throw Error("matmul with transpose_{} requires rank metadata for tensor {}",
                        letters[k], ids[k]);
        const int64_t r = static_cast<int64_t>(dims->size());
        if (r < 2) continue;  // a vector has nothing to transpose
        std::vector<int64_t> perm(static_cast<size_t>(r));
        std::iota(perm.begin(), perm.end(), 0);
        std::swap(perm[perm.size() - 2], perm[perm.size() - 1]);
        std::string t = fmt::format("matmul_transpose_{}_{}", letters[k], out);
        append_node("Transpose", {get_tensor_name(ids[k])}, {t}, {helper::attr_ints("perm", perm)});
        operands[k] = std::move(t);
    }
    // The product's dims are what its consumers are lowered against.
    settle_matmul_output("matmul", ids[0], ids[1], flags[0], flags[1], out);
    append_node("MatMul", {std::move(operands[0]), std::move(operands[1])}, {get_tensor_name(out)});
}

namespace {

// One batch dim of a product: a 1 takes the other; a dim left unknown (-1) is the other where
// that is known and not 1. Known dims that differ were refused before.
int64_t batch_dim(int64_t da, int64_t db) {
    if (da == 1) return db;
    if (db == 1 || da == db) return da;
    if (da < 0) return db;
    if (db < 0) return da;
    return -1;
}

// The dims of the product of `a` and `b` (dims after the transposes, each of rank 1 or more):
// the batch dims broadcast, then a's rows and b's columns, a vector's dim dropped.
std::vector<int64_t> product_dims(const std::vector<int64_t>& a, const std::vector<int64_t>& b) {
    const size_t batch_a = a.size() >= 2 ? a.size() - 2 : 0;
    const size_t batch_b = b.size() >= 2 ? b.size() - 2 : 0;
    const size_t batch = std::max(batch_a, batch_b);
    std::vector<int64_t> out(batch, 1);
    for (size_t k = 0; k < batch; ++k) {
        const int64_t da = k + batch_a >= batch ? a[k + batch_a - batch] : 1;
        const int64_t db = k + batch_b >= batch ? b[k + batch_b - batch] : 1;
        out[k] = batch_dim(da, db);
    }
    if (a.size() >= 2) out.push_back(a[a.size() - 2]);
    if (b.size() >= 2) out.push_back(b.back());
    return out;
}

}  // namespace

// Operands of two types, or whose known dims do not line up (the inner dims of the product,
// or batch dims that cannot broadcast), give a MatMul no runtime loads.
Dims Converter::check_matmul_operands(std::string_view op, int64_t x, int64_t y, bool transpose_x,
                                      bool transpose_y) const {
    using namespace proto::dtype;
    require_operand_type(op, "x", x, {FLOAT, FLOAT16, DOUBLE, INT32, INT64});
    require_same_type(op, "x", x, "y", y);
    const std::vector<int64_t>* xd = state.tensor_shapes.find(x);
    const std::vector<int64_t>* yd = state.tensor_shapes.find(y);
    if (!xd || !yd || xd->empty() || yd->empty()) return std::nullopt;
    std::vector<int64_t> a = *xd, b = *yd;
    if (transpose_x && a.size() >= 2) std::swap(a[a.size() - 2], a[a.size() - 1]);
    if (transpose_y && b.size() >= 2) std::swap(b[b.size() - 2], b[b.size() - 1]);
    const int64_t inner_x = a.back();
    const int64_t inner_y = b.size() >= 2 ? b[b.size() - 2] : b.front();
    if (inner_x >= 0 && inner_y >= 0 && inner_x != inner_y)
        throw Error("{}: x dims {} and y dims {} do not line up ({} against {}){}",
                    op, helper::fmt_dims(*xd), helper::fmt_dims(*yd), inner_x, inner_y,
                    transpose_x || transpose_y ? " after the transposes" : "");
    if (a.size() > 2 && b.size() > 2) require_broadcastable(op, x, y, 2);
    return product_dims(a, b);
}

// Checks the product's operands and settles its output `out` (plus `bias` when not 0,
// broadcast) against the dims the product computes.
void Converter::settle_matmul_output(std::string_view op, int64_t x, int64_t y, bool transpose_x, bool transpose_y,
                                     int64_t out, int64_t bias) {
    Dims dims = check_matmul_operands(op, x, y, transpose_x, transpose_y);
    IdList sources{x, y};
    if (bias != 0 && dims) {
        const std::vector<int64_t>* bd = state.tensor_shapes.find(bias);
        if (!bd) return;
        dims = broadcast_dims({&*dims, bd});
        sources.push_back(bias);
    }
    settle_output(op, out, onnx_dtype_if_known(x), dims, sources);
}

void Converter::op_trilu(const Json& op, bool upper) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"trilu", out};
    const auto ids = helper::op_input_ids(op);
    const char* op_name = upper ? "triu" : "tril";
    // Paddle takes matrices (rank 2 and up, as their signatures hold) of these types only;
    // ONNX Runtime has no Trilu for 8- and 16-bit integers either.
    if (const std::optional<int32_t> t = onnx_dtype_if_known(ids[0]);
        t && (*t == proto::dtype::INT8 || *t == proto::dtype::UINT8 || *t == proto::dtype::INT16 ||
              *t == proto::dtype::UINT16))
        throw Error("{} does not take {} inputs", op_name, helper::onnx_dtype_name(*t));
    const int64_t k = helper::op_attr_i64(op, "diagonal").value_or(0);
    const std::string k_name = names("k");
    push_i64_initializer(k_name, {1}, {k});
    std::string x = get_tensor_name(ids[0]);
    append_node("Trilu", {std::move(x), k_name}, {get_tensor_name(out)},
                {helper::attr_int("upper", upper ? 1 : 0)});
}

void Converter::op_unbind(const Json& op) {
    const int64_t u = helper::op_out_id(op);
    const NameMaker names{"unbind", u};
    const auto ids = helper::op_input_ids(op);
    const IdList* recorded = state.split_outputs.find(u);
    if (!recorded) throw unbind_missing_split_error(u);
    const IdList outs = *recorded;
    // A Split without outputs, or along an axis the input lacks, is not a valid model.
    if (outs.empty()) throw Error("unbind has no outputs for {}", u);
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    if (!x_dims) throw Error("missing rank metadata for tensor {}", ids[0]);
    const int64_t axis_attr = helper::op_attr_i64(op, "axis").value_or(0);
    const int64_t axis = checked_axis("unbind", "axis", axis_attr, static_cast<int64_t>(x_dims->size()));
    // Split gives one piece per element along the axis, so the list must hold that many.
    if (const int64_t n = (*state.tensor_shapes.find(ids[0]))[static_cast<size_t>(axis)];
        n >= 0 && static_cast<uint64_t>(n) != outs.size())
        throw Error("unbind makes {} pieces along axis {}, but its list is unpacked into {} values", n, axis_attr,
                    outs.size());

    std::vector<std::string> pieces = unbind_split_names(u, outs);
    std::vector<proto::AttributeProto> attrs{helper::attr_int("axis", axis)};
    if (opset >= 18) attrs.push_back(helper::attr_int("num_outputs", static_cast<int64_t>(outs.size())));
    append_node("Split", {get_tensor_name(ids[0])}, pieces, std::move(attrs));
    for (size_t i = 0; i < outs.size(); ++i) {
        std::string o = get_tensor_name(outs[i]);
        add_squeeze_node(std::move(pieces[i]), std::move(o), std::vector<int64_t>{axis},
                         names("axes", i));
    }
}

}  // namespace kestro
