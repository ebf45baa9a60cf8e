// The weight-file reader and the TensorDesc decoder: record layout, every refusal with its
// byte offset, pairing with the sorted parameter names, and a real exported model.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "proto/paddle.h"
#include "test_support.h"

using kestro::Converter;
using kestro::ParamMeta;
namespace paddle = kestro::proto::paddle;
namespace dtype = kestro::proto::dtype;
using paddle::TensorDesc;

namespace {

std::string varint(uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
    return out;
}

// A TensorDesc: data_type (field 1), then dims (field 2), packed or one key per dim.
std::string desc(int64_t type, const std::vector<int64_t>& dims, bool packed = true) {
    std::string out = "\x08" + varint(static_cast<uint64_t>(type));
    if (packed && !dims.empty()) {
        std::string payload;
        for (int64_t d : dims) payload += varint(static_cast<uint64_t>(d));
        out += "\x12" + varint(payload.size()) + payload;
    } else {
        for (int64_t d : dims) out += "\x10" + varint(static_cast<uint64_t>(d));
    }
    return out;
}

std::string le(uint64_t v, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string record(const std::string& desc_bytes, const std::string& data) {
    return le(0, 4) + le(0, 8) + le(0, 4) + le(desc_bytes.size(), 4) + desc_bytes + data;
}

std::string fill(size_t n, char start = 1) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += static_cast<char>(start + i);
    return out;
}

std::shared_ptr<const std::vector<uint8_t>> buffer(const std::string& bytes) {
    return std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
}

struct Param {
    std::string name;
    std::vector<int64_t> shape;
    std::optional<int32_t> dtype;
};

Converter converter_with(const std::vector<Param>& params) {
    Converter conv;
    auto& names = conv.state.param_names.make_mut();
    for (const auto& p : params) {
        names.push_back(p.name);
        conv.state.param_meta.insert(p.name, ParamMeta{p.shape, p.dtype});
    }
    return conv;
}

std::string error_of(const std::function<void()>& fn) { return kestro::test::error_of(fn, "(no error)"); }

std::string load_error(const std::vector<Param>& params, const std::string& file) {
    Converter conv = converter_with(params);
    return error_of([&] { conv.load_paddle_weights_from_buffer(buffer(file)); });
}

std::string raw(const kestro::proto::TensorProto& t) { return std::string(t.raw_data.view()); }

TensorDesc decode(const std::string& bytes) {
    return paddle::decode_tensor_desc(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

// ---- TensorDesc ----

TEST(TensorDesc, Decoding) {
    for (bool packed : {true, false}) {
        EXPECT_EQ(decode(desc(5, {2, -1, 300}, packed)).dims, (std::vector<int64_t>{2, -1, 300}));
    }
    // Fields of every skippable wire type around the known ones; both dims forms
    // concatenate; the last data_type wins.
    const std::string mixed = "\x18\x05" + std::string("\x21", 1) + std::string(8, '\x07') +
                              "\x2A\x02zz" + "\x35" + std::string(4, '\x09') + desc(2, {4}) +
                              "\x10\x07" + "\x08\x16";
    EXPECT_EQ(decode(mixed).data_type, 22);
    EXPECT_EQ(decode(mixed).dims, (std::vector<int64_t>{4, 7}));

    // A type that names no member reads as Bool; only the low 32 bits count.
    for (int64_t type : {16LL, 34LL, 35LL, 39LL, -1LL, 1LL << 40}) {
        EXPECT_EQ(decode(desc(type, {1})).data_type, 0) << type;
    }
    EXPECT_EQ(decode(desc((1LL << 32) + 5, {})).data_type, 5);
    EXPECT_EQ(decode("").data_type, 0);
    EXPECT_EQ(paddle::var_type_name(23), "Complex64");
    EXPECT_EQ(paddle::var_type_name(38), "Uint64");
    EXPECT_EQ(paddle::var_type_name(35), "Bool");
}

TEST(TensorDesc, MalformedWireDataIsRefused) {
    const std::pair<const char*, std::string> cases[] = {
        {"truncated varint", std::string("\x08\x80", 2)},
        {"varint over 10 bytes", "\x08" + std::string(10, '\xFF') + "\x01"},
        {"truncated length", std::string("\x2A\x05\x01", 3)},
        {"truncated packed dims", std::string("\x12\x01\x80", 3)},
        {"packed dims cut inside a varint", std::string("\x12\x01\x80\x01", 4)},
        {"truncated fixed64", std::string("\x19\x01\x02", 3)},
        {"truncated fixed32", std::string("\x1D\x01", 2)},
        {"field number 0", std::string("\x00\x00", 2)},
        {"start group", std::string("\x1B", 1)},
        {"end group", std::string("\x1C", 1)},
        {"wire type 6", std::string("\x1E", 1)},
        {"wire type 7", std::string("\x1F", 1)},
        {"data_type not a varint", std::string("\x0A\x00", 2)},
        {"dims as fixed32", std::string("\x15\x00\x00\x00\x00", 5)},
    };
    for (const auto& [what, bytes] : cases) {
        const std::string message = error_of([&] { decode(bytes); });
        EXPECT_EQ(message.rfind("failed to decode Protobuf message", 0), 0u)
            << what << ": " << message;
    }
    // Through the reader, the decoder's message comes out unchanged.
    const std::string file = record(std::string("\x08\x80", 2), "");
    EXPECT_EQ(load_error({{"a", {}, {}}}, file).rfind("failed to decode Protobuf message", 0), 0u);
}

// ---- the reader ----

TEST(WeightReader, TruncationAtEveryByteNamesTheFieldAndOffset) {
    // One whole record, then every proper prefix of a second one (desc 6 bytes, 24 data bytes).
    const std::string first = record(desc(5, {1}), fill(4));
    const std::string d = desc(5, {2, 3});
    ASSERT_EQ(d.size(), 6u);
    const std::string second = record(d, fill(24));
    const uint64_t s = first.size();
    for (size_t k = 1; k < second.size(); ++k) {
        std::string expected;
        if (k < 4) {
            expected = fmt::format("Truncated .pdiparams header at byte {}", s);
        } else if (k < 12) {
            expected = fmt::format("Truncated LoD header at byte {}", s + 4);
        } else if (k < 16) {
            expected = fmt::format("Truncated tensor metadata header at byte {}", s + 12);
        } else if (k < 20) {
            expected = fmt::format("Truncated tensor desc size at byte {}", s + 16);
        } else if (k < 26) {
            expected = fmt::format("Truncated tensor desc: need 6 bytes at byte {}", s + 20);
        } else {
            expected = fmt::format(
                "Truncated tensor data for parameter index 1: need 24 bytes at byte {}", s + 26);
        }
        EXPECT_EQ(load_error({{"a", {1}, {}}, {"b", {2, 3}, {}}}, first + second.substr(0, k)),
                  expected)
            << "prefix " << k;
    }
}

TEST(WeightReader, HeaderAndDescriptorRefusals) {
    const std::vector<Param> one = {{"a", {}, {}}};
    struct Case {
        const char* what;
        std::string file;
        std::string expected;
    };
    const Case cases[] = {
        {"LoD level before anything after it",
         le(0, 4) + le(1ULL << 56, 8), "LoD tensors not supported"},
        {"negative descriptor size", le(0, 4) + le(0, 8) + le(0, 4) + le(0xFFFFFFFF, 4),
         "Invalid tensor desc size -1 at byte 16"},
        {"negative dim", record(desc(5, {3, -2}), ""), "Invalid negative tensor dim -2"},
        // Checked at each step: a later 0 does not rescue an overflowing product.
        {"element count", record(desc(5, {1LL << 32, 1LL << 32, 0}), ""),
         "Tensor element count overflow"},
        // 2^63 elements fit in 64 bits; 2^66 bytes do not.
        {"byte size", record(desc(5, {1LL << 62, 2}), ""), "Tensor byte size overflow"},
        {"tensor over the limit", record(desc(5, {(1LL << 31) + 1}), ""),
         "Tensor byte size 8589934596 exceeds soft limit 8589934592"},
        {"tensor at the limit is only short of data", record(desc(5, {1LL << 31}), ""),
         "Truncated tensor data for parameter index 0: need 8589934592 bytes at byte 29"},
        {"complex", record(desc(23, {1}), fill(8)), "Unsupported data_type: Complex64"},
        {"selected rows", record(desc(8, {}), ""), "Unsupported data_type: SelectedRows"},
        {"dims are checked before the type", record(desc(23, {-1}), ""),
         "Invalid negative tensor dim -1"},
        {"type is checked before the data", record(desc(24, {1}), ""),
         "Unsupported data_type: Complex128"},
    };
    for (const auto& c : cases) EXPECT_EQ(load_error(one, c.file), c.expected) << c.what;
}

TEST(WeightReader, CountsAndMetadataChecks) {
    const std::string f32x6 = record(desc(5, {2, 3}), fill(24));
    struct Case {
        const char* what;
        std::vector<Param> params;
        std::string file;
        std::string expected;
    };
    const Case cases[] = {
        {"empty file, no parameters", {}, "", "(no error)"},
        {"empty file, two parameters", {{"a", {}, {}}, {"b", {}, {}}}, "",
         "Weight count mismatch: loaded 0 tensors for 2 parameters"},
        {"fewer records", {{"a", {2, 3}, {}}, {"b", {}, {}}}, f32x6,
         "Weight count mismatch: loaded 1 tensors for 2 parameters"},
        {"more records", {{"a", {2, 3}, {}}}, f32x6 + f32x6,
         "Weight file contains more tensors than discovered parameters (extra tensor at index 1)"},
        {"extra record that is also truncated", {{"a", {2, 3}, {}}}, f32x6 + f32x6.substr(0, 30),
         "Truncated tensor data for parameter index 1: need 24 bytes at byte 76"},
        {"dtype", {{"w", {2, 3}, dtype::FLOAT}}, record(desc(6, {2, 3}), fill(48)),
         "Weight tensor 'w' dtype mismatch: expected float32 from model metadata, got float64"},
        {"dtype before shape", {{"w", {9}, dtype::INT64}}, f32x6,
         "Weight tensor 'w' dtype mismatch: expected int64 from model metadata, got float32"},
        {"unknown dim is no wildcard", {{"w", {-1, 3}, dtype::FLOAT}},
         record(desc(5, {5, 3}), fill(60)),
         "Weight tensor 'w' shape mismatch: expected [-1, 3] from model metadata, got [5, 3]"},
        {"undeclared shape matches only a scalar", {{"w", {}, {}}}, f32x6,
         "Weight tensor 'w' shape mismatch: expected [] from model metadata, got [2, 3]"},
        {"rank differs", {{"w", {2, 3, 1}, {}}}, f32x6,
         "Weight tensor 'w' shape mismatch: expected [2, 3, 1] from model metadata, got [2, 3]"},
        {"bf16 for float32", {{"w", {2}, dtype::FLOAT}}, record(desc(22, {2}), fill(4)),
         "Weight tensor 'w' dtype mismatch: expected float32 from model metadata, got bfloat16"},
        {"bf16 for an untyped parameter", {{"w", {2}, {}}}, record(desc(22, {2}), fill(4)),
         "Weight tensor 'w' is bfloat16, but the program does not declare it so"},
        {"bf16 without metadata", {}, record(desc(22, {2}), fill(4)),
         "Weight file contains more tensors than discovered parameters (extra tensor at index 0)"},
    };
    for (const auto& c : cases) EXPECT_EQ(load_error(c.params, c.file), c.expected) << c.what;
}

TEST(WeightReader, PairsRecordsWithSortedNamesAndViewsTheBuffer) {
    // The first pass sorts names byte-wise: "B" < "a" < "b".
    const struct {
        Param param;
        std::string desc;
        std::string data;
        int32_t onnx;
    } rows[] = {
        {{"B", {}, dtype::INT64}, desc(3, {}), le(42, 8), dtype::INT64},  // scalar: one element
        {{"a", {2, 3}, dtype::FLOAT}, desc(5, {2, 3}, false), fill(24, 10), dtype::FLOAT},
        {{"b", {0, 4}, {}}, desc(5, {0, 4}), "", dtype::FLOAT},
        {{"bf", {2}, dtype::BFLOAT16}, desc(22, {2}), std::string("\x80\x3F\x00\xC0", 4),
         dtype::BFLOAT16},
        {{"flag", {3}, dtype::BOOL}, desc(16, {3}), std::string("\x01\x00\x01", 3), dtype::BOOL},
    };
    std::vector<Param> params;
    std::string file;
    for (const auto& r : rows) params.push_back(r.param), file += record(r.desc, r.data);
    Converter conv = converter_with(params);
    conv.graph.initializer.resize(1);  // made by a lowering: the weights go after it
    const auto bytes = buffer(file);
    conv.load_paddle_weights_from_buffer(bytes);

    const auto& inits = conv.graph.initializer;
    ASSERT_EQ(inits.size(), 6u);
    for (size_t i = 0; i < 5; ++i) {
        const auto& t = inits[i + 1];
        EXPECT_EQ(t.name, rows[i].param.name);
        EXPECT_EQ(t.dims, rows[i].param.shape) << t.name;
        EXPECT_EQ(t.data_type, rows[i].onnx) << t.name;
        EXPECT_EQ(raw(t), rows[i].data) << t.name;
        EXPECT_TRUE(t.float_data().empty() && t.int64_data().empty() && !t.segment());
        if (!t.raw_data.empty()) {  // a view into the file's bytes, not a copy
            EXPECT_GE(t.raw_data.data(), bytes->data());
            EXPECT_LE(t.raw_data.data() + t.raw_data.size(), bytes->data() + bytes->size());
        }
    }
}

TEST(WeightReader, RepeatedNameMustNotHideDifferentWeights) {
    const std::vector<Param> twice = {{"unknown_param", {2}, dtype::FLOAT},
                                      {"unknown_param", {2}, dtype::FLOAT}};
    const std::string a = record(desc(5, {2}), fill(8, 1));
    const std::string b = record(desc(5, {2}), fill(8, 2));
    EXPECT_EQ(load_error(twice, a + b),
              "duplicate parameter name unknown_param with different weights");

    // Without a declared type, or without any metadata, a differing type or shape is
    // caught the same way.
    const std::vector<Param> bare = {{"p", {}, {}}, {"p", {}, {}}};
    EXPECT_EQ(load_error(bare, record(desc(5, {}), fill(4)) + record(desc(2, {}), fill(4))),
              "duplicate parameter name p with different weights");
    Converter no_meta;
    no_meta.state.param_names.make_mut() = {"p", "p"};
    EXPECT_EQ(error_of([&] {
                  no_meta.load_paddle_weights_from_buffer(
                      buffer(record(desc(5, {}), fill(4)) + record(desc(5, {1}), fill(4))));
              }),
              "duplicate parameter name p with different weights");

    // Identical records are harmless: both are appended, the finishing passes keep one.
    Converter conv = converter_with(twice);
    conv.load_paddle_weights_from_buffer(buffer(a + a));
    ASSERT_EQ(conv.graph.initializer.size(), 2u);
    EXPECT_EQ(raw(conv.graph.initializer[0]), raw(conv.graph.initializer[1]));
}

TEST(WeightReader, ReadsFromAFile) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kestro_weights_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "w.pdiparams").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << record(desc(5, {2}), fill(8));
    }
    Converter conv = converter_with({{"w", {2}, dtype::FLOAT}});
    conv.load_paddle_weights(path);
    ASSERT_EQ(conv.graph.initializer.size(), 1u);
    EXPECT_EQ(raw(conv.graph.initializer[0]), fill(8));

    Converter other = converter_with({{"w", {2}, dtype::FLOAT}});
    EXPECT_EQ(error_of([&] { other.load_paddle_weights((dir / "missing").string()); }),
              "No such file or directory (os error 2)");
    EXPECT_EQ(error_of([&] { other.load_paddle_weights(dir.string()); }),
              "Is a directory (os error 21)");

    // The file changes after it was opened (mapped). Pages cut off under the mapping read as
    // zeros instead of killing the process, and the change, not what the reader then saw,
    // is reported. The second record starts past the first page.
    const std::string two = record(desc(5, {4096}), fill(16384)) + record(desc(5, {2}), fill(8));
    const struct {
        const char* what;
        std::function<void(const std::string&)> change;
    } changes[] = {
        {"truncated to nothing", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 0), 0); }},
        {"truncated before the second record",
         [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 8192), 0); }},
        {"cut in the last record's data",
         [&](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), two.size() - 1), 0); }},
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << "x"; }},
        {"rewritten in place, same size",
         [](const std::string& p) {
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(40);
             f << "x";
         }},
    };
    for (const auto& c : changes) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << two;
        }
        auto input = kestro::InputBytes::open(path, 1 << 20, [](uint64_t) { return kestro::Error("too large"); });
        c.change(path);
        Converter conv = converter_with({{"a", {4096}, dtype::FLOAT}, {"b", {2}, dtype::FLOAT}});
        EXPECT_EQ(error_of([&] { conv.load_paddle_weights_from_input(input); }),
                  ".pdiparams file changed while it was being converted")
            << c.what;
    }
    std::filesystem::remove_all(dir);
}

// Where the real exported programs are, looked up as the end-to-end tests do: the folder
// named by KESTRO_MODELS, else ../shared/models beside the repository (KESTRO_ROOT, else
// the source tree this test was built from).
static std::filesystem::path shared_models_dir() {
    if (const char* models = std::getenv("KESTRO_MODELS")) return models;
    const char* root = std::getenv("KESTRO_ROOT");
    return std::filesystem::weakly_canonical(root ? root : KESTRO_SOURCE_DIR).parent_path() /
           "shared" / "models";
}

// A real export: the first pass over its program discovers the parameters, and each of
// the weight file's records must pair with one by type and shape.
TEST(WeightReader, RealModelPairsEveryRecord) {
    const std::string name = "pp_lcnet_x0_25_textline_ori";
    const std::string dir = (shared_models_dir() / name).string();
    if (!std::filesystem::is_regular_file(dir + "/inference.json")) {
        GTEST_SKIP() << "real program " << name << " not found in " << shared_models_dir().string()
                     << ": set KESTRO_MODELS to the folder holding the exported programs (one "
                        "subfolder with inference.json each)";
    }
    ASSERT_TRUE(std::filesystem::is_regular_file(dir + "/inference.pdiparams")) << dir;
    std::ifstream in(dir + "/inference.json", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    kestro::JsonDocument doc;
    doc.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag>(
        text.data(), text.size());
    ASSERT_FALSE(doc.HasParseError());
    const kestro::Json* ops = rapidjson::GenericPointer<kestro::Json>("/program/regions/0/blocks/0/ops").Get(doc);
    ASSERT_NE(ops, nullptr);

    Converter conv;
    conv.collect_pass1_from_ops(*ops);
    auto& names = conv.state.param_names.make_mut();
    std::sort(names.begin(), names.end());
    conv.load_paddle_weights(dir + "/inference.pdiparams");

    // The reader checked each record against its parameter's metadata; make sure that
    // metadata was there to check against.
    const auto& inits = conv.graph.initializer;
    ASSERT_EQ(inits.size(), 146u);
    for (size_t i = 0; i < inits.size(); ++i) {
        EXPECT_EQ(inits[i].name, names[i]);
        const ParamMeta* meta = conv.state.param_meta.find(names[i]);
        EXPECT_TRUE(meta && meta->dtype && !meta->shape.empty()) << names[i];
    }
}
