// Graph inputs (data), graph outputs (fetch), dropout, and the generic one-node conversion.
#include <algorithm>
#include <limits>
#include <utility>

#include "converter/attr.h"
#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace {
constexpr const char* kMiscTarget = "kestro::converter::ops::misc";

// Fills the one -1 of a reshape's result dims `made` with what the target's other dims leave
// of x's elements. A 0 of the target copies x's dim at its place, which so stands on both
// sides and cancels, known or not; any other unknown dim of x leaves the -1 open, and so do
// sizes that leave no whole number.
void infer_reshaped_dim(std::vector<int64_t>& made, const std::vector<int64_t>& target,
                        const std::vector<int64_t>* dims) {
    const auto inferred = std::find(target.begin(), target.end(), -1);
    if (!dims || inferred == target.end() || std::count(target.begin(), target.end(), -1) != 1) return;
    std::vector<bool> copied(dims->size(), false);
    for (size_t k = 0; k < target.size(); ++k) {
        if (target[k] != 0) continue;
        if (k >= dims->size()) return;
        copied[k] = true;
    }
    std::optional<int64_t> have = 1;
    for (size_t k = 0; k < dims->size(); ++k)
        if (!copied[k]) have = have && (*dims)[k] >= 0 ? helper::checked_mul(*have, (*dims)[k]) : std::nullopt;
    std::optional<int64_t> rest = 1;
    for (int64_t d : target)
        if (d > 0) rest = rest ? helper::checked_mul(*rest, d) : std::nullopt;
    if (!have || !rest || *rest == 0 || *have % *rest != 0) return;
    made[static_cast<size_t>(inferred - target.begin())] = *have / *rest;
}

// The value ids of an operator's inputs or outputs for a one-to-one node. An entry without
// a usable id is refused rather than skipped: skipping would shift every later value into
// the wrong ONNX input position.
std::vector<int64_t> generic_value_ids(std::string_view bare_name, const Json& op,
                                       const char* key, const char* what) {
    std::vector<int64_t> ids;
    const Json* entries = helper::member(op, key);
    if (entries == nullptr || !entries->IsArray()) return ids;
    for (const Json& entry : entries->GetArray()) {
        const Json* id = helper::member(entry, "%");
        std::optional<int64_t> value = id ? helper::as_i64(*id) : std::nullopt;
        if (!value) throw Error("{} {} {} has no value id", bare_name, what, ids.size());
        ids.push_back(*value);
    }
    return ids;
}

}  // namespace

std::vector<std::string> Converter::generic_value_names(std::string_view bare_name, const Json& op,
                                                       const char* key, const char* what) const {
    return optional_tensor_names_for_ids(generic_value_ids(bare_name, op, key, what));
}

void Converter::convert_generic_op(std::string_view bare_name, const Json& op) {
    std::string op_type = map_op_type(bare_name);
    // Some ONNX operators appear only in later opsets; writing one into an older opset
    // gives a model that no runtime loads.
    require_opset(fmt::format("{} (ONNX {})", bare_name, op_type), attr::min_opset(op_type));

    proto::NodeProto node;
    node.op_type = std::move(op_type);
    if (const Json* attrs = helper::member(op, "A")) node.attribute = extract_attributes(bare_name, *attrs);
    attr::conform_attributes(bare_name, node.op_type, opset, node.attribute);
    if (node.op_type == "Conv" || node.op_type == "ConvTranspose" || node.op_type == "MaxPool")
        attr::check_window_attributes(bare_name, node.attribute, 2);  // conv2d and depthwise_conv2d
    const IdList in_ids = generic_value_ids(bare_name, op, "I", "input");
    if (node.op_type == "Conv" && in_ids.size() >= 2) check_conv_channels(bare_name, node.attribute, in_ids[0], in_ids[1]);
    // An absent operand (id 0) is an omitted optional input; the count of required ones
    // below refuses it where ONNX needs a value.
    node.input = optional_tensor_names_for_ids(in_ids);
    const IdList out_ids = generic_value_ids(bare_name, op, "O", "output");
    node.output = optional_tensor_names_for_ids(out_ids);
    // A node missing a required input is a model no runtime loads.
    const size_t required = attr::required_inputs(node.op_type, opset);
    const auto given = std::find_if(node.input.begin(), node.input.end(),
                                    [](const std::string& name) { return name.empty(); }) -
                       node.input.begin();
    if (static_cast<size_t>(given) < required)
        throw Error("{} is missing inputs: ONNX {} needs {}, got {}", bare_name, node.op_type,
                    required, given);
    if (const size_t most = attr::max_inputs(node.op_type, opset); node.input.size() > most)
        throw Error("{} has {} inputs: ONNX {} takes at most {} at opset {}", bare_name,
                    node.input.size(), node.op_type, most, opset);
    if (const size_t most = attr::max_outputs(node.op_type, opset); node.output.size() > most)
        throw Error("{} has {} outputs: ONNX {} gives at most {} at opset {}", bare_name,
                    node.output.size(), node.op_type, most, opset);
    append_generic_node(bare_name, std::move(node), in_ids, out_ids.empty() ? 0 : out_ids.front());
}

// A program that declares operands of two element types where ONNX takes one, an output of
// another type or other dims than its operator gives, elementwise operands whose known dims
// cannot broadcast, or a reshape target its input cannot fill contradicts itself: no node
// written from it would load.
void Converter::check_generic_ties(std::string_view bare_name, std::string_view type,
                                   const IdList& in_ids, int64_t out_id) {
    const attr::TypeTies ties = attr::type_ties(type, opset);
    // The logical operators read any operand as bool and give bool.
    const bool logical = bare_name == "logical_and" || bare_name == "logical_or";
    for (uint32_t group : logical ? std::vector<uint32_t>{} : ties.same_type) {
        std::optional<size_t> first;
        for (size_t k = 0; k < in_ids.size() && k < 32; ++k) {
            if (!(group & (uint32_t{1} << k)) || in_ids[k] == 0 || !onnx_dtype_if_known(in_ids[k])) continue;
            if (first)
                require_same_type(bare_name, fmt::format("input {}", *first), in_ids[*first],
                                  fmt::format("input {}", k), in_ids[k]);
            else
                first = k;
        }
    }
    // Consumers are lowered against each value's declaration, so a generic node's first
    // output must be declared of the element type the ONNX node gives; where it follows its
    // operands' dims, those are what the value holds.
    if (out_id != 0 && !in_ids.empty()) {
        std::optional<int32_t> result = ties.output_type;
        if (logical) result = proto::dtype::BOOL;
        if (!result && ties.output_like) {
            const int64_t like = *ties.output_like < in_ids.size() ? in_ids[*ties.output_like] : 0;
            if (like != 0) result = onnx_dtype_if_known(like);
        }
        if (ties.output_dims_like)
            settle_output_like(bare_name, out_id, in_ids, result);
        else if (result)
            settle_output(bare_name, out_id, result, std::nullopt);
    }
    // MatMul multiplies vectors or matrices whose inner and batch dims line up; a rank-0
    // operand, or known dims that do not line up, give a node that does not load.
    if (type == "MatMul") {
        for (const int64_t id : in_ids)
            if (id != 0) require_rank(bare_name, id, 1, kAnyRank);
        if (in_ids.size() == 2 && in_ids[0] != 0 && in_ids[1] != 0 && out_id != 0)
            settle_matmul_output(bare_name, in_ids[0], in_ids[1], false, false, out_id);
    }
    if (ties.broadcast)
        for (size_t k = 0; k < in_ids.size(); ++k)
            for (size_t j = k + 1; j < in_ids.size(); ++j)
                if (in_ids[k] != 0 && in_ids[j] != 0) require_broadcastable(bare_name, in_ids[k], in_ids[j]);
    if (type == "Reshape" && in_ids.size() >= 2 && in_ids[1] != 0) {
        require_shape_operand_1d(bare_name, in_ids[1]);
        if (const std::vector<double>* target = state.const_values.find(in_ids[1]))
            check_reshape_target(bare_name, in_ids[0], helper::saturate_i64(*target), out_id);
    }
}

// A target shape is a list of sizes, one per output dim: Paddle takes it as a 1-D tensor
// only, and so do ONNX's Reshape and Expand.
void Converter::require_shape_operand_1d(std::string_view op_name, int64_t shape_id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(shape_id);
    if (dims && dims->size() != 1)
        throw Error("{}: shape (value {}) has dims {}, but it must be 1-D: one size per output dim",
                    op_name, shape_id, helper::fmt_dims(*dims));
}

// The filter of a convolution holds channels / group input channels per output channel:
// data of another channel count gives a Conv that fails to load.
void Converter::check_conv_channels(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                                    int64_t x, int64_t w) const {
    const std::vector<int64_t>* xd = state.tensor_shapes.find(x);
    const std::vector<int64_t>* wd = state.tensor_shapes.find(w);
    if (!xd || !wd) return;
    if (xd->size() != wd->size())
        throw Error("{}: x dims {} and filter dims {} differ in rank", bare_name, helper::fmt_dims(*xd),
                    helper::fmt_dims(*wd));
    const proto::AttributeProto* g = helper::find_attribute(attrs, "group");
    const int64_t group = g && g->type == proto::attr_type::INT ? g->i : 1;
    if (xd->size() < 2 || (*xd)[1] < 0 || (*wd)[1] < 0 || group <= 0) return;
    const auto per_group = helper::checked_mul((*wd)[1], group);
    if (per_group && *per_group != (*xd)[1])
        throw Error("{}: x has {} channels, but the filter dims {} with {} groups take {}", bare_name, (*xd)[1],
                    helper::fmt_dims(*wd), group, *per_group);
}

// Paddle's reshape target: at most one -1 (the dim inferred), 0 for a dim copied from the
// input, and otherwise sizes; with the input's dims known the sizes must hold its elements.
void Converter::check_reshape_target(std::string_view bare_name, int64_t x,
                                     const std::vector<int64_t>& target, int64_t out) {
    if (std::count(target.begin(), target.end(), -1) > 1)
        throw Error("{}: shape {} has more than one -1", bare_name, helper::fmt_dims(target));
    for (int64_t d : target)
        if (d < -1) throw Error("{}: shape {} holds {}, below -1", bare_name, helper::fmt_dims(target), d);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x);
    // The result has the target's rank and its sizes; a 0 copies the input's dim.
    if (out != 0) {
        std::vector<int64_t> made(target);
        for (size_t k = 0; k < made.size(); ++k)
            if (made[k] == 0) made[k] = dims && k < dims->size() ? (*dims)[k] : -1;
        infer_reshaped_dim(made, target, dims);
        settle_output(bare_name, out, std::nullopt, made, {x});
    }
    if (!dims) return;
    // An unknown input dim that the target copies with a 0 stands on both sides and cancels;
    // any other unknown dim leaves the element counts open.
    std::vector<bool> copied(dims->size(), false);
    for (size_t k = 0; k < target.size(); ++k) {
        if (target[k] != 0) continue;
        if (k >= dims->size())
            throw Error("{}: shape {} copies dim {} of an input of rank {}", bare_name, helper::fmt_dims(target), k,
                        dims->size());
        copied[k] = true;
    }
    std::optional<int64_t> have = 1;
    for (size_t k = 0; k < dims->size(); ++k) {
        const int64_t d = (*dims)[k];
        if (d < 0 && !copied[k]) return;
        if (d >= 0) have = have ? helper::checked_mul(*have, d) : std::nullopt;
    }
    std::optional<int64_t> want = 1;
    bool infer = false;
    for (size_t k = 0; k < target.size(); ++k) {
        const int64_t d = target[k] == 0 ? (*dims)[k] : target[k];
        if (d == -1) {
            infer = infer || target[k] == -1;
            continue;
        }
        want = want ? helper::checked_mul(*want, d) : std::nullopt;
    }
    if (!have || !want) return;
    const bool fits = infer ? (*want == 0 ? *have == 0 : *have % *want == 0) : *have == *want;
    if (fits) return;
    const bool all_known = std::none_of(dims->begin(), dims->end(), [](int64_t d) { return d < 0; });
    throw Error("{}: shape {} cannot hold the {} of input dims {}", bare_name, helper::fmt_dims(target),
                all_known ? fmt::format("{} elements", *have) : std::string("elements"), helper::fmt_dims(*dims));
}

namespace {
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

bool is_comparison(std::string_view type) {
    return type == "Less" || type == "Greater" || type == "LessOrEqual" || type == "GreaterOrEqual";
}

// Operands computed in a wider type than their own: from `from` to `to`, from input
// `first` on (Where's condition stays bool).
struct Widening {
    std::optional<int32_t> from;
    int32_t to = proto::dtype::INT32;
    size_t first = 0;
};

// Makes each operand of a known type one that ONNX takes at the target opset: the logical
// operators read it as bool, an integer shape, repeat or axes operand becomes int64. Narrow
// integers that Add, Sub, Mul, Div and Equal take only later, and bools an order comparison
// takes as int32, are left to be widened: gives their type. Refuses any other operand type.
std::optional<int32_t> conform_generic_operands(Converter& c, std::string_view bare_name,
                                                proto::NodeProto& node, const IdList& in_ids,
                                                int64_t out_id) {
    const std::string& type = node.op_type;
    std::optional<int32_t> widen_from;
    for (size_t k = 0; k < in_ids.size(); ++k) {
        if (node.input[k].empty()) continue;
        const auto t = c.onnx_dtype_if_known(in_ids[k]);
        if (!t) continue;
        const auto since = attr::first_opset_taking(type, k, *t);
        if (since && *since <= c.opset) continue;
        // Paddle's logical operators read any nonzero element as true (NaN included) and
        // give bool, as a Cast to bool does.
        if (bare_name == "logical_and" || bare_name == "logical_or" || bare_name == "logical_not") {
            std::string truth = fmt::format("{}_bool_input{}_{}", bare_name, k, out_id);
            c.add_cast_node(std::move(node.input[k]), truth, proto::dtype::BOOL);
            node.input[k] = std::move(truth);
            continue;
        }
        if (helper::is_integer_onnx_dtype(*t) &&
            !attr::first_opset_taking(type, k, proto::dtype::INT32) &&
            attr::first_opset_taking(type, k, proto::dtype::INT64).value_or(kNever) <= c.opset) {
            node.input[k] =
                c.ensure_i64_input(in_ids[k], out_id, fmt::format("{}_input{}", bare_name, k));
            continue;
        }
        // Paddle orders bools as their int32 values are, false before true.
        if (*t == proto::dtype::BOOL && is_comparison(type) &&
            attr::first_opset_taking(type, k, proto::dtype::INT32).value_or(kNever) <= c.opset &&
            (!widen_from || *widen_from == *t)) {
            widen_from = *t;
            continue;
        }
        if (!since)
            throw Error("{}: ONNX {} does not take {} operands", bare_name, type,
                        helper::onnx_dtype_name(*t));
        const bool narrow = *t == proto::dtype::INT8 || *t == proto::dtype::INT16 ||
                            *t == proto::dtype::UINT8;
        const bool widenable =
            narrow && (type == "Add" || type == "Sub" || type == "Mul" || type == "Div" || type == "Equal") &&
            attr::first_opset_taking(type, k, proto::dtype::INT32).value_or(kNever) <= c.opset;
        if (!widenable || (widen_from && *widen_from != *t))
            throw Converter::opset_error(
                fmt::format("{} (ONNX {} on {})", bare_name, type, helper::onnx_dtype_name(*t)), *since,
                c.opset);
        widen_from = *t;
    }
    return widen_from;
}

// Adds what ONNX Runtime lacks kernels for, though ONNX allows it, to the widening: Relu on
// int16 (it runs int8 and int32; int64 is refused), and Where's choices of bool, int8 or
// int16, selected in a wider type.
Widening runtime_widening(const Converter& c, std::string_view bare_name,
                          const proto::NodeProto& node, const IdList& in_ids,
                          std::optional<int32_t> widen_from) {
    Widening w{widen_from};
    if (node.op_type == "Relu" && !in_ids.empty()) {
        const auto t = c.onnx_dtype_if_known(in_ids[0]);
        if (t == proto::dtype::INT16) w.from = proto::dtype::INT16;
        if (t == proto::dtype::INT64)
            throw Error("{}: ONNX Runtime has no Relu for int64 operands", bare_name);
    }
    if (node.op_type == "Where" && in_ids.size() == 3) {
        std::optional<int32_t> t = c.onnx_dtype_if_known(in_ids[1]);
        if (!t) t = c.onnx_dtype_if_known(in_ids[2]);
        if (const auto wide = t ? helper::where_compute_type(*t) : std::nullopt) {
            w.from = *t;
            w.to = *wide;
            w.first = 1;
        }
    }
    return w;
}

}  // namespace

// Appends a generic node whose operands ONNX takes at the target opset (see
// conform_generic_operands and runtime_widening). Widened operands are cast to the wider
// type, where the result is the same, and a result of the operands' type is cast back.
void Converter::append_generic_node(std::string_view bare_name, proto::NodeProto node,
                                    const IdList& in_ids, int64_t out_id) {
    check_generic_ties(bare_name, node.op_type, in_ids, out_id);
    if (node.op_type == "Conv") settle_conv_output(bare_name, node.attribute, in_ids, out_id);
    const std::optional<int32_t> widen_from =
        conform_generic_operands(*this, bare_name, node, in_ids, out_id);
    // Paddle's shape gives int32 (shape64 int64); ONNX Shape always gives int64.
    if (node.op_type == "Shape" && !node.output.empty()) {
        if (const auto t = onnx_dtype_if_known(out_id); t && *t != proto::dtype::INT64) {
            std::string out = std::exchange(node.output.front(), fmt::format("{}_int64_{}", bare_name, out_id));
            std::string shape = node.output.front();
            graph.node.push_back(std::move(node));
            add_cast_node(std::move(shape), std::move(out), *t);
            return;
        }
    }
    const Widening w = runtime_widening(*this, bare_name, node, in_ids, widen_from);
    if (!w.from || node.output.empty()) {
        graph.node.push_back(std::move(node));
        return;
    }
    for (size_t k = w.first; k < node.input.size(); ++k) {
        std::string wide = fmt::format("{}_wide_input{}_{}", bare_name, k, out_id);
        add_cast_node(std::move(node.input[k]), wide, w.to);
        node.input[k] = std::move(wide);
    }
    if (node.op_type == "Equal" || is_comparison(node.op_type)) {  // bool results, whatever the operands
        graph.node.push_back(std::move(node));
        return;
    }
    std::string out = std::exchange(node.output.front(), fmt::format("{}_wide_output_{}", bare_name, out_id));
    std::string wide_out = node.output.front();
    graph.node.push_back(std::move(node));
    add_cast_node(std::move(wide_out), std::move(out), *w.from);
}

void Converter::refresh_taken_names() {
    TakenNames& t = taken_names;
    const auto& params = state.param_names.get();
    if (t.nodes_seen > graph.node.size() || t.outputs_seen > graph.output.size() ||
        t.inputs_seen > graph.input.size() || t.params_seen > params.size())
        t = TakenNames{};
    for (; t.nodes_seen < graph.node.size(); ++t.nodes_seen)
        for (const auto& name : graph.node[t.nodes_seen].output) t.outputs.insert(name);
    for (; t.outputs_seen < graph.output.size(); ++t.outputs_seen)
        t.outputs.insert(graph.output[t.outputs_seen].name);
    for (; t.inputs_seen < graph.input.size(); ++t.inputs_seen)
        t.inputs.insert(graph.input[t.inputs_seen].name);
    for (; t.params_seen < params.size(); ++t.params_seen) t.params.insert(params[t.params_seen]);
}

void Converter::op_data(const Json& op) {
    proto::ValueInfoProto info = build_value_info(op, Direction::Input);
    // A feed named like another feed or a parameter would be merged with it by the
    // finishing passes, and its consumers would silently read the other value.
    refresh_taken_names();
    if (taken_names.inputs.count(info.name))
        throw Error("duplicate graph input name {}", helper::fmt_text(info.name));
    if (taken_names.params.count(info.name))
        throw Error("graph input {} collides with a parameter", helper::fmt_text(info.name));
    // An input without an element type cannot be fed; the ONNX checker refuses it.
    if (!info.type) throw Error("graph input {} has no element type", helper::fmt_text(info.name));
    refuse_data_contradiction(op, info);
    graph.input.push_back(info);
    const int64_t id = helper::op_out_id(op);
    settle_dims(id);
    state.tensor_names.insert(id, std::move(info.name));
}

void Converter::op_fetch(const Json& op) {
    proto::ValueInfoProto info = build_value_info(op, Direction::Output);
    if (!info.type) {
        if (auto typed = fetch_type_fallback(op, info.name)) info = std::move(*typed);
    }
    const IdList ids = helper::op_input_ids(op);
    // A graph output without a type fails the ONNX checker: when neither entry carries one,
    // describe the output from what the first pass recorded for the fetched value (its
    // shape left open when no dims were recorded).
    if (const std::string* token = state.tensor_dtypes.find(ids.front()); !info.type && token) {
        const auto* dims = state.tensor_shapes.find(ids.front());
        info = build_value_info_from_meta(info.name, *token, dims ? *dims : std::vector<int64_t>{});
        if (!dims) std::get<proto::TypeProto::Tensor>(info.type->value).shape.reset();
    }
    // An untyped graph output fails the checker, as an untyped input does.
    if (!info.type) throw Error("graph output {} has no element type", helper::fmt_text(info.name));
    // The declaration is copied to the graph output: one of another element type than the
    // fetched value makes a model that no checker or runtime loads, and its dims give way
    // to what the value is known to hold.
    settle_output_description(info, ids.front(), "fetch");
    std::string source = get_tensor_name(ids.front());

    std::string requested;
    if (auto given = helper::op_attr_str(op, "name"); given && !given->empty()) {
        requested = std::string(*given);
    } else {
        requested = fmt::format("fetch_{}", graph.output.size());
    }
    // Graph inputs and parameters are names too: an output named like one of them would
    // give the tensor a second definition.
    refresh_taken_names();
    const TakenNames& t = taken_names;
    const auto is_input_or_param = [&](const std::string& name) {
        return t.inputs.count(name) != 0 || t.params.count(name) != 0;
    };
    // Fetching a graph input or parameter under its own name needs no copy and no rename,
    // unless an earlier fetch already made that graph output.
    const bool fetches_itself = requested == source && is_input_or_param(source);
    const auto taken = [&](const std::string& name) {
        return t.outputs.count(name) != 0 ||
               (!(fetches_itself && name == requested) && is_input_or_param(name));
    };
    std::string final_name = requested;
    if (taken(requested)) {
        uint32_t& next = taken_names.next_suffix.try_emplace(requested, 1).first->second;
        for (;; ++next) {
            final_name = fmt::format("{}_{}", requested, next);
            if (!taken(final_name)) break;
        }
        ++next;
        KLOG(Level::Warn, kMiscTarget, "fetch output name '{}' collides; renamed to '{}'",
             helper::fmt_text(requested), helper::fmt_text(final_name));
    }

    info.name = final_name;
    graph.output.push_back(std::move(info));
    if (source != final_name) append_node("Identity", {source}, {final_name});
}

// Dropout at inference drops nothing, and Paddle leaves its mask unwritten; a program may still
// hand the mask on (a branch yields every value it makes), so it is given as all kept: ones of
// x's dims. Nothing of it stays in a model that does not read it.
void Converter::add_dropout_mask(const Json& op, int64_t x, const NameMaker& names) {
    const std::vector<int64_t> outs = helper::op_output_ids(op);
    if (outs.size() < 2 || outs[1] == 0) return;
    const std::string shape = names("mask_shape");
    append_node("Shape", {get_tensor_name(x)}, {shape});
    const std::string one = names("mask_one");
    push_numeric_initializer(one, {}, proto::dtype::UINT8, {1.0});
    append_node("Expand", {one, shape}, {get_tensor_name(outs[1])});
    settle_output("dropout", outs[1], proto::dtype::UINT8, recorded_dims(state, x), {x});
}

void Converter::op_dropout(const Json& op) {
    const IdList ids = helper::op_input_ids(op);
    std::vector<std::string> inputs{get_tensor_name(ids.front())};
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"dropout", out};
    // Paddle's dropout kernels take floating-point x only.
    require_operand_type("dropout", "x", ids.front(),
                         {proto::dtype::FLOAT16, proto::dtype::BFLOAT16, proto::dtype::FLOAT, proto::dtype::DOUBLE});
    settle_output_like("dropout", out, {ids.front()});
    std::string output = get_tensor_name(out);
    auto mode = helper::op_attr_str(op, "mode");
    if (mode && *mode != "downgrade_in_infer" && *mode != "upscale_in_train")
        throw Error("dropout mode {} is neither upscale_in_train nor downgrade_in_infer", helper::fmt_text(*mode));
    add_dropout_mask(op, ids.front(), names);

    // In "downgrade_in_infer" mode inference scales by (1 - p); "upscale_in_train" (the
    // default) is the identity at inference.
    if (mode && *mode == "downgrade_in_infer") {
        std::optional<double> p;
        if (ids.size() >= 3) {
            if (const auto* folded = state.const_values.find(ids[2]); folded && !folded->empty())
                p = folded->front();
        }
        if (!p) p = helper::attr_f64(op, "p");
        if (!p) throw Error("dropout in downgrade_in_infer mode needs a constant dropout probability");
        auto dtype = maybe_onnx_dtype_for_tensor_id(out);
        if (!dtype) dtype = maybe_onnx_dtype_for_tensor_id(ids.front());
        std::string scale = names("scale");
        push_numeric_initializer(scale, {}, dtype.value_or(proto::dtype::FLOAT), {1.0 - *p});
        add_binary_node("Mul", inputs.front(), scale, output);
        return;
    }
    append_node("Identity", std::move(inputs), {std::move(output)});
}

}  // namespace kestro
