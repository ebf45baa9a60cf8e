// The generic op-type table and the translation of Paddle attribute entries.
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "converter/attr.h"
#include "converter/converter.h"
#include "log.h"
#include "test_support.h"

using namespace kestro;
using test::Ints;
using test::Names;
using test::names_of;
using test::parse;

namespace {

std::vector<proto::AttributeProto> extract(std::string_view op, const std::string& attrs) {
    auto d = parse(attrs);
    return Converter::extract_attributes(op, d);
}

// An attribute entry: name, tag and the data as JSON text.
std::string entry(const std::string& name, const std::string& tag, const std::string& data) {
    return R"({"N": ")" + name + R"(", "AT": {"#": ")" + tag + R"(", "D": )" + data + "}}";
}

}  // namespace

TEST(OpTypeTable, ExactNamesAndFirstOpsets) {
    EXPECT_EQ(attr::generated_op_type("batch_norm_"), "BatchNormalization");
    EXPECT_EQ(attr::generated_op_type("Relu"), std::nullopt);
    EXPECT_EQ(attr::generated_op_type("relu_"), std::nullopt);
    EXPECT_EQ(attr::generated_op_type("bilinear_interp"), std::nullopt);
    EXPECT_EQ(Converter::map_op_type("layer_norm"), "LayerNormalization");
    try {
        Converter::map_op_type("mystery_op");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "Unsupported operator: mystery_op");
    }
    EXPECT_EQ(attr::min_opset("LayerNormalization"), 17);
    EXPECT_EQ(attr::min_opset("GreaterOrEqual"), 12);
    EXPECT_EQ(attr::min_opset("Range"), 11);
    EXPECT_EQ(attr::min_opset("Relu"), 1);
}

TEST(ExtractAttributes, TagConversionAndDrops) {
    auto a = extract("softmax",
                     "[" + entry("axis", "0.a_i32", "-1") + "," + entry("eps", "0.a_f64", "0.1") + "," +
                         entry("mode", "0.a_str", R"("x")") + "," + entry("keep", "0.a_bool", "true") +
                         "," + entry("whole", "0.a_i64", "2.0") + "," + entry("flag", "0.a_bool", "1") + "," +
                         entry("odd", "0.a_custom", "1") + "," + entry("dtype", "0.a_i32", "5") + "," +
                         entry("stop_gradient", "0.a_bool", "false") + "," +
                         R"({"N": "nodata", "AT": {"#": "0.a_i32", "VD": "3"}}, {"N": "noat"}, 7])");
    EXPECT_EQ(names_of(a), (Names{"axis", "eps", "mode", "keep", "whole"}));
    EXPECT_EQ(a[0].type, proto::attr_type::INT);
    EXPECT_EQ(a[0].i, -1);
    EXPECT_EQ(a[1].type, proto::attr_type::FLOAT);
    EXPECT_EQ(a[1].f, 0.1f);
    EXPECT_EQ(a[2].s, "x");
    EXPECT_EQ(a[3].type, proto::attr_type::INT);
    EXPECT_EQ(a[3].i, 1);
    // An integer written as a whole float is that integer, not left out for ONNX's default.
    EXPECT_EQ(a[4].type, proto::attr_type::INT);
    EXPECT_EQ(a[4].i, 2);

    EXPECT_TRUE(extract("relu", "{}").empty());
    EXPECT_TRUE(extract("relu", "[]").empty());
}

// Integer data that holds no integer is refused naming the operator and the attribute: left
// out, ONNX's default would stand in for what the program gives (conv2d groups 2.5 is no
// group 1).
TEST(ExtractAttributes, IntegerDataThatIsNoIntegerIsRefused) {
    const std::pair<std::string, std::string> rows[] = {
        {entry("groups", "0.a_i32", "2.5"), "conv2d: attribute groups must be an integer, got 2.5"},
        {entry("groups", "0.a_i64", "9223372036854775808"),
         "conv2d: attribute groups must be an integer, got 9223372036854775808"},
        {entry("groups", "0.a_i32", "1e300"), "conv2d: attribute groups must be an integer, got 1e300"},
        {entry("groups", "0.a_i32", R"("2")"), R"(conv2d: attribute groups must be an integer, got "2")"},
        {entry("groups", "0.a_i32", "[2]"), "conv2d: attribute groups must be an integer, got [2]"},
        {entry("groups", "0.a_i32", "true"), "conv2d: attribute groups must be an integer, got true"},
        {entry("strides", "0.a_array", R"([{"#": "0.a_i32", "D": 1.0}, {"#": "0.a_i32", "D": 1.5}])"),
         "conv2d: attribute strides holds a non-integer element 1.5"},
        {entry("strides", "1.a_intarray", "[2.0, 0.5]"), "conv2d: attribute strides holds a non-integer element 0.5"},
    };
    for (const auto& [attrs, message] : rows) {
        try {
            extract("conv2d", "[" + attrs + "]");
            ADD_FAILURE() << attrs;
        } catch (const Error& e) {
            EXPECT_EQ(e.message(), message);
        }
    }
    // Whole floats in lists are their integers.
    auto a = extract("conv2d", "[" + entry("groups", "0.a_i32", "2.0") + "," +
                                   entry("strides", "0.a_array", R"([{"#": "0.a_i32", "D": 2.0}, {"#": "0.a_i64", "D": 1}])") +
                                   "," + entry("dilations", "1.a_intarray", "[1.0, 3]") + "]");
    EXPECT_EQ(names_of(a), (Names{"group", "strides", "dilations"}));
    EXPECT_EQ(a[0].i, 2);
    EXPECT_EQ(a[1].ints, (Ints{2, 1}));
    EXPECT_EQ(a[2].ints, (Ints{1, 3}));
}

TEST(ExtractAttributes, EntriesWithoutNameAreDropped) {
    // ONNX rejects unnamed attributes, so such entries never reach the node.
    auto a = extract("relu", R"([{"AT": {"#": "0.a_i32", "D": 1}},
                                  {"N": 3, "AT": {"#": "0.a_i32", "D": 2}},
                                  {"N": "", "AT": {"#": "0.a_i32", "D": 3}},
                                  {"N": "kept", "AT": {"#": "0.a_i32", "D": 4}}])");
    EXPECT_EQ(names_of(a), Names{"kept"});
}

TEST(ExtractAttributes, RenamesAndPerOperatorDrops) {
    auto ln = extract("layer_norm", "[" + entry("begin_norm_axis", "0.a_i32", "1") + "," +
                                        entry("epsilon", "0.a_f32", "1e-5") + "]");
    EXPECT_EQ(names_of(ln), (Names{"axis", "epsilon"}));
    EXPECT_EQ(ln[0].i, 1);

    const std::string slope = "[" + entry("slope", "0.a_f32", "0.2") + "," + entry("offset", "0.a_f32", "0.5") + "]";
    EXPECT_EQ(names_of(extract("hardsigmoid", slope)), (Names{"alpha", "beta"}));
    EXPECT_EQ(names_of(extract("sigmoid", slope)), (Names{"slope", "offset"}));

    EXPECT_EQ(names_of(extract("flatten", "[" + entry("start_axis", "0.a_i32", "1") + "," +
                                           entry("stop_axis", "0.a_i32", "2") + "]")),
              Names{"axis"});
    EXPECT_EQ(names_of(extract("matmul", "[" + entry("transpose_x", "0.a_bool", "true") + "]")), Names{});
    EXPECT_EQ(names_of(extract("add", "[" + entry("transpose_x", "0.a_bool", "true") + "]")),
              Names{"transpose_x"});
}

TEST(ExtractAttributes, ArraysTakeTheirKindFromTheFirstElement) {
    auto a = extract("transpose",
                     "[" + entry("perm", "0.a_array",
                                 R"([{"#": "0.a_i64", "D": 0}, {"#": "0.a_f32", "D": 2}, {"D": 1}])") +
                         "," + entry("scales", "0.a_array", R"([{"#": "0.a_f32", "D": 2}, {"#": "0.a_i32", "D": 3}, {"D": "x"}])") +
                         "," + entry("words", "0.a_array", R"([{"#": "0.a_str", "D": "a"}, {"D": 1}, {"D": "b"}])") +
                         "," + entry("plain", "1.a_intarray", R"([1, -3])") +
                         "," + entry("empty", "0.a_array", "[]") +
                         "," + entry("nested", "0.a_array", R"([[1], [2]])") +
                         "," + entry("notarray", "0.a_array", "5") + "]");
    EXPECT_EQ(names_of(a), (Names{"perm", "scales", "words", "plain"}));
    EXPECT_EQ(a[0].type, proto::attr_type::INTS);
    EXPECT_EQ(a[0].ints, (Ints{0, 2, 1}));
    EXPECT_EQ(a[1].type, proto::attr_type::FLOATS);
    EXPECT_EQ(a[1].floats, (std::vector<float>{2.0f, 3.0f}));
    EXPECT_EQ(a[2].type, proto::attr_type::STRINGS);
    EXPECT_EQ(a[2].strings(), (Names{"a", "b"}));
    EXPECT_EQ(a[3].ints, (Ints{1, -3}));

    // An integer list with an element that is no integer is refused: skipping the element
    // would move every later value into the wrong place.
    for (const char* data : {R"([{"#": "0.a_i64", "D": 0}, {"D": 1.5}, {"D": 1}])",
                             R"([{"#": "0.a_i32", "D": 1}, 7])", "[1, 2.5, -3]", "[0.5, 1.5]",
                             R"([1, "2"])"}) {
        try {
            extract("conv2d", "[" + entry("strides", "0.a_array", data) + "]");
            ADD_FAILURE() << data;
        } catch (const Error& e) {
            EXPECT_NE(e.message().find("conv2d: attribute strides holds a non-integer element"),
                      std::string::npos)
                << e.message();
        }
    }
}

TEST(ExtractAttributes, ConvolutionPadsAndGroups) {
    struct Case {
        const char* paddings;
        Ints pads;
    };
    for (const Case& c : {Case{"[1, 2]", {1, 2, 1, 2}}, Case{"[1, 2, 3, 4]", {1, 3, 2, 4}},
                         Case{"[1, 2, 3]", {1, 2, 3}}}) {
        auto a = extract("conv2d", "[" + entry("paddings", "0.a_array", c.paddings) + "," +
                                       entry("groups", "0.a_i32", "2") + "," +
                                       entry("data_format", "0.a_str", R"("NCHW")") + "]");
        EXPECT_EQ(names_of(a), (Names{"pads", "group"})) << c.paddings;
        EXPECT_EQ(a[0].ints, c.pads) << c.paddings;
    }
    // Outside the convolution family nothing is renamed or reordered.
    auto other = extract("pad", "[" + entry("paddings", "0.a_array", "[1, 2, 3, 4]") + "]");
    EXPECT_EQ(names_of(other), Names{"paddings"});
    EXPECT_EQ(other[0].ints, (Ints{1, 2, 3, 4}));
}

TEST(ExtractAttributes, NonStandardPadsWarn) {
    log::init("warn", "never");
    testing::internal::CaptureStderr();
    extract("depthwise_conv2d", "[" + entry("paddings", "0.a_array", "[1, 2, 3]") + "]");
    const std::string err = testing::internal::GetCapturedStderr();
    log::init("", "never");
    EXPECT_NE(err.find("leaving non-standard pads attribute [1, 2, 3] unchanged for depthwise_conv2d"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("kestro::converter::attr"), std::string::npos) << err;
}

TEST(ExtractAttributes, SamePaddingReplacesPads) {
    auto a = extract("conv2d_transpose", "[" + entry("paddings", "0.a_array", "[1, 1]") + "," +
                                             entry("padding_algorithm", "0.a_str", R"("EXPLICIT")") + "," +
                                             entry("padding_algorithm", "0.a_str", R"("SAME")") + "," +
                                             entry("strides", "0.a_array", "[2, 2]") + "]");
    EXPECT_EQ(names_of(a), (Names{"strides", "auto_pad"}));
    EXPECT_EQ(a[1].type, proto::attr_type::STRING);
    EXPECT_EQ(a[1].s, "SAME_UPPER");

    // Paddle pads nothing under VALID; a text other than SAME or VALID pads explicitly.
    for (const auto& [algo, names] : {std::pair{R"("VALID")", Names{"dilations"}},
                                      std::pair{R"("same")", Names{"pads", "dilations"}}}) {
        auto b = extract("conv2d", "[" + entry("paddings", "0.a_array", "[1, 0]") + "," +
                                       entry("dilations", "0.a_array", "[2, 2]") + "," +
                                       entry("padding_algorithm", "0.a_str", algo) + "]");
        EXPECT_EQ(names_of(b), names) << algo;
    }
}

TEST(ExtractAttributes, PoolCeilModeGoesLast) {
    auto a = extract("pool2d", "[" + entry("ceil_mode", "0.a_i32", "1") + "," +
                                   entry("ceil_mode", "0.a_bool", "true") + "," +
                                   entry("ksize", "0.a_array", "[2, 2]") + "," +
                                   entry("exclusive", "0.a_bool", "true") + "," +
                                   entry("adaptive", "0.a_bool", "false") + "," +
                                   entry("global_pooling", "0.a_bool", "false") + "," +
                                   entry("pooling_type", "0.a_str", R"("max")") + "," +
                                   entry("padding_algorithm", "0.a_str", R"("SAME")") + "]");
    EXPECT_EQ(names_of(a), (Names{"ksize", "auto_pad", "ceil_mode"}));
    EXPECT_EQ(a[2].type, proto::attr_type::INT);
    EXPECT_EQ(a[2].i, 1);

    auto none = extract("pool2d", "[" + entry("ceil_mode", "0.a_str", R"("yes")") + "]");
    EXPECT_TRUE(none.empty());
    // Only pooling re-adds ceil_mode; a convolution keeps it as an ordinary attribute.
    auto conv = extract("conv2d", "[" + entry("ceil_mode", "0.a_bool", "false") + "]");
    EXPECT_EQ(names_of(conv), Names{"ceil_mode"});
}
