#pragma once
// The conversion object and its shared per-value tables. Every lowering is a member,
// declared here one line each and defined in its module under ops/; the sections below
// name the file of each group, and ops/dispatch.cpp lists which module lowers each
// operator.
//
// How the tables are kept (this replaced one copy-on-write map per table and a separate
// cache of fetch names):
// - LayeredMap: a region's converter reads through an empty layer over its parent's
//   table and writes only into that layer, so a region costs what it writes.
// - ValueNames: the value-id -> name table, with a count of holders per name, so "does
//   some value carry this name" needs no scan.
// - ConstValues: folded constants behind shared pointers, so a reshape of a constant
//   shares its numbers.
// - TakenNames: the names graph inputs and outputs are checked against, brought up to date
//   by scanning only what the graph gained since the last look.
// - param_names stays a CloneOnWrite vector, shared with region converters until one of
//   them writes.
#include <array>
#include <cstddef>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "converter/checks.h"
#include "error.h"
#include "converter/node_origins.h"
#include "helper/helper.h"
#include "proto/onnx.h"

namespace kestro {

// The names of the tensors one lowering adds: "<prefix>_<purpose>_<id>", or with an index
// "<prefix>_<purpose>_<id>_<index>". The id is that of the operator's output, which keeps
// the names of two operators apart.
struct NameMaker {
    std::string_view prefix;
    int64_t id;

    std::string operator()(std::string_view purpose) const {
        return fmt::format("{}_{}_{}", prefix, purpose, id);
    }
    template <std::integral Index>
    std::string operator()(std::string_view purpose, Index index) const {
        return fmt::format("{}_{}_{}_{}", prefix, purpose, id, index);
    }
};

// A handle to a reference-counted value. Reads go through the handle and never copy;
// the first write while another handle shares the value copies it for this handle.
template <class T>
class CloneOnWrite {
public:
    CloneOnWrite() : p_(std::make_shared<T>()) {}
    const T& get() const { return *p_; }
    const T* operator->() const { return p_.get(); }
    // Makes the value private to this handle, then gives it for writing.
    T& make_mut() {
        if (p_.use_count() != 1) p_ = std::make_shared<T>(*p_);
        return *p_;
    }
    bool shares_with(const CloneOnWrite& o) const { return p_ == o.p_; }

private:
    std::shared_ptr<T> p_;
};

// A per-value table of one converter. A region's converter gets a fresh, empty layer over
// its parent's table: reads look in the own entries first and then in the layers beneath,
// writes go to the own entries only, so a region costs what it writes, never a copy of the
// enclosing tables. A layer stays a snapshot: should a table be written while a layer over
// it is alive, the writer copies its own entries (never the layers beneath) first.
template <class K, class V>
class LayeredMap {
public:
    LayeredMap() : top_(std::make_shared<Layer>()) {}

    const V* find(const K& key) const {
        for (const Layer* l = top_.get(); l != nullptr; l = l->below.get()) {
            auto it = l->own.find(key);
            if (it != l->own.end()) return it->second ? &*it->second : nullptr;
        }
        return nullptr;
    }
    bool contains(const K& key) const { return find(key) != nullptr; }
    // The number of keys visible through this table (walks every layer).
    size_t size() const {
        std::unordered_set<K> seen;
        size_t n = 0;
        for (const Layer* l = top_.get(); l != nullptr; l = l->below.get())
            for (const auto& entry : l->own)
                if (seen.insert(entry.first).second && entry.second) ++n;
        return n;
    }
    // Replaces any previous value of the key and returns it.
    std::optional<V> insert(K key, V value) {
        std::optional<V> previous = find_copy(key);
        mutable_top().own.insert_or_assign(std::move(key), std::optional<V>(std::move(value)));
        return previous;
    }
    // Removes the key from what this table shows (a layer over another keeps a mark that
    // hides the entry beneath, which stays for the table below).
    void erase(const K& key) {
        if (!find(key)) return;
        Layer& l = mutable_top();
        if (l.below)
            l.own.insert_or_assign(key, std::nullopt);
        else
            l.own.erase(key);
    }
    // An empty layer over this table, for a region's converter.
    LayeredMap layered() const {
        LayeredMap child;
        child.top_->below = top_;
        return child;
    }
    // True when one of the two reads the other's entries without a copy.
    bool shares_with(const LayeredMap& o) const {
        return top_ == o.top_ || top_->below == o.top_ || o.top_->below == top_;
    }

private:
    std::optional<V> find_copy(const K& key) const {
        const V* v = find(key);
        return v ? std::optional<V>(*v) : std::nullopt;
    }
    struct Layer {
        // nullopt: the key is erased here, whatever the layers beneath hold.
        std::unordered_map<K, std::optional<V>> own;
        std::shared_ptr<const Layer> below;
    };
    Layer& mutable_top() {
        if (top_.use_count() != 1) top_ = std::make_shared<Layer>(*top_);
        return *top_;
    }
    std::shared_ptr<Layer> top_;
};

// The names given to values (graph inputs, parameters, region arguments), with the reverse
// look-up of whether some value currently carries a name.
class ValueNames {
public:
    const std::string* find(int64_t id) const { return names_.find(id); }
    bool contains(int64_t id) const { return names_.contains(id); }
    size_t size() const { return names_.size(); }
    std::optional<std::string> insert(int64_t id, std::string name) {
        add_holder(name, 1);
        std::optional<std::string> previous = names_.insert(id, std::move(name));
        if (previous) add_holder(*previous, -1);
        return previous;
    }
    // True when some value is named `name`.
    bool names_a_value(const std::string& name) const {
        const int64_t* n = holders_.find(name);
        return n != nullptr && *n > 0;
    }
    ValueNames layered() const {
        ValueNames child;
        child.names_ = names_.layered();
        child.holders_ = holders_.layered();
        return child;
    }
    bool shares_with(const ValueNames& o) const { return names_.shares_with(o.names_); }

private:
    void add_holder(const std::string& name, int64_t delta) {
        const int64_t* n = holders_.find(name);
        holders_.insert(name, (n ? *n : 0) + delta);
    }
    LayeredMap<int64_t, std::string> names_;
    LayeredMap<std::string, int64_t> holders_;
};

// Folded constants. A value that holds its input's numbers unchanged (a reshape of a
// constant) shares them instead of holding a copy.
class ConstValues {
public:
    using Shared = std::shared_ptr<const std::vector<double>>;
    const std::vector<double>* find(int64_t id) const {
        const Shared* s = map_.find(id);
        return s ? s->get() : nullptr;
    }
    const Shared* find_shared(int64_t id) const { return map_.find(id); }
    bool contains(int64_t id) const { return map_.contains(id); }
    size_t size() const { return map_.size(); }
    void insert(int64_t id, std::vector<double> values) {
        map_.insert(id, std::make_shared<const std::vector<double>>(std::move(values)));
    }
    void insert_shared(int64_t id, Shared values) { map_.insert(id, std::move(values)); }
    ConstValues layered() const {
        ConstValues child;
        child.map_ = map_.layered();
        return child;
    }
    bool shares_with(const ConstValues& o) const { return map_.shares_with(o.map_); }

private:
    LayeredMap<int64_t, Shared> map_;
};

// The bytes a conversion has materialized from the program's numbers (folded constants,
// filled initializers, index lists), counted across a converter and its region converters.
struct MaterializedBytes {
    uint64_t total = 0;
};

struct ParamMeta {
    std::vector<int64_t> shape;    // empty when the program declares none; -1 unknown
    std::optional<int32_t> dtype;  // ONNX data-type code
};

// The names that graph inputs and outputs are checked against, kept up to date by scanning
// only what was added since the last look (the graph's lists and the parameter list only
// grow while operators are converted; a list that shrank is scanned afresh).
struct TakenNames {
    std::unordered_set<std::string> outputs;  // graph-output and node-output names
    std::unordered_set<std::string> inputs;   // graph-input names
    std::unordered_set<std::string> params;   // parameter names
    size_t nodes_seen = 0;
    size_t outputs_seen = 0;
    size_t inputs_seen = 0;
    size_t params_seen = 0;
    // The next suffix to try for a requested output name: every smaller one is taken, and
    // names are never given back.
    std::unordered_map<std::string, uint32_t> next_suffix;
};

using IdList = std::vector<int64_t>;

struct ConverterState {
    ValueNames tensor_names;
    CloneOnWrite<std::vector<std::string>> param_names;
    LayeredMap<std::string, ParamMeta> param_meta;
    LayeredMap<int64_t, IdList> combine_inputs;
    LayeredMap<int64_t, IdList> stack_inputs;
    LayeredMap<int64_t, IdList> split_outputs;
    ConstValues const_values;
    LayeredMap<int64_t, std::vector<int64_t>> tensor_shapes;
    LayeredMap<int64_t, std::string> tensor_dtypes;
    // The values whose entry in tensor_shapes is what their operator computes, or what holds
    // on every path (set where it is settled), rather than only what the program declares.
    LayeredMap<int64_t, bool> settled_shapes;
    // Tensor name -> the element type the model's own nodes give it (node outputs, graph and
    // region inputs, initializers), as typed by node_types.cpp; parameters are read from
    // param_meta.
    LayeredMap<std::string, int32_t> computed_types;
    // The values computed from a loop argument described wider than the program declares it,
    // or from a branch result that holds what two branches give: their declarations may hold
    // on one iteration or path only, so where their operator computes less (an open dim, no
    // rank) that is what they are described by.
    LayeredMap<int64_t, bool> iteration_varying;
    // The values an operator of this block, or of a block around it, has defined so far.
    LayeredMap<int64_t, bool> defined_values;
    // Cast output name -> the name it casts and the type it casts to (add_cast_node).
    struct CastOf {
        std::string input;
        int32_t to = 0;
    };
    LayeredMap<std::string, CastOf> cast_inputs;
};

// Value id -> position of its producing operator in the current block (operators that
// have a constant folder only).
using ProducerIndex = std::unordered_map<int64_t, size_t>;

class Converter;
class InputBytes;
namespace ops {
struct Signature;
}

// The refusal of an output that is the same file as the input `input` (the `what`).
Error output_is_input_error(const std::string& output, std::string_view what,
                            const std::string& input);

using Pass1Folder = void (Converter::*)(const Json& op, size_t index, const ProducerIndex&);
using Pass2OpHandler = void (*)(Converter&, std::string_view full_name, const Json& op);

class Converter {
public:
    proto::GraphProto graph;
    ConverterState state;
    int64_t opset = 17;
    TakenNames taken_names;
    bool strict = false;
    bool multinomial_warned = false;
    std::shared_ptr<MaterializedBytes> materialized = std::make_shared<MaterializedBytes>();
    // Value name -> the operator of an unknown dialect that was skipped instead of making it,
    // shared with region converters, so that a reader of the value is told why it is missing.
    std::shared_ptr<std::unordered_map<std::string, std::string>> skipped_outputs =
        std::make_shared<std::unordered_map<std::string, std::string>>();
    // The outputs past each operator's first (statistics and the like) and those of them
    // that some operator, a nested one or a fetch reads, noted by the first pass and shared
    // with region converters: lowerings compute such outputs only when they are read.
    struct SecondaryReads {
        std::unordered_set<int64_t> outputs;
        std::unordered_set<int64_t> read;
    };
    std::shared_ptr<SecondaryReads> secondary_reads = std::make_shared<SecondaryReads>();
    // Which operator made each node output, shared with region converters: messages about
    // the finished model name the program's operators and values.
    std::shared_ptr<NodeOrigins> node_origins = std::make_shared<NodeOrigins>();
    // Value id -> the first operator that read it before any operator had defined it, shared
    // with region converters: an operator defining such a value later is refused.
    std::shared_ptr<std::unordered_map<int64_t, std::string>> early_reads =
        std::make_shared<std::unordered_map<int64_t, std::string>>();
    // Value id -> the graph input name of each "1.data" of the main block, noted by the first
    // pass and shared with region converters: a graph input is defined wherever the program
    // lists it, so an operator listed before its "1.data" reads it by that name too.
    std::shared_ptr<std::unordered_map<int64_t, std::string>> input_names =
        std::make_shared<std::unordered_map<int64_t, std::string>>();
    // A whole program may materialize this many bytes from its numbers; any real one needs
    // far less, and past it a model outgrows what protobuf readers load.
    static constexpr uint64_t kMaxMaterializedBytes = uint64_t{1} << 30;
    // One constant or index initializer expanded at conversion time may hold at most this
    // many elements (2 GiB of int64); past it a filled tensor would cost gigabytes in memory
    // and in the output file.
    static constexpr int64_t kMaxMaterializedElements = int64_t{1} << 28;

    // ---- construction, value names, opset and size limits (converter.cpp) ----
    Converter();  // a fresh converter: graph "Orvane_Model", nine fresh tables
    Converter sub_converter() const;

    // The name of value `id` as a node's input or output. An absent value (id 0) or a value
    // named "" is refused, naming the operator being lowered: either would become an empty
    // name, which ONNX reads as an omitted optional input.
    std::string get_tensor_name(int64_t id) const;
    // The name get_tensor_name gives, or nothing where it would refuse.
    std::optional<std::string> tensor_name_of(int64_t id) const;
    // The same where the operator's operand is optional: id 0 gives the empty name.
    std::string optional_tensor_name(int64_t id) const;
    // The operator being lowered (process_pass2_op sets it), named by get_tensor_name's
    // refusals; a region's converter starts with the operator that holds the region.
    const Json* current_op = nullptr;
    // How many regions enclose this converter's graph: 0 for the main graph.
    size_t region_depth = 0;
    // What keeps the names of the operator being lowered apart from those of every graph
    // around it and inside it: its first output's id, or where it has none, its depth and
    // its node's position (one graph of each depth lies on any chain of enclosing graphs).
    std::string owner_key() const;
    // Fails with opset_error when the target opset is below `min`.
    void require_opset(std::string_view what, int64_t min) const;
    // The refusal of `what` for a target opset below `min`, for the checks that depend on
    // more than the opset.
    static Error opset_error(std::string_view what, int64_t min, int64_t opset);
    // Counts `bytes` that `what` is about to materialize from the program's numbers, or
    // fails, before they are allocated, when the program's total would pass the limit.
    void reserve_materialized(uint64_t bytes, std::string_view what);

    // ---- model loading and the first pass (load.cpp) ----
    void load_paddle_model(const std::string& path);
    // The same from a program text already in memory (tests).
    void load_paddle_model_from_text(std::string_view text);
    // The same from the program's bytes (the file reader leaves room for the parse padding).
    void load_paddle_model_from_buffer(std::vector<uint8_t> bytes);
    void collect_pass1_from_ops(const Json& ops);
    // The same over `count` operators read one at a time through `op_at` (whose result may
    // live only until its next call), given the block's producer index; the main block's
    // also names its graph inputs (input_names).
    void collect_pass1(size_t count, const std::function<const Json&(size_t)>& op_at,
                       const ProducerIndex& producers, bool main_block = false);
    void record_tensor_meta(const Json& entry);
    // Notes the reads of outputs past an operator's first, and the outputs past its first.
    void note_secondary_reads(const Json& op);
    // Whether the first pass saw an operator read `id`, an output past its producer's first.
    bool secondary_output_is_read(int64_t id) const { return secondary_reads->read.count(id) != 0; }
    void record_parameter(const Json& op);
    // Refuses a program whose parameter or graph input has the name of a value that the
    // conversion defined, where the two would otherwise be merged silently.
    void refuse_program_name_clashes() const;
    // Skips an operator of a dialect the converter does not know, with a warning, and notes
    // the values it would have made in `skipped_outputs`.
    void skip_unknown_dialect_op(std::string_view full_name, const Json& op);

    // ---- first-pass constant folding (fold.cpp) ----
    static Pass1Folder pass1_constant_folder(std::string_view name);
    void fold_literal_constant(const Json& op, size_t index, const ProducerIndex& producers);
    void fold_cast_constant(const Json& op, size_t index, const ProducerIndex& producers);
    void fold_scale_constant(const Json& op, size_t index, const ProducerIndex& producers);
    void fold_value_preserving_shape_constant(const Json& op, size_t index,
                                              const ProducerIndex& producers);
    static void ensure_constant_not_defined_later(int64_t input, size_t index,
                                                  const ProducerIndex& producers,
                                                  std::string_view op_name);
    // Paddle's cast of one number to an element type (ONNX code): floats round to nearest,
    // integers truncate toward zero and wrap modulo 2^bits, bool is "not zero" (NaN is true).
    // `from_integer`: the number is an integer element, which wraps at any magnitude. From a
    // float, a value past what the conversion defines (non-finite, or beyond 32 bits, 64 for
    // int64) is refused, naming it by `what`. Other element types keep the number.
    static double paddle_cast(double v, int32_t dtype, bool from_integer, std::string_view what);
    // The same over a list, for a target word ("int32", "float16", ...); an unknown word
    // keeps the values. The values are cast where they lie.
    static std::vector<double> cast_constant_values(std::vector<double> values,
                                                    std::string_view target, bool from_integer,
                                                    std::string_view what);

    // ---- weights (weights.cpp) ----
    void load_paddle_weights(const std::string& path);
    // Pairs the records of a weight file already in memory with the parameters.
    void load_paddle_weights_from_buffer(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The same from an opened weight file, which is kept as `weight_input`.
    void load_paddle_weights_from_input(std::shared_ptr<const InputBytes> input);
    // The same for bytes kept alive by `owner`; `fd` is the open file they are a view of
    // (or -1), so the writer may copy them kernel-side.
    void load_paddle_weights_from(std::shared_ptr<const void> owner, const uint8_t* data,
                                  uint64_t size, int fd);
    // The weight file while initializers view it: export refuses to commit a model whose
    // weight file changed under it.
    std::shared_ptr<const InputBytes> weight_input;
    void check_weight_input_unchanged() const;
    // The regular files read as inputs, named as the command line named them, with their
    // identity when they were opened. The output is compared with them where it is opened
    // or renamed over: a path such as /proc/self/fd/3 or /dev/stdout may lead to an input
    // only once the inputs are open.
    struct InputFile {
        std::string_view what;  // "program" or "weight file"
        std::string path;
        uint64_t dev;
        uint64_t ino;
    };
    std::vector<InputFile> input_files;

    // ---- export (export.cpp) and finishing passes (passes/) ----
    void export_onnx(const std::string& path, int64_t opset);
    // Everything export_onnx does before the write: the finishing passes, validation, ONNX's
    // own check of the model (unless skipped: the fuzz target runs no child process per input)
    // and the encoding into `sink`. The graph moves into the encoded model.
    enum class OnnxCheck { Run, Skip };
    void encode_model(int64_t opset, proto::Sink& sink, OnnxCheck check = OnnxCheck::Run);
    // passes/sanitize.cpp
    static void sanitize_graph_checked(proto::GraphProto& graph, size_t depth);
    static void materialize_initializer_only_outputs(proto::GraphProto& graph);
    // passes/canonicalize.cpp
    static void canonicalize_graph_checked(proto::GraphProto& graph, size_t depth);
    // passes/prune.cpp
    static void dedup_byte_identical_initializers(proto::GraphProto& graph);
    static void prune_dead_nodes_checked(proto::GraphProto& graph, size_t depth);
    static void prune_unused_initializers_checked(proto::GraphProto& graph, size_t depth);
    // passes/validate.cpp
    // With `origins`, the refusals name the program's operators and values instead of the
    // model's nodes and tensors.
    static void sort_nodes_checked(proto::GraphProto& graph, size_t depth,
                                   const NodeOrigins* origins = nullptr);
    // Refuses a subgraph that repeats a name its enclosing graphs define where ONNX Runtime
    // refuses it (run on the finished node order).
    static void refuse_names_repeated_in_subgraphs(const proto::GraphProto& graph,
                                                   const NodeOrigins* origins = nullptr);
    static void validate_graph(const proto::GraphProto& graph,
                               const std::unordered_set<std::string>& outer_scope,
                               const NodeOrigins* origins = nullptr);
    // Tools the finishing passes share (passes/prune.cpp: collect_referenced_value_names;
    // passes/canonicalize.cpp: the rest). Name sets and counts borrow from the graph and
    // stay valid while its names are not changed.
    using RenameMap = std::unordered_map<std::string, std::string>;
    using InitializerIndex = std::unordered_map<std::string_view, const proto::TensorProto*>;
    static std::unordered_set<std::string_view> collect_referenced_value_names(
        const proto::GraphProto& graph);
    static void replace_node_inputs(proto::GraphProto& graph, const RenameMap& renames);
    static void add_recursive_input_use_counts(
        const proto::GraphProto& graph, std::unordered_map<std::string_view, size_t>& counts);

    // ---- node and initializer builders (builders.cpp) ----
    static proto::TensorProto raw_tensor(std::string name, std::vector<int64_t> dims, int32_t dtype,
                                         std::vector<uint8_t> bytes);
    // Initializer tensors, one family: raw_tensor takes bytes as raw_data lays them out
    // (append_le_bytes writes a number that way); the typed forms encode their values.
    static void append_le_bytes(std::vector<uint8_t>& out, uint64_t bits, size_t width);
    static proto::TensorProto i64_tensor(std::string name, std::vector<int64_t> dims,
                                         const std::vector<int64_t>& values);
    static proto::TensorProto f32_tensor(std::string name, std::vector<int64_t> dims,
                                         const std::vector<float>& values);
    // A 1-D INT64 tensor of the values.
    static proto::TensorProto vector_i64(std::string name, const std::vector<int64_t>& values);
    void append_node(std::string op_type, std::vector<std::string> inputs,
                     std::vector<std::string> outputs,
                     std::vector<proto::AttributeProto> attributes = {});
    void add_cast_node(std::string input, std::string output, int32_t to);
    void add_binary_node(std::string op_type, std::string a, std::string b, std::string output);
    void add_slice_node(std::string input, std::string output, const std::vector<int64_t>& starts,
                        const std::vector<int64_t>& ends,
                        const std::optional<std::vector<int64_t>>& axes,
                        const std::optional<std::vector<int64_t>>& steps,
                        const std::string& prefix);
    void add_reduce_node(std::string op_type, std::string input, std::string output,
                         const std::optional<std::vector<int64_t>>& axes, int64_t keepdims,
                         const std::string& prefix);
    void add_squeeze_node(std::string input, std::string output,
                          const std::optional<std::vector<int64_t>>& axes,
                          std::optional<std::string> axes_name = std::nullopt);
    void add_unsqueeze_node(std::string input, std::string output,
                            const std::vector<int64_t>& axes, std::string axes_name);
    // Reshape to a target of `rank` dims whose 0s are real (an empty result) at any opset;
    // `known` gives the target's values when they are constant. The helper values are named
    // names("<part>_<purpose>").
    void add_exact_reshape_node(std::string input, std::string target, int64_t rank,
                                std::string output, const NameMaker& names, std::string_view part,
                                const std::vector<int64_t>* known = nullptr);
    void push_i64_initializer(std::string name, std::vector<int64_t> dims,
                              const std::vector<int64_t>& values);
    // The push_* forms add the tensor to the graph. push_i64_initializer and
    // push_f32_initializer take empty dims as a scalar only for exactly one value (and as
    // [count] otherwise).
    void push_i64_vector_initializer(std::string name, const std::vector<int64_t>& values);
    void push_int64_scalar_initializer(std::string name, int64_t value);
    void push_f32_initializer(std::string name, std::vector<int64_t> dims,
                              const std::vector<float>& values);
    // A FLOAT initializer of dims [1] holding one value.
    void push_scalar_f32_initializer(std::string name, float value);
    void push_numeric_initializer(std::string name, std::vector<int64_t> dims, int32_t dtype,
                                  const std::vector<double>& values);
    static std::vector<uint8_t> encode_scalar_f64_as_raw_data(int32_t dtype, double value);
    // The bytes of every value in turn, as encode_scalar_f64_as_raw_data encodes one.
    static std::vector<uint8_t> encode_f64_values_as_raw_data(int32_t dtype,
                                                              const std::vector<double>& values);
    static void append_f64_as_raw_data(std::vector<uint8_t>& out, int32_t dtype, double value);
    // The element-type readers, by when they fail. onnx_dtype_if_known: the ONNX type of a
    // value's recorded token; nothing when the value has no token or one without an ONNX
    // type. Never fails: for lowerings that only adapt their form to a known type.
    std::optional<int32_t> onnx_dtype_if_known(int64_t id) const;
    // True when the value's recorded element-type token is exactly the short token of `code`
    // ("0.t_i64" for INT64): a long spelling such as "0.t_int64" does not count.
    bool dtype_token_is(int64_t id, int32_t code) const;
    // The ONNX type of a value's recorded token, failing when the token names none
    // ("Unsupported Paddle element type: {}"); nothing when the value has no token.
    std::optional<int32_t> maybe_onnx_dtype_for_tensor_id(int64_t id) const;
    // The same, failing also when the value has no token ("missing dtype metadata for
    // tensor {}"): for lowerings that cannot go on without the type.
    int32_t onnx_dtype_for_tensor_id(int64_t id) const;
    std::vector<std::string> tensor_names_for_ids(const std::vector<int64_t>& ids) const;
    // The same by optional_tensor_name: an id 0 gives the empty name.
    std::vector<std::string> optional_tensor_names_for_ids(const std::vector<int64_t>& ids) const;

    // ---- element types of the written nodes (node_types.cpp) ----
    // The element type the model gives tensor `name`; 0 when not known.
    int32_t computed_elem_type(const std::string& name) const;
    // The element type value `id` has in the model: what its nodes compute where known
    // (inside a region types are computed, not declared), else its recorded token.
    int32_t operand_elem_type(int64_t id) const;
    // How far the graph's lists reached before a lowering: what lies past it is the lowering's.
    struct GraphMark {
        size_t nodes = 0, initializers = 0, inputs = 0, outputs = 0;
    };
    GraphMark graph_mark() const;
    // Types what `op_name`'s lowering added past `from` (inputs, initializers, then nodes in
    // order), refusing a node whose operands break its rule and a graph output described with
    // another type than its tensor has.
    void type_new_nodes(std::string_view op_name, const GraphMark& from);
    // The same for what lies between `from` and `to`.
    void type_graph_part(std::string_view op_name, const GraphMark& from, const GraphMark& to);
    // An operator of this graph that reads whole a value a later operator defines (the
    // finished graph is sorted): its nodes' types are not known until that value's are.
    struct AwaitingTypes {
        std::string op_name;
        IdList outputs;
        GraphMark from, to;
        size_t pending = 0;  // awaited values not yet defined and typed
    };
    std::vector<AwaitingTypes> awaiting_types;
    // Indexes of awaiting_types: the operators awaiting each value, and the outputs of the
    // operators that still await, so that no operator's lowering walks the others.
    std::unordered_map<int64_t, std::vector<size_t>> readers_awaiting;
    std::unordered_set<int64_t> outputs_awaiting;
    // The values of `operands` (and of the lists among them) not defined yet, or made by an
    // operator that still awaits its types; each once.
    IdList awaited_values(const IdList& operands) const;
    // Notes an operator whose nodes (from `from` to now) wait for the types of `awaited`.
    void await_types(std::string_view op_name, IdList outputs, const GraphMark& from, const IdList& awaited);
    // The values `ids` are defined and typed now: types again each awaiting operator that
    // waited only for them, holds its declared outputs to what it computes, and goes on with
    // the operators that wait for those outputs.
    void settle_awaiting_types(const IdList& ids);
    // Refuses an output (of `outputs`, an operator's) declared of another element type than
    // its tensor computes.
    void check_declared_types(std::string_view op_name, IdList outputs) const;
    // Types graph or region inputs (from position `from`, up to `to`) by their descriptions.
    void note_described_types(const std::vector<proto::ValueInfoProto>& inputs, size_t from = 0,
                              size_t to = SIZE_MAX);
    // Refuses a region output described with another type than the yielded value computes.
    void check_yielded_types(std::string_view graph_name, const std::vector<int64_t>& yielded,
                             const std::vector<proto::ValueInfoProto>& outputs) const;

    // ---- dispatch (ops/dispatch.cpp), generic conversion (attr.cpp, ops/misc.cpp) ----
    // ops/dispatch.cpp lists which module lowers each operator.
    // Lowers one operator and notes in `node_origins` that it made the nodes it added.
    void process_pass2_op(std::string_view full_name, const Json& op);
    void lower_pass2_op(std::string_view full_name, const Json& op);
    void convert_generic_op(std::string_view bare_name, const Json& op);
    // The names of an operator's inputs ("I") or outputs ("O") for a one-to-one node; an
    // entry without a value id is refused.
    std::vector<std::string> generic_value_names(std::string_view bare_name, const Json& op,
                                                 const char* key, const char* what) const;
    void append_generic_node(std::string_view bare_name, proto::NodeProto node,
                             const IdList& in_ids, int64_t out_id);
    static std::string map_op_type(std::string_view bare_name);
    void check_generic_ties(std::string_view bare_name, std::string_view type,
                            const IdList& in_ids, int64_t out_id);
    void check_conv_channels(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                             int64_t x, int64_t w) const;
    // Settles a convolution's output (ops/conv.cpp) against the dims its node computes from
    // x, the filter and the node's attributes.
    void settle_conv_output(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                            const IdList& in_ids, int64_t out);
    // The same for a pool (MaxPool, AveragePool or their global forms) of x.
    void settle_pool_output(int64_t x, const std::vector<proto::AttributeProto>& attrs, bool global, int64_t out);
    void check_reshape_target(std::string_view bare_name, int64_t x,
                              const std::vector<int64_t>& target, int64_t out);
    // Refuses a shape operand (of reshape, expand) whose recorded rank is not 1.
    void require_shape_operand_1d(std::string_view op_name, int64_t shape_id) const;
    static std::vector<proto::AttributeProto> extract_attributes(std::string_view bare_name,
                                                                 const Json& attrs);

    // ---- graph inputs and outputs (value_info.cpp, ops/misc.cpp) ----
    enum class Direction { Input, Output };
    static int32_t onnx_elem_type_from_paddle(std::string_view token);
    static proto::ValueInfoProto build_value_info_from_meta(std::string name,
                                                            std::string_view token,
                                                            const std::vector<int64_t>& dims);
    // The same from an ONNX element type, for values kestro makes itself.
    static proto::ValueInfoProto tensor_value_info(std::string name, int32_t elem_type,
                                                   const std::vector<int64_t>& dims);
    proto::ValueInfoProto build_value_info_for_id(int64_t id, std::string name) const;
    // The name of the graph input a "1.data" makes, or of the graph output a "1.fetch" asks for.
    static std::string graph_value_name(const Json& op, Direction direction);
    static proto::ValueInfoProto build_value_info(const Json& op, Direction direction);
    // ---- what a program declares against what its operators compute (checks.cpp) ----
    // Whether two shapes cannot describe the same tensor: different ranks, or a dim both
    // know (>= 0) with different sizes. An open shape (nothing) agrees with any.
    static bool shapes_conflict(const std::optional<std::vector<int64_t>>& a,
                                const std::optional<std::vector<int64_t>>& b);
    // Records what holds for value `id` on every path: these dims, or nothing known.
    void record_dims(int64_t id, const std::optional<std::vector<int64_t>>& dims);
    // Settles a description of value `id` (a graph output) made from `op_name`'s
    // declaration: refuses another element type than the value's, and describes the value
    // by its recorded dims where the declared ones differ or are not known to hold.
    void settle_output_description(proto::ValueInfoProto& info, int64_t id, std::string_view op_name) const;
    // "operator cast": the operator whose output entry declared value `id`.
    std::string declaring_operator(int64_t id) const;
    // Settles the declared output `out` of an operator against the element type and dims it
    // computes from its operands and attributes. Another element type is refused (the
    // consumers were lowered against the declared one). Other dims are what Paddle's
    // exporter writes around control flow: the computed dims are recorded for the value,
    // for later lowerings and descriptions. An unknown computed part (nothing, a -1 dim)
    // agrees with anything.
    // `sources`: the values whose dims the computed ones follow. Dims computed from a value
    // whose own dims are only declared (never settled) carry no more weight than the
    // declaration they differ from: that is refused, as a program contradicting itself.
    void settle_output(std::string_view op_name, int64_t out, std::optional<int32_t> computed_type,
                       const std::optional<std::vector<int64_t>>& computed_dims, const IdList& sources = {});
    // Marks value `id`'s recorded dims as settled (a graph input's, which the feed must have).
    void settle_dims(int64_t id) { state.settled_shapes.insert(id, true); }
    // The same, for a result of `operands` (ids; 0 for an absent one) of element type
    // `result_type`, else of the operands' one type when every operand's is known and they
    // agree; with `follow_dims`, of their broadcast dims.
    void settle_output_like(std::string_view op_name, int64_t out, const IdList& operands,
                            std::optional<int32_t> result_type = std::nullopt, bool follow_dims = true);
    void op_data(const Json& op);
    void op_fetch(const Json& op);
    // Brings taken_names up to date with the graph and the parameter list.
    void refresh_taken_names();

    // ---- operands against what an operator takes (checks.cpp) ----
    // Checks a lowering makes where it writes its node, for programs that contradict
    // themselves: each refuses naming the Paddle operator `op` and the operand or attribute.
    // An axis of a value of rank `rank` counted from the front, refused outside [-rank, rank).
    static int64_t checked_axis(std::string_view op, std::string_view what, int64_t axis,
                                int64_t rank);
    // The same check for an operator whose refusal has words of its own, `refusal` filled with
    // the axis as written and the rank.
    static int64_t checked_axis(fmt::format_string<int64_t, int64_t> refusal, int64_t axis,
                                int64_t rank);
    // The same against the recorded rank of `tensor_id`; unchanged when the rank is unknown.
    int64_t checked_axis_of(std::string_view op, std::string_view what, int64_t axis,
                            int64_t tensor_id) const;
    // Refuses an operand whose recorded element type is known and outside `allowed`.
    void require_operand_type(std::string_view op, std::string_view operand, int64_t id,
                              std::initializer_list<int32_t> allowed) const;
    // Refuses two operands whose recorded element types are known and differ.
    void require_same_type(std::string_view op, std::string_view a_what, int64_t a,
                           std::string_view b_what, int64_t b) const;
    // Refuses two operands whose recorded dims cannot broadcast (two known dims, neither 1,
    // that differ), aligned from the last dim, leaving out the last `skip` dims of each.
    void require_broadcastable(std::string_view op, int64_t a, int64_t b, size_t skip = 0) const;
    // Refuses two operands whose recorded ranks, or known dims other than dim `except`, differ.
    void require_same_dims(std::string_view op, int64_t a, int64_t b, int64_t except) const;
    // Refuses an operand recorded with a type that is not floating point, naming the operator:
    // for operators Paddle defines on floating-point values only, whose ONNX nodes take no
    // integer or bool operands.
    void require_float_operand(std::string_view op_name, int64_t id) const;
    // Refuses an operand recorded with another rank than [lowest, highest], naming the
    // operator. kAnyRank as `highest`: no upper bound.
    static constexpr size_t kAnyRank = static_cast<size_t>(-1);
    // `what` names the operand ("input" for the operator's first).
    void require_rank(std::string_view op_name, int64_t id, size_t lowest, size_t highest,
                      std::string_view what = "input") const;
    // Refuses an axis or axes operand recorded with a rank above 1: Paddle takes one axis
    // (0-D) or a list of them (1-D), and so do the ONNX nodes that read them.
    void require_axes_operand(std::string_view op, std::string_view what, int64_t id) const;
    // Refuses an operand that Paddle reads as one number (a clip bound, a scale factor, a
    // top-k count, a fill value) recorded with a known dim other than 1.
    void require_one_value(std::string_view op, std::string_view what, int64_t id) const;
    // Holds the operands `ids` of the Paddle operator `op` to its signature (ops/dispatch.h):
    // their count (none included), an absent value where one is needed, and of each operand
    // what Paddle fixes of it, where the program records it; in the operator's own words where
    // the signature carries them. The general count refusal names the operator as the
    // program writes it (`written`, "batch_norm_"); the others name the operator `op`. The
    // signature's lowest opset is gated before (process_pass2_op).
    void check_operands(std::string_view op, std::string_view written, const ops::Signature& signature,
                        const IdList& ids) const;
    // Notes the operands of `op` no operator has defined yet whose value or dims its lowering
    // reads at conversion (`signature`'s one values, axes, lists, constants), then, after its
    // lowering, refuses an operator defining such a value, and notes its outputs as defined.
    void note_operand_reads(const Json& op, const ops::Signature& signature, const IdList& ids);
    void note_definitions(const Json& op);
    // Makes each operand of the Paddle operator `op` (bare name, its row `signature` or none)
    // that is a list of numbers given as a combine of one-value tensors into the 1-D int64
    // list the lowerings and ONNX read (combined_list).
    void read_combines_as_number_lists(std::string_view op, const ops::Signature* signature, const IdList& ids,
                                       int64_t reader);
    // The combine `list` of one-value tensors `elements` as one 1-D int64 value under the
    // list's own id: folded where every element is a constant, else joined at run time.
    void combined_list(std::string_view op, std::string_view what, int64_t list, const IdList& elements,
                       int64_t reader);

    // ---- dropout (ops/misc.cpp) ----
    void op_dropout(const Json& op);
    void add_dropout_mask(const Json& op, int64_t x, const NameMaker& names);

    // ---- arithmetic and bitwise operators (ops/math.cpp) ----
    void op_scale(const Json& op);
    void op_multiply(const Json& op);
    void op_floor_divide(const Json& op);
    void op_remainder(const Json& op);
    void op_pow(const Json& op);
    void op_bitwise_and(const Json& op);
    void op_bitwise_not(const Json& op);
    // Builders of the arithmetic and bitwise lowerings.
    void add_integer_mod_node(std::string a, std::string b, std::string output);
    void push_scale_attr_initializer(std::string name, std::vector<int64_t> dims, int32_t dtype,
                                     double value);
    void lower_signed_bitwise_and_before_opset_18(std::string a, std::string b, std::string out,
                                                  int32_t dtype, int64_t out_id);

    // ---- activations (ops/activation.cpp) ----
    void op_hardswish(const Json& op);
    void op_hardsigmoid(const Json& op);
    void op_leaky_relu(const Json& op);
    // erf of the float64 value `z` into `erf`, from float64 arithmetic (`one`: a float64 1).
    void append_f64_erf(const std::string& z, const std::string& erf, const std::string& one, const NameMaker& name);
    void op_gelu(const Json& op);
    void op_prelu(const Json& op);
    void op_swish(const Json& op);
    void op_softmax(const Json& op);

    // ---- matrix products, triangles, unbind (ops/matrix.cpp) ----
    void op_matmul(const Json& op);
    // Refuses operands of two types, or known dims that do not line up; gives the dims of the
    // product where both operands' dims are recorded.
    Dims check_matmul_operands(std::string_view op, int64_t x, int64_t y, bool transpose_x,
                               bool transpose_y) const;
    // Settles the product's output `out` (plus `bias` when not 0) against the dims it computes.
    void settle_matmul_output(std::string_view op, int64_t x, int64_t y, bool transpose_x, bool transpose_y,
                              int64_t out, int64_t bias = 0);
    void op_linear_v2(const Json& op);
    void op_trilu(const Json& op, bool upper);
    void op_unbind(const Json& op);

    // ---- grid sampling and multinomial sampling (ops/sampling.cpp) ----
    void op_grid_sample(const Json& op);
    void op_multinomial(const Json& op);

    // ---- normalization (ops/norm.cpp) ----
    void op_batch_norm(const Json& op);
    void check_batch_norm_operands(const std::vector<int64_t>& ids) const;
    void op_group_norm(const Json& op);
    void op_layer_norm(const Json& op);

    // ---- transposed convolution and pooling (ops/conv.cpp) ----
    void op_conv2d_transpose(const Json& op);
    void settle_transposed_conv_output(const std::vector<proto::AttributeProto>& attrs, const IdList& ids, int64_t out,
                                       bool same_at_run_time, std::optional<std::array<int64_t, 2>> placed_hw);
    void op_pool2d(const Json& op);

    // ---- padding, roll and tile (ops/pad.cpp) ----
    void op_pad(const Json& op);
    void op_pad3d(const Json& op);
    void op_roll(const Json& op);
    void op_tile(const Json& op);

    // ---- resize (ops/resize.cpp) ----
    void op_resize_interp(const Json& op, std::string_view mode);
    void push_resize_optional_input(std::vector<std::string>& inputs, int64_t id,
                                    std::string_view kind);
    std::string build_resize_sizes_from_spatial_tensor(int64_t out_id, int64_t x_id,
                                                       const std::string& spatial);
    std::string build_resize_spatial_from_size_list(int64_t out, const IdList& size_list);
    std::string build_resize_scales_from_tensor(int64_t out, int64_t scale_id,
                                                std::string_view mode);

    // ---- non-maximum suppression (ops/nms.cpp) ----
    void op_multiclass_nms3(const Json& op);

    // ---- constants, cast, clip, filled and ranged tensors, expand, slice (ops/array.cpp) ----
    void op_full(std::string_view full_name, const Json& op);
    void op_assign_value(const Json& op);
    void op_cast(const Json& op);
    void op_clip(const Json& op);
    void op_arange(const Json& op);
    void op_range(const Json& op);
    void op_expand(const Json& op);
    void check_expand_target(int64_t x, const std::vector<int64_t>& target) const;
    void op_full_like(const Json& op);
    void op_full_with_tensor(const Json& op);
    // One element of an expand target shape: a constant, or a value that holds the element.
    struct ExpandShapePart {
        bool tensor = false;
        int64_t value = 0;  // the constant, or the value id of a tensor part
    };
    std::string keep_sizes_where_negative(int64_t x_id, int64_t shape_id, int64_t out_id,
                                          const std::string& shape);
    std::string build_expand_shape(int64_t x_id, int64_t out_id,
                                   const std::vector<ExpandShapePart>& parts);
    int64_t aligned_expand_input_axis(int64_t x_id, int64_t out_rank, int64_t position) const;
    void op_slice(const Json& op);
    void check_slice_operands(std::string_view op, const std::vector<int64_t>& ids,
                              const std::vector<int64_t>& axes,
                              const std::vector<int64_t>& decrease) const;
    void op_strided_slice(const Json& op);

    // ---- index inputs shared by slicing, sorting and scatters (ops/array_index.cpp) ----
    std::string ensure_i64_input(int64_t id, int64_t name_id, std::string_view prefix);
    // The same for a value `name` that has the element type recorded for `type_id` (the value
    // itself or a slice of it), cast into `cast_name` when needed.
    std::string ensure_i64_value(int64_t type_id, std::string name, std::string cast_name);
    // The milder rule of the shape inputs: a Cast only when the recorded type is known and
    // is not INT64; a value of unrecorded or unknown type is passed as it is.
    std::string ensure_i64_if_known(int64_t type_id, std::string name, std::string cast_name);
    // A run-time axes value `name` (of value `id`) as the reductions and Squeeze read it: a
    // list. One axis given as a 0-D value, as Paddle takes it, becomes a list of one, named
    // `vector_name`.
    std::string axes_as_list(int64_t id, std::string name, const std::string& vector_name);
    int64_t normalize_axis(int64_t axis, int64_t tensor_id) const;
    std::string ensure_scalar_i64_input(int64_t id, int64_t name_id, std::string_view prefix);
    // A list of integers Paddle reads flattened (slice bounds), as the 1-D int64 list ONNX
    // takes: a value recorded with another rank is reshaped to one dim. With `length`, to
    // that many values unless recorded so, for a node that must know the list's length
    // before the model runs (a value declared [-1] included).
    std::string flat_i64_list(int64_t id, int64_t name_id, std::string_view prefix,
                              std::optional<int64_t> length = std::nullopt);
    // How many elements value `id` holds, where its recorded dims say (a 0 dim: none).
    std::optional<int64_t> known_element_count(int64_t id) const;
    // The one value of `id` (named `name`), which Paddle reads from a tensor of any rank with
    // one element, brought to the rank `rank` (0 or 1: 0-D or [1]) an ONNX node takes. Lower
    // ranks and unknown dims are left as they are; a higher rank is reshaped into `new_name`.
    std::string one_value_of_rank(int64_t id, std::string name, size_t rank, const std::string& new_name);

    // ---- squeeze, unsqueeze, flatten, split, stack, concat (ops/shape.cpp) ----
    void op_squeeze(const Json& op);
    void squeeze_unit_dims_named_at_run_time(std::string input, std::string axes, std::string output,
                                             const NameMaker& names);
    void op_unsqueeze(const Json& op);
    void op_flatten(const Json& op);
    void op_stack(const Json& op);
    void op_concat(const Json& op);
    void op_split_family(std::string_view full_name, const Json& op);
    void settle_flattened_output(int64_t x, int64_t start, int64_t stop, int64_t out);
    void settle_split_pieces(std::string_view op_name, int64_t x, int64_t axis, const IdList& pieces,
                             std::vector<int64_t> sections);
    std::string split_sections_filled_in(std::string sections, const std::string& x, int64_t axis,
                                         const NameMaker& names);

    // ---- reductions, top-k, argmax, argsort (ops/reduce.cpp) ----
    void reduce_via_const_axes(const Json& op, std::string_view onnx_op, std::string_view prefix);
    void op_reduce_sum(const Json& op);
    void settle_reduced_output(std::string_view op, const IdList& ids, bool keepdims, int64_t out);
    void settle_reduced_over(std::string_view op, int64_t x, const std::optional<std::vector<int64_t>>& axes,
                             bool keepdims, int64_t out);
    bool scalar_reduce_passthrough(int64_t input_id, int64_t output_id,
                                   std::optional<int32_t> cast_to = std::nullopt);
    void op_topk(const Json& op);
    void settle_topk_outputs(const Json& outs, const IdList& ids, int64_t axis);
    void op_argmax(const Json& op);
    void op_argsort(const Json& op);

    // ---- gathers, eye, not_equal (ops/indexing.cpp) ----
    void op_eye(const Json& op);
    void op_gather(const Json& op);
    void op_gather_nd(const Json& op);
    void op_index_select(const Json& op);
    void op_embedding(const Json& op);
    void op_take_along_axis(const Json& op);
    void op_not_equal(const Json& op);

    // ---- flip, cumsum, einsum, meshgrid, transpose (ops/transform.cpp) ----
    void op_flip(const Json& op);
    void op_cumsum(const Json& op);
    void op_einsum(const Json& op);
    void check_einsum_operands(std::string_view equation, const IdList& operand_ids) const;
    void op_meshgrid(const Json& op);
    void op_transpose(const Json& op);

    // ---- index_put, put_along_axis, repeat_interleave (ops/update.cpp) ----
    void op_index_put(const Json& op);
    void op_put_along_axis(const Json& op);
    void op_repeat_interleave(const Json& op);

    // ---- slice assignment, set_value_ and set_value_with_tensor_ (ops/set_value.cpp) ----
    void op_set_value(const Json& op);
    void op_set_value_with_tensor(const Json& op);
    // Named steps of the two set_value lowerings.
    struct SetValueFill {
        std::vector<double> values;  // a single value is a scalar fill
        std::vector<int64_t> shape;  // the dims the values are laid out in
    };
    void set_value_rows(const Json& op, const std::vector<int64_t>& ids, int64_t out,
                        const SetValueFill& fill);
    void set_value_block(const Json& op, const std::vector<int64_t>& ids, int64_t out,
                         const std::vector<int64_t>& axes, const SetValueFill& fill);
    std::string set_value_tensor_positions(const std::vector<int64_t>& ids, int64_t out,
                                           const std::string& data_shape);
    // set_value_with_tensor_ without axes: the values written over the whole of x.
    void set_value_whole(const Json& op, const std::vector<int64_t>& ids, int64_t out);
    void broadcast_to_region(std::string values, const std::string& region,
                             const std::vector<int64_t>& assign_axes, int64_t rank,
                             std::string_view prefix, int64_t out, std::string result);

    // ---- if, while and their regions; also any/all and one_hot (ops/control.cpp) ----
    void op_any_all(const Json& op, bool any);
    void op_one_hot(const Json& op);
    void op_if(const Json& op);
    void op_while(const Json& op);
    // Converts the first block of a control-flow region into a subgraph with a child
    // converter; the parent is only read. outer_ids, when given, are the values bound to the
    // block arguments by position: an argument without a type of its own takes theirs.
    // yield_types, when given, are the element types of the yielded values by position, for
    // the values that have no recorded type (0: none known). widened: the arguments (by
    // position) described by these dims (nothing: an open shape) instead of their own.
    proto::GraphProto convert_region_to_graph(const Json& region, const std::string& graph_name,
                                              std::vector<proto::ValueInfoProto> leading_inputs,
                                              const std::vector<std::string>& arg_names,
                                              const std::vector<int64_t>& outer_ids = {},
                                              const std::vector<int32_t>& yield_types = {},
                                              const std::map<size_t, Dims>& widened = {}) const;
};

// A fetch's description typed from its first input entry, when that entry has a type.
std::optional<proto::ValueInfoProto> fetch_type_fallback(const Json& op, const std::string& name);

}  // namespace kestro
