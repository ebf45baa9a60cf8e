// Grid sampling and multinomial sampling: the opset-dependent words and attributes, the
// order of the refusals, the strict switch and the once-per-converter warning.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "converter/converter.h"
#include "log.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Ints;
using kestro::test::Names;
using kestro::test::names_of;
using kestro::test::op_types;

namespace {

std::string a(const std::string& name, const std::string& data) { return kestro::test::attr_entry(name, data); }

// An operator over the given inputs (1 and 2 by default) with output 9.
struct Ops : kestro::test::Ops {
    const kestro::Json& operator()(const std::string& name, const std::string& attrs = "",
                                   const std::string& inputs = R"({"%":1},{"%":2})") {
        return kestro::test::Ops::operator()(kestro::test::op_text(name, inputs, attrs));
    }
};

// The records written at warn level while `f` runs.
std::string warnings_of(const std::function<void()>& f) {
    kestro::log::init("warn", "never");
    testing::internal::CaptureStderr();
    f();
    std::string err = testing::internal::GetCapturedStderr();
    kestro::log::init("", "never");
    return err;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A converter where value 1 is a [2, 3] tensor and value 2 folds to `count`.
Converter multinomial_converter(std::vector<double> count, int64_t opset = 17) {
    Converter c;
    c.opset = opset;
    c.state.tensor_shapes.insert(1, {2, 3});
    c.state.const_values.insert(2, std::move(count));
    return c;
}

}  // namespace

TEST(GridSample, ModeWordsAndAttributes) {
    Ops ops;
    struct Case {
        int64_t opset;
        std::string attrs;
        Names names;
        std::string mode;
        int64_t align;
    };
    const std::string rest = "," + a("padding_mode", R"("reflection")") + "," + a("align_corners", "false");
    const Case cases[] = {
        {16, a("mode", R"("bilinear")") + rest, {"mode", "padding_mode", "align_corners"}, "bilinear", 0},
        {19, a("mode", R"("nearest")") + rest, {"mode", "padding_mode", "align_corners"}, "nearest", 0},
        {20, a("mode", R"("bilinear")") + rest, {"mode", "padding_mode", "align_corners"}, "linear", 0},
        {20, a("mode", R"("nearest")") + rest, {"mode", "padding_mode", "align_corners"}, "nearest", 0},
        {19, a("mode", R"("bicubic")") + rest, {"mode", "padding_mode", "align_corners"}, "bicubic", 0},
        {20, a("mode", R"("bicubic")") + rest, {"mode", "padding_mode", "align_corners"}, "cubic", 0},
        // ONNX's defaults match Paddle's mode and padding but not its aligned corners, so
        // absent or malformed data keeps Paddle's default.
        {16, "", {"align_corners"}, "", 1},
        {16, a("mode", "1") + "," + a("padding_mode", "null") + "," + a("align_corners", R"("false")"),
         {"align_corners"}, "", 1},
        {16, a("align_corners", "false") + "," + a("align_corners", "true"), {"align_corners"}, "", 0},
    };
    for (const Case& k : cases) {
        Converter c;
        c.opset = k.opset;
        c.op_grid_sample(ops("1.grid_sample", k.attrs));
        ASSERT_EQ(op_types(c), Names{"GridSample"});
        const auto& n = c.graph.node[0];
        EXPECT_EQ(n.input, (Names{"tensor_1", "tensor_2"}));
        EXPECT_EQ(n.output, Names{"tensor_9"});
        ASSERT_EQ(names_of(n.attribute), k.names) << k.attrs;
        if (k.names.size() == 3) {
            EXPECT_EQ(n.attribute[0].s, k.mode) << k.opset << k.attrs;
            EXPECT_EQ(n.attribute[1].s, "reflection");
        }
        EXPECT_EQ(n.attribute.back().i, k.align) << k.attrs;
    }
}

TEST(GridSample, Refusals) {
    Ops ops;
    Converter c;
    // The gate answers before the operands are counted.
    for (const int64_t opset : {10, 15}) {
        c.opset = opset;
        EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops("1.grid_sample", "", "")); }),
                  fmt::format("grid_sample requires opset >= 16, but target opset is {}", opset));
    }
    c.opset = 16;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops("1.grid_sample", "", R"({"%":1})")); }),
              "grid_sample missing inputs");
    // Words the sampler does not know, at any opset: ONNX Runtime refuses them.
    for (const int64_t opset : {16, 20}) {
        c.opset = opset;
        EXPECT_EQ(error_of([&] { c.op_grid_sample(ops("1.grid_sample", a("mode", R"("Bilinear")"))); }),
                  "grid_sample: mode \"Bilinear\" is not one of bilinear, nearest, bicubic");
        EXPECT_EQ(error_of([&] { c.op_grid_sample(ops("1.grid_sample", a("padding_mode", R"("zero")"))); }),
                  "grid_sample: padding_mode \"zero\" is not one of zeros, border, reflection");
    }
    EXPECT_TRUE(c.graph.node.empty());
    // A volumetric sample needs the N-D form of opset 20; an unknown rank is let through.
    c.state.tensor_shapes.insert(1, {1, 2, 3, 4, 5});
    c.opset = 19;
    EXPECT_EQ(error_of([&] { c.op_grid_sample(ops("1.grid_sample")); }),
              "grid_sample on a 5-D input requires opset >= 20, but target opset is 19");
    c.opset = 20;
    c.op_grid_sample(ops("1.grid_sample"));
    Converter unknown;
    unknown.op_grid_sample(ops("1.grid_sample"));
    EXPECT_EQ(op_types(c), Names{"GridSample"});
    EXPECT_EQ(op_types(unknown), Names{"GridSample"});
}

TEST(Multinomial, RefusalsComeInOrder) {
    Ops ops;
    const std::string both = R"({"%":1},{"%":2})", yes = a("replacement", "true");
    struct Case {
        int64_t opset;
        std::string inputs;
        std::vector<double> count;  // folded for value 2 when not empty
        std::string attrs;
        std::string message;
    };
    const Case cases[] = {
        {6, both, {3}, yes, "multinomial requires opset >= 7, but target opset is 6"},
        {7, R"({"%":1})", {3}, yes, "multinomial missing inputs"},
        {7, both, {}, yes, "multinomial requires constant sample size"},
        {7, both, {0.9}, yes, "multinomial requires positive sample size"},
        {7, both, {NAN}, yes, "multinomial requires positive sample size"},
        {7, both, {3}, "", "multinomial only supports replacement=false when sample_size=1"},
        {7, both, {3}, a("replacement", R"("true")"),
         "multinomial only supports replacement=false when sample_size=1"},
        {7, both, {1, 5}, "", "strict mode rejects deterministic multinomial -> ArgMax lowering"},
    };
    for (const Case& k : cases) {
        Converter c;
        c.opset = k.opset;
        c.strict = true;
        c.state.tensor_shapes.insert(1, {2, 3});
        if (!k.count.empty()) c.state.const_values.insert(2, k.count);
        const std::string err = warnings_of([&] {
            EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops("1.multinomial", k.attrs, k.inputs)); }), k.message);
        });
        EXPECT_EQ(err, "") << "a refused operator warns of nothing";
        EXPECT_FALSE(c.multinomial_warned);
        EXPECT_TRUE(c.graph.node.empty());
    }
    Converter empty = multinomial_converter({});
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(empty, ops("1.multinomial")); }),
              "multinomial requires constant sample size");
}

TEST(Multinomial, ArgMaxThenTileShapedByRank) {
    Ops ops;
    struct Case {
        int64_t opset;
        double count;
        Ints dims;  // of x
        Names types;
        Ints repeats;
    };
    const Case cases[] = {
        {17, 1.7, {4, 3, 2}, {"ArgMax"}, {}},  // a single sample never looks at the rank
        {17, 3, {2, 3}, {"ArgMax", "Tile"}, {1, 3}},
        {11, 2.9, {5}, {"ArgMax", "Tile"}, {2}},
    };
    for (const Case& k : cases) {
        Converter c = multinomial_converter({k.count}, k.opset);
        c.state.tensor_shapes.insert(1, k.dims);
        c.op_multinomial(ops("1.multinomial", a("replacement", "true")));
        ASSERT_EQ(op_types(c), k.types) << k.count;
        const auto& argmax = c.graph.node[0];
        // select_last_index is unknown to ArgMax before opset 12.
        const Names attrs = k.opset >= 12 ? Names{"axis", "keepdims", "select_last_index"}
                                          : Names{"axis", "keepdims"};
        EXPECT_EQ(names_of(argmax.attribute), attrs);
        EXPECT_EQ(argmax.attribute[0].i, -1);
        EXPECT_EQ(argmax.attribute[1].i, 1);
        if (k.repeats.empty()) {
            EXPECT_EQ(argmax.output, Names{"tensor_9"});
            continue;
        }
        EXPECT_EQ(argmax.output, Names{"multinomial_argmax_9"});
        ASSERT_EQ(c.graph.initializer.size(), 1u);
        EXPECT_EQ(c.graph.initializer[0].name, "multinomial_repeats_9");
        EXPECT_EQ(c.graph.initializer[0].dims, Ints{static_cast<int64_t>(k.repeats.size())});
        EXPECT_EQ(i64s(c.graph.initializer[0]), k.repeats);
        EXPECT_EQ(c.graph.node[1].input, (Names{"multinomial_argmax_9", "multinomial_repeats_9"}));
        EXPECT_EQ(c.graph.node[1].output, Names{"tensor_9"});
    }
    // Tile needs one repeat per axis: an input of another or unknown rank is refused.
    Converter c;
    c.state.const_values.insert(2, {3});
    const auto& op = ops("1.multinomial", a("replacement", "true"));
    EXPECT_EQ(error_of([&] { c.op_multinomial(op); }), "multinomial: missing rank metadata");
    c.state.tensor_shapes.insert(1, {2, 3, 4});
    EXPECT_EQ(error_of([&] { c.op_multinomial(op); }), "multinomial expects a 1-D or 2-D input, got rank 3");
}

TEST(Multinomial, WarnsOncePerConverter) {
    Ops ops;
    const auto& op = ops("1.multinomial");
    const std::string warning =
        "WARN  kestro::converter::ops::math] multinomial is lowered to deterministic ArgMax per "
        "AGENT.md inference contract";

    Converter c = multinomial_converter({1});
    const std::string twice = warnings_of([&] {
        c.op_multinomial(op);
        c.op_multinomial(op);
    });
    EXPECT_EQ(count_of(twice, warning), 1u) << twice;
    Converter child = c.sub_converter();  // a child has its own flag
    EXPECT_EQ(count_of(warnings_of([&] { child.op_multinomial(op); }), warning), 1u);

    // The flag is set even when the record is filtered out.
    Converter quiet = multinomial_converter({1});
    quiet.op_multinomial(op);
    EXPECT_TRUE(quiet.multinomial_warned);
    EXPECT_EQ(warnings_of([&] { quiet.op_multinomial(op); }), "");
}
