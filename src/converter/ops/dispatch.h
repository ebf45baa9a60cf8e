#pragma once
// The second-pass dispatch table and the operators' signatures, exposed for tests.
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "converter/converter.h"

namespace kestro::ops {

void pass2_noop(Converter&, std::string_view, const Json&);
// PASS2_OP_DISPATCH: full operator name -> handler; built once, on first use.
const std::unordered_map<std::string_view, Pass2OpHandler>& pass2_op_dispatch();
// The bare name the generic conversion receives: the leading "1." and every trailing "_"
// stripped ("1.1.relu" keeps "1.relu", which names no operator).
std::string_view generic_name(std::string_view full_name);

// What one operand of a Paddle operator holds, as the operator's definition fixes it.
enum class Holds : uint8_t {
    Tensor,      // any tensor (its rank bounded by the rule's ranks)
    OneValue,    // one number, of any rank with one element (a clip bound, a fill value, a count)
    RangeBound,  // one number of any rank with one element; the lowering reshapes it
    FlatList,    // a list of numbers Paddle reads flattened (of any rank, where the lowering takes it),
                 // or element by element when given as a list of one-value tensors (a combine)
    Axes,        // one axis (0-D) or a list of them (1-D, or a combine of one-value tensors)
    List,        // a list of tensors (a combine)
};
// The element class Paddle takes for an operand.
enum class Elem : uint8_t {
    Any,
    Index,  // int32 or int64
};

struct OperandRule {
    static constexpr uint8_t kAnyRank = 255;
    std::string_view name;
    bool optional = false;  // may be absent (%0) or left off the end
    bool omissible = false;  // may be left off the end, but not given as absent (%0)
    uint8_t min_rank = 0;
    uint8_t max_rank = kAnyRank;
    Holds holds = Holds::Tensor;
    Elem elem = Elem::Any;
    bool folded = false;     // must be a constant known at conversion
    bool column_ok = false;  // a rank-2 value only as [N, 1], read as [N]
    int8_t same_rank_as = -1;
    int8_t same_type_as = -1;  // the element type of that operand
    bool points = false;     // sampling points: the last dim holds rank - 2 coordinates
    // The operator's own words for this operand when it is not a constant (or a one-value
    // constant holding nothing); "{}" stands for the operand's value id. Empty: the general form.
    std::string_view not_constant = {};

    constexpr OperandRule opt() const { return with([](OperandRule& r) { r.optional = true; }); }
    constexpr OperandRule may_be_left_off() const { return with([](OperandRule& r) { r.omissible = true; }); }
    constexpr OperandRule rank(uint8_t lo, uint8_t hi) const {
        return with([=](OperandRule& r) { r.min_rank = lo, r.max_rank = hi; });
    }
    constexpr OperandRule rank(uint8_t r) const { return rank(r, r); }
    constexpr OperandRule at_least(uint8_t lo) const { return rank(lo, kAnyRank); }
    constexpr OperandRule holding(Holds h) const { return with([=](OperandRule& r) { r.holds = h; }); }
    constexpr OperandRule index() const { return with([](OperandRule& r) { r.elem = Elem::Index; }); }
    constexpr OperandRule constant() const { return with([](OperandRule& r) { r.folded = true; }); }
    constexpr OperandRule constant(std::string_view refusal) const {
        return with([=](OperandRule& r) { r.folded = true, r.not_constant = refusal; });
    }
    constexpr OperandRule column() const { return with([](OperandRule& r) { r.column_ok = true; }); }
    constexpr OperandRule rank_of(int8_t k) const { return with([=](OperandRule& r) { r.same_rank_as = k; }); }
    constexpr OperandRule type_of(int8_t k) const { return with([=](OperandRule& r) { r.same_type_as = k; }); }
    constexpr OperandRule sampling_points() const { return with([](OperandRule& r) { r.points = true; }); }

private:
    template <class F>
    constexpr OperandRule with(F f) const {
        OperandRule r = *this;
        f(r);
        return r;
    }
};

// The operator's own words for too few operands: `text` answers a count below `below`.
struct TooFew {
    uint8_t below;
    std::string_view text;
};

// A Paddle operator's operands in their order. `repeats`: the last one may be given any
// number of times (a loop's carried values). Where the operator has its own words for a
// missing or surplus operand, the row carries them; elsewhere the check answers in its
// general form ("tile has 1 operand, but it takes 2 (x, repeat_times)"). `lowest_opset`:
// the opset below which the operator converts in no form, refused before anything of it is
// read, in the name the program writes ("roll requires opset >= 11, but target opset is
// 10"); 0 where it converts at every opset, or where its missing operands answer before its
// opset (one_hot, arange, put_along_axis: their lowerings gate).
struct Signature {
    std::vector<OperandRule> operands;
    bool repeats = false;
    std::vector<TooFew> too_few = {};  // by rising `below`: the first the count is under answers
    std::string_view too_many = {};
    int64_t lowest_opset = 0;

    Signature fewer_than(uint8_t below, std::string_view text) const {
        Signature s = *this;
        s.too_few.push_back({below, text});
        return s;
    }
    Signature surplus(std::string_view text) const {
        Signature s = *this;
        s.too_many = text;
        return s;
    }
    Signature min_opset(int64_t opset) const {
        Signature s = *this;
        s.lowest_opset = opset;
        return s;
    }
    // The fewest operands the operator is given: its last operand that may not be left off,
    // or the count below which its own words refuse it.
    size_t least() const;
};

// The signature of the operator a full name lowers (its in-place forms share it); null for
// the dialect's bookkeeping operators, names of other dialects, and the generic
// conversion's operators other than the convolutions (their counts the ONNX schema holds).
const Signature* signature_of(std::string_view full_name);

}  // namespace kestro::ops
