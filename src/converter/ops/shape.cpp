// Squeeze, unsqueeze, flatten, split, stack and concat.
#include <algorithm>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

// No real tensor has more dims; it bounds the target shape built from zeros when the
// input rank is not recorded.
constexpr int64_t kMaxRank = 64;

std::optional<size_t> recorded_rank(const ConverterState& state, int64_t id) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims) return std::nullopt;
    return dims->size();
}

// Axes of a squeeze or unsqueeze: the attribute "axis" (or "axes" when "axis" has no
// data at all), replaced by the folded constant of the second input when there is one.
std::optional<std::vector<int64_t>> gather_axes(const ConverterState& state, const Json& op,
                                                const std::vector<int64_t>& ids) {
    std::optional<std::vector<int64_t>> axes;
    std::string_view name = "axis";
    const Json* data = helper::attr(op, name);
    if (!data) data = helper::attr(op, name = "axes");
    if (data) {
        if (data->IsArray())
            axes = helper::collect_i64_items(*data, op, name);
        else
            axes = std::vector<int64_t>{helper::attr_data_i64(*data, helper::op_label(op), name)};
    }
    if (ids.size() >= 2)
        if (const std::vector<double>* folded = state.const_values.find(ids[1]))
            axes = helper::saturate_i64(*folded);
    return axes;
}

// Squeeze and Unsqueeze accept negative axes only from opset 11.
void require_non_negative_axes(const Converter& c, std::string_view what,
                               const std::vector<int64_t>& axes) {
    for (int64_t a : axes)
        if (a < 0) c.require_opset(fmt::format("{} with negative axes", what), 11);
}

// Concat and Split accept a negative axis only from opset 11: below it, count it from
// the recorded rank, or refuse.
int64_t axis_for_opset(const Converter& c, std::string_view what, int64_t axis,
                       std::optional<size_t> rank) {
    if (axis >= 0 || c.opset >= 11) return axis;
    if (rank && axis + static_cast<int64_t>(*rank) >= 0) return axis + static_cast<int64_t>(*rank);
    c.require_opset(fmt::format("{} with a negative axis", what), 11);
    return axis;
}

// The output dims the operator declares on its first output ("O"[0]."TT"."D"[1]).
std::optional<std::vector<int64_t>> declared_output_dims(const Json& op) {
    const Json* first = helper::first_entry(op, "O");
    if (!first) return std::nullopt;
    auto type = helper::declared_type(*first, helper::NonIntegerDims::Dropped);
    if (!type || !type->dims || type->dims->empty()) return std::nullopt;
    return std::move(type->dims);
}

// The dims of an unsqueeze's result: the input's recorded dims with a 1 at each final
// position of `axes`; nothing when the input's dims are not recorded.
std::optional<std::vector<int64_t>> unsqueezed_dims(const std::vector<int64_t>* in_dims,
                                                    const std::vector<int64_t>& axes) {
    if (!in_dims) return std::nullopt;
    const size_t rank = in_dims->size() + axes.size();
    std::vector<bool> inserted(rank, false);
    for (int64_t a : axes) {
        if (a < 0 || static_cast<size_t>(a) >= rank) return std::nullopt;
        inserted[static_cast<size_t>(a)] = true;
    }
    std::vector<int64_t> dims;
    dims.reserve(rank);
    auto next = in_dims->begin();
    for (size_t k = 0; k < rank; ++k) {
        if (inserted[k]) {
            dims.push_back(1);
        } else {
            if (next == in_dims->end()) return std::nullopt;  // a repeated position
            dims.push_back(*next++);
        }
    }
    return dims;
}

// What stack and concat take from their list: the values' one element type (when every
// one's is known and they agree) and their common dims, -1 where the values differ; no dims
// when one value's are not recorded or the ranks differ.
struct ListType {
    std::optional<int32_t> dtype;
    std::optional<std::vector<int64_t>> dims;
};

ListType list_type(const Converter& c, const IdList& ids) {
    ListType t;
    bool types_agree = !ids.empty();
    bool dims_known = !ids.empty();
    for (size_t k = 0; k < ids.size(); ++k) {
        const std::optional<int32_t> dtype = c.onnx_dtype_if_known(ids[k]);
        if (!dtype || (k > 0 && t.dtype != dtype)) types_agree = false;
        if (k == 0) t.dtype = dtype;
        const std::vector<int64_t>* d = c.state.tensor_shapes.find(ids[k]);
        if (!d || (t.dims && t.dims->size() != d->size())) {
            dims_known = false;
        } else if (!t.dims) {
            t.dims = *d;
        } else {
            for (size_t j = 0; j < d->size(); ++j)
                if ((*t.dims)[j] != (*d)[j]) (*t.dims)[j] = -1;
        }
    }
    if (!types_agree) t.dtype.reset();
    if (!dims_known) t.dims.reset();
    return t;
}

// `axis` counted from the front of a rank, or nothing when it lies outside.
std::optional<size_t> axis_in_rank(int64_t axis, size_t rank) {
    const int64_t r = static_cast<int64_t>(rank);
    if (axis < -r || axis >= r) return std::nullopt;
    return static_cast<size_t>(axis < 0 ? axis + r : axis);
}

// The rank of an unsqueeze's input: recorded, or the recorded output rank less the axes.
std::optional<int64_t> unsqueeze_input_rank(const ConverterState& state, int64_t in, int64_t out,
                                            size_t axis_count) {
    if (auto r = recorded_rank(state, in)) return static_cast<int64_t>(*r);
    if (auto r = recorded_rank(state, out); r && *r >= axis_count)
        return static_cast<int64_t>(*r - axis_count);
    return std::nullopt;
}

// Paddle inserts the axes one at a time, in the given order, each counted against the
// rank reached so far (a negative axis from the end of that rank plus one), so [2, 0] on
// a rank-2 input ends with new dims at 0 and 3, and a repeated axis inserts twice. ONNX
// wants the final positions of the new dims: replay the insertions. Without the input
// rank only non-negative axes can be replayed; a lone negative axis means the same in
// ONNX (counted against the output rank) and is passed on.
std::vector<int64_t> unsqueeze_output_axes(const std::vector<int64_t>& axes,
                                           std::optional<int64_t> in_rank) {
    const bool any_negative = std::any_of(axes.begin(), axes.end(), [](int64_t a) { return a < 0; });
    if (!in_rank && any_negative) {
        if (axes.size() == 1) return axes;
        throw Error("unsqueeze with negative axes {} needs the input rank, which is not recorded",
                    helper::fmt_dims(axes));
    }
    std::vector<int64_t> inserted;  // positions of the new dims in the rank reached so far
    int64_t rank = in_rank.value_or(0);
    for (int64_t a : axes) {
        const int64_t pos = a < 0 ? a + rank + 1 : a;
        if (pos < 0 || (in_rank && pos > rank))
            throw Error("unsqueeze: axis {} is outside the rank {} it is inserted into", a, rank);
        if (pos > kMaxRank || rank >= kMaxRank)
            throw Error("unsqueeze: axis {} exceeds the largest supported rank {}", a, kMaxRank);
        for (int64_t& p : inserted)
            if (p >= pos) ++p;
        inserted.push_back(pos);
        ++rank;
    }
    std::sort(inserted.begin(), inserted.end());
    return inserted;
}

}  // namespace

namespace {

// What a squeeze comes to once its axes and the input's recorded dims are read.
enum class SqueezeKind {
    Identity,      // no dim goes: the result is the input
    EveryUnitDim,  // every dim of 1 goes, found by the one-input Squeeze at run time
    Axes,          // the dims at `axes` go
    RunTime,       // the axes are known only at run time
};

struct SqueezeStep {
    SqueezeKind kind;
    std::vector<int64_t> axes;
};

bool all_dims(const std::vector<int64_t>& dims, bool (*holds)(int64_t)) {
    return std::all_of(dims.begin(), dims.end(), holds);
}

// One axis known only at run time, of an input whose every dim is 1: whichever axis it
// names, that dim goes, whatever rank is declared.
bool one_run_time_axis_of_ones(const ConverterState& state, const std::vector<int64_t>& ids) {
    const std::vector<int64_t>* in_dims = state.tensor_shapes.find(ids[0]);
    const std::vector<int64_t>* axis_dims = ids.size() >= 2 ? state.tensor_shapes.find(ids[1]) : nullptr;
    return axis_dims && (axis_dims->empty() || *axis_dims == std::vector<int64_t>{1}) &&
           !state.const_values.find(ids[1]) && in_dims && !in_dims->empty() &&
           all_dims(*in_dims, [](int64_t d) { return d == 1; });
}

// An empty list (what squeeze(x) without axes exports) removes every size-1 dim. With all
// dims recorded those are known now; otherwise the one-input Squeeze finds them at run time.
SqueezeStep every_unit_dim(const std::vector<int64_t>* in_dims) {
    if (!in_dims || !all_dims(*in_dims, [](int64_t d) { return d >= 0; })) return {SqueezeKind::EveryUnitDim, {}};
    std::vector<int64_t> axes;
    for (size_t k = 0; k < in_dims->size(); ++k)
        if ((*in_dims)[k] == 1) axes.push_back(static_cast<int64_t>(k));
    return {axes.empty() ? SqueezeKind::Identity : SqueezeKind::Axes, std::move(axes)};
}

// The named axes of an input of recorded rank that go: Paddle leaves an axis alone when its
// dim is not 1, so the result keeps the input's other dims, whatever rank is declared.
SqueezeStep named_unit_dims(Converter& c, const std::vector<int64_t>& axes, int64_t x, int64_t out) {
    const std::vector<int64_t>& in_dims = *c.state.tensor_shapes.find(x);
    const int64_t in_rank = static_cast<int64_t>(in_dims.size());
    std::vector<int64_t> kept;
    for (int64_t a : axes) kept.push_back(Converter::checked_axis("squeeze", "axis", a, in_rank));
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    const size_t named = kept.size();
    std::erase_if(kept, [&](int64_t a) {
        const int64_t d = in_dims[static_cast<size_t>(a)];
        return d != 1 && d >= 0;
    });
    if (kept.size() < named) {
        std::vector<int64_t> squeezed;
        for (int64_t k = 0; k < in_rank; ++k)
            if (!std::binary_search(kept.begin(), kept.end(), k)) squeezed.push_back(in_dims[static_cast<size_t>(k)]);
        c.settle_output("squeeze", out, c.onnx_dtype_if_known(x), squeezed, {x});
    }
    if (const int64_t rank = static_cast<int64_t>(recorded_rank(c.state, out).value_or(0)); rank > 0 && rank >= in_rank)
        kept.clear();
    return {kept.empty() ? SqueezeKind::Identity : SqueezeKind::Axes, std::move(kept)};
}

// What the squeeze of `ids` (x, then the axes if given) into `out` does.
SqueezeStep squeeze_step(Converter& c, const Json& op, const std::vector<int64_t>& ids, int64_t out) {
    const std::vector<int64_t>* in_dims = c.state.tensor_shapes.find(ids[0]);
    const int64_t in_rank = in_dims ? static_cast<int64_t>(in_dims->size()) : 0;
    const int64_t out_rank = static_cast<int64_t>(recorded_rank(c.state, out).value_or(0));
    if (in_rank > 0 && in_rank == out_rank) return {SqueezeKind::Identity, {}};

    const std::optional<std::vector<int64_t>> axes = gather_axes(c.state, op, ids);
    // A single value has only axis 0 (or -1), and no dim to remove: Squeeze would take no axis of it.
    if (in_dims && in_dims->empty()) {
        for (int64_t a : axes.value_or(std::vector<int64_t>{}))
            if (a != 0 && a != -1) throw Error("squeeze axis {} is outside a rank-0 input, which takes 0 or -1", a);
        return {SqueezeKind::Identity, {}};
    }
    if (axes && axes->empty()) return every_unit_dim(in_dims);
    if (axes && in_rank > 0) return named_unit_dims(c, *axes, ids[0], out);
    if (axes) return {SqueezeKind::Axes, *axes};
    if (ids.size() == 1) return {SqueezeKind::EveryUnitDim, {}};
    // Axes known only at run time can name only dims that Paddle leaves alone when no dim of
    // the input is 1: the result is the input, where Squeeze would fail on every such axis.
    if (in_rank > 0 && all_dims(*in_dims, [](int64_t d) { return d >= 0 && d != 1; })) {
        c.settle_output("squeeze", out, c.onnx_dtype_if_known(ids[0]), *in_dims, {ids[0]});
        return {SqueezeKind::Identity, {}};
    }
    return {SqueezeKind::RunTime, {}};
}

}  // namespace

void Converter::op_squeeze(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"squeeze", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string input = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);

    const bool one_axis_of_ones = one_run_time_axis_of_ones(state, ids);
    if (one_axis_of_ones) {
        const size_t in_rank = state.tensor_shapes.find(ids[0])->size();
        settle_output("squeeze", out, onnx_dtype_if_known(ids[0]), std::vector<int64_t>(in_rank - 1, 1), {ids[0]});
    }
    const SqueezeStep step = squeeze_step(*this, op, ids, out);
    switch (step.kind) {
        case SqueezeKind::Identity:
            append_node("Identity", {std::move(input)}, {std::move(output)});
            return;
        case SqueezeKind::EveryUnitDim:
            add_squeeze_node(std::move(input), std::move(output), std::nullopt);
            return;
        case SqueezeKind::Axes:
            require_non_negative_axes(*this, "squeeze", step.axes);
            add_squeeze_node(std::move(input), std::move(output), step.axes, names("axes"));
            return;
        case SqueezeKind::RunTime:
            break;
    }
    if (opset < 13) throw Error("squeeze with dynamic axes requires opset >= 13, but target opset is {}", opset);
    // Squeeze reads its axes as int64 only; Paddle also takes an int32 tensor.
    squeeze_unit_dims_named_at_run_time(
        std::move(input), axes_as_list(ids[1], ensure_i64_input(ids[1], out, "squeeze_axes"), names("axes_list")),
        std::move(output), names);
    // Whether a named dim is 1, and so goes, is known only at run time: so is the rank (but
    // for one axis of an input of ones, settled above).
    if (!one_axis_of_ones) record_dims(out, std::nullopt);
}

// Paddle removes a named axis only where its dim is 1 and leaves the others (an empty list
// names every axis), where Squeeze fails on a named dim that is not 1. The dims that go are
// found at run time; x gains a leading 1 that always goes too, so the axes Squeeze is given
// are never an empty list (which it would read as every dim of 1).
void Converter::squeeze_unit_dims_named_at_run_time(std::string input, std::string axes, std::string output,
                                                    const NameMaker& names) {
    const std::string shape = names("shape");
    append_node("Shape", {input}, {shape});
    const std::string zero = names("zero");
    push_i64_initializer(zero, {}, {0});
    const std::string one = names("one");
    push_i64_initializer(one, {}, {1});
    // 1 at each named position (ScatterElements counts a negative axis from the end).
    const std::string none_named = names("none_named");
    add_binary_node("Mul", shape, zero, none_named);
    const std::string axes_shape = names("axes_shape");
    append_node("Shape", {axes}, {axes_shape});
    const std::string ones = names("ones");
    append_node("Expand", {one, axes_shape}, {ones});
    const std::string named = names("named");
    append_node("ScatterElements", {none_named, axes, ones}, {named}, {helper::attr_int("axis", 0)});
    const std::string named_bool = names("named_bool");
    add_cast_node(named, named_bool, proto::dtype::BOOL);
    const std::string axes_count = names("axes_count");
    append_node("Size", {std::move(axes)}, {axes_count});
    const std::string every = names("every_axis");
    add_binary_node("Equal", axes_count, zero, every);
    const std::string considered = names("considered");
    add_binary_node("Or", named_bool, every, considered);
    const std::string unit = names("unit");
    add_binary_node("Equal", shape, one, unit);
    const std::string gone = names("gone");
    add_binary_node("And", considered, unit, gone);
    // Their positions in x with the leading 1, and that 1's own.
    const std::string found = names("gone_positions");
    append_node("NonZero", {gone}, {found});
    const std::string positions = names("positions");
    add_squeeze_node(found, positions, std::vector<int64_t>{0}, names("positions_axes"));
    const std::string shifted = names("shifted_positions");
    add_binary_node("Add", positions, one, shifted);
    const std::string lead = names("lead_axis");
    push_i64_vector_initializer(lead, {0});
    const std::string squeezed = names("squeezed_axes");
    append_node("Concat", {lead, shifted}, {squeezed}, {helper::attr_int("axis", 0)});
    const std::string lifted = names("lifted");
    add_unsqueeze_node(std::move(input), lifted, {0}, names("lift_axes"));
    append_node("Squeeze", {lifted, squeezed}, {std::move(output)});
}

void Converter::op_unsqueeze(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"unsqueeze", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string input = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);

    std::optional<std::vector<int64_t>> axes = gather_axes(state, op, ids);
    if (axes && axes->empty()) {
        // Nothing to insert; Unsqueeze refuses an empty axes list.
        settle_output_like("unsqueeze", out, {ids[0]});
        append_node("Identity", {std::move(input)}, {std::move(output)});
        return;
    }
    if (axes) {
        *axes = unsqueeze_output_axes(*axes, unsqueeze_input_rank(state, ids[0], out, axes->size()));
        require_non_negative_axes(*this, "unsqueeze", *axes);
        settle_output("unsqueeze", out, onnx_dtype_if_known(ids[0]),
                      unsqueezed_dims(state.tensor_shapes.find(ids[0]), *axes), {ids[0]});
        add_unsqueeze_node(std::move(input), std::move(output), *axes,
                           names("axes"));
        return;
    }
    if (opset < 13) throw Error("unsqueeze with dynamic axes requires opset >= 13, but target opset is {}", opset);
    // Unsqueeze reads its axes as int64 only; Paddle also takes an int32 tensor.
    std::string axes_list = ensure_i64_input(ids[1], out, "unsqueeze_axes");
    const std::vector<int64_t>* axes_dims = state.tensor_shapes.find(ids[1]);
    const int64_t count = !axes_dims ? -1 : axes_dims->empty() ? 1 : (*axes_dims)[0];
    if (count <= 1) {
        append_node("Unsqueeze", {std::move(input), axes_as_list(ids[1], std::move(axes_list), names("axes_list"))},
                    {std::move(output)});
        return;
    }
    if (count > kMaxRank)
        throw Error("unsqueeze: {} axes exceed the largest supported rank {}", count, kMaxRank);
    // Paddle inserts one dim per entry, in order, each counted against the rank reached so
    // far, so a repeated axis inserts twice; one Unsqueeze takes only distinct positions.
    // One Unsqueeze per entry replays Paddle's order: a negative axis counts against the
    // rank after its insertion there too.
    if (const std::vector<int64_t>* in_dims = state.tensor_shapes.find(ids[0]))
        settle_output("unsqueeze", out, onnx_dtype_if_known(ids[0]),
                      std::vector<int64_t>(in_dims->size() + static_cast<size_t>(count), -1), {ids[0]});
    for (int64_t k = 0; k < count; ++k) {
        const std::string axis = names("axis", k);
        add_slice_node(axes_list, axis, {k}, {k + 1}, std::vector<int64_t>{0}, std::nullopt, axis);
        std::string next = k + 1 == count ? output : names("step", k);
        append_node("Unsqueeze", {std::exchange(input, next), axis}, {next});
    }
}

namespace {

// The flatten target [x_shape[:start]..., prod(x_shape[start:stop+1]), x_shape[stop+1:]...]
// computed from x's shape at run time.
std::string flatten_target_at_run_time(Converter& c, const std::string& input, int64_t start,
                                       int64_t stop, int64_t r, int64_t out,
                                       const std::string& shape_name) {
    const NameMaker names{"flatten", out};
    const std::string full_shape = names("input_shape");
    c.append_node("Shape", {input}, {full_shape});
    std::vector<std::string> parts;
    if (start > 0) {
        std::string prefix = names("prefix");
        c.add_slice_node(full_shape, prefix, {0}, {start}, std::vector<int64_t>{0}, std::nullopt, prefix);
        parts.push_back(prefix);
    }
    const std::string middle = names("middle");
    c.add_slice_node(full_shape, middle, {start}, {stop + 1}, std::vector<int64_t>{0}, std::nullopt, middle);
    const std::string prod = names("prod");
    c.add_reduce_node("ReduceProd", middle, prod, std::vector<int64_t>{0}, 1, prod);
    parts.push_back(prod);
    if (stop + 1 < r) {
        std::string suffix = names("suffix");
        c.add_slice_node(full_shape, suffix, {stop + 1}, {r}, std::vector<int64_t>{0}, std::nullopt, suffix);
        parts.push_back(suffix);
    }
    std::string target = prod;
    if (parts.size() > 1) {
        target = shape_name;
        c.append_node("Concat", std::move(parts), {target}, {helper::attr_int("axis", 0)});
    }
    return target;
}

// Where the merge starts: start_axis counted from the front when the input's rank is
// recorded, held with stop_axis to the input's dims.
int64_t flatten_start(int64_t start_axis, int64_t stop_axis, std::optional<size_t> rank) {
    int64_t start = start_axis;
    if (start < 0 && rank) start += static_cast<int64_t>(*rank);
    // Paddle refuses a start axis outside the input's dims (a rank-0 input counts as one
    // dim); passing it on would index past the shape or build an unbounded target.
    if (rank && (start < 0 || start >= std::max<int64_t>(static_cast<int64_t>(*rank), 1)))
        throw Error("flatten: start_axis={} is outside the rank {} of its input", start_axis, *rank);
    if (rank)
        Converter::checked_axis("flatten", "stop_axis", stop_axis, std::max<int64_t>(static_cast<int64_t>(*rank), 1));
    return start;
}

// The dims the flatten computes, where settled, are the target; else the declared ones.
std::optional<std::vector<int64_t>> flatten_target_dims(Converter& c, const Json& op, int64_t x, int64_t start,
                                                        int64_t stop_axis, int64_t out) {
    c.settle_flattened_output(x, start, stop_axis, out);
    std::optional<std::vector<int64_t>> declared = declared_output_dims(op);
    if (const Dims computed = recorded_dims(c.state, out);
        c.state.settled_shapes.contains(out) && computed && !computed->empty())
        declared = computed;
    return declared;
}

// Reshape of `input` to a target known now, written as the initializer `shape_name`.
void reshape_to_constant(Converter& c, std::string input, const std::string& shape_name,
                         const std::vector<int64_t>& target, std::vector<proto::AttributeProto> attributes,
                         int64_t out) {
    c.push_i64_vector_initializer(shape_name, target);
    c.append_node("Reshape", {std::move(input), shape_name}, {c.get_tensor_name(out)}, std::move(attributes));
}

// Reshape to known target dims, at most one of them unknown and none unknown where one is 0
// (`empty`). A result with a 0 dim holds nothing: its 0s are real, not copies of x's dims.
void reshape_to_known_dims(Converter& c, std::string input, const std::string& shape_name,
                           const std::vector<int64_t>& declared, bool empty, int64_t out, const NameMaker& names) {
    if (!empty) return reshape_to_constant(c, std::move(input), shape_name, declared, {}, out);
    c.push_i64_vector_initializer(shape_name, declared);
    c.add_exact_reshape_node(std::move(input), shape_name, static_cast<int64_t>(declared.size()),
                             c.get_tensor_name(out), names, "exact", &declared);
}

}  // namespace

// x's dims with those from `start` to `stop` (from the back when negative) merged into one.
void Converter::settle_flattened_output(int64_t x, int64_t start, int64_t stop, int64_t out) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x);
    const int64_t rank = dims ? static_cast<int64_t>(dims->size()) : 0;
    if (stop < 0) stop += rank;
    if (!dims || start < 0 || start > stop || stop >= rank) return;
    std::vector<int64_t> result(dims->begin(), dims->begin() + start);
    std::optional<int64_t> merged = 1;
    for (int64_t k = start; k <= stop; ++k) {
        const int64_t d = (*dims)[static_cast<size_t>(k)];
        merged = merged && d >= 0 ? helper::checked_mul(*merged, d) : std::nullopt;
    }
    result.push_back(merged.value_or(-1));
    result.insert(result.end(), dims->begin() + stop + 1, dims->end());
    settle_output("flatten", out, std::nullopt, result, {x});
}

void Converter::op_flatten(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"flatten", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string input = get_tensor_name(ids[0]);

    const std::optional<size_t> rank = recorded_rank(state, ids[0]);
    const int64_t start_axis = helper::op_attr_i64(op, "start_axis").value_or(1);
    const int64_t stop_axis = helper::op_attr_i64(op, "stop_axis").value_or(-1);
    const int64_t start = flatten_start(start_axis, stop_axis, rank);

    const std::optional<std::vector<int64_t>> declared = flatten_target_dims(*this, op, ids[0], start, stop_axis, out);
    const auto unknown = declared ? std::count(declared->begin(), declared->end(), -1) : 0;
    if (!declared && stop_axis != -1)
        throw Error("flatten with explicit stop_axis={} is missing output shape metadata", stop_axis);

    const std::string shape_name = names("shape");
    // One unknown dim beside an empty one is nothing Reshape can infer (it divides by 0), and
    // ONNX forbids -1 beside a real 0: such a target is computed at run time below.
    const bool empty = declared && std::count(declared->begin(), declared->end(), 0) > 0;
    if (declared && (unknown == 0 || (unknown == 1 && !empty))) {
        reshape_to_known_dims(*this, std::move(input), shape_name, *declared, empty, out, names);
        return;
    }
    if (stop_axis == -1) {
        // Flattening to the last dim: keep the first S dims and merge the rest. This also
        // serves declared dims with several unknowns.
        if (start < 0)
            throw Error("flatten: start_axis={} needs the input rank, which is not recorded", start_axis);
        if (start > kMaxRank)
            throw Error("flatten: start_axis={} exceeds the largest supported rank {}", start_axis, kMaxRank);
        // The target [S zeros, -1] (a 0 copies the input's dim) leaves -1 nothing to divide
        // by when a kept dim is 0, an empty batch. With the input's rank recorded, the target
        // is computed at run time below instead; the constant serves S = 0 and an input
        // without a recorded rank.
        if (start == 0 || !rank) {
            std::vector<int64_t> target(static_cast<size_t>(start), 0);
            target.push_back(-1);
            reshape_to_constant(*this, std::move(input), shape_name, target, {}, out);
            return;
        }
    }

    // Several unknown dims in the result: compute the target shape at run time.
    if (!rank) throw Error("flatten: missing input rank metadata");
    const int64_t r = static_cast<int64_t>(*rank);
    const int64_t stop = stop_axis < 0 ? stop_axis + r : stop_axis;
    if (!(start >= 0 && stop < r && start <= stop))
        throw Error("flatten: invalid axes start_axis={} stop_axis={} for rank {}", start, stop, r);

    std::string target = flatten_target_at_run_time(*this, input, start, stop, r, out, shape_name);
    add_exact_reshape_node(std::move(input), std::move(target), start + 1 + (r - stop - 1),
                           get_tensor_name(out), names, "exact");
}

// Each piece has x's dims but along the axis, where it has its section's size (`sections`,
// else x's size shared out evenly).
void Converter::settle_split_pieces(std::string_view op_name, int64_t x, int64_t axis, const IdList& pieces,
                                    std::vector<int64_t> sections) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x);
    const int64_t rank = dims ? static_cast<int64_t>(dims->size()) : 0;
    if (axis < 0) axis += rank;
    if (!dims || axis < 0 || axis >= rank || pieces.empty()) return;
    const int64_t whole = (*dims)[static_cast<size_t>(axis)];
    const int64_t count = static_cast<int64_t>(pieces.size());
    if (sections.empty() && whole >= 0 && whole % count == 0) sections.assign(pieces.size(), whole / count);
    if (sections.size() != pieces.size()) return;
    for (size_t k = 0; k < pieces.size(); ++k) {
        std::vector<int64_t> piece(*dims);
        piece[static_cast<size_t>(axis)] = sections[k];
        settle_output(op_name, pieces[k], std::nullopt, piece, {x});
    }
}

// Sections known only at run time may hold a -1, which Paddle reads as what the other sections
// leave of the axis and ONNX's Split refuses: that -1 becomes the axis size less the sum of the
// others (the sum of all sections plus one), computed in the graph.
std::string Converter::split_sections_filled_in(std::string sections, const std::string& x, int64_t axis,
                                                const NameMaker& names) {
    const std::string shape = names("x_shape");
    append_node("Shape", {x}, {shape});
    const std::string axis_index = names("axis_index");
    push_i64_vector_initializer(axis_index, {axis});
    const std::string size = names("axis_size");
    append_node("Gather", {shape, axis_index}, {size}, {helper::attr_int("axis", 0)});
    const std::string total = names("sections_sum");
    add_reduce_node("ReduceSum", sections, total, std::vector<int64_t>{0}, 1, names("sections_sum"));
    const std::string one = names("one");
    push_i64_vector_initializer(one, {1});
    const std::string others = names("others_sum");
    add_binary_node("Add", total, one, others);
    const std::string rest = names("rest");
    add_binary_node("Sub", size, others, rest);
    const std::string minus_one = names("minus_one");
    push_i64_vector_initializer(minus_one, {-1});
    const std::string is_rest = names("is_rest");
    add_binary_node("Equal", sections, minus_one, is_rest);
    std::string filled = names("sections_filled");
    append_node("Where", {is_rest, rest, std::move(sections)}, {filled});
    return filled;
}

namespace {

// Folded sections spelled out: Paddle refuses any that do not cover the axis (`whole`, -1
// when unknown) and infers one -1 from what the others leave of it; ONNX wants every size.
std::vector<int64_t> resolved_sections(std::vector<int64_t> sections, int64_t whole, int64_t axis) {
    const auto rest = std::find(sections.begin(), sections.end(), -1);
    int64_t given = 0;
    for (auto it = sections.begin(); it != sections.end(); ++it) {
        if (it == rest) continue;
        const std::optional<int64_t> sum = helper::checked_add(given, *it);
        if (*it < 0 || !sum) throw Error("split: invalid sections {}", helper::fmt_dims(sections));
        given = *sum;
    }
    if (rest != sections.end()) {
        if (whole < 0) throw Error("split: section -1 needs the size of axis {}, which is not recorded", axis);
        if (given > whole)
            throw Error("split: sections {} exceed the size {} of axis {}", helper::fmt_dims(sections), whole, axis);
        *rest = whole - given;
    } else if (whole >= 0 && given != whole) {
        throw Error("split: sections {} do not add up to the size {} of axis {}", helper::fmt_dims(sections), whole,
                    axis);
    }
    return sections;
}

// How a split's sections reach its node, and the pieces' sizes along the axis where folded.
struct SplitSections {
    std::vector<std::string> inputs;               // after x
    std::vector<proto::AttributeProto> attributes;  // besides the axis
    std::vector<int64_t> sizes;
};

SplitSections split_sections(Converter& c, const IdList& ids, int64_t axis, const std::string& x, int64_t out,
                             const NameMaker& names) {
    SplitSections result;
    const std::vector<double>* folded = c.state.const_values.find(ids[1]);
    if (!folded) {
        // Split takes its sections as an input only from opset 13, and as int64 only; Paddle
        // also takes int32 ones.
        c.require_opset("split with tensor sections", 13);
        result.inputs.push_back(
            c.split_sections_filled_in(c.flat_i64_list(ids[1], out, "split_sections"), x, axis, names));
        return result;
    }
    const std::vector<int64_t> given = helper::saturate_i64(*folded);
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(ids[0]);
    const int64_t a = axis < 0 && dims ? axis + static_cast<int64_t>(dims->size()) : axis;
    const int64_t whole = dims && a >= 0 && a < static_cast<int64_t>(dims->size()) ? (*dims)[a] : -1;
    result.sizes = resolved_sections(given, whole, axis);
    if (c.opset < 13) {
        result.attributes.push_back(helper::attr_ints("split", result.sizes));
    } else if (std::find(given.begin(), given.end(), -1) != given.end()) {
        std::string name = names("sections");
        c.push_i64_vector_initializer(name, result.sizes);
        result.inputs.push_back(std::move(name));
    } else {
        // Paddle reads the sections flattened, of any rank; Split takes them 1-D.
        result.inputs.push_back(c.flat_i64_list(ids[1], out, "split_sections"));
    }
    return result;
}

// Split gives one output per piece it makes, so the list must be unpacked into exactly that
// many values; and Paddle splits an axis into `num` pieces only where they come out equal,
// as Split does.
void check_piece_count(const Converter& c, std::string_view op_name, const Json& op, const IdList& ids,
                       size_t pieces, int64_t axis, std::optional<size_t> rank) {
    const bool sections_form = op_name == "split";
    std::optional<int64_t> made;
    if (!sections_form)
        made = helper::op_attr_i64(op, "num");
    else if (const std::vector<double>* folded = ids.size() >= 2 ? c.state.const_values.find(ids[1]) : nullptr)
        made = static_cast<int64_t>(folded->size());
    else if (ids.size() >= 2)
        made = c.known_element_count(ids[1]);
    if (made && *made != static_cast<int64_t>(pieces))
        throw Error("{} makes {} pieces, but its list is unpacked into {} values", op_name, *made, pieces);
    if (sections_form || !rank || pieces == 0) return;
    const std::vector<int64_t>& dims = *c.state.tensor_shapes.find(ids[0]);
    const int64_t whole = dims[static_cast<size_t>(axis < 0 ? axis + static_cast<int64_t>(*rank) : axis)];
    if (whole >= 0 && whole % static_cast<int64_t>(pieces) != 0)
        throw Error("split_with_num: the size {} of axis {} does not split into {} equal pieces", whole, axis, pieces);
}

}  // namespace

void Converter::op_split_family(std::string_view full_name, const Json& op) {
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"split", out};
    const IdList* pieces = state.split_outputs.find(out);
    if (!pieces) throw Error("split op missing 0.split metadata for {}", out);

    std::vector<std::string> inputs{get_tensor_name(ids[0])};
    std::vector<std::string> outputs = tensor_names_for_ids(*pieces);

    const bool sections_form = full_name == "1.split";
    const size_t axis_pos = sections_form ? 2 : 1;
    int64_t axis = 0;
    // The axis is a constant (its row says so): splitting along axis 0 when it is known only
    // at run time would be a silently wrong result.
    if (ids.size() > axis_pos) axis = helper::saturate_i64((*state.const_values.find(ids[axis_pos]))[0]);
    const std::optional<size_t> rank = recorded_rank(state, ids[0]);
    if (rank) checked_axis(full_name.substr(2), "axis", axis, static_cast<int64_t>(*rank));

    SplitSections sections;
    if (sections_form && ids.size() >= 2) sections = split_sections(*this, ids, axis, inputs[0], out, names);
    inputs.insert(inputs.end(), sections.inputs.begin(), sections.inputs.end());
    check_piece_count(*this, full_name.substr(2), op, ids, pieces->size(), axis, rank);
    // Sections known only at run time leave the pieces as declared.
    if (!sections_form || !sections.sizes.empty())
        settle_split_pieces(full_name.substr(2), ids[0], axis, *pieces, std::move(sections.sizes));
    axis = axis_for_opset(*this, "split", axis, rank);
    std::vector<proto::AttributeProto> attributes{helper::attr_int("axis", axis)};
    attributes.insert(attributes.end(), sections.attributes.begin(), sections.attributes.end());
    if (opset >= 18 && inputs.size() == 1 && attributes.size() == 1)
        attributes.push_back(helper::attr_int("num_outputs", static_cast<int64_t>(pieces->size())));
    append_node("Split", std::move(inputs), std::move(outputs), std::move(attributes));
}

void Converter::op_stack(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"stack", out};
    const int64_t axis_attr = helper::op_attr_i64(op, "axis").value_or(0);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const int64_t list_id = ids[0];
    const IdList* found = state.combine_inputs.find(list_id);
    if (!found) throw Error("Combine list_id {} not found for stack", list_id);
    const IdList elements = *found;
    // A Concat without inputs is not a valid node.
    if (elements.empty()) throw Error("stack of an empty list {}", list_id);
    std::optional<size_t> rank = recorded_rank(state, elements[0]);
    if (rank) ++*rank;
    if (rank) checked_axis("stack", "axis", axis_attr, static_cast<int64_t>(*rank));
    for (size_t k = 1; k < elements.size(); ++k) {
        require_same_type("stack", "input 0", elements[0], fmt::format("input {}", k), elements[k]);
        require_same_dims("stack", elements[0], elements[k], -1);
    }
    const int64_t axis = axis_for_opset(*this, "stack", axis_attr, rank);
    state.stack_inputs.insert(out, elements);
    // The values stacked along a new axis of their count.
    ListType result = list_type(*this, elements);
    if (result.dims) {
        const auto at = axis_in_rank(axis_attr, result.dims->size() + 1);
        if (at)
            result.dims->insert(result.dims->begin() + static_cast<std::ptrdiff_t>(*at),
                                static_cast<int64_t>(elements.size()));
        else
            result.dims.reset();
    }
    settle_output("stack", out, result.dtype, result.dims, elements);

    std::vector<std::string> unsqueezed;
    for (size_t i = 0; i < elements.size(); ++i) {
        std::string name = names("unsqueezed", i);
        add_unsqueeze_node(get_tensor_name(elements[i]), name, {axis}, names("axes", i));
        unsqueezed.push_back(std::move(name));
    }
    append_node("Concat", std::move(unsqueezed), {get_tensor_name(out)}, {helper::attr_int("axis", axis)});
}

void Converter::op_concat(const Json& op) {
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const IdList* list = state.combine_inputs.find(ids[0]);
    if (!list) throw Error("Combine list_id {} not found for concat", ids[0]);
    std::vector<std::string> inputs = tensor_names_for_ids(*list);
    const std::vector<double>* folded = state.const_values.find(ids[1]);
    std::optional<size_t> rank;
    if (!list->empty()) rank = recorded_rank(state, (*list)[0]);
    const int64_t axis_value = helper::saturate_i64((*folded)[0]);
    if (rank) checked_axis("concat", "axis", axis_value, static_cast<int64_t>(*rank));
    for (size_t k = 1; k < list->size(); ++k) {
        require_same_type("concat", "input 0", (*list)[0], fmt::format("input {}", k), (*list)[k]);
        require_same_dims("concat", (*list)[0], (*list)[k],
                          rank ? checked_axis("concat", "axis", axis_value, static_cast<int64_t>(*rank)) : -1);
    }
    const int64_t axis = axis_for_opset(*this, "concat", axis_value, rank);
    const int64_t out = helper::op_out_id(op);
    // The values joined along the axis: its dim is the sum of theirs.
    ListType result = list_type(*this, *list);
    if (result.dims) {
        if (const auto at = axis_in_rank(axis_value, result.dims->size())) {
            int64_t sum = 0;
            for (int64_t id : *list) {
                const int64_t d = (*state.tensor_shapes.find(id))[*at];
                sum = d < 0 || sum < 0 || d > std::numeric_limits<int64_t>::max() - sum ? -1 : sum + d;
            }
            (*result.dims)[*at] = sum;
        } else {
            result.dims.reset();
        }
    }
    settle_output("concat", out, result.dtype, result.dims, *list);
    append_node("Concat", std::move(inputs), {get_tensor_name(out)}, {helper::attr_int("axis", axis)});
}

}  // namespace kestro
