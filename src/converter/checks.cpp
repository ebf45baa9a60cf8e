// The checks of a program against itself (declared results, operands, axes), kept in one
// place so that a contradiction is refused, or settled, the same way wherever it shows.
#include "converter/checks.h"

#include <algorithm>

#include "converter/converter.h"
#include "converter/ops/dispatch.h"

namespace kestro {

std::string fmt_tensor_type(std::optional<int32_t> elem_type, const Dims& dims) {
    std::string out = elem_type ? helper::onnx_dtype_name(*elem_type) : std::string("untyped");
    if (dims) out = fmt::format("{} {}", out, helper::fmt_dims(*dims));
    return out;
}

Error declared_result_error(std::string_view op, std::string_view out, std::string_view declared,
                            std::string_view actual) {
    return Error("{} declares its output {} as {}, but {}", op, out, declared, actual);
}

Dims joined_dims(const Dims& a, const Dims& b) {
    if (!a || !b || a->size() != b->size()) return std::nullopt;
    std::vector<int64_t> out(*a);
    for (size_t k = 0; k < out.size(); ++k)
        if (out[k] != (*b)[k]) out[k] = -1;
    return out;
}

bool Converter::shapes_conflict(const std::optional<std::vector<int64_t>>& a,
                                const std::optional<std::vector<int64_t>>& b) {
    if (!a || !b) return false;
    if (a->size() != b->size()) return true;
    for (size_t k = 0; k < a->size(); ++k)
        if ((*a)[k] >= 0 && (*b)[k] >= 0 && (*a)[k] != (*b)[k]) return true;
    return false;
}

Dims described_dims(const proto::ValueInfoProto& info) {
    if (!info.type) return std::nullopt;
    const auto* tensor = std::get_if<proto::TypeProto::Tensor>(&info.type->value);
    if (!tensor || !tensor->shape) return std::nullopt;
    std::vector<int64_t> dims;
    for (const auto& d : tensor->shape->dim) {
        const int64_t* v = std::get_if<int64_t>(&d.value);
        dims.push_back(v ? *v : -1);
    }
    return dims;
}

int32_t described_elem_type(const proto::ValueInfoProto& info) {
    if (!info.type) return 0;
    const auto* tensor = std::get_if<proto::TypeProto::Tensor>(&info.type->value);
    return tensor ? tensor->elem_type : 0;
}

Dims recorded_dims(const ConverterState& state, int64_t id) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    return dims ? Dims(*dims) : std::nullopt;
}

int32_t recorded_elem_type(const ConverterState& state, int64_t id) {
    const std::string* token = state.tensor_dtypes.find(id);
    if (!token) return 0;
    return helper::paddle_token_to_onnx(*token).value_or(0);
}

namespace {

// The element type and dims a tensor description declares; dims nothing when it leaves its
// shape open.
struct DescribedType {
    int32_t elem_type = 0;
    Dims dims;
};

std::optional<DescribedType> described_type(const proto::ValueInfoProto& info) {
    if (!info.type || !std::holds_alternative<proto::TypeProto::Tensor>(info.type->value)) return std::nullopt;
    return DescribedType{described_elem_type(info), described_dims(info)};
}

}  // namespace

void Converter::record_dims(int64_t id, const Dims& dims) {
    if (dims)
        state.tensor_shapes.insert(id, *dims);
    else
        state.tensor_shapes.erase(id);
    state.settled_shapes.insert(id, true);
}

std::string Converter::declaring_operator(int64_t id) const {
    const std::optional<std::string> name = tensor_name_of(id);
    const NodeOrigins::Origin* origin = name ? node_origins->find(*name) : nullptr;
    return origin ? "operator " + *origin->op : std::string("the program");
}

void Converter::settle_output_description(proto::ValueInfoProto& info, int64_t id,
                                          std::string_view op_name) const {
    const std::optional<DescribedType> declared = described_type(info);
    if (!declared) return;
    const std::optional<int32_t> known = onnx_dtype_if_known(id);
    if (known && *known != declared->elem_type)
        throw declared_result_error(op_name, info.name, fmt_tensor_type(declared->elem_type, declared->dims),
                                    "computes " + fmt_tensor_type(known, recorded_dims(state, id)));
    // Where the program's record of the value is settled (the dims its operator computes, or
    // none where paths differ), a description with other dims would contradict the model's
    // own nodes: the value's dims replace them. A graph output must have a rank, so one
    // without known dims keeps the declared rank, without claiming any dim.
    const Dims dims = recorded_dims(state, id);
    // Dims only declared, never settled against what an operator computes, are the
    // program's word against the fetch's: the refusal names the operator that declared them.
    if (!state.settled_shapes.contains(id)) {
        if (shapes_conflict(declared->dims, dims))
            throw declared_result_error(op_name, info.name, fmt_tensor_type(declared->elem_type, declared->dims),
                                        fmt::format("{} declares value {} as {}", declaring_operator(id), id,
                                                    fmt_tensor_type(known.value_or(declared->elem_type), dims)));
        return;
    }
    // A size declared where the settled dims are open is loosened to them too: the value
    // takes other sizes at run time.
    const auto claims_more = [&] {
        if (!dims || !declared->dims || dims->size() != declared->dims->size()) return false;
        for (size_t k = 0; k < dims->size(); ++k)
            if ((*dims)[k] < 0 && (*declared->dims)[k] >= 0) return true;
        return false;
    };
    if (shapes_conflict(declared->dims, dims) || (!dims && declared->dims) || claims_more()) {
        const std::vector<int64_t> described = dims ? *dims : std::vector<int64_t>(declared->dims->size(), -1);
        info.type = tensor_value_info(info.name, declared->elem_type, described).type;
    }
}

namespace {

// Whether the dims of every value of `ids` (0 for an absent one) are settled.
bool all_settled(const ConverterState& state, const IdList& ids) {
    return std::all_of(ids.begin(), ids.end(), [&](int64_t id) { return id == 0 || state.settled_shapes.contains(id); });
}

}  // namespace

void Converter::settle_output(std::string_view op_name, int64_t out, std::optional<int32_t> computed_type,
                              const Dims& computed_dims, const IdList& sources) {
    const bool from_settled = all_settled(state, sources);
    const std::optional<int32_t> declared_type = onnx_dtype_if_known(out);
    const Dims declared_dims = recorded_dims(state, out);
    const bool type_differs = declared_type && computed_type && *declared_type != *computed_type;
    const bool dims_differ = shapes_conflict(declared_dims, computed_dims);
    if (type_differs || (dims_differ && !from_settled)) {
        throw declared_result_error(op_name, std::to_string(out), fmt_tensor_type(declared_type, declared_dims),
                                    "computes " + fmt_tensor_type(computed_type, computed_dims));
    }
    // A value computed from one that changes dims from one iteration to the next: its
    // declaration describes the first iteration, what its operator computes holds on all.
    const auto varying = [&](int64_t id) { return state.iteration_varying.contains(id); };
    if (std::any_of(sources.begin(), sources.end(), varying)) {
        state.iteration_varying.insert(out, true);
        if (joined_dims(declared_dims, computed_dims) != declared_dims) {
            record_dims(out, computed_dims);
            return;
        }
    }
    // Paddle's exporter widens declarations around control flow (a loop's initial value
    // declared with the loop's type, a branch's placeholder with the other branch's): the
    // value is what the operator computes, and later lowerings are to see that.
    if (dims_differ || (from_settled && computed_dims && !declared_dims)) {
        record_dims(out, computed_dims);
        return;
    }
    if (!from_settled || !computed_dims || !declared_dims) return;
    // A dim declared open (-1) that the operator computes is that size: later lowerings
    // read it (a count of shape [1] declared [-1] is one value). Declared dims that the
    // computed ones confirm (each known dim computed too) are settled.
    std::vector<int64_t> known(*declared_dims);
    bool confirmed = true;
    for (size_t k = 0; k < known.size(); ++k) {
        if ((*computed_dims)[k] >= 0) known[k] = (*computed_dims)[k];
        else if (known[k] >= 0) confirmed = false;
    }
    if (known != *declared_dims) state.tensor_shapes.insert(out, known);
    if (confirmed) state.settled_shapes.insert(out, true);
}

Dims broadcast_dims(const std::vector<const std::vector<int64_t>*>& all) {
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

void Converter::settle_output_like(std::string_view op_name, int64_t out, const IdList& operands,
                                   std::optional<int32_t> result_type, bool follow_dims) {
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
    const Dims computed = follow_dims && !dims.empty() ? broadcast_dims(dims) : std::nullopt;
    settle_output(op_name, out, result_type, computed, operands);
    // A size declared where the operands leave the dim open (x [-1, 3] plus y [3] declared
    // [4, 3]) is not what the operator gives for other sizes of x: the result's dims are the
    // operands' broadcast, open where they are.
    if (computed && all_settled(state, operands) && !state.settled_shapes.contains(out) && !state.iteration_varying.contains(out)) {
        const Dims declared = recorded_dims(state, out);
        if (declared && declared->size() == computed->size()) record_dims(out, computed);
    }
}

void refuse_data_contradiction(const Json& op, const proto::ValueInfoProto& info) {
    const std::optional<DescribedType> declared = described_type(info);
    if (!declared) return;
    // The attributes say what is fed; the output entry is what the program's operators were
    // typed against. Where they disagree, the graph input would contradict one of them.
    const auto refuse = [&](std::string actual) {
        return declared_result_error("data", helper::fmt_text(info.name),
                                     fmt_tensor_type(declared->elem_type, declared->dims), actual);
    };
    if (auto word = helper::op_attr_str(op, "dtype")) {
        const std::optional<int32_t> fed = helper::paddle_dtype_token_to_onnx(*word);
        if (fed && *fed != declared->elem_type)
            throw refuse(fmt::format("its dtype attribute is {}", helper::onnx_dtype_name(*fed)));
    }
    if (const Json* shape = helper::attr(op, "shape"); shape && shape->IsArray()) {
        const std::vector<int64_t> fed = helper::collect_dims(*shape);
        if (Converter::shapes_conflict(declared->dims, fed))
            throw refuse(fmt::format("its shape attribute is {}", helper::fmt_dims(fed)));
    }
}

// ---- operands ----

namespace {

// The axis counted from the front; empty outside [-rank, rank).
std::optional<int64_t> axis_from_front(int64_t axis, int64_t rank) {
    if (axis < -rank || axis >= rank) return std::nullopt;
    return axis < 0 ? axis + rank : axis;
}

}  // namespace

int64_t Converter::checked_axis(std::string_view op, std::string_view what, int64_t axis,
                                int64_t rank) {
    if (const auto a = axis_from_front(axis, rank)) return *a;
    throw Error("{}: {} {} is outside [{}, {}) for an input of rank {}", op, what, axis, -rank, rank,
                rank);
}

int64_t Converter::checked_axis(fmt::format_string<int64_t, int64_t> refusal, int64_t axis,
                                int64_t rank) {
    if (const auto a = axis_from_front(axis, rank)) return *a;
    throw Error(refusal, int64_t{axis}, int64_t{rank});
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

bool dims_broadcast(const std::vector<int64_t>& a, const std::vector<int64_t>& b, size_t skip) {
    if (a.size() < skip || b.size() < skip) return true;
    const size_t n = std::min(a.size(), b.size()) - skip;
    for (size_t k = 1; k <= n; ++k) {
        const int64_t x = a[a.size() - skip - k];
        const int64_t y = b[b.size() - skip - k];
        if (x >= 0 && y >= 0 && x != 1 && y != 1 && x != y) return false;
    }
    return true;
}

void Converter::require_broadcastable(std::string_view op, int64_t a, int64_t b, size_t skip) const {
    const std::vector<int64_t>* da = state.tensor_shapes.find(a);
    const std::vector<int64_t>* db = state.tensor_shapes.find(b);
    if (da && db && !dims_broadcast(*da, *db, skip))
        throw Error("{}: operand dims {} and {} cannot broadcast", op, helper::fmt_dims(*da), helper::fmt_dims(*db));
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

void Converter::require_axes_operand(std::string_view op, std::string_view what, int64_t id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (dims && dims->size() > 1)
        throw Error("{}: {} (value {}) has dims {}, but it must be 0-D or 1-D: one axis or a list of axes", op,
                    what, id, helper::fmt_dims(*dims));
}

void Converter::require_one_value(std::string_view op, std::string_view what, int64_t id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    // Paddle reads such an operand as a Scalar: any rank, as long as it holds one element.
    if (dims && std::any_of(dims->begin(), dims->end(), [](int64_t d) { return d >= 0 && d != 1; }))
        throw Error("{}: {} (value {}) has dims {}, but it must hold one value: a tensor of one element", op, what,
                    id, helper::fmt_dims(*dims));
}

void Converter::require_float_operand(std::string_view op_name, int64_t id) const {
    const std::optional<int32_t> t = onnx_dtype_if_known(id);
    if (t && !helper::is_float_onnx_dtype(*t) && *t != proto::dtype::BFLOAT16)
        throw Error("{} does not take {} inputs, only floating-point values", op_name,
                    helper::onnx_dtype_name(*t));
}

void Converter::require_rank(std::string_view op_name, int64_t id, size_t lowest, size_t highest,
                             std::string_view what) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || (dims->size() >= lowest && dims->size() <= highest)) return;
    if (lowest == highest) throw Error("{} takes a rank-{} {}, got rank {}", op_name, lowest, what, dims->size());
    if (highest == kAnyRank)
        throw Error("{} takes a rank {} or higher {}, got rank {}", op_name, lowest, what, dims->size());
    const bool vowel = !what.empty() && std::string_view("aeiou").find(what.front()) != std::string_view::npos;
    throw Error("{} takes {} {} of rank {} to {}, got rank {}", op_name, vowel ? "an" : "a", what, lowest, highest,
                dims->size());
}

namespace {

std::string operand_list(const std::vector<ops::OperandRule>& rules) {
    std::string list;
    for (const ops::OperandRule& r : rules) list += fmt::format("{}{}", list.empty() ? "" : ", ", r.name);
    return list;
}

// How many operands a row takes, as its general refusal says it: "2", "2 or 3", "1 to 3",
// "1 or more".
std::string operand_count(const ops::Signature& signature) {
    const size_t least = signature.least();
    const size_t most = signature.operands.size();
    if (signature.repeats) return fmt::format("{} or more", least);
    if (least >= most) return std::to_string(most);
    return fmt::format("{} {} {}", least, least + 1 == most ? "or" : "to", most);
}

// A node reads extra operands as inputs of another meaning, or drops them; a missing one
// leaves the lowering to guess (squeeze without its axes squeezed every dim of 1). The
// operator's own words answer where it has them; the general form names the operator as the
// program writes it (`op`, "set_value_").
void refuse_operand_count(std::string_view op, const ops::Signature& signature, size_t count) {
    const bool too_many = count > signature.operands.size() && !signature.repeats;
    if (too_many && !signature.too_many.empty()) throw Error::raw(std::string(signature.too_many));
    if (!too_many)
        for (const ops::TooFew& t : signature.too_few)
            if (count < t.below) throw Error::raw(std::string(t.text));
    if (too_many || count < signature.least())
        throw Error("{} has {} operand{}, but it takes {}{}", op, count, count == 1 ? "" : "s", operand_count(signature),
                    signature.operands.empty() ? std::string() : fmt::format(" ({})", operand_list(signature.operands)));
}

// An operand whose value the lowering writes into the model (an axis, shifts, a count): a
// value computed at run time, or a one-value constant holding none, is refused.
void refuse_non_constant(std::string_view op, const ops::OperandRule& rule, int64_t id, const ConstValues& constants) {
    const std::vector<double>* folded = constants.find(id);
    const bool holds_none = folded && folded->empty() && rule.holds == ops::Holds::OneValue;
    if ((!folded || holds_none) && !rule.not_constant.empty())
        throw Error::raw(fmt::format(fmt::runtime(rule.not_constant), id));
    if (!folded)
        throw Error("{}: {} (value {}) must be a constant known at conversion, but it is computed when the model runs",
                    op, rule.name, id);
    if (holds_none)
        throw Error("{}: {} (value {}) is a constant holding no value, but it must hold one", op, rule.name, id);
}

}  // namespace

void Converter::check_operands(std::string_view op, std::string_view written, const ops::Signature& signature,
                               const IdList& ids) const {
    const std::vector<ops::OperandRule>& rules = signature.operands;
    refuse_operand_count(written, signature, ids.size());
    for (size_t k = 0; k < ids.size(); ++k) {
        const ops::OperandRule& rule = rules[std::min(k, rules.size() - 1)];
        const int64_t id = ids[k];
        // An operand the operator cannot do without, given as absent: a lowering would read
        // it as left off (max over every axis where Paddle refuses).
        if (id == 0 && !rule.optional)
            throw Error("{}: {} (operand {}) is absent (%0), where {} needs a value", op, rule.name, k, op);
        if (id == 0) continue;  // an optional operand left out
        if (rule.folded) refuse_non_constant(op, rule, id, state.const_values);
        // The rank refusals call the operator's first operand its input ("conv2d takes a
        // rank-4 input"), the others by their names.
        const std::string_view what = k == 0 ? std::string_view("input") : rule.name;
        if (rule.min_rank != 0 || rule.max_rank != ops::OperandRule::kAnyRank) {
            const size_t highest = rule.max_rank == ops::OperandRule::kAnyRank ? kAnyRank : size_t{rule.max_rank};
            // A list's rank rule holds for each of its values.
            const IdList* elements = rule.holds == ops::Holds::List ? state.combine_inputs.find(id) : nullptr;
            if (elements) {
                for (const int64_t e : *elements)
                    if (e != 0) require_rank(op, e, rule.min_rank, highest, what);
            } else if (rule.holds != ops::Holds::List) {
                require_rank(op, id, rule.min_rank, highest, what);
            }
        }
        const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
        if (rule.column_ok && dims && dims->size() == 2 && (*dims)[1] >= 0 && (*dims)[1] != 1)
            throw Error("{}: {} (value {}) has dims {}, but it must be {}1-D or [N, 1]", op, rule.name, id,
                        helper::fmt_dims(*dims), rule.min_rank == 0 ? "0-D, " : "");
        if (rule.same_rank_as >= 0 && static_cast<size_t>(rule.same_rank_as) < ids.size()) {
            const int64_t other = ids[static_cast<size_t>(rule.same_rank_as)];
            const std::vector<int64_t>* other_dims = other == 0 ? nullptr : state.tensor_shapes.find(other);
            if (dims && other_dims && dims->size() != other_dims->size())
                throw Error("{}: {} has rank {} and {} rank {}, but they must have the same rank", op, rule.name,
                            dims->size(), rules[static_cast<size_t>(rule.same_rank_as)].name, other_dims->size());
        }
        if (rule.same_type_as >= 0 && static_cast<size_t>(rule.same_type_as) < ids.size()) {
            const int64_t other = ids[static_cast<size_t>(rule.same_type_as)];
            if (other != 0)
                require_same_type(op, rule.name, id, rules[static_cast<size_t>(rule.same_type_as)].name, other);
        }
        if (rule.points && dims && dims->size() >= 2 && dims->back() >= 0 &&
            static_cast<size_t>(dims->back()) != dims->size() - 2)
            throw Error("{}: {} (value {}) has dims {}, but a {} of rank {} holds {} coordinates in its last dim", op,
                        rule.name, id, helper::fmt_dims(*dims), rule.name, dims->size(), dims->size() - 2);
        switch (rule.holds) {
            case ops::Holds::OneValue: require_one_value(op, rule.name, id); break;
            case ops::Holds::Axes: require_axes_operand(op, rule.name, id); break;
            // A range's bound of any rank with one element is reshaped by its lowering, which
            // refuses other counts in its own words; a flat list is read flattened.
            case ops::Holds::RangeBound:
            case ops::Holds::FlatList:
            case ops::Holds::List:
            case ops::Holds::Tensor: break;
        }
        if (rule.elem == ops::Elem::Index)
            require_operand_type(op, rule.name, id, {proto::dtype::INT32, proto::dtype::INT64});
    }
}

void Converter::note_operand_reads(const Json& op, const ops::Signature& signature, const IdList& ids) {
    for (size_t k = 0; k < ids.size(); ++k) {
        const int64_t id = ids[k];
        if (id == 0 || state.defined_values.contains(id) || state.tensor_names.contains(id)) continue;
        // A tensor read as a whole becomes a node input, and the finished graph is sorted, so a
        // program may list its reader first. A value read for what it holds (an axis, a bound,
        // a constant) is needed while the reader is lowered, before its operator has run.
        if (signature.operands.empty()) continue;
        const ops::OperandRule& rule = signature.operands[std::min(k, signature.operands.size() - 1)];
        if (!rule.folded && (rule.holds == ops::Holds::Tensor || rule.holds == ops::Holds::List)) continue;
        early_reads->try_emplace(id, helper::op_label(op));
    }
}

void Converter::note_definitions(const Json& op) {
    const Json* outs = helper::member(op, "O");
    if (outs == nullptr) return;
    for (const int64_t id : helper::collect_value_ids(*outs)) {
        if (id == 0) continue;
        if (!early_reads->empty())
            if (const auto it = early_reads->find(id); it != early_reads->end())
                throw Error("{} reads value {} before any operator defines it ({} defines it later)",
                            helper::fmt_text(it->second), id, helper::fmt_text(helper::op_label(op)));
        state.defined_values.insert(id, true);
    }
}

IdList Converter::awaited_values(const IdList& operands) const {
    const auto awaited = [&](int64_t id) {
        return id != 0 && ((!state.defined_values.contains(id) && !state.tensor_names.contains(id)) ||
                           outputs_awaiting.contains(id));
    };
    IdList out;
    for (const int64_t id : operands) {
        if (awaited(id)) out.push_back(id);
        if (const IdList* elements = id == 0 ? nullptr : state.combine_inputs.find(id))
            for (const int64_t e : *elements)
                if (awaited(e)) out.push_back(e);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void Converter::await_types(std::string_view op_name, IdList outputs, const GraphMark& from, const IdList& awaited) {
    const size_t k = awaiting_types.size();
    for (const int64_t id : outputs) outputs_awaiting.insert(id);
    for (const int64_t id : awaited) readers_awaiting[id].push_back(k);
    awaiting_types.push_back({std::string(op_name), std::move(outputs), from, graph_mark(), awaited.size()});
}

void Converter::settle_awaiting_types(const IdList& ids) {
    IdList ready(ids);
    while (!ready.empty()) {
        const int64_t id = ready.back();
        ready.pop_back();
        const auto readers = readers_awaiting.find(id);
        if (readers == readers_awaiting.end()) continue;
        const std::vector<size_t> waiting = std::move(readers->second);
        readers_awaiting.erase(readers);
        for (const size_t k : waiting) {
            AwaitingTypes& a = awaiting_types[k];
            if (--a.pending != 0) continue;
            // Its nodes typed now, the operator is held to its declarations as it would have
            // been had the values come first; the operators awaiting its outputs may follow.
            type_graph_part(a.op_name, a.from, a.to);
            check_declared_types(a.op_name, a.outputs);
            for (const int64_t out : a.outputs) {
                outputs_awaiting.erase(out);
                ready.push_back(out);
            }
        }
    }
}

}  // namespace kestro
