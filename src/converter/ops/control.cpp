// Control flow (if, while and the conversion of their regions into subgraphs), the boolean
// reductions any/all, and one-hot.
#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_set>

#include "converter/converter.h"

namespace kestro {

namespace {

// The element type and dims a block argument declares under "TT".
struct ArgType {
    std::string_view token;
    std::vector<int64_t> dims;
};

std::optional<ArgType> block_arg_type(const Json& arg) {
    auto type = helper::declared_type(arg, helper::NonIntegerDims::Dropped);
    if (!type || !type->token) return std::nullopt;
    return ArgType{*type->token, type->dims.value_or(std::vector<int64_t>{})};
}

// A description of the given element type whose shape is left open when no dims are known
// (an empty dims list would declare a scalar).
proto::ValueInfoProto value_info_with_known_dims(std::string name, int32_t elem_type,
                                                 const std::vector<int64_t>* dims) {
    proto::ValueInfoProto info =
        Converter::tensor_value_info(std::move(name), elem_type, dims ? *dims : std::vector<int64_t>{});
    if (!dims) std::get<proto::TypeProto::Tensor>(info.type->value).shape.reset();
    return info;
}

// An element type as fmt_tensor_type takes it: 0 (none known) is nothing.
std::optional<int32_t> known_type(int32_t type) { return type != 0 ? std::optional<int32_t>(type) : std::nullopt; }

std::string fmt_described(const proto::ValueInfoProto& info) {
    return fmt_tensor_type(known_type(described_elem_type(info)), described_dims(info));
}

std::string fmt_recorded(const ConverterState& state, int64_t id) {
    return fmt_tensor_type(known_type(recorded_elem_type(state, id)), recorded_dims(state, id));
}

// Two element types that are both known and differ.
bool types_differ(int32_t a, int32_t b) { return a != 0 && b != 0 && a != b; }

// A value's element type should be the same on both sides of a region's edge: a body that
// takes a carried value as one type and hands the next as another, or branches that give one
// result two types, make a model no checker or runtime loads. (Dims may differ: they are
// widened to what holds on every path.)
void refuse_loop_contradictions(const ConverterState& state, const std::vector<int64_t>& ids,
                                const std::vector<int64_t>& out_ids, const proto::GraphProto& body) {
    const proto::ValueInfoProto& cond_in = body.input[1];
    const proto::ValueInfoProto& cond_out = body.output[0];
    if (types_differ(described_elem_type(cond_out), proto::dtype::BOOL))
        throw Error("while body yields its condition as {}, but the condition enters as {}",
                    fmt_described(cond_out), fmt_described(cond_in));
    for (size_t k = 0; k + 1 < ids.size(); ++k) {
        const int64_t outer = ids[k + 1];
        const proto::ValueInfoProto& in = body.input[k + 2];
        const proto::ValueInfoProto& out = body.output[k + 1];
        const int32_t outer_type = recorded_elem_type(state, outer);
        if (types_differ(outer_type, described_elem_type(in)))
            throw Error("while carries value {} of type {} into a body argument declared {}", outer,
                        helper::onnx_dtype_name(outer_type), fmt_described(in));
        if (types_differ(described_elem_type(in), described_elem_type(out)))
            throw Error("while body takes carried value {} as {}, but yields its next value as {}", outer,
                        fmt_described(in), fmt_described(out));
        if (k < out_ids.size() && types_differ(recorded_elem_type(state, out_ids[k]), described_elem_type(out)))
            throw declared_result_error("while", std::to_string(out_ids[k]), fmt_recorded(state, out_ids[k]),
                                        "computes " + fmt_described(out));
    }
}

void refuse_branch_contradictions(const ConverterState& state, const std::vector<int64_t>& out_ids,
                                  const proto::GraphProto& then_graph, const proto::GraphProto& else_graph) {
    for (size_t k = 0; k < then_graph.output.size(); ++k) {
        const proto::ValueInfoProto& a = then_graph.output[k];
        const proto::ValueInfoProto& b = else_graph.output[k];
        if (types_differ(described_elem_type(a), described_elem_type(b)))
            throw Error("if branches yield value {} as {} and {}", k, fmt_described(a), fmt_described(b));
        if (k >= out_ids.size()) continue;
        for (const proto::ValueInfoProto* branch : {&a, &b})
            if (types_differ(recorded_elem_type(state, out_ids[k]), described_elem_type(*branch)))
                throw declared_result_error("if", std::to_string(out_ids[k]), fmt_recorded(state, out_ids[k]),
                                            "computes " + fmt_described(*branch));
    }
}

std::vector<std::string> output_names(const Converter& c, const Json& op) {
    std::vector<std::string> names;
    for (int64_t id : helper::op_output_ids(op)) names.push_back(c.get_tensor_name(id));
    return names;
}

// The node's output names: one per value the regions give. A program that keeps fewer
// still gets them all, the rest under generated names (the node gives every one); one
// that names more has nothing to fill them.
std::vector<std::string> node_outputs(const Converter& c, const Json& op, size_t count,
                                      std::string_view what, std::string_view gives) {
    std::vector<std::string> names = output_names(c, op);
    if (names.size() > count)
        throw Error("{} has {} outputs, but {} {} values", what, names.size(), gives, count);
    const std::string key = c.owner_key();
    for (size_t k = names.size(); k < count; ++k) names.push_back(fmt::format("{}_unused_{}_{}", what, key, k));
    return names;
}

}  // namespace

namespace {

// A carried value whose dims are left open may take other sizes there on each iteration: what
// is computed from it holds on every iteration where its declarations may not (a branch's
// concat declared with the first iteration's length).
bool has_open_dim(const std::vector<int64_t>& dims) {
    return std::any_of(dims.begin(), dims.end(), [](int64_t d) { return d < 0; });
}

// Names each block argument in the child converter and gives the subgraph an input for it.
void bind_block_args(const ConverterState& outer_state, Converter& child, const Json* args,
                     const std::string& graph_name, const std::vector<std::string>& arg_names,
                     const std::vector<int64_t>& outer_ids, const std::map<size_t, Dims>& widened,
                     proto::GraphProto& result) {
    for (size_t i = 0; i < arg_names.size(); ++i) {
        const Json& arg = (*args)[static_cast<rapidjson::SizeType>(i)];
        const Json* id_value = helper::member(arg, "#");
        const std::optional<int64_t> id = id_value ? helper::as_i64(*id_value) : std::nullopt;
        if (!id) throw Error("Block arg missing id");
        child.state.tensor_names.insert(*id, arg_names[i]);
        const auto wide = widened.find(i);

        if (auto type = block_arg_type(arg)) {
            if (wide == widened.end()) {
                result.input.push_back(
                    Converter::build_value_info_from_meta(arg_names[i], type->token, type->dims));
                if (has_open_dim(type->dims)) child.state.iteration_varying.insert(*id, true);
                continue;
            }
            result.input.push_back(value_info_with_known_dims(
                arg_names[i], Converter::onnx_elem_type_from_paddle(type->token),
                wide->second ? &*wide->second : nullptr));
            child.record_dims(*id, wide->second);
            child.state.iteration_varying.insert(*id, true);
            continue;
        }
        if (i >= outer_ids.size()) continue;
        // Loop bodies bind their inputs by position: an argument left without an input would
        // shift every later carried value onto the wrong input. Type it from the value that
        // is carried into it, and let the region's lowerings see that type too.
        const int64_t outer = outer_ids[i];
        const std::string* token = outer_state.tensor_dtypes.find(outer);
        if (!token)
            throw Error("{} block arg {} has no type and the carried value {} has no recorded "
                        "element type",
                        graph_name, *id, outer);
        const Dims dims = wide != widened.end() ? wide->second : recorded_dims(outer_state, outer);
        result.input.push_back(value_info_with_known_dims(
            arg_names[i], Converter::onnx_elem_type_from_paddle(*token), dims ? &*dims : nullptr));
        child.state.tensor_dtypes.insert(*id, *token);
        child.record_dims(*id, dims);
        if (wide != widened.end() || !dims || has_open_dim(*dims)) child.state.iteration_varying.insert(*id, true);
    }
}

// Lowers the block's operators into the child converter; the ids its last yield hands out.
std::vector<int64_t> lower_block_ops(Converter& child, const Json& block,
                                     const std::string& graph_name) {
    const Json* ops = helper::member(block, "ops");
    if (!ops || !ops->IsArray()) throw Error("Block is missing ops");

    child.collect_pass1_from_ops(*ops);

    std::optional<std::vector<int64_t>> yielded;
    for (const Json& op : ops->GetArray()) {
        const Json* name = helper::member(op, "#");
        if (!name || !name->IsString()) continue;
        const std::string_view full_name(name->GetString(), name->GetStringLength());
        if (full_name == "2.yield") {
            yielded = helper::op_input_ids(op);  // the last yield of the block wins
            continue;
        }
        child.process_pass2_op(full_name, op);
    }
    if (!yielded) throw Error("Region {} is missing 2.yield", graph_name);
    return std::move(*yielded);
}

// Gives the subgraph one output per yielded value. A subgraph may not hand an enclosing
// graph's value (or an argument it has no input for) straight to its outputs; such values go
// through a copy made inside it. So does a value yielded a second time: ONNX Runtime fills
// only one of two outputs of one name. Returns the copies, which go after the block's nodes,
// named "{copy_prefix}_yield_{position}".
std::vector<proto::NodeProto> add_region_outputs(const Converter& child,
                                                 const std::vector<int64_t>& yielded,
                                                 const std::string& copy_prefix,
                                                 const std::vector<int32_t>& yield_types,
                                                 proto::GraphProto& result) {
    std::unordered_set<std::string> defined;
    for (const auto& input : result.input) defined.insert(input.name);
    for (const auto& t : child.graph.initializer) defined.insert(t.name);
    for (const auto& node : child.graph.node)
        for (const auto& out : node.output) defined.insert(out);

    std::vector<proto::NodeProto> copies;
    std::unordered_set<std::string> used_outputs;
    for (size_t i = 0; i < yielded.size(); ++i) {
        const int64_t id = yielded[i];
        std::string name = child.get_tensor_name(id);
        if (!defined.count(name) || !used_outputs.insert(name).second) {
            std::string copy = fmt::format("{}_yield_{}", copy_prefix, i);
            proto::NodeProto node;
            node.op_type = "Identity";
            node.input = {std::move(name)};
            node.output = {copy};
            copies.push_back(std::move(node));
            name = std::move(copy);
        }
        proto::ValueInfoProto info = child.build_value_info_for_id(id, std::move(name));
        // A value without a recorded type takes the one its position must have, rather than
        // a guess that contradicts it.
        if (!child.state.tensor_dtypes.contains(id) && i < yield_types.size() && yield_types[i] != 0)
            std::get<proto::TypeProto::Tensor>(info.type->value).elem_type = yield_types[i];
        result.output.push_back(std::move(info));
    }
    return copies;
}

}  // namespace

proto::GraphProto Converter::convert_region_to_graph(
    const Json& region, const std::string& graph_name,
    std::vector<proto::ValueInfoProto> leading_inputs, const std::vector<std::string>& arg_names,
    const std::vector<int64_t>& outer_ids, const std::vector<int32_t>& yield_types,
    const std::map<size_t, Dims>& widened) const {
    const Json* blocks = helper::member(region, "blocks");
    if (!blocks || !blocks->IsArray() || blocks->Empty()) throw Error("Region is missing blocks");
    const Json& block = (*blocks)[0];

    const Json* args_value = helper::member(block, "args");
    const bool has_args = args_value && args_value->IsArray();
    const size_t arg_count = has_args ? args_value->Size() : 0;
    if (arg_count != arg_names.size())
        throw Error("Block arg count mismatch for {}: expected {}, got {}", graph_name,
                    arg_names.size(), arg_count);

    Converter child = sub_converter();
    proto::GraphProto result;
    result.name = graph_name;
    result.input = std::move(leading_inputs);
    bind_block_args(state, child, args_value, graph_name, arg_names, outer_ids, widened, result);
    child.note_described_types(result.input);
    const std::vector<int64_t> yielded = lower_block_ops(child, block, graph_name);
    // ONNX Runtime refuses a subgraph whose node repeats a name of a graph around it, so the
    // copies of a region nested in another carry the id of the operator that holds it.
    const std::string copy_prefix = region_depth == 0 ? graph_name : graph_name + "_" + owner_key();
    std::vector<proto::NodeProto> copies = add_region_outputs(child, yielded, copy_prefix, yield_types, result);
    child.check_yielded_types(graph_name, yielded, result.output);

    result.node = std::move(child.graph.node);
    for (auto& node : copies) result.node.push_back(std::move(node));
    result.initializer = std::move(child.graph.initializer);
    result.value_info = std::move(child.graph.value_info);
    return result;
}

void Converter::op_if(const Json& op) {
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    if (types_differ(recorded_elem_type(state, ids[0]), proto::dtype::BOOL))
        throw Error("if condition {} is {}, but a branch condition must be bool", ids[0],
                    helper::onnx_dtype_name(recorded_elem_type(state, ids[0])));
    std::string cond = get_tensor_name(ids[0]);

    const Json* regions = helper::member(op, "regions");
    if (!regions || !regions->IsArray()) throw Error("if is missing regions");
    if (regions->Size() != 2) throw Error("if expects 2 regions, got {}", regions->Size());

    // A branch value without a type of its own has the type the program declares for the result.
    std::vector<int32_t> result_types;
    for (int64_t id : helper::op_output_ids(op)) result_types.push_back(recorded_elem_type(state, id));
    proto::GraphProto then_graph = convert_region_to_graph((*regions)[0], "if_then_branch", {}, {}, {}, result_types);
    proto::GraphProto else_graph = convert_region_to_graph((*regions)[1], "if_else_branch", {}, {}, {}, result_types);
    // ONNX gives the node's results from whichever branch ran, so both must yield the same
    // number of values.
    if (then_graph.output.size() != else_graph.output.size())
        throw Error("if branches yield different numbers of values: {} and {}",
                    then_graph.output.size(), else_graph.output.size());
    // Before opset 11 If merges the two branches' shapes strictly, so a value whose shape
    // depends on the branch taken makes a model no checker or runtime accepts.
    for (size_t k = 0; opset < 11 && k < then_graph.output.size(); ++k) {
        const auto then_dims = described_dims(then_graph.output[k]);
        const auto else_dims = described_dims(else_graph.output[k]);
        if (Converter::shapes_conflict(then_dims, else_dims))
            throw Error("if branches yield value {} with shapes {} and {}, which requires opset >= 11, "
                        "but target opset is {}",
                        k, helper::fmt_dims(*then_dims), helper::fmt_dims(*else_dims), opset);
    }

    const std::vector<int64_t> out_ids = helper::op_output_ids(op);
    refuse_branch_contradictions(state, out_ids, then_graph, else_graph);
    // Paddle's exporter declares a result with one branch's type even where the other gives
    // other dims (a placeholder for a value that branch does not define, or another rank),
    // and inside a loop a branch may give other dims on each iteration than declared: the
    // result then holds what both branches give.
    for (size_t k = 0; k < out_ids.size() && k < then_graph.output.size(); ++k) {
        const Dims both = joined_dims(described_dims(then_graph.output[k]), described_dims(else_graph.output[k]));
        const Dims declared = recorded_dims(state, out_ids[k]);
        if (shapes_conflict(declared, both) || joined_dims(declared, both) != declared) {
            record_dims(out_ids[k], both);
            state.iteration_varying.insert(out_ids[k], true);
        }
    }
    std::vector<std::string> outputs =
        node_outputs(*this, op, then_graph.output.size(), "if", "its branches yield");
    // An If gives at least one result; one whose branches yield nothing changes nothing a
    // program can observe, so it is left out with its branches (which still had to convert).
    if (outputs.empty()) return;

    std::vector<proto::AttributeProto> attributes;
    attributes.push_back(helper::attr_graph("then_branch", std::move(then_graph)));
    attributes.push_back(helper::attr_graph("else_branch", std::move(else_graph)));
    // Paddle branches on the one element of a condition of any rank ([1, 1]).
    cond = one_value_of_rank(ids[0], std::move(cond), 1, outputs[0] + "_cond");
    append_node("If", {std::move(cond)}, std::move(outputs), std::move(attributes));
}

namespace {

// The body's block arguments, one per carried value.
const Json& while_body_args(const Json& body, size_t carried_count) {
    const Json* blocks = helper::member(body, "blocks");
    const Json* args = blocks && blocks->IsArray() && !blocks->Empty()
                           ? helper::member((*blocks)[0], "args")
                           : nullptr;
    if (!args || !args->IsArray()) throw Error("while body region is missing block args");
    if (args->Size() != carried_count)
        throw Error("while body arg count mismatch: expected {}, got {}", carried_count, args->Size());
    return *args;
}

const Json& body_arg(const Json& args, size_t i) { return args[static_cast<rapidjson::SizeType>(i)]; }

// An argument name that an enclosing loop body already gave to its own argument (a nested
// loop carrying the same outer value at the same position) would shadow it inside the
// nested body; the argument's own id keeps the two apart.
std::vector<std::string> while_arg_names(const ConverterState& state, const Json& args,
                                         const std::vector<int64_t>& carried) {
    std::vector<std::string> arg_names;
    for (size_t i = 0; i < carried.size(); ++i) {
        std::string name = fmt::format("while_arg_{}_{}", i, carried[i]);
        if (state.tensor_names.names_a_value(name)) {
            const Json* arg_id = helper::member(body_arg(args, i), "#");
            if (auto own = arg_id ? helper::as_i64(*arg_id) : std::nullopt)
                name = fmt::format("while_arg_{}_{}_{}", i, carried[i], *own);
        }
        arg_names.push_back(std::move(name));
    }
    return arg_names;
}

// The body's iteration count and condition inputs. The condition input keeps the condition's
// own dims: Paddle's is usually [1], and a body input declared as a scalar would not match
// the value that runs in it.
std::vector<proto::ValueInfoProto> while_leading_inputs(const ConverterState& state, int64_t cond) {
    std::vector<proto::ValueInfoProto> leading;
    leading.push_back(Converter::tensor_value_info("__kestro_loop_iter", proto::dtype::INT64, {}));
    leading.push_back(value_info_with_known_dims("__kestro_loop_cond", proto::dtype::BOOL,
                                                 state.tensor_shapes.find(cond)));
    return leading;
}

// The body yields the next condition, a bool, and each carried value's next value, of the
// type its argument takes.
std::vector<int32_t> while_yield_types(const ConverterState& state, const Json& args,
                                       const std::vector<int64_t>& carried) {
    std::vector<int32_t> yield_types{proto::dtype::BOOL};
    for (size_t i = 0; i < carried.size(); ++i) {
        const auto type = block_arg_type(body_arg(args, i));
        const std::optional<int32_t> code = type ? helper::paddle_token_to_onnx(type->token) : std::nullopt;
        yield_types.push_back(code ? *code : recorded_elem_type(state, carried[i]));
    }
    return yield_types;
}

// The dims each carried value enters the body with, and those that are widened. Each enters as
// its argument declares it, unless the value that enters has other dims (Paddle's exporter
// declares a loop's initial value with the loop's type): then the argument is described by
// what holds for both.
std::vector<Dims> while_entry_dims(const ConverterState& state, const Json& args,
                                   const std::vector<int64_t>& carried, std::map<size_t, Dims>& widened) {
    std::vector<Dims> in_dims(carried.size());
    for (size_t i = 0; i < carried.size(); ++i) {
        const Json* arg_id = helper::member(body_arg(args, i), "#");
        const Dims outer = recorded_dims(state, carried[i]);
        in_dims[i] = outer;  // an untyped argument takes the carried value's type and dims
        if (arg_id)
            if (const auto id = helper::as_i64(*arg_id); id && state.tensor_dtypes.contains(*id))
                in_dims[i] = recorded_dims(state, *id);
        if (Converter::shapes_conflict(outer, in_dims[i]))
            widened[i] = in_dims[i] = joined_dims(outer, in_dims[i]);
    }
    return in_dims;
}

// Widens the arguments whose next values the body hands on with other dims, or with dims left
// open where the argument's are known; true when any was.
bool widen_for_next_values(const proto::GraphProto& body_graph, int lowering, std::vector<Dims>& in_dims,
                           std::map<size_t, Dims>& widened) {
    bool again = false;
    for (size_t i = 0; i < in_dims.size(); ++i) {
        const Dims next = described_dims(body_graph.output[i + 1]);
        if (!Converter::shapes_conflict(in_dims[i], next) && joined_dims(in_dims[i], next) == in_dims[i]) continue;
        widened[i] = in_dims[i] = lowering == 0 ? joined_dims(in_dims[i], next) : std::nullopt;
        again = true;
    }
    return again;
}

// The condition the body hands on may have other dims than the one that enters.
void widen_condition_input(proto::GraphProto& body_graph) {
    const Dims next = described_dims(body_graph.output[0]);
    const Dims first = described_dims(body_graph.input[1]);
    if (!Converter::shapes_conflict(first, next)) return;
    const Dims both = joined_dims(first, next);
    body_graph.input[1] =
        value_info_with_known_dims("__kestro_loop_cond", proto::dtype::BOOL, both ? &*both : nullptr);
}

}  // namespace

void Converter::op_while(const Json& op) {
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::vector<int64_t> carried(ids.begin() + 1, ids.end());
    std::vector<std::string> inputs{"", get_tensor_name(ids[0])};
    for (int64_t id : carried) inputs.push_back(get_tensor_name(id));

    const Json* regions = helper::member(op, "regions");
    if (!regions || !regions->IsArray()) throw Error("while is missing regions");
    if (regions->Empty()) throw Error("while is missing body region");
    const Json& body = (*regions)[0];
    const Json& args = while_body_args(body, carried.size());
    const std::vector<std::string> arg_names = while_arg_names(state, args, carried);

    if (types_differ(recorded_elem_type(state, ids[0]), proto::dtype::BOOL))
        throw Error("while condition {} is {}, but a loop condition must be bool", ids[0],
                    helper::onnx_dtype_name(recorded_elem_type(state, ids[0])));
    const std::vector<int32_t> yield_types = while_yield_types(state, args, carried);
    // The body is lowered against its arguments' dims, and again against wider ones while it
    // hands on values with other dims. A dim that still differs after one widening leaves the
    // rank open, so this ends.
    std::map<size_t, Dims> widened;
    std::vector<Dims> in_dims = while_entry_dims(state, args, carried, widened);
    proto::GraphProto body_graph;
    for (int lowering = 0;; ++lowering) {
        body_graph = convert_region_to_graph(body, "while_body", while_leading_inputs(state, ids[0]), arg_names,
                                             carried, yield_types, widened);
        // The body yields the next condition and the next value of each carried value.
        if (body_graph.output.size() != carried.size() + 1)
            throw Error("while body yields {} values, expected {}", body_graph.output.size(),
                        carried.size() + 1);
        if (!widen_for_next_values(body_graph, lowering, in_dims, widened)) break;
    }
    refuse_loop_contradictions(state, ids, helper::op_output_ids(op), body_graph);
    widen_condition_input(body_graph);
    // A result holds what its argument does on every iteration (its initial value after
    // none).
    const std::vector<int64_t> out_ids = helper::op_output_ids(op);
    for (size_t k = 0; k < out_ids.size() && k < carried.size(); ++k) {
        const Dims declared = recorded_dims(state, out_ids[k]);
        if (widened.count(k) || shapes_conflict(declared, in_dims[k]))
            record_dims(out_ids[k], joined_dims(declared, in_dims[k]));
    }
    std::vector<std::string> outputs =
        node_outputs(*this, op, carried.size(), "while", "it carries");
    append_node("Loop", std::move(inputs), std::move(outputs),
                {helper::attr_graph("body", std::move(body_graph))});
}

void Converter::op_any_all(const Json& op, bool any) {
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const int64_t out = helper::op_out_id(op);
    const char* word = any ? "any" : "all";
    const NameMaker names{word, out};
    std::string x = get_tensor_name(ids[0]);

    // Paddle counts any non-zero element as true; a cast straight to INT64 would truncate
    // 0.5 to 0, so other element types become booleans first.
    if (!dtype_token_is(ids[0], proto::dtype::BOOL)) {
        std::string as_bool = names("bool");
        add_cast_node(std::move(x), as_bool, proto::dtype::BOOL);
        x = std::move(as_bool);
    }
    const std::string cast = names("cast");
    add_cast_node(std::move(x), cast, proto::dtype::INT64);

    std::optional<std::vector<int64_t>> axes;
    if (const Json* data = helper::attr(op, "axis"); data && data->IsArray()) {
        std::vector<int64_t> items = helper::collect_i64_items(*data, op, "axis");
        if (!items.empty()) axes = std::move(items);
    }
    // Reductions take negative axes from opset 11; below it count them from the rank. With
    // the rank known they are counted from the front at every opset: ONNX Runtime mis-shapes
    // a reduction over an empty axis named from the back.
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    // A rank-0 value takes axis 0 or -1, which name the value itself; a reduction node
    // takes no axis of a rank-0 input, and over no axes it reduces the value to itself.
    if (axes && dims && dims->empty()) {
        for (int64_t a : *axes)
            if (a != 0 && a != -1)
                throw Error("{} axis {} is outside a rank-0 input, which takes 0 or -1", word, a);
        axes.reset();
    }
    if (axes) {
        for (int64_t& a : *axes) {
            if (a >= 0) continue;
            if (dims)
                a += static_cast<int64_t>(dims->size());
            else if (opset < 11)
                require_opset(fmt::format("{} with negative axes", word), 11);
        }
    }
    const Json* keep = helper::attr(op, "keepdim");
    const int64_t keepdims = keep && keep->IsBool() && keep->GetBool() ? 1 : 0;

    settle_reduced_over(word, ids[0], axes.value_or(std::vector<int64_t>{}), keepdims != 0, out);
    const std::string reduced = names("reduced");
    add_reduce_node(any ? "ReduceMax" : "ReduceMin", cast, reduced, axes, keepdims,
                    names("reduce"));
    if (!any) {
        // The minimum of an empty set is the type's largest value: true, as Paddle's all is.
        add_cast_node(reduced, get_tensor_name(out), proto::dtype::BOOL);
        return;
    }
    // The maximum of an empty set is the type's smallest value, which a cast would read as
    // true; Paddle's any of nothing is false, so only a positive maximum counts.
    const std::string zero = names("zero");
    push_i64_initializer(zero, {}, {0});
    add_binary_node("Greater", reduced, zero, get_tensor_name(out));
}

void Converter::op_one_hot(const Json& op) {
    // Range, which builds the class indices, exists from opset 11.
    require_opset("one_hot", 11);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"one_hot", out};
    const std::vector<int64_t>* index_dims = state.tensor_shapes.find(ids[0]);
    const int64_t rank = index_dims ? static_cast<int64_t>(index_dims->size()) : 1;

    std::string indices = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);
    const std::string indices_i64 = names("indices_i64");
    add_cast_node(std::move(indices), indices_i64, proto::dtype::INT64);

    std::string depth = names("depth_i64");
    int64_t depth_value = -1;
    if (const std::vector<double>* folded = state.const_values.find(ids[1])) {
        if (folded->empty()) throw Error("one_hot depth constant is empty");
        const double v = folded->front();
        if (!std::isfinite(v) || std::trunc(v) != v)
            throw Error("one_hot depth must be an integer scalar, got {}", helper::fmt_f64(v));
        push_i64_initializer(depth, {}, {helper::saturate_i64(v)});
        depth_value = helper::saturate_i64(v);
    } else {
        add_cast_node(get_tensor_name(ids[1]), depth, proto::dtype::INT64);
        // Range takes a 0-D limit; Paddle's count may have any rank of one element.
        depth = one_value_of_rank(ids[1], std::move(depth), 0, names("depth_scalar"));
    }

    const std::string start = names("start");
    const std::string step = names("step");
    push_i64_initializer(start, {}, {0});
    push_i64_initializer(step, {}, {1});
    const std::string range = names("range");
    append_node("Range", {start, depth, step}, {range});

    const std::string expanded = names("indices_expanded");
    add_unsqueeze_node(indices_i64, expanded, {rank},
                       names("unsqueeze_axes"));
    const std::string equal = names("equal");
    add_binary_node("Equal", expanded, range, equal);

    // The classes become a new last axis: the indices' dims and the depth, whatever dims
    // the program declares for the result.
    if (index_dims) {
        std::vector<int64_t> made(*index_dims);
        made.push_back(depth_value);
        settle_output("one_hot", out, std::nullopt, made, {ids[0]});
    }
    const int32_t to = maybe_onnx_dtype_for_tensor_id(out).value_or(proto::dtype::FLOAT);
    add_cast_node(equal, std::move(output), to);
}

}  // namespace kestro
