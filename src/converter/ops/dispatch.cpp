// The second pass: operator name -> lowering, and the generic fallback. Each row's operator
// declares its operands in signatures.cpp; they are checked here before its lowering runs.
#include <unordered_map>

#include "converter/converter.h"
#include "converter/ops/dispatch.h"
#include "log.h"

namespace kestro {

namespace ops {

void pass2_noop(Converter&, std::string_view, const Json&) {}

namespace {

// Adapts a member taking only the operator object to the handler signature.
template <void (Converter::*Lowering)(const Json&)>
void call(Converter& c, std::string_view, const Json& op) {
    (c.*Lowering)(op);
}

template <void (Converter::*Lowering)(std::string_view, const Json&)>
void call_named(Converter& c, std::string_view name, const Json& op) {
    (c.*Lowering)(name, op);
}

using Table = std::unordered_map<std::string_view, Pass2OpHandler>;

// Where each row's lowering lives (ops/); the rows p, 0.combine, 0.split and 2.yield lower
// to nothing here. dispatch_test checks that every row is named below, and every name is a row.
//   misc.cpp       data, fetch, dropout
//   array.cpp      full, full_int_array, assign_value_, cast, clip, slice, strided_slice,
//                  arange, range, expand, full_like, full_with_tensor
//   shape.cpp      squeeze(_), unsqueeze(_), flatten(_), stack, concat, split,
//                  split_with_num
//   math.cpp       scale, multiply, floor_divide, remainder(_), pow, bitwise_and,
//                  bitwise_not
//   activation.cpp swish, silu, hardswish, hardsigmoid, gelu, prelu, leaky_relu, softmax(_)
//   matrix.cpp     matmul, matmul_v2, linear_v2, tril, triu, unbind
//   norm.cpp       batch_norm(_), group_norm, layer_norm
//   conv.cpp       pool2d, conv2d_transpose(_)
//   pad.cpp        pad, pad3d, roll, tile
//   resize.cpp     nearest_interp, bilinear_interp
//   nms.cpp        multiclass_nms3
//   sampling.cpp   grid_sample, multinomial
//   reduce.cpp     max, mean, min, sum, topk, argmax, argsort
//   indexing.cpp   gather, gather_nd, index_select, embedding, take_along_axis, eye,
//                  not_equal
//   transform.cpp  flip, cumsum, einsum, meshgrid, transpose(_)
//   update.cpp     index_put, put_along_axis, repeat_interleave(_with_tensor_index)
//   set_value.cpp  set_value_, set_value_with_tensor_
//   control.cpp    if, while, any, all, one_hot
// Every other name of the operator dialect takes the generic conversion (convert_generic_op
// in misc.cpp, with its attribute rules in converter/attr.cpp). The first pass records
// parameters, combines and splits, and a region's conversion reads its yield.

Table build_table() {
    using C = Converter;
    // The rows in their fixed order. "1.flatten_" has its own row: the generic fallback
    // would turn the in-place flatten into ONNX Flatten, which always gives 2-D and drops
    // stop_axis.
    const std::pair<std::string_view, Pass2OpHandler> rows[] = {
        {"p", pass2_noop},
        {"0.combine", pass2_noop},
        {"0.split", pass2_noop},
        {"1.full", call_named<&C::op_full>},
        {"1.full_int_array", call_named<&C::op_full>},
        {"1.assign_value_", call<&C::op_assign_value>},
        {"1.data", call<&C::op_data>},
        {"1.fetch", call<&C::op_fetch>},
        {"1.cast", call<&C::op_cast>},
        {"1.matmul", call<&C::op_matmul>},
        {"1.matmul_v2", call<&C::op_matmul>},
        {"1.clip", call<&C::op_clip>},
        {"1.slice", call<&C::op_slice>},
        {"1.squeeze", call<&C::op_squeeze>},
        {"1.squeeze_", call<&C::op_squeeze>},
        {"1.unsqueeze", call<&C::op_unsqueeze>},
        {"1.unsqueeze_", call<&C::op_unsqueeze>},
        {"1.flatten", call<&C::op_flatten>},
        {"1.flatten_", call<&C::op_flatten>},
        {"1.scale", call<&C::op_scale>},
        {"1.swish", call<&C::op_swish>},
        {"1.silu", call<&C::op_swish>},
        {"1.hardswish", call<&C::op_hardswish>},
        {"1.gelu", call<&C::op_gelu>},
        {"1.stack", call<&C::op_stack>},
        {"1.concat", call<&C::op_concat>},
        {"1.split", call_named<&C::op_split_family>},
        {"1.split_with_num", call_named<&C::op_split_family>},
        {"1.nearest_interp",
         [](C& c, std::string_view, const Json& op) { c.op_resize_interp(op, "nearest"); }},
        {"1.bilinear_interp",
         [](C& c, std::string_view, const Json& op) { c.op_resize_interp(op, "linear"); }},
        {"1.arange", call<&C::op_arange>},
        {"1.range", call<&C::op_range>},
        {"1.pool2d", call<&C::op_pool2d>},
        {"1.batch_norm_", call<&C::op_batch_norm>},
        {"1.batch_norm", call<&C::op_batch_norm>},
        {"1.conv2d_transpose", call<&C::op_conv2d_transpose>},
        {"1.conv2d_transpose_", call<&C::op_conv2d_transpose>},
        {"1.expand", call<&C::op_expand>},
        {"1.full_like", call<&C::op_full_like>},
        {"1.full_with_tensor", call<&C::op_full_with_tensor>},
        {"1.eye", call<&C::op_eye>},
        {"1.max",
         [](C& c, std::string_view, const Json& op) {
             c.reduce_via_const_axes(op, "ReduceMax", "reduce_max");
         }},
        {"1.mean",
         [](C& c, std::string_view, const Json& op) {
             c.reduce_via_const_axes(op, "ReduceMean", "reduce_mean");
         }},
        {"1.min",
         [](C& c, std::string_view, const Json& op) {
             c.reduce_via_const_axes(op, "ReduceMin", "reduce_min");
         }},
        {"1.sum", call<&C::op_reduce_sum>},
        {"1.topk", call<&C::op_topk>},
        {"1.argmax", call<&C::op_argmax>},
        {"1.any", [](C& c, std::string_view, const Json& op) { c.op_any_all(op, true); }},
        {"1.all", [](C& c, std::string_view, const Json& op) { c.op_any_all(op, false); }},
        {"1.argsort", call<&C::op_argsort>},
        {"1.gather", call<&C::op_gather>},
        {"1.gather_nd", call<&C::op_gather_nd>},
        {"1.index_select", call<&C::op_index_select>},
        {"1.embedding", call<&C::op_embedding>},
        {"1.take_along_axis", call<&C::op_take_along_axis>},
        {"1.one_hot", call<&C::op_one_hot>},
        {"1.not_equal", call<&C::op_not_equal>},
        {"1.multiclass_nms3", call<&C::op_multiclass_nms3>},
        {"1.floor_divide", call<&C::op_floor_divide>},
        {"1.grid_sample", call<&C::op_grid_sample>},
        {"1.flip", call<&C::op_flip>},
        {"1.cumsum", call<&C::op_cumsum>},
        {"1.einsum", call<&C::op_einsum>},
        {"1.meshgrid", call<&C::op_meshgrid>},
        {"1.group_norm", call<&C::op_group_norm>},
        {"1.if", call<&C::op_if>},
        {"1.index_put", call<&C::op_index_put>},
        {"1.set_value_", call<&C::op_set_value>},
        {"1.set_value_with_tensor_", call<&C::op_set_value_with_tensor>},
        {"1.pad", call<&C::op_pad>},
        {"1.pad3d", call<&C::op_pad3d>},
        {"1.pow", call<&C::op_pow>},
        {"1.prelu", call<&C::op_prelu>},
        {"1.leaky_relu", call<&C::op_leaky_relu>},
        {"1.linear_v2", call<&C::op_linear_v2>},
        {"1.put_along_axis", call<&C::op_put_along_axis>},
        {"1.repeat_interleave", call<&C::op_repeat_interleave>},
        {"1.repeat_interleave_with_tensor_index", call<&C::op_repeat_interleave>},
        {"1.roll", call<&C::op_roll>},
        {"1.strided_slice", call<&C::op_strided_slice>},
        {"1.tril", [](C& c, std::string_view, const Json& op) { c.op_trilu(op, false); }},
        {"1.triu", [](C& c, std::string_view, const Json& op) { c.op_trilu(op, true); }},
        {"1.dropout", call<&C::op_dropout>},
        {"1.tile", call<&C::op_tile>},
        {"1.bitwise_and", call<&C::op_bitwise_and>},
        {"1.multiply", call<&C::op_multiply>},
        {"1.multinomial", call<&C::op_multinomial>},
        {"1.unbind", call<&C::op_unbind>},
        {"1.bitwise_not", call<&C::op_bitwise_not>},
        {"1.while", call<&C::op_while>},
        // Forms the one-node conversion gets wrong: softmax off the last axis before 13 and
        // on a single value, transpose with negative perm entries, layer_norm over several
        // axes or with parameters of another type than its input.
        {"1.softmax", call<&C::op_softmax>},
        {"1.softmax_", call<&C::op_softmax>},
        {"1.transpose", call<&C::op_transpose>},
        {"1.transpose_", call<&C::op_transpose>},
        {"1.layer_norm", call<&C::op_layer_norm>},
        // Float remainder: ONNX Mod takes floats only as fmod, Paddle follows the divisor's sign.
        {"1.remainder", call<&C::op_remainder>},
        {"1.remainder_", call<&C::op_remainder>},
        // ONNX Runtime has no float64 HardSigmoid.
        {"1.hardsigmoid", call<&C::op_hardsigmoid>},
        {"2.yield", pass2_noop},
    };
    Table table;
    table.reserve(std::size(rows));
    for (const auto& [name, handler] : rows) table.emplace(name, handler);
    return table;
}

}  // namespace

const std::unordered_map<std::string_view, Pass2OpHandler>& pass2_op_dispatch() {
    // Built once, on first use (thread-safe static initialisation), never changed after.
    static const Table table = build_table();
    return table;
}

std::string_view generic_name(std::string_view full_name) {
    // Only the dialect's own prefix goes: "1.1.nearest_interp" names no operator of the
    // dialect, and read as "nearest_interp" it became a Resize without scales or sizes.
    if (full_name.substr(0, 2) == "1.") full_name.remove_prefix(2);
    while (!full_name.empty() && full_name.back() == '_') full_name.remove_suffix(1);
    return full_name;
}

}  // namespace ops

void Converter::process_pass2_op(std::string_view full_name, const Json& op) {
    // Refusals of the value names name this operator; a region's operators name their own.
    struct CurrentOp {
        Converter& c;
        const Json* previous;
        ~CurrentOp() { c.current_op = previous; }
    } restore{*this, current_op};
    current_op = &op;
    const GraphMark mark = graph_mark();
    const size_t first_new = mark.nodes;
    // The operator's operands against its signature, in regions too (a region's converter
    // comes through here for each of its operators), before any lowering reads them.
    const IdList operands = helper::op_input_ids(op);
    const bool paddle_op = full_name.substr(0, 2) == "1.";
    const std::string_view bare = ops::generic_name(full_name);
    // The name as the program writes it ("batch_norm_"), for the refusals that say it so.
    const std::string_view written = paddle_op ? full_name.substr(2) : full_name;
    const ops::Signature* signature = ops::signature_of(full_name);
    // Below its lowest opset an operator converts in no form: that answers before anything of
    // it is read, its operands included.
    if (signature && signature->lowest_opset != 0) require_opset(written, signature->lowest_opset);
    if (paddle_op) read_combines_as_number_lists(bare, signature, operands, helper::try_op_out_id(op).value_or(0));
    if (signature) {
        check_operands(bare, written, *signature, operands);
        note_operand_reads(op, *signature, operands);
    }
    // A value read whole before its operator comes (the finished graph is sorted) has no
    // type yet: this operator's nodes are typed again once it has.
    const IdList awaited = paddle_op ? awaited_values(operands) : IdList{};
    lower_pass2_op(full_name, op);
    note_definitions(op);
    // ONNX's checker does not type every node kestro writes (none above opset 17): the
    // lowering's nodes are typed here, and the operator's declared outputs held to them.
    type_new_nodes(bare, mark);
    const IdList outputs = paddle_op || !readers_awaiting.empty() ? helper::op_output_ids(op) : IdList{};
    if (paddle_op) check_declared_types(bare, outputs);
    if (!awaited.empty())
        await_types(bare, outputs, mark, awaited);
    else if (!readers_awaiting.empty())
        settle_awaiting_types(outputs);
    if (graph.node.size() == first_new) return;
    const std::optional<int64_t> output = helper::try_op_out_id(op);
    std::optional<int64_t> input;
    if (!operands.empty()) input = operands.front();
    // A fetch's node is where a value's declaration meets what was computed for it: its
    // messages name the operator that made the value too.
    const std::string* from = nullptr;
    if (full_name == "1.fetch" && input) {
        if (const std::optional<std::string> name = tensor_name_of(*input))
            if (const NodeOrigins::Origin* made = node_origins->find(*name)) from = made->op;
    }
    // The operator's values by their tensor names, to tell a value's own tensor from an
    // intermediate of the lowering.
    std::unordered_map<std::string, int64_t> values;
    if (const Json* outs = helper::member(op, "O"))
        for (const int64_t id : helper::collect_value_ids(*outs)) {
            if (std::optional<std::string> name = tensor_name_of(id)) values.emplace(*std::move(name), id);
        }
    for (size_t i = first_new; i < graph.node.size(); ++i)
        for (const auto& out : graph.node[i].output) {
            if (out.empty()) continue;
            const auto it = values.find(out);
            node_origins->note(out, full_name, output, input,
                               it == values.end() ? std::nullopt : std::optional<int64_t>(it->second),
                               from);
        }
}

void Converter::lower_pass2_op(std::string_view full_name, const Json& op) {
    const auto& table = ops::pass2_op_dispatch();
    if (auto it = table.find(full_name); it != table.end()) {
        it->second(*this, full_name, op);
        return;
    }
    // An in-place form ("1.clip_", "1.tril_") computes what its operator computes: it takes
    // that operator's lowering, under the operator's own name.
    std::string_view base = full_name;
    while (!base.empty() && base.back() == '_') base.remove_suffix(1);
    if (base.size() != full_name.size()) {
        if (auto it = table.find(base); it != table.end()) {
            it->second(*this, base, op);
            return;
        }
    }
    if (full_name.size() >= 2 && full_name.substr(0, 2) == "1.") {
        KLOG(Level::Debug, "kestro::converter::ops",
             "No dedicated handler for {}; using generic conversion", helper::fmt_text(full_name));
        convert_generic_op(ops::generic_name(full_name), op);
        return;
    }
    // Names of other dialects without an entry produce nothing.
    skip_unknown_dialect_op(full_name, op);
}

}  // namespace kestro
