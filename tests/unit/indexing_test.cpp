// Gathers, not_equal and eye: what the end-to-end runs cannot reach, i.e. refusals and the
// forms chosen from missing or odd metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;
using kestro::test::Names;
using kestro::test::op_types;
using kestro::test::op_with_digit_inputs;
using kestro::test::Ops;

namespace {


}  // namespace

TEST(Gathers, RefuseMissingInputsBeforeAnyNode) {
    for (const char* name : {"embedding", "index_select", "gather", "take_along_axis", "not_equal", "eye"}) {
        Ops ops;
        Converter c;
        EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_with_digit_inputs(std::string("1.") + name, "1"))); }),
                  std::string(name) + " missing inputs");
        EXPECT_TRUE(c.graph.node.empty() && c.graph.initializer.empty()) << name;
    }
}

TEST(Gathers, GatherAxisFromFoldedConstant) {
    struct Case {
        std::vector<double> folded;
        int64_t axis;
    };
    const Case cases[] = {{{2.7, 0}, 2}, {{-1.0}, -1}, {{NAN}, 0}, {{1e300}, INT64_MAX}};
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        c.state.const_values.insert(3, k.folded);
        c.op_gather(ops(op_with_digit_inputs("1.gather", "123")));
        ASSERT_EQ(op_types(c), Names{"Gather"});
        EXPECT_EQ(c.graph.node[0].attribute[0].i, k.axis);
    }
    Ops ops;
    Converter c;
    c.state.const_values.insert(3, {});
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_with_digit_inputs("1.gather", "123"))); }),
              "gather requires constant axis input");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(Gathers, EmbeddingPaddingMaskAdaptsToUnknownIds) {
    const std::string pad = R"({"N":"padding_idx","AT":{"D":0}})";
    Ops ops;
    // Ids of unknown rank: the mask needs a negative Unsqueeze axis, which opset 10 lacks.
    Converter old;
    old.opset = 10;
    EXPECT_EQ(error_of([&] { old.op_embedding(ops(op_with_digit_inputs("1.embedding", "12", pad))); }),
              "embedding with padding_idx on ids of unknown rank requires opset >= 11, but target opset is 10");
    EXPECT_TRUE(old.graph.node.empty());

    // Unknown ids type: compared as int64 after a cast; the zero takes the table's type.
    Converter c;
    c.state.tensor_dtypes.insert(2, "0.t_f16");
    c.op_embedding(ops(op_with_digit_inputs("1.embedding", "12", pad)));
    EXPECT_EQ(op_types(c), (Names{"Gather", "Cast", "Equal", "Unsqueeze", "Where"}));
    EXPECT_EQ(c.graph.initializer.back().data_type, kestro::proto::dtype::FLOAT16);

    // int32 ids can never equal a padding index beyond their range.
    Converter wide;
    wide.state.tensor_dtypes.insert(1, "0.t_i32");
    wide.op_embedding(ops(op_with_digit_inputs("1.embedding", "12", R"({"N":"padding_idx","AT":{"D":4294967296}})")));
    EXPECT_EQ(op_types(wide), Names{"Gather"});
}
