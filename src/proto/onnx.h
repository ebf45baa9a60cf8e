#pragma once
// The ONNX messages (IR version 11, without the ONNX-ML additions) as plain records,
// and their Protocol Buffers encoding. The converter only ever writes ONNX: there is
// no decoder.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestro::proto {

// Bytes of a tensor's raw_data: a view of a shared, immutable buffer. Copies share the
// buffer, so weight bytes read once from the file are never copied again. The buffer is
// kept alive by an owner of any kind (a vector, a mapped file); when the bytes are a view of
// an open file, `origin` says where in it they start, so that a writer can copy them from
// file to file inside the kernel.
struct FileOrigin {
    int fd = -1;
    uint64_t offset = 0;
};

class Bytes {
public:
    Bytes() = default;
    // Takes ownership of an owned buffer.
    explicit Bytes(std::vector<uint8_t> owned);
    Bytes(std::shared_ptr<const std::vector<uint8_t>> buffer, size_t offset, size_t size);
    Bytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t size,
          FileOrigin origin);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(data_), size_};
    }
    // fd -1 when the bytes are not a view of an open file.
    const FileOrigin& origin() const { return origin_; }
    bool operator==(const Bytes& o) const { return view() == o.view(); }

private:
    std::shared_ptr<const void> owner_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    FileOrigin origin_;
};

// An optional record behind an owned pointer (for the recursive members); deep-copied.
template <class T>
class Box {
public:
    Box() = default;
    Box(T value) : p_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& o) {
        if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;
    ~Box() = default;

    explicit operator bool() const { return p_ != nullptr; }
    bool has_value() const { return p_ != nullptr; }
    T& operator*() { return *p_; }
    const T& operator*() const { return *p_; }
    T* operator->() { return p_.get(); }
    const T* operator->() const { return p_.get(); }
    void reset() { p_.reset(); }

private:
    std::unique_ptr<T> p_;
};

// TensorProto.DataType codes used by the converter.
namespace dtype {
constexpr int32_t UNDEFINED = 0, FLOAT = 1, UINT8 = 2, INT8 = 3, UINT16 = 4, INT16 = 5,
                  INT32 = 6, INT64 = 7, STRING = 8, BOOL = 9, FLOAT16 = 10, DOUBLE = 11,
                  UINT32 = 12, UINT64 = 13, BFLOAT16 = 16;
}

// AttributeProto.AttributeType codes.
namespace attr_type {
constexpr int32_t FLOAT = 1, INT = 2, STRING = 3, TENSOR = 4, GRAPH = 5, FLOATS = 6,
                  INTS = 7, STRINGS = 8, TENSORS = 9, GRAPHS = 10, SPARSE_TENSOR = 11,
                  SPARSE_TENSORS = 12, TYPE_PROTO = 13, TYPE_PROTOS = 14;
}

using DimValue = std::variant<std::monostate, int64_t, std::string>;

struct StringStringEntryProto {
    std::string key;
    std::string value;
};

struct OperatorSetIdProto {
    std::string domain;
    int64_t version = 0;
};

struct IntIntListEntryProto {
    int64_t key = 0;
    std::vector<int64_t> value;
};

struct SimpleShardedDimProto {
    DimValue dim;  // one-of: dim_value (1) / dim_param (2)
    int64_t num_shards = 0;
};

struct ShardedDimProto {
    int64_t axis = 0;
    std::vector<SimpleShardedDimProto> simple_sharding;
};

struct ShardingSpecProto {
    std::string tensor_name;
    std::vector<int64_t> device;
    std::vector<IntIntListEntryProto> index_to_device_group_map;
    std::vector<ShardedDimProto> sharded_dim;
};

struct NodeDeviceConfigurationProto {
    std::string configuration_id;
    std::vector<ShardingSpecProto> sharding_spec;
    int32_t pipeline_stage = 0;
};

struct DeviceConfigurationProto {
    std::string name;
    int32_t num_devices = 0;
    std::vector<std::string> device;
};

struct TensorShapeProto {
    struct Dimension {
        DimValue value;  // one-of: dim_value (1) / dim_param (2)
        std::string denotation;
    };
    std::vector<Dimension> dim;
};

struct TypeProto {
    struct Tensor {
        int32_t elem_type = 0;
        std::optional<TensorShapeProto> shape;
    };
    struct Sequence {
        Box<TypeProto> elem_type;
    };
    struct Map {
        int32_t key_type = 0;
        Box<TypeProto> value_type;
    };
    struct Optional {
        Box<TypeProto> elem_type;
    };
    struct SparseTensor {
        int32_t elem_type = 0;
        std::optional<TensorShapeProto> shape;
    };
    // one-of value: tensor_type (1), sequence_type (4), map_type (5),
    // sparse_tensor_type (8), optional_type (9)
    std::variant<std::monostate, Tensor, Sequence, Map, Optional, SparseTensor> value;
    std::string denotation;
};

struct ValueInfoProto {
    std::string name;
    std::optional<TypeProto> type;
    std::string doc_string;
    std::vector<StringStringEntryProto> metadata_props;
};

// The converter's tensors are a name, a type, dimensions and raw bytes; the other members
// sit behind a pointer, allocated only when set (see AttributeProto).
struct TensorProto {
    struct Segment {
        int64_t begin = 0;
        int64_t end = 0;
    };
    struct Rare {
        std::optional<Segment> segment;
        std::vector<float> float_data;
        std::vector<int32_t> int32_data;
        std::vector<std::string> string_data;
        std::vector<int64_t> int64_data;
        std::vector<double> double_data;
        std::vector<uint64_t> uint64_data;
        std::string doc_string;
        std::vector<StringStringEntryProto> external_data;
        int32_t data_location = 0;
        std::vector<StringStringEntryProto> metadata_props;
    };

    std::vector<int64_t> dims;
    int32_t data_type = 0;
    std::string name;
    Bytes raw_data;
    Box<Rare> rare;  // null until a rare member is set

    Rare& rare_members() {
        if (!rare) rare = Rare{};
        return *rare;
    }
    const std::optional<Segment>& segment() const;
    const std::vector<float>& float_data() const;
    const std::vector<int32_t>& int32_data() const;
    const std::vector<std::string>& string_data() const;
    const std::vector<int64_t>& int64_data() const;
    const std::vector<double>& double_data() const;
    const std::vector<uint64_t>& uint64_data() const;
    const std::string& doc_string() const;
    const std::vector<StringStringEntryProto>& external_data() const;
    int32_t data_location() const { return rare ? rare->data_location : 0; }
    const std::vector<StringStringEntryProto>& metadata_props() const;
};

struct SparseTensorProto {
    std::optional<TensorProto> values;
    std::optional<TensorProto> indices;
    std::vector<int64_t> dims;
};

struct GraphProto;

// An attribute holds one value, nearly always a number, a string, a list of numbers, a
// tensor or a graph. The other members (lists of strings, tensors, graphs, types and
// sparse tensors, the documentation and the reference name) sit together behind one
// pointer, allocated only when one of them is set, and the tensor, type and sparse-tensor
// members behind pointers of their own, so that the many small attributes of a large
// graph stay small. The readers give an empty value when the rare members were never set;
// `rare_members()` makes them on first write.
struct AttributeProto {
    struct Rare {
        std::vector<std::string> strings;
        std::vector<TensorProto> tensors;
        std::vector<GraphProto> graphs;
        std::string doc_string;
        std::vector<TypeProto> type_protos;
        std::string ref_attr_name;
        std::vector<SparseTensorProto> sparse_tensors;
    };

    std::string name;
    float f = 0.0f;
    int32_t type = 0;
    int64_t i = 0;
    std::string s;
    Box<TensorProto> t;
    Box<GraphProto> g;
    std::vector<float> floats;
    std::vector<int64_t> ints;
    Box<TypeProto> tp;
    Box<SparseTensorProto> sparse_tensor;
    Box<Rare> rare;  // null until a rare member is set

    // Defined below GraphProto: making a Rare destroys a vector of graphs, which needs the
    // complete type (clang checks that where the body stands, g++ only where it is used).
    Rare& rare_members();
    const std::vector<std::string>& strings() const;
    const std::vector<TensorProto>& tensors() const;
    const std::vector<GraphProto>& graphs() const;
    const std::string& doc_string() const;
    const std::vector<TypeProto>& type_protos() const;
    const std::string& ref_attr_name() const;
    const std::vector<SparseTensorProto>& sparse_tensors() const;
};

// A node of the converter's graphs has inputs, outputs, an operator type and attributes;
// the other members (the converter never names its nodes) sit behind a pointer, as in
// AttributeProto.
struct NodeProto {
    struct Rare {
        std::string name;
        std::string doc_string;
        std::string domain;
        std::string overload;
        std::vector<StringStringEntryProto> metadata_props;
        std::vector<NodeDeviceConfigurationProto> device_configurations;
    };

    std::vector<std::string> input;
    std::vector<std::string> output;
    std::string op_type;
    std::vector<AttributeProto> attribute;
    Box<Rare> rare;  // null until a rare member is set

    Rare& rare_members() {
        if (!rare) rare = Rare{};
        return *rare;
    }
    const std::string& name() const;
    const std::string& doc_string() const;
    const std::string& domain() const;
    const std::string& overload() const;
    const std::vector<StringStringEntryProto>& metadata_props() const;
    const std::vector<NodeDeviceConfigurationProto>& device_configurations() const;
};

struct TensorAnnotation {
    std::string tensor_name;
    std::vector<StringStringEntryProto> quant_parameter_tensor_names;
};

struct GraphProto {
    std::vector<NodeProto> node;
    std::string name;
    std::vector<TensorProto> initializer;
    std::string doc_string;
    std::vector<ValueInfoProto> input;
    std::vector<ValueInfoProto> output;
    std::vector<ValueInfoProto> value_info;
    std::vector<TensorAnnotation> quantization_annotation;
    std::vector<SparseTensorProto> sparse_initializer;
    std::vector<StringStringEntryProto> metadata_props;
};

inline AttributeProto::Rare& AttributeProto::rare_members() {
    if (!rare) rare = Rare{};
    return *rare;
}

struct TrainingInfoProto {
    std::optional<GraphProto> initialization;
    std::optional<GraphProto> algorithm;
    std::vector<StringStringEntryProto> initialization_binding;
    std::vector<StringStringEntryProto> update_binding;
};

struct FunctionProto {
    std::string name;
    std::vector<std::string> input;
    std::vector<std::string> output;
    std::vector<std::string> attribute;
    std::vector<NodeProto> node;
    std::string doc_string;
    std::vector<OperatorSetIdProto> opset_import;
    std::string domain;
    std::vector<AttributeProto> attribute_proto;
    std::vector<ValueInfoProto> value_info;
    std::string overload;
    std::vector<StringStringEntryProto> metadata_props;
};

struct ModelProto {
    int64_t ir_version = 0;
    std::vector<OperatorSetIdProto> opset_import;
    std::string producer_name;
    std::string producer_version;
    std::string domain;
    int64_t model_version = 0;
    std::string doc_string;
    std::optional<GraphProto> graph;
    std::vector<StringStringEntryProto> metadata_props;
    std::vector<TrainingInfoProto> training_info;
    std::vector<FunctionProto> functions;
    std::vector<DeviceConfigurationProto> configuration;
};

// ---- encoding ----

// Where encoded bytes go: runs of bytes copied into a growable buffer, and references to
// large raw_data buffers that are written to the file straight from where they live.
class Sink {
public:
    struct Piece {
        // Either a run [offset, offset + size) of `buffer()`, or external bytes.
        size_t offset = 0;
        size_t size = 0;
        Bytes external;
        bool is_external = false;
    };

    // raw_data at least this long is referenced instead of copied.
    static constexpr size_t kReferenceThreshold = 4096;

    void put(const void* data, size_t size);
    void put_byte(uint8_t b) { buffer_.push_back(static_cast<char>(b)); }
    void put_bytes(const Bytes& bytes);  // copies small ones, references large ones
    size_t size() const { return buffer_.size() + external_bytes_; }

    // The pieces in order (closes the current run).
    const std::vector<Piece>& pieces();
    const std::string& buffer() const { return buffer_; }
    // Everything as one byte string (tests and small models).
    std::string flatten();

private:
    void close_run();
    std::string buffer_;
    std::vector<Piece> pieces_;
    size_t run_start_ = 0;       // start in buffer_ of the run not yet in pieces_
    size_t external_bytes_ = 0;  // bytes referenced, not copied
};

// Byte count of a record's fields, without a key or length prefix of its own.
size_t encoded_len(const ModelProto&);
size_t encoded_len(const GraphProto&);
size_t encoded_len(const NodeProto&);
size_t encoded_len(const AttributeProto&);
size_t encoded_len(const TensorProto&);
size_t encoded_len(const ValueInfoProto&);
size_t encoded_len(const TypeProto&);
size_t encoded_len(const TensorShapeProto&);
size_t encoded_len(const TensorShapeProto::Dimension&);
size_t encoded_len(const OperatorSetIdProto&);
size_t encoded_len(const StringStringEntryProto&);
size_t encoded_len(const IntIntListEntryProto&);
size_t encoded_len(const SimpleShardedDimProto&);
size_t encoded_len(const ShardedDimProto&);
size_t encoded_len(const ShardingSpecProto&);
size_t encoded_len(const NodeDeviceConfigurationProto&);
size_t encoded_len(const DeviceConfigurationProto&);
size_t encoded_len(const TypeProto::Tensor&);
size_t encoded_len(const TypeProto::Sequence&);
size_t encoded_len(const TypeProto::Map&);
size_t encoded_len(const TypeProto::Optional&);
size_t encoded_len(const TypeProto::SparseTensor&);
size_t encoded_len(const TensorProto::Segment&);
size_t encoded_len(const SparseTensorProto&);
size_t encoded_len(const TensorAnnotation&);
size_t encoded_len(const TrainingInfoProto&);
size_t encoded_len(const FunctionProto&);

// Appends a record's fields to the sink.
void encode_raw(const ModelProto&, Sink&);
void encode_raw(const GraphProto&, Sink&);
void encode_raw(const NodeProto&, Sink&);
void encode_raw(const AttributeProto&, Sink&);
void encode_raw(const TensorProto&, Sink&);
void encode_raw(const ValueInfoProto&, Sink&);
void encode_raw(const TypeProto&, Sink&);
void encode_raw(const TensorShapeProto&, Sink&);
void encode_raw(const TensorShapeProto::Dimension&, Sink&);
void encode_raw(const OperatorSetIdProto&, Sink&);
void encode_raw(const StringStringEntryProto&, Sink&);
void encode_raw(const IntIntListEntryProto&, Sink&);
void encode_raw(const SimpleShardedDimProto&, Sink&);
void encode_raw(const ShardedDimProto&, Sink&);
void encode_raw(const ShardingSpecProto&, Sink&);
void encode_raw(const NodeDeviceConfigurationProto&, Sink&);
void encode_raw(const DeviceConfigurationProto&, Sink&);
void encode_raw(const TypeProto::Tensor&, Sink&);
void encode_raw(const TypeProto::Sequence&, Sink&);
void encode_raw(const TypeProto::Map&, Sink&);
void encode_raw(const TypeProto::Optional&, Sink&);
void encode_raw(const TypeProto::SparseTensor&, Sink&);
void encode_raw(const TensorProto::Segment&, Sink&);
void encode_raw(const SparseTensorProto&, Sink&);
void encode_raw(const TensorAnnotation&, Sink&);
void encode_raw(const TrainingInfoProto&, Sink&);
void encode_raw(const FunctionProto&, Sink&);

// Encodes a whole model. Throws kestro::Error with
// "failed to encode Protobuf message; insufficient buffer capacity (required: {}, remaining: {})"
// when the encoding would exceed 2^63 - 1 bytes together with what the sink already holds.
void encode(const ModelProto& model, Sink& sink);

// Convenience for tests: the encoding of one record as a byte string.
template <class T>
std::string encode_to_string(const T& record) {
    Sink sink;
    encode_raw(record, sink);
    return sink.flatten();
}

}  // namespace kestro::proto
