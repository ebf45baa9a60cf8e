// Byte-exact checks of the ONNX encoder and of the sink that lets large weights be written
// without a second copy.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto/onnx.h"

using namespace kestro::proto;

namespace {

std::string hex(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += "0123456789ABCDEF"[c >> 4];
        out += "0123456789ABCDEF"[c & 15];
    }
    return out;
}

// The encoding as hex, after checking that encoded_len counts exactly those bytes.
template <class T>
std::string enc(const T& record) {
    const std::string s = encode_to_string(record);
    EXPECT_EQ(encoded_len(record), s.size());
    return hex(s);
}

TensorShapeProto::Dimension dim(DimValue v, std::string denotation = "") {
    return {std::move(v), std::move(denotation)};
}

TypeProto typed(decltype(TypeProto::value) v, std::string denotation = "") {
    TypeProto t;
    t.value = std::move(v);
    t.denotation = std::move(denotation);
    return t;
}

template <class T, class F>
T with(F fill) {
    T record;
    fill(record);
    return record;
}

}  // namespace

TEST(OnnxEncoding, ByteForms) {
    using TP = TensorProto;
    using AP = AttributeProto;
    const TypeProto f32 = typed(TypeProto::Tensor{dtype::FLOAT, std::nullopt});
    const struct {
        const char* what;
        std::string got;
        const char* expected;
    } cases[] = {
        {"ir_version and opset_import",
         enc(with<ModelProto>([](auto& m) { m.ir_version = 8, m.opset_import = {{"", 17}}; })),
         "08 08 42 02 10 11"},
        {"opset_import after a present empty graph",
         enc(with<ModelProto>([](auto& m) { m.graph = GraphProto{}, m.opset_import = {{"", 13}}; })),
         "3A 00 42 02 10 0D"},
        {"INT attribute 0: i written, two-byte key for type",
         enc(with<AP>([](auto& a) { a.name = "keepdims", a.type = attr_type::INT; })),
         "0A 08 6B 65 65 70 64 69 6D 73 18 00 A0 01 02"},
        {"FLOAT attribute -0.0: f written with its own bits",
         enc(with<AP>([](auto& a) { a.f = -0.0f, a.type = attr_type::FLOAT; })), "15 00 00 00 80 A0 01 01"},
        {"STRING attribute empty: s written",
         enc(with<AP>([](auto& a) { a.type = attr_type::STRING; })), "22 00 A0 01 03"},
        {"value fields of another type still left out when zero",
         enc(with<AP>([](auto& a) { a.type = attr_type::INTS; })), "A0 01 07"},
        {"float -0.0 left out", enc(with<AP>([](auto& a) { a.f = -0.0f; })), ""},
        {"float NaN written", enc(with<AP>([](auto& a) { a.f = NAN; })), "15 00 00 C0 7F"},
        {"float 1.0", enc(with<AP>([](auto& a) { a.f = 1.0f; })), "15 00 00 80 3F"},
        {"default records write nothing", enc(TP{}) + enc(NodeProto{}) + enc(OperatorSetIdProto{}), ""},
        {"rarely set members made but left empty write nothing",
         enc(with<TP>([](auto& t) { t.rare_members(); })) +
             enc(with<NodeProto>([](auto& n) { n.rare_members(); })) +
             enc(with<AP>([](auto& a) { a.rare_members(); })),
         ""},
        {"negative int32 is sign-extended", enc(with<TP>([](auto& t) { t.data_type = -1; })),
         "10 FF FF FF FF FF FF FF FF FF 01"},
        {"packed dims", enc(with<TP>([](auto& t) { t.dims = {1, 3, 224, 224}; })),
         "0A 06 01 03 E0 01 E0 01"},
        {"packed -1", enc(with<TP>([](auto& t) { t.dims = {-1}; })),
         "0A 0A FF FF FF FF FF FF FF FF FF 01"},
        {"packed int32_data",
         enc(with<TP>([](auto& t) { t.rare_members().int32_data = {-1, 1}; })),
         "2A 0B FF FF FF FF FF FF FF FF FF 01 01"},
        {"packed float and double",
         enc(with<TP>([](auto& t) {
             t.rare_members().float_data = {-2.0f}, t.rare_members().double_data = {1.0};
         })),
         "22 04 00 00 00 C0 52 08 00 00 00 00 00 00 F0 3F"},
        {"packed int64 and uint64 keep zeros",
         enc(with<TP>([](auto& t) {
             t.rare_members().int64_data = {0, 300}, t.rare_members().uint64_data = {0};
         })),
         "3A 03 00 AC 02 5A 01 00"},
        {"packed floats and ints of an attribute",
         enc(with<AP>([](auto& a) { a.floats = {0.5f}, a.ints = {0, -1}; })),
         "3A 04 00 00 00 3F 42 0B 00 FF FF FF FF FF FF FF FF FF 01"},
        {"dimension forms",
         enc(with<TensorShapeProto>([](auto& s) {
             s.dim = {dim(int64_t{3}), dim(int64_t{0}), dim({}), dim(std::string("N")),
                      dim(std::string())};
         })),
         "0A 02 08 03 0A 02 08 00 0A 00 0A 03 12 01 4E 0A 02 12 00"},
        {"dimension -1 then denotation", enc(dim(int64_t{-1}, "B")),
         "08 FF FF FF FF FF FF FF FF FF 01 1A 01 42"},
        {"present empty shape", enc(TypeProto::Tensor{dtype::FLOAT, TensorShapeProto{}}),
         "08 01 12 00"},
        {"absent shape", enc(TypeProto::Tensor{dtype::FLOAT, std::nullopt}), "08 01"},
        {"one-of before denotation", enc(typed(TypeProto::Tensor{}, "D")), "0A 00 32 01 44"},
        {"sparse (8) before denotation (6)", enc(typed(TypeProto::SparseTensor{}, "D")),
         "42 00 32 01 44"},
        {"optional (9) before denotation (6)", enc(typed(TypeProto::Optional{}, "D")),
         "4A 00 32 01 44"},
        {"map", enc(typed(TypeProto::Map{7, f32})), "2A 08 08 07 12 04 0A 02 08 01"},
        {"sequence of optional", enc(typed(TypeProto::Sequence{typed(TypeProto::Optional{f32})})),
         "22 0A 0A 08 4A 06 0A 04 0A 02 08 01"},
        {"empty input name keeps its place; fields ascend",
         enc(with<NodeProto>([](auto& n) {
             n.input = {"", "x"}, n.op_type = "R";
             n.rare_members().domain = "d", n.rare_members().doc_string = "c";
             n.attribute = {AP{}};
         })),
         "0A 00 0A 01 78 22 01 52 2A 00 32 01 63 3A 01 64"},
        {"value info without type", enc(with<ValueInfoProto>([](auto& v) { v.name = "x"; })),
         "0A 01 78"},
        {"field 16 takes a two-byte key",
         enc(with<GraphProto>([](auto& g) { g.metadata_props = {{"k", ""}}; })),
         "82 01 03 0A 01 6B"},
        {"present empty tensor, empty string element",
         enc(with<AP>([](auto& a) { a.t = TP{}, a.rare_members().strings = {""}; })),
         "2A 00 4A 00"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
}

TEST(OnnxEncoding, LengthMatchesBytesOnNestedModel) {
    TensorProto w;
    w.name = "w";
    w.dims = {2, 3};
    w.data_type = dtype::FLOAT;
    w.raw_data = Bytes(std::vector<uint8_t>(24, 7));
    w.rare_members().segment = TensorProto::Segment{1, 2};
    w.rare_members().string_data = {"", "abc"};
    w.rare_members().external_data = {{"location", "x.bin"}};

    TypeProto t = typed(TypeProto::Tensor{dtype::INT64, TensorShapeProto{{dim(int64_t{-1})}}});
    GraphProto g;
    g.initializer = {w};
    g.input = {{"a", t, "", {}}};
    g.output = {{"b", std::nullopt, "doc", {{"k", "v"}}}};
    // Nest through GRAPH and GRAPHS attributes, so inner lengths are measured at each level.
    for (int level = 0; level < 3; ++level) {
        AttributeProto a;
        a.g = g;
        a.rare_members().graphs = {g, GraphProto{}};
        a.rare_members().tensors = {w};
        a.tp = t;
        a.sparse_tensor = SparseTensorProto{w, std::nullopt, {4}};
        ShardingSpecProto spec{
            "a", {0, 1}, {{1, {0, -1}}}, {{0, {{int64_t{0}, 2}, {std::string("n"), 0}}}}};
        NodeProto n;
        n.op_type = "If";
        n.attribute = {a};
        n.rare_members().device_configurations = {{"c", {spec}, -2}};
        GraphProto outer;
        outer.node = {n};
        outer.quantization_annotation = {{"a", {{"scale", "s"}}}};
        outer.sparse_initializer = {SparseTensorProto{}};
        g = outer;
    }
    ModelProto m;
    m.ir_version = 8;
    m.graph = g;
    m.training_info = {{g, std::nullopt, {{"a", "b"}}, {}}};
    FunctionProto f;
    f.name = "fn";
    f.node = g.node;
    f.opset_import = {{"", 17}};
    m.functions = {f};
    m.configuration = {{"cfg", 2, {"d0", "d1"}}};

    Sink sink;
    encode(m, sink);
    const std::string bytes = sink.flatten();
    EXPECT_EQ(bytes.size(), encoded_len(m));
    EXPECT_EQ(sink.size(), bytes.size());
    EXPECT_EQ(bytes, encode_to_string(m));
}

TEST(OnnxEncoding, LargeRawDataIsReferencedNotCopied) {
    const size_t big = 1 << 20;
    auto source = std::make_shared<std::vector<uint8_t>>(big + 100);
    for (size_t i = 0; i < source->size(); ++i) (*source)[i] = static_cast<uint8_t>(i * 31);
    const std::shared_ptr<const std::vector<uint8_t>> shared = source;

    GraphProto g;
    g.initializer.resize(3);
    g.initializer[0].raw_data = Bytes(shared, 50, big);
    g.initializer[1].raw_data = Bytes(shared, 0, Sink::kReferenceThreshold - 1);  // copied
    g.initializer[2].raw_data = Bytes(shared, 60, big);

    Sink sink;
    encode_raw(g, sink);
    EXPECT_LT(sink.buffer().size(), 2 * Sink::kReferenceThreshold);
    std::vector<const uint8_t*> referenced;
    size_t total = 0;
    for (const auto& piece : sink.pieces()) {
        total += piece.size;
        if (piece.is_external) referenced.push_back(piece.external.data());
    }
    EXPECT_EQ(referenced, (std::vector<const uint8_t*>{shared->data() + 50, shared->data() + 60}));
    EXPECT_EQ(total, encoded_len(g));

    // Same bytes as writing everything inline: key, length, then the bytes, in place.
    const std::string flat = sink.flatten();
    const std::string first(reinterpret_cast<const char*>(shared->data() + 50), big);
    EXPECT_EQ(hex(flat.substr(0, 7)), "2A 84 80 40 4A 80 80");
    EXPECT_EQ(flat.substr(8, big), first);
    EXPECT_EQ(flat.size(), encoded_len(g));
}
