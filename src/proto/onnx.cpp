// The Protocol Buffers encoding of the ONNX records: sizes and bytes from one field list each.
#include "proto/onnx.h"

#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>
#include <stdexcept>

#include "error.h"
#include "proto/wire.h"

namespace kestro::proto {

// ---- Bytes ----

Bytes::Bytes(std::vector<uint8_t> owned) {
    auto buffer = std::make_shared<const std::vector<uint8_t>>(std::move(owned));
    data_ = buffer->data();
    size_ = buffer->size();
    owner_ = std::move(buffer);
}

Bytes::Bytes(std::shared_ptr<const std::vector<uint8_t>> buffer, size_t offset, size_t size) {
    const size_t have = buffer ? buffer->size() : 0;
    if (offset > have || size > have - offset) {
        throw std::out_of_range("Bytes view outside its buffer");
    }
    data_ = buffer ? buffer->data() + offset : nullptr;
    size_ = size;
    owner_ = std::move(buffer);
}

Bytes::Bytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t size,
             FileOrigin origin)
    : owner_(std::move(owner)), data_(data), size_(size), origin_(origin) {}

// ---- Sink ----

void Sink::put(const void* data, size_t size) {
    buffer_.append(static_cast<const char*>(data), size);
}

void Sink::put_bytes(const Bytes& bytes) {
    if (bytes.size() < kReferenceThreshold) {
        put(bytes.data(), bytes.size());
        return;
    }
    close_run();
    Piece piece;
    piece.size = bytes.size();
    piece.external = bytes;
    piece.is_external = true;
    pieces_.push_back(std::move(piece));
    external_bytes_ += bytes.size();
}

void Sink::close_run() {
    if (buffer_.size() > run_start_) {
        Piece piece;
        piece.offset = run_start_;
        piece.size = buffer_.size() - run_start_;
        pieces_.push_back(std::move(piece));
    }
    run_start_ = buffer_.size();
}

const std::vector<Sink::Piece>& Sink::pieces() {
    close_run();
    return pieces_;
}

std::string Sink::flatten() {
    std::string out;
    out.reserve(size());
    for (const Piece& p : pieces()) {
        if (p.is_external) {
            out.append(p.external.view());
        } else {
            out.append(buffer_, p.offset, p.size);
        }
    }
    return out;
}

// ---- field writers ----
//
// Each message lists its fields once, in ascending field-number order, against a writer
// `W`; the same list drives both the byte count (LenW) and the bytes (OutW), so the two
// cannot drift apart.

namespace {

using wire::kFixed32;
using wire::kFixed64;
using wire::kLengthDelimited;
using wire::kVarint;
using wire::varint_len;

uint64_t widen(int64_t v) { return static_cast<uint64_t>(v); }
// A signed 32-bit value goes out sign-extended to 64 bits, so negatives take 10 bytes.
uint64_t widen(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }
uint64_t widen(uint64_t v) { return v; }

size_t delimited_len(uint32_t field, size_t payload) {
    return wire::key_len(field) + varint_len(payload) + payload;
}

template <class T>
size_t packed_payload_len(const std::vector<T>& values) {
    if constexpr (std::is_same_v<T, float>) {
        return values.size() * 4;
    } else if constexpr (std::is_same_v<T, double>) {
        return values.size() * 8;
    } else {
        size_t n = 0;
        for (T v : values) n += varint_len(widen(v));
        return n;
    }
}

struct LenW {
    size_t n = 0;

    template <class I>
    void num(uint32_t f, I v, bool always = false) {
        if (always || v != 0) n += wire::key_len(f) + varint_len(widen(v));
    }
    void f32(uint32_t f, float v, bool always = false) {
        if (always || v != 0.0f) n += wire::key_len(f) + 4;
    }
    void str(uint32_t f, std::string_view s, bool always = false) {
        if (always || !s.empty()) n += delimited_len(f, s.size());
    }
    void bytes(uint32_t f, const Bytes& b) {
        if (!b.empty()) n += delimited_len(f, b.size());
    }
    void strs(uint32_t f, const std::vector<std::string>& v) {
        for (const auto& s : v) n += delimited_len(f, s.size());
    }
    template <class I>
    void packed(uint32_t f, const std::vector<I>& v) {
        if (!v.empty()) n += delimited_len(f, packed_payload_len(v));
    }
    template <class M>
    void msg(uint32_t f, const M& m) {
        n += delimited_len(f, encoded_len(m));
    }
    template <class M>
    void msgs(uint32_t f, const std::vector<M>& v) {
        for (const auto& m : v) msg(f, m);
    }
    // One-of member: written whenever set, even when 0 or empty.
    void oneof_dim(const DimValue& d, uint32_t f_value, uint32_t f_param) {
        if (const auto* i = std::get_if<int64_t>(&d)) {
            n += wire::key_len(f_value) + varint_len(widen(*i));
        } else if (const auto* s = std::get_if<std::string>(&d)) {
            n += delimited_len(f_param, s->size());
        }
    }
};

struct OutW {
    Sink& s;

    void varint(uint64_t v) {
        uint8_t buf[10];
        s.put(buf, wire::write_varint(v, buf));
    }
    void key(uint32_t f, uint32_t wt) { varint(wire::key(f, wt)); }
    void fixed32(uint32_t bits) {
        uint8_t b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
        s.put(b, 4);
    }
    void fixed64(uint64_t bits) {
        uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
        s.put(b, 8);
    }
    void delimited(uint32_t f, std::string_view payload) {
        key(f, kLengthDelimited);
        varint(payload.size());
        s.put(payload.data(), payload.size());
    }

    // A zero or empty value is left out unless `always`: then it goes out as it is
    // (a negative zero with its own bits).
    template <class I>
    void num(uint32_t f, I v, bool always = false) {
        if (!always && v == 0) return;
        key(f, kVarint);
        varint(widen(v));
    }
    void f32(uint32_t f, float v, bool always = false) {
        if (!always && v == 0.0f) return;  // both zeros are left out; NaN compares unequal and goes out
        key(f, kFixed32);
        fixed32(std::bit_cast<uint32_t>(v));
    }
    void str(uint32_t f, std::string_view v, bool always = false) {
        if (always || !v.empty()) delimited(f, v);
    }
    void bytes(uint32_t f, const Bytes& b) {
        if (b.empty()) return;
        key(f, kLengthDelimited);
        varint(b.size());
        s.put_bytes(b);
    }
    void strs(uint32_t f, const std::vector<std::string>& v) {
        for (const auto& x : v) delimited(f, x);
    }
    template <class I>
    void packed(uint32_t f, const std::vector<I>& v) {
        if (v.empty()) return;
        key(f, kLengthDelimited);
        varint(packed_payload_len(v));
        if constexpr (std::is_same_v<I, float> || std::is_same_v<I, double>) {
            if constexpr (std::endian::native == std::endian::little) {
                s.put(v.data(), v.size() * sizeof(I));
            } else if constexpr (std::is_same_v<I, float>) {
                for (float x : v) fixed32(std::bit_cast<uint32_t>(x));
            } else {
                for (double x : v) fixed64(std::bit_cast<uint64_t>(x));
            }
        } else {
            for (I x : v) varint(widen(x));
        }
    }
    template <class M>
    void msg(uint32_t f, const M& m) {
        key(f, kLengthDelimited);
        varint(encoded_len(m));
        encode_raw(m, s);
    }
    template <class M>
    void msgs(uint32_t f, const std::vector<M>& v) {
        for (const auto& m : v) msg(f, m);
    }
    void oneof_dim(const DimValue& d, uint32_t f_value, uint32_t f_param) {
        if (const auto* i = std::get_if<int64_t>(&d)) {
            key(f_value, kVarint);
            varint(widen(*i));
        } else if (const auto* p = std::get_if<std::string>(&d)) {
            delimited(f_param, *p);
        }
    }
};

// Optional sub-messages: written whenever present, also when empty.
template <class W, class M>
void opt(W& w, uint32_t f, const std::optional<M>& m) {
    if (m) w.msg(f, *m);
}
template <class W, class M>
void opt(W& w, uint32_t f, const Box<M>& m) {
    if (m) w.msg(f, *m);
}

// ---- field lists, ascending by field number ----

template <class W>
void walk(const StringStringEntryProto& m, W& w) {
    w.str(1, m.key);
    w.str(2, m.value);
}

template <class W>
void walk(const OperatorSetIdProto& m, W& w) {
    w.str(1, m.domain);
    w.num(2, m.version);
}

template <class W>
void walk(const IntIntListEntryProto& m, W& w) {
    w.num(1, m.key);
    w.packed(2, m.value);
}

template <class W>
void walk(const SimpleShardedDimProto& m, W& w) {
    w.oneof_dim(m.dim, 1, 2);
    w.num(3, m.num_shards);
}

template <class W>
void walk(const ShardedDimProto& m, W& w) {
    w.num(1, m.axis);
    w.msgs(2, m.simple_sharding);
}

template <class W>
void walk(const ShardingSpecProto& m, W& w) {
    w.str(1, m.tensor_name);
    w.packed(2, m.device);
    w.msgs(3, m.index_to_device_group_map);
    w.msgs(4, m.sharded_dim);
}

template <class W>
void walk(const NodeDeviceConfigurationProto& m, W& w) {
    w.str(1, m.configuration_id);
    w.msgs(2, m.sharding_spec);
    w.num(3, m.pipeline_stage);
}

template <class W>
void walk(const DeviceConfigurationProto& m, W& w) {
    w.str(1, m.name);
    w.num(2, m.num_devices);
    w.strs(3, m.device);
}

template <class W>
void walk(const TensorShapeProto::Dimension& m, W& w) {
    w.oneof_dim(m.value, 1, 2);
    w.str(3, m.denotation);
}

template <class W>
void walk(const TensorShapeProto& m, W& w) {
    w.msgs(1, m.dim);
}

template <class W>
void walk(const TypeProto::Tensor& m, W& w) {
    w.num(1, m.elem_type);
    opt(w, 2, m.shape);
}

template <class W>
void walk(const TypeProto::SparseTensor& m, W& w) {
    w.num(1, m.elem_type);
    opt(w, 2, m.shape);
}

template <class W>
void walk(const TypeProto::Sequence& m, W& w) {
    opt(w, 1, m.elem_type);
}

template <class W>
void walk(const TypeProto::Optional& m, W& w) {
    opt(w, 1, m.elem_type);
}

template <class W>
void walk(const TypeProto::Map& m, W& w) {
    w.num(1, m.key_type);
    opt(w, 2, m.value_type);
}

template <class W>
void walk(const TypeProto& m, W& w) {
    // The one-of goes first, at the place of its lowest-numbered member (1), even for
    // members numbered above denotation (6).
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, TypeProto::Tensor>) {
                w.msg(1, v);
            } else if constexpr (std::is_same_v<V, TypeProto::Sequence>) {
                w.msg(4, v);
            } else if constexpr (std::is_same_v<V, TypeProto::Map>) {
                w.msg(5, v);
            } else if constexpr (std::is_same_v<V, TypeProto::SparseTensor>) {
                w.msg(8, v);
            } else if constexpr (std::is_same_v<V, TypeProto::Optional>) {
                w.msg(9, v);
            }
        },
        m.value);
    w.str(6, m.denotation);
}

template <class W>
void walk(const ValueInfoProto& m, W& w) {
    w.str(1, m.name);
    opt(w, 2, m.type);
    w.str(3, m.doc_string);
    w.msgs(4, m.metadata_props);
}

template <class W>
void walk(const TensorProto::Segment& m, W& w) {
    w.num(1, m.begin);
    w.num(2, m.end);
}

template <class W>
void walk(const TensorProto& m, W& w) {
    w.packed(1, m.dims);
    w.num(2, m.data_type);
    opt(w, 3, m.segment());
    w.packed(4, m.float_data());
    w.packed(5, m.int32_data());
    w.strs(6, m.string_data());
    w.packed(7, m.int64_data());
    w.str(8, m.name);
    w.bytes(9, m.raw_data);
    w.packed(10, m.double_data());
    w.packed(11, m.uint64_data());
    w.str(12, m.doc_string());
    w.msgs(13, m.external_data());
    w.num(14, m.data_location());
    w.msgs(16, m.metadata_props());
}

template <class W>
void walk(const SparseTensorProto& m, W& w) {
    opt(w, 1, m.values);
    opt(w, 2, m.indices);
    w.packed(3, m.dims);
}

template <class W>
void walk(const AttributeProto& m, W& w) {
    w.str(1, m.name);
    // The value of the attribute's own type is written even when zero or empty: readers
    // tell an unset field from 0 and take a missing one for the operator's default (TopK's
    // axis 0 would read as -1, Flatten's as 1).
    w.f32(2, m.f, m.type == attr_type::FLOAT);
    w.num(3, m.i, m.type == attr_type::INT);
    w.str(4, m.s, m.type == attr_type::STRING);
    opt(w, 5, m.t);
    opt(w, 6, m.g);
    w.packed(7, m.floats);
    w.packed(8, m.ints);
    w.strs(9, m.strings());
    w.msgs(10, m.tensors());
    w.msgs(11, m.graphs());
    w.str(13, m.doc_string());
    opt(w, 14, m.tp);
    w.msgs(15, m.type_protos());
    w.num(20, m.type);
    w.str(21, m.ref_attr_name());
    opt(w, 22, m.sparse_tensor);
    w.msgs(23, m.sparse_tensors());
}

template <class W>
void walk(const NodeProto& m, W& w) {
    w.strs(1, m.input);
    w.strs(2, m.output);
    w.str(3, m.name());
    w.str(4, m.op_type);
    w.msgs(5, m.attribute);
    w.str(6, m.doc_string());
    w.str(7, m.domain());
    w.str(8, m.overload());
    w.msgs(9, m.metadata_props());
    w.msgs(10, m.device_configurations());
}

template <class W>
void walk(const TensorAnnotation& m, W& w) {
    w.str(1, m.tensor_name);
    w.msgs(2, m.quant_parameter_tensor_names);
}

template <class W>
void walk(const GraphProto& m, W& w) {
    w.msgs(1, m.node);
    w.str(2, m.name);
    w.msgs(5, m.initializer);
    w.str(10, m.doc_string);
    w.msgs(11, m.input);
    w.msgs(12, m.output);
    w.msgs(13, m.value_info);
    w.msgs(14, m.quantization_annotation);
    w.msgs(15, m.sparse_initializer);
    w.msgs(16, m.metadata_props);
}

template <class W>
void walk(const TrainingInfoProto& m, W& w) {
    opt(w, 1, m.initialization);
    opt(w, 2, m.algorithm);
    w.msgs(3, m.initialization_binding);
    w.msgs(4, m.update_binding);
}

template <class W>
void walk(const FunctionProto& m, W& w) {
    w.str(1, m.name);
    w.strs(4, m.input);
    w.strs(5, m.output);
    w.strs(6, m.attribute);
    w.msgs(7, m.node);
    w.str(8, m.doc_string);
    w.msgs(9, m.opset_import);
    w.str(10, m.domain);
    w.msgs(11, m.attribute_proto);
    w.msgs(12, m.value_info);
    w.str(13, m.overload);
    w.msgs(14, m.metadata_props);
}

template <class W>
void walk(const ModelProto& m, W& w) {
    w.num(1, m.ir_version);
    w.str(2, m.producer_name);
    w.str(3, m.producer_version);
    w.str(4, m.domain);
    w.num(5, m.model_version);
    w.str(6, m.doc_string);
    opt(w, 7, m.graph);
    w.msgs(8, m.opset_import);
    w.msgs(14, m.metadata_props);
    w.msgs(20, m.training_info);
    w.msgs(25, m.functions);
    w.msgs(26, m.configuration);
}

}  // namespace

// ---- readers of the rare members ----

namespace {
// The value a reader gives when the rare members were never set.
template <class T>
const T& unset() {
    static const T value{};
    return value;
}
}  // namespace

#define KESTRO_PROTO_RARE(Record, T, member)                                 \
    const T& Record::member() const { return rare ? rare->member : unset<T>(); }

KESTRO_PROTO_RARE(TensorProto, std::optional<TensorProto::Segment>, segment)
KESTRO_PROTO_RARE(TensorProto, std::vector<float>, float_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<int32_t>, int32_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<std::string>, string_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<int64_t>, int64_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<double>, double_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<uint64_t>, uint64_data)
KESTRO_PROTO_RARE(TensorProto, std::string, doc_string)
KESTRO_PROTO_RARE(TensorProto, std::vector<StringStringEntryProto>, external_data)
KESTRO_PROTO_RARE(TensorProto, std::vector<StringStringEntryProto>, metadata_props)
KESTRO_PROTO_RARE(AttributeProto, std::vector<std::string>, strings)
KESTRO_PROTO_RARE(AttributeProto, std::vector<TensorProto>, tensors)
KESTRO_PROTO_RARE(AttributeProto, std::vector<GraphProto>, graphs)
KESTRO_PROTO_RARE(AttributeProto, std::string, doc_string)
KESTRO_PROTO_RARE(AttributeProto, std::vector<TypeProto>, type_protos)
KESTRO_PROTO_RARE(AttributeProto, std::string, ref_attr_name)
KESTRO_PROTO_RARE(AttributeProto, std::vector<SparseTensorProto>, sparse_tensors)
KESTRO_PROTO_RARE(NodeProto, std::string, name)
KESTRO_PROTO_RARE(NodeProto, std::string, doc_string)
KESTRO_PROTO_RARE(NodeProto, std::string, domain)
KESTRO_PROTO_RARE(NodeProto, std::string, overload)
KESTRO_PROTO_RARE(NodeProto, std::vector<StringStringEntryProto>, metadata_props)
KESTRO_PROTO_RARE(NodeProto, std::vector<NodeDeviceConfigurationProto>, device_configurations)

#undef KESTRO_PROTO_RARE

#define KESTRO_PROTO_RECORD(T)              \
    size_t encoded_len(const T& m) {        \
        LenW w;                             \
        walk(m, w);                         \
        return w.n;                         \
    }                                       \
    void encode_raw(const T& m, Sink& s) {  \
        OutW w{s};                          \
        walk(m, w);                         \
    }

KESTRO_PROTO_RECORD(ModelProto)
KESTRO_PROTO_RECORD(GraphProto)
KESTRO_PROTO_RECORD(NodeProto)
KESTRO_PROTO_RECORD(AttributeProto)
KESTRO_PROTO_RECORD(TensorProto)
KESTRO_PROTO_RECORD(ValueInfoProto)
KESTRO_PROTO_RECORD(TypeProto)
KESTRO_PROTO_RECORD(TensorShapeProto)
KESTRO_PROTO_RECORD(TensorShapeProto::Dimension)
KESTRO_PROTO_RECORD(OperatorSetIdProto)
KESTRO_PROTO_RECORD(StringStringEntryProto)
KESTRO_PROTO_RECORD(IntIntListEntryProto)
KESTRO_PROTO_RECORD(SimpleShardedDimProto)
KESTRO_PROTO_RECORD(ShardedDimProto)
KESTRO_PROTO_RECORD(ShardingSpecProto)
KESTRO_PROTO_RECORD(NodeDeviceConfigurationProto)
KESTRO_PROTO_RECORD(DeviceConfigurationProto)
KESTRO_PROTO_RECORD(TypeProto::Tensor)
KESTRO_PROTO_RECORD(TypeProto::Sequence)
KESTRO_PROTO_RECORD(TypeProto::Map)
KESTRO_PROTO_RECORD(TypeProto::Optional)
KESTRO_PROTO_RECORD(TypeProto::SparseTensor)
KESTRO_PROTO_RECORD(TensorProto::Segment)
KESTRO_PROTO_RECORD(SparseTensorProto)
KESTRO_PROTO_RECORD(TensorAnnotation)
KESTRO_PROTO_RECORD(TrainingInfoProto)
KESTRO_PROTO_RECORD(FunctionProto)

#undef KESTRO_PROTO_RECORD

void encode(const ModelProto& model, Sink& sink) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t required = encoded_len(model);
    const uint64_t held = sink.size();
    const uint64_t remaining = held >= kMax ? 0 : kMax - held;
    if (required > remaining) {
        throw Error(
            "failed to encode Protobuf message; insufficient buffer capacity (required: {}, "
            "remaining: {})",
            required, remaining);
    }
    encode_raw(model, sink);
}

}  // namespace kestro::proto
