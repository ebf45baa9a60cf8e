// The second-pass dispatch, graph inputs and outputs, dropout and value descriptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include <rapidjson/document.h>

#include "converter/converter.h"
#include "converter/ops/dispatch.h"
#include "log.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::error_of;
using kestro::test::Names;
using kestro::test::Ops;

namespace {

void run(Converter& c, Ops& ops, const std::string& text) {
    const auto& op = ops(text);
    c.process_pass2_op(op["#"].GetString(), op);
}

}  // namespace

TEST(Dispatch, TableAndGenericNames) {
    const auto& table = kestro::ops::pass2_op_dispatch();
    EXPECT_EQ(table.size(), 99u);  // the 88 rows, the in-place flatten, softmax (two), transpose (two), layer_norm, gather_nd, remainder (two), hardsigmoid, range
    EXPECT_TRUE(table.count("1.hardswish"));
    EXPECT_TRUE(table.count("1.flatten_"));
    EXPECT_TRUE(table.count("1.range"));
    EXPECT_TRUE(table.count("2.yield"));
    EXPECT_FALSE(table.count("1.relu"));

    using kestro::ops::generic_name;
    EXPECT_EQ(generic_name("1.relu"), "relu");
    EXPECT_EQ(generic_name("1.1.relu__"), "1.relu");
    EXPECT_EQ(generic_name("1.tile_"), "tile");
}

// The comment in ops/dispatch.cpp that says where each row's lowering lives names every row
// (a name "x(_)" stands for x and x_, "x(_y)" for x and x_y), and names nothing else.
TEST(Dispatch, LoweringListNamesEveryRow) {
    std::ifstream in(KESTRO_SOURCE_DIR "/src/converter/ops/dispatch.cpp");
    ASSERT_TRUE(in) << "cannot read " KESTRO_SOURCE_DIR "/src/converter/ops/dispatch.cpp";
    std::set<std::string> listed = {"p", "0.combine", "0.split", "2.yield"};
    std::set<std::string> files;
    bool in_list = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("// Where each row's lowering lives")) {
            in_list = true;
            continue;
        }
        if (!in_list || line.starts_with("// to nothing here") || line.starts_with("// dispatch_test")) {
            continue;
        }
        if (!line.starts_with("//   ")) break;
        std::istringstream words(line.substr(2));
        std::string word;
        words >> word;
        if (word.ends_with(".cpp")) {
            files.insert(word);
        } else {
            words.seekg(0);
        }
        while (words >> word) {
            if (word.ends_with(",")) word.pop_back();
            const auto open = word.find('(');
            if (open != std::string::npos && word.ends_with(")")) {
                const std::string base = word.substr(0, open);
                listed.insert("1." + base);
                listed.insert("1." + base + word.substr(open + 1, word.size() - open - 2));
            } else {
                listed.insert("1." + word);
            }
        }
    }
    EXPECT_GE(files.size(), 18u);
    for (const auto& file : files)
        EXPECT_TRUE(std::filesystem::is_regular_file(KESTRO_SOURCE_DIR "/src/converter/ops/" + file))
            << file;
    std::set<std::string> rows;
    for (const auto& [name, handler] : kestro::ops::pass2_op_dispatch()) rows.emplace(name);
    for (const auto& row : rows) EXPECT_TRUE(listed.count(row)) << row << " is not in the list";
    for (const auto& name : listed) EXPECT_TRUE(rows.count(name)) << name << " is not a row";
}

// Every operator of the table but the bookkeeping ones declares its operands, and each is
// held to them before its lowering runs: too many or too few, a rank Paddle does not take,
// an index of another type, a [N, M] index where [N, 1] is read as [N], a constant computed
// at run time.
TEST(Dispatch, SignaturesHoldOperandsBeforeTheLowering) {
    for (const auto& [name, handler] : kestro::ops::pass2_op_dispatch()) {
        const bool bookkeeping = name == "p" || name == "0.combine" || name == "0.split" || name == "2.yield";
        EXPECT_EQ(kestro::ops::signature_of(name) == nullptr, bookkeeping) << name;
    }
    struct Case {
        const char* op;
        std::vector<std::pair<int64_t, kestro::test::Ints>> dims;
        std::vector<std::pair<int64_t, const char*>> types;
        const char* message;
        int64_t opset = 17;
    };
    const Case cases[] = {
        {R"({"#":"1.multiply","I":[{"%":1},{"%":2},{"%":3}],"O":[{"%":9}]})", {}, {},
         "multiply has 3 operands, but it takes 2 (x, y)"},
        {R"({"#":"1.cast","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {}, "cast has 2 operands, but it takes 1 (x)"},
        {R"({"#":"1.full","I":[{"%":1}],"O":[{"%":9}]})", {}, {}, "full has 1 operand, but it takes 0"},
        {R"({"#":"1.if","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {}, "if has 2 operands, but it takes 1 (cond)"},
        // The in-place form shares the operator's row; an operand left off is refused too,
        // under the name the program writes.
        {R"({"#":"1.squeeze_","I":[{"%":1}],"O":[{"%":9}]})", {}, {}, "squeeze_ has 1 operand, but it takes 2 (x, axis)"},
        {R"({"#":"1.batch_norm_","I":[{"%":1},{"%":2},{"%":3},{"%":4},{"%":5},{"%":6}],"O":[{"%":9}]})", {}, {},
         "batch_norm_ has 6 operands, but it takes 5 (x, mean, variance, scale, bias)"},
        {R"({"#":"1.conv2d_transpose","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{1, {}}}, {},
         "conv2d_transpose takes a rank-4 input, got rank 0"},
        {R"({"#":"1.conv2d_transpose","I":[{"%":1},{"%":2},{"%":0}],"O":[{"%":9}]})", {{2, {1, 1, 1}}}, {},
         "conv2d_transpose takes a rank-4 filter, got rank 3"},
        {R"({"#":"1.grid_sample","I":[{"%":1},{"%":2}],"O":[{"%":9}]})",
         {{2, {1, 1, 1, 1, 1, 1, 1, 1, 1, 2}}}, {}, "grid_sample takes a grid of rank 4 to 5, got rank 10"},
        {R"({"#":"1.grid_sample","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{1, {1, 1, 2, 2}}, {2, {1, 1, 2, 2, 3}}}, {},
         "grid_sample: grid has rank 5 and x rank 4, but they must have the same rank"},
        {R"({"#":"1.grid_sample","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{2, {1, 2, 2, 5}}}, {},
         "grid_sample: grid (value 2) has dims [1, 2, 2, 5], but a grid of rank 4 holds 2 coordinates in its last dim"},
        {R"({"#":"1.index_select","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{2, {2, 3}}}, {},
         "index_select: index (value 2) has dims [2, 3], but it must be 1-D or [N, 1]"},
        {R"({"#":"1.index_select","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{2, {}}}, {},
         "index_select takes an index of rank 1 to 2, got rank 0"},
        {R"({"#":"1.gather","I":[{"%":1},{"%":2},{"%":3}],"O":[{"%":9}]})", {{2, {2, 2, 1}}}, {},
         "gather takes an index of rank 0 to 2, got rank 3"},
        {R"({"#":"1.gather","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {{2, "0.t_f32"}},
         "gather: index is float32, but it must be one of int32, int64"},
        {R"({"#":"1.concat","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {}, "concat: missing axis constant for id 2"},
        {R"({"#":"1.argmax","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {},
         "argmax: axis (value 2) must be a constant known at conversion, but it is computed when the model runs"},
        // The operator's own words for a missing or surplus operand, at any count below the
        // one they name, none included; the general form elsewhere, counting what may be
        // left off.
        {R"({"#":"1.tile","I":[{"%":1}],"O":[{"%":9}]})", {}, {}, "tile missing inputs"},
        {R"({"#":"1.tile_","I":[],"O":[{"%":9}]})", {}, {}, "tile missing inputs"},
        {R"({"#":"1.set_value_","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {}, "set_value_ missing inputs"},
        {R"({"#":"1.unsqueeze","I":[{"%":1}],"O":[{"%":9}]})", {}, {}, "unsqueeze missing axes"},
        {R"({"#":"1.conv2d_transpose","I":[{"%":1},{"%":2},{"%":3},{"%":4}],"O":[{"%":9}]})", {}, {},
         "ConvTranspose with bias as 4th input is not supported; use a separate Add node for bias"},
        {R"({"#":"1.remainder","I":[],"O":[{"%":9}]})", {}, {}, "remainder has 0 operands, but it takes 2 (x, y)"},
        {R"({"#":"1.linear_v2","I":[{"%":1},{"%":2},{"%":3},{"%":4}],"O":[{"%":9}]})", {}, {},
         "linear_v2 has 4 operands, but it takes 2 or 3 (x, weight, bias)"},
        {R"({"#":"1.clip","I":[{"%":1},{"%":2},{"%":3},{"%":4}],"O":[{"%":9}]})", {}, {},
         "clip has 4 operands, but it takes 1 to 3 (x, min, max)"},
        {R"({"#":"1.gather","I":[{"%":1},{"%":2},{"%":3}],"O":[{"%":9}]})", {}, {}, "gather requires constant axis input"},
        // An operand the operator needs, given as absent.
        {R"({"#":"1.max","I":[{"%":1},{"%":0}],"O":[{"%":9}]})", {}, {},
         "max: axis (operand 1) is absent (%0), where max needs a value"},
        {R"({"#":"1.conv2d","I":[{"%":0},{"%":2}],"O":[{"%":8}]})", {}, {},
         "conv2d: x (operand 0) is absent (%0), where conv2d needs a value"},
        // Bounds a whole write may leave off, but not give as absent.
        {R"({"#":"1.set_value_with_tensor_","I":[{"%":1},{"%":2},{"%":0}],"O":[{"%":9}]})", {}, {},
         "set_value_with_tensor: starts (operand 2) is absent (%0), where set_value_with_tensor needs a value"},
        {R"({"#":"1.set_value_with_tensor_","I":[{"%":1},{"%":2},{"%":3},{"%":4},{"%":5}],"O":[{"%":9}]})", {},
         {{1, "0.t_f32"}, {2, "0.t_i64"}},
         "set_value_with_tensor: values is int64 but x is float32; they must have one element type"},
        {R"({"#":"1.sum","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{2, {1, 2}}}, {},
         "sum: axis (value 2) has dims [1, 2], but it must be 0-D or 1-D: one axis or a list of axes"},
        {R"({"#":"1.conv2d","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {{1, {1, 3, 8}}}, {},
         "conv2d takes a rank-4 input, got rank 3"},
        // Below its lowest opset an operator is refused for the opset whatever its operands
        // (none, or shifts computed when the model runs), in the name the program writes.
        {R"({"#":"1.roll","I":[],"O":[{"%":9}]})", {}, {}, "roll requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.roll","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {},
         "roll requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.roll","I":[{"%":1},{"%":2}],"O":[{"%":9}]})", {}, {}, "roll currently requires constant shifts", 11},
        {R"({"#":"1.pad3d","I":[],"O":[{"%":9}]})", {}, {}, "pad3d requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.multiclass_nms3","I":[],"O":[{"%":9}]})", {}, {},
         "multiclass_nms3 requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.grid_sample","I":[],"O":[{"%":9}]})", {}, {},
         "grid_sample requires opset >= 16, but target opset is 15", 15},
        {R"({"#":"1.index_put","I":[],"O":[{"%":9}]})", {}, {}, "index_put requires opset >= 11, but target opset is 10",
         10},
        {R"({"#":"1.set_value_","I":[],"O":[{"%":9}]})", {}, {}, "set_value_ requires opset >= 11, but target opset is 10",
         10},
        {R"({"#":"1.set_value_with_tensor_","I":[],"O":[{"%":9}]})", {}, {},
         "set_value_with_tensor_ requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.eye","I":[],"O":[{"%":9}]})", {}, {}, "eye requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.cumsum","I":[],"O":[{"%":9}]})", {}, {}, "cumsum requires opset >= 11, but target opset is 10", 10},
        {R"({"#":"1.einsum","I":[],"O":[{"%":9}]})", {}, {}, "einsum requires opset >= 12, but target opset is 11", 11},
        {R"({"#":"1.triu","I":[],"O":[{"%":9}]})", {}, {}, "triu requires opset >= 14, but target opset is 13", 13},
        {R"({"#":"1.strided_slice","I":[],"O":[{"%":9}]})", {}, {},
         "strided_slice requires opset >= 10, but target opset is 9", 9},
        {R"({"#":"1.group_norm","I":[],"O":[{"%":9}]})", {}, {}, "group_norm requires opset >= 6, but target opset is 5",
         5},
        // At that opset its operands answer.
        {R"({"#":"1.einsum","I":[],"O":[{"%":9}]})", {}, {}, "einsum missing inputs", 12},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        c.opset = k.opset;
        for (const auto& [id, dims] : k.dims) c.state.tensor_shapes.insert(id, dims);
        for (const auto& [id, type] : k.types) c.state.tensor_dtypes.insert(id, type);
        EXPECT_EQ(error_of([&] { run(c, ops, k.op); }), k.message) << k.op;
        EXPECT_TRUE(c.graph.node.empty()) << k.op;
    }
}

// The check and the lowerings cannot drift apart: no lowering named in the table reads an
// operand (ids[k]) past the operands its operator's signature declares.
TEST(Dispatch, NoLoweringReadsPastItsSignature) {
    const auto read_file = [](const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::filesystem::path ops_dir = KESTRO_SOURCE_DIR "/src/converter/ops";
    const std::string table = read_file(ops_dir / "dispatch.cpp");
    std::string sources;
    for (const auto& entry : std::filesystem::directory_iterator(ops_dir))
        if (entry.path().extension() == ".cpp") sources += read_file(entry.path());
    const std::regex row(R"re(\{"(1\.[a-z0-9_]+)",\s*(?:call(?:_named)?<&C::(\w+)>|\[\][^{]*\{\s*c\.(\w+)\())re");
    const std::regex read(R"(\bids\[(\d+)\])");
    // A lowering that serves several rows (repeat_interleave and its tensor form) tells them
    // apart itself: it may read as far as the widest of their signatures.
    std::map<std::string, size_t> widest;
    size_t rows = 0;
    for (auto it = std::sregex_iterator(table.begin(), table.end(), row); it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1];
        const std::string lowering = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
        const kestro::ops::Signature* signature = kestro::ops::signature_of(name);
        ASSERT_NE(signature, nullptr) << name;
        size_t& n = widest[lowering];
        n = std::max(n, signature->repeats ? SIZE_MAX : signature->operands.size());
        ++rows;
    }
    for (const auto& [lowering, n] : widest) {
        const size_t begin = sources.find("void Converter::" + lowering + "(");
        ASSERT_NE(begin, std::string::npos) << lowering;
        const std::string body = sources.substr(begin, sources.find("\n}\n", begin) - begin);
        for (auto r = std::sregex_iterator(body.begin(), body.end(), read); r != std::sregex_iterator(); ++r)
            EXPECT_LT(std::stoul((*r)[1]), n) << lowering;
    }
    EXPECT_GE(rows, 90u);
}

// A value read before the operator that defines it is refused by name, in a region too
// (its converter shares what was read); a value no operator defines is left to the checks
// of the finished graph.
TEST(Dispatch, ReadsBeforeDefinitionsAreRefused) {
    Ops ops;
    Converter c;
    c.state.tensor_dtypes.insert(1, "0.t_f32");
    run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"x"}}],"O":[{"%":1,"TT":{"D":[{"#":"0.t_f32"},[3]]}}]})");
    run(c, ops, R"({"#":"1.relu","I":[{"%":1}],"O":[{"%":2}]})");
    Converter region = c.sub_converter();
    // Whatever its lowering makes of an axis it knows nothing of, the read is noted first.
    error_of([&] { run(region, ops, R"({"#":"1.cumsum","I":[{"%":2},{"%":7}],"O":[{"%":3}]})"); });
    run(c, ops, R"({"#":"1.relu","I":[{"%":40}],"O":[{"%":4}]})");
    // A tensor read whole becomes a node input of a graph sorted at the end: it may come first.
    run(c, ops, R"({"#":"1.multiply","I":[{"%":41},{"%":1}],"O":[{"%":5}]})");
    run(c, ops, R"({"#":"1.relu","I":[{"%":1}],"O":[{"%":41}]})");
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.full_int_array","A":[],"O":[{"%":7,"TT":{"D":[{"#":"0.t_i64"},[]]}}]})");
              }),
              "cumsum reads value 7 before any operator defines it (full_int_array defines it later)");
}

TEST(Dispatch, FallbackAndSkips) {
    Ops ops;
    Converter c;
    run(c, ops, R"({"#":"1.relu_","I":[{"%":5}],"O":[{"%":6}]})");
    ASSERT_EQ(c.graph.node.size(), 1u);
    EXPECT_EQ(c.graph.node[0].op_type, "Relu");
    EXPECT_EQ(c.graph.node[0].input, (std::vector<std::string>{"tensor_5"}));
    EXPECT_EQ(c.graph.node[0].output, (std::vector<std::string>{"tensor_6"}));

    // Other dialects, bare names and one-byte names are skipped without output.
    for (const char* name : {"2.custom", "0.other", "relu", "1", "p"}) {
        run(c, ops, std::string(R"({"#":")") + name + R"(","I":[{"%":5}],"O":[{"%":7}]})");
    }
    EXPECT_EQ(c.graph.node.size(), 1u);

    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.nonexistent_op_","O":[{"%":8}]})"); }),
              "Unsupported operator: nonexistent_op");
    // Only the dialect's one prefix comes off: a second one names no operator.
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.1.nearest_interp","I":[{"%":5}],"O":[{"%":8}]})"); }),
              "Unsupported operator: 1.nearest_interp");
    // A malformed entry would shift the inputs after it into the wrong positions.
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.where","I":[{"%":1},{"%":"2"},{"%":3}],"O":[{"%":8}]})");
              }),
              "where input 1 has no value id");
    // Fewer inputs than the ONNX operator requires, or a required one omitted (id 0).
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.add","I":[{"%":1}],"O":[{"%":8}]})"); }),
              "add is missing inputs: ONNX Add needs 2, got 1");
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.subtract","I":[{"%":0},{"%":2}],"O":[{"%":8}]})");
              }),
              "subtract is missing inputs: ONNX Sub needs 2, got 0");
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.relu","O":[{"%":8}]})"); }),
              "relu is missing inputs: ONNX Relu needs 1, got 0");
    EXPECT_EQ(c.graph.node.size(), 1u);
}

// An in-place name takes its operator's lowering (whatever the row holds) rather than the
// generic one-node conversion, which knows neither the name nor the operator's rules.
TEST(Dispatch, InPlaceFormsTakeTheirOperatorsLowering) {
    Ops ops;
    Converter c;
    // Without operands their row answers; with them, their lowering.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"1.scale_", "", "scale op missing inputs"},
        {"1.cast_", R"({"%":1})", "cast: missing dtype"},
        {"1.pow_", R"({"%":1})", "pow: missing exponent"},
        {"1.clip__", "", "clip missing inputs"},
        {"1.tril_", "", "trilu missing inputs"},
        {"1.max_", "", "max missing inputs"},
        {"1.tile_", R"({"%":1},{"%":2})", "tile: missing rank metadata"},
    };
    for (const auto& [name, inputs, message] : cases) {
        EXPECT_EQ(error_of([&] {
                      run(c, ops, std::string(R"({"#":")") + name + R"(","I":[)" + inputs + R"(],"O":[{"%":8}]})");
                  }),
                  message)
            << name;
    }
    // An int32 clip takes its bounds as inputs of its own type, not the generic attributes.
    c.opset = 12;
    c.state.tensor_dtypes.insert(1, "0.t_i32");
    c.state.tensor_dtypes.insert(2, "0.t_f32");
    run(c, ops, R"({"#":"1.clip_","I":[{"%":1},{"%":2},{"%":0}],"O":[{"%":3}]})");
    ASSERT_EQ(c.graph.node.size(), 2u);
    EXPECT_EQ(c.graph.node[0].op_type, "Cast");
    EXPECT_EQ(c.graph.node[1].op_type, "Clip");
    EXPECT_TRUE(c.graph.node[1].attribute.empty());
}

TEST(Dispatch, GenericConversionRespectsOpsetOfOnnxType) {
    Ops ops;
    Converter c;
    c.opset = 16;
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.layer_norm","I":[{"%":1}],"O":[{"%":2}]})");
              }),
              "layer_norm (ONNX LayerNormalization) requires opset >= 17, but target opset is 16");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(GraphIo, DataNamesTypesAndCollisions) {
    Ops ops;
    Converter c;
    run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"x"}}],
                    "O":[{"%":3,"TT":{"D":[{"#":"0.t_f32"},[-1,3,2.5,0]]}}]})");
    run(c, ops, R"({"#":"1.data","O":[{"%":5,"TT":{"D":[{"#":"0.t_bool"},[]]}}]})");
    ASSERT_EQ(c.graph.input.size(), 2u);
    const auto& x = c.graph.input[0];
    EXPECT_EQ(x.name, "x");
    const auto& tensor = std::get<proto::TypeProto::Tensor>(x.type->value);
    EXPECT_EQ(tensor.elem_type, 1);
    // A non-integer dim stays as an unknown dim, so the rank is kept.
    ASSERT_EQ(tensor.shape->dim.size(), 4u);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(tensor.shape->dim[0].value));
    EXPECT_EQ(std::get<int64_t>(tensor.shape->dim[1].value), 3);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(tensor.shape->dim[2].value));
    EXPECT_EQ(std::get<int64_t>(tensor.shape->dim[3].value), 0);
    EXPECT_EQ(c.get_tensor_name(3), "x");
    EXPECT_EQ(c.graph.input[1].name, "input_5");

    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"x"}}],"O":[{"%":9}]})");
              }),
              "duplicate graph input name x");
    c.state.param_names.make_mut().push_back("w");
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"w"}}],"O":[{"%":9}]})");
              }),
              "graph input w collides with a parameter");
    EXPECT_EQ(error_of([&] {
                  run(c, ops, R"({"#":"1.data","O":[{"%":10,"TT":{"D":[{"#":"0.t_bf16"},[]]}}]})");
              }),
              "Unsupported Paddle element type: 0.t_bf16");
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.data","O":[{"%":11}]})"); }),
              "graph input input_11 has no element type");
}

TEST(GraphIo, FetchNamesAreUnique) {
    Ops ops;
    Converter c;
    c.state.param_names.make_mut().push_back("w");
    c.state.tensor_names.insert(1, "w");
    for (int64_t id : {1, 2, 3}) c.state.tensor_dtypes.insert(id, "0.t_f32");
    run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"x"}}],"O":[{"%":2,"TT":{"D":[{"#":"0.t_f32"},[2]]}}]})");
    run(c, ops, R"({"#":"1.relu","I":[{"%":2}],"O":[{"%":3}]})");
    auto fetch = [&](const std::string& source, const std::string& name) {
        std::string attrs = name.empty() ? "" : R"("A":[{"N":"name","AT":{"#":"0.a_str","D":")" + name + R"("}}],)";
        run(c, ops, "{\"#\":\"1.fetch\"," + attrs + "\"I\":[{\"%\":" + source + "}],\"O\":[{\"%\":99}]}");
        return c.graph.output.back().name;
    };
    EXPECT_EQ(fetch("3", "out"), "out");
    EXPECT_EQ(fetch("3", "out"), "out_1");
    EXPECT_EQ(fetch("3", "out"), "out_2");
    EXPECT_EQ(fetch("3", ""), "fetch_3");
    EXPECT_EQ(fetch("3", "tensor_3"), "tensor_3_1");  // a node output is taken
    EXPECT_EQ(fetch("3", "x"), "x_1");                // a graph input is taken
    EXPECT_EQ(fetch("3", "w"), "w_1");                // so is a parameter
    EXPECT_EQ(fetch("2", "x"), "x");                  // fetching a graph input as itself
    EXPECT_EQ(fetch("1", "w"), "w");                  // or a parameter

    size_t identities = 0;
    for (const auto& node : c.graph.node) identities += node.op_type == "Identity";
    EXPECT_EQ(identities, 7u);
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.fetch","I":[],"O":[{"%":5}]})"); }),
              "fetch op has no input; cannot produce graph output");

    // An input fetched as itself a second time is a second output: it needs a new name.
    EXPECT_EQ(fetch("2", "x"), "x_2");
    // An input declared after the last fetch is taken too, though no node or output was
    // added since.
    run(c, ops, R"({"#":"1.data","A":[{"N":"name","AT":{"#":"0.a_str","D":"y"}}],"O":[{"%":6,"TT":{"D":[{"#":"0.t_f32"},[2]]}}]})");
    EXPECT_EQ(fetch("3", "y"), "y_1");
    Names outputs = kestro::test::names_of(c.graph.output);
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(std::adjacent_find(outputs.begin(), outputs.end()), outputs.end());
}

TEST(GraphIo, FetchTypeFallsBackToInputEntry) {
    Ops ops;
    Converter c;
    run(c, ops, R"({"#":"1.fetch","I":[{"%":4,"TT":{"D":[{"#":"0.t_i64"},[2]]}}],"O":[{"%":5}]})");
    // No type anywhere: an untyped graph output fails the checker, so it is refused.
    EXPECT_EQ(error_of([&] { run(c, ops, R"({"#":"1.fetch","I":[{"%":4}],"O":[{"%":6}]})"); }),
              "graph output output_4 has no element type");
    // Neither entry typed: the value's recorded element type, with an open shape.
    c.state.tensor_dtypes.insert(7, "0.t_bool");
    run(c, ops, R"({"#":"1.fetch","I":[{"%":7}],"O":[{"%":8}]})");
    ASSERT_EQ(c.graph.output.size(), 2u);
    EXPECT_EQ(std::get<proto::TypeProto::Tensor>(c.graph.output[0].type->value).elem_type, 7);
    const auto& recorded = std::get<proto::TypeProto::Tensor>(c.graph.output[1].type->value);
    EXPECT_EQ(recorded.elem_type, 9);
    EXPECT_FALSE(recorded.shape.has_value());
}

TEST(GraphIo, Dropout) {
    Ops ops;
    Converter c;
    run(c, ops, R"({"#":"1.dropout","I":[{"%":1}],"O":[{"%":2},{"%":3}]})");
    // The mask, which nothing drops at inference: ones of x's dims.
    ASSERT_EQ(c.graph.node.size(), 3u);
    EXPECT_EQ(c.graph.node[1].op_type, "Expand");
    EXPECT_EQ(c.graph.node[1].output, std::vector<std::string>{"tensor_3"});
    EXPECT_EQ(c.graph.initializer.back().data_type, 2);
    EXPECT_EQ(c.graph.node[2].op_type, "Identity");
    // An Identity without an input would not be a valid node.
    const std::pair<const char*, const char*> inputless[] = {
        {"[]", "dropout has 0 operands, but it takes 1 to 3 (x, seed_tensor, p)"},
        {R"([{"%":0}])", "dropout: x (operand 0) is absent (%0), where dropout needs a value"},
    };
    for (const auto& [inputs, message] : inputless) {
        EXPECT_EQ(error_of([&] {
                      run(c, ops, std::string(R"({"#":"1.dropout","I":)") + inputs + R"(,"O":[{"%":4}]})");
                  }),
                  message);
    }
    EXPECT_EQ(c.graph.node.size(), 3u);

    // At inference "downgrade_in_infer" scales by 1 - p.
    c.state.const_values.insert(12, {0.25});
    c.state.tensor_dtypes.insert(13, "0.t_f64");
    run(c, ops, R"({"#":"1.dropout","A":[{"N":"mode","AT":{"#":"0.a_str","D":"downgrade_in_infer"}}],
                    "I":[{"%":11},{"%":0},{"%":12}],"O":[{"%":13}]})");
    ASSERT_EQ(c.graph.node.size(), 4u);
    EXPECT_EQ(c.graph.node[3].op_type, "Mul");
    const auto& scale = c.graph.initializer.back();
    EXPECT_EQ(scale.data_type, 11);
    double v = 0;
    std::memcpy(&v, scale.raw_data.data(), 8);
    EXPECT_EQ(v, 0.75);
}
