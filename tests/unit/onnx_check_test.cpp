// The check by ONNX's own library: the copy it reads, its verdicts, and the one line a
// refusal becomes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include <gtest/gtest.h>

#include "converter/onnx_check.h"
#include "helper/helper.h"
#include "log.h"
#include "test_support.h"

using namespace kestro;
using proto::GraphProto;
using proto::ModelProto;
using proto::NodeProto;
using proto::TensorProto;
using test::error_of;
using test::Names;

namespace {

NodeProto node(std::string op, Names in, Names out) {
    NodeProto n;
    n.op_type = std::move(op);
    n.input = std::move(in);
    n.output = std::move(out);
    return n;
}

proto::ValueInfoProto f32(std::string name, std::vector<int64_t> dims) {
    proto::ValueInfoProto v;
    v.name = std::move(name);
    proto::TypeProto::Tensor t;
    t.elem_type = proto::dtype::FLOAT;
    t.shape.emplace();
    for (const int64_t d : dims) t.shape->dim.push_back({d, {}});
    v.type.emplace().value = std::move(t);
    return v;
}

TensorProto floats(std::string name, size_t count) {
    TensorProto t;
    t.name = std::move(name);
    t.data_type = proto::dtype::FLOAT;
    t.dims = {static_cast<int64_t>(count)};
    t.raw_data = proto::Bytes(std::vector<uint8_t>(count * 4));
    return t;
}

// x [N] + w [N] -> y [N], at `opset`, with w an initializer of N floats.
ModelProto add_model(size_t n, int64_t opset = 17, std::vector<int64_t> declared = {}) {
    ModelProto m;
    m.ir_version = 8;
    m.opset_import.push_back({"", opset});
    GraphProto& g = m.graph.emplace();
    g.name = "g";
    g.node.push_back(node("Add", {"x", "w"}, {"tensor_3"}));
    g.input.push_back(f32("x", {static_cast<int64_t>(n)}));
    g.output.push_back(f32("tensor_3", declared.empty() ? std::vector<int64_t>{int64_t(n)} : declared));
    g.initializer.push_back(floats("w", n));
    return m;
}

}  // namespace

TEST(OnnxCheck, TheCopyHasWeightsAsInputsAndNodesNamedAfterTheirOperators) {
    ModelProto m = add_model(1000);
    GraphProto& g = *m.graph;
    g.initializer.push_back(floats("small", 2));
    g.initializer.push_back(floats("param", 2));
    NodeOrigins origins;
    origins.note("tensor_3", "1.add", 3, 1, 3);
    const ModelProto copy = model_for_onnx_check(m, origins, {"param"});
    // Only the small constant stays; the large one and the parameter are inputs of their
    // type and dims.
    ASSERT_EQ(copy.graph->initializer.size(), 1u);
    EXPECT_EQ(copy.graph->initializer[0].name, "small");
    ASSERT_EQ(copy.graph->input.size(), 3u);
    EXPECT_EQ(copy.graph->input[1].name, "w");
    const auto& type = std::get<proto::TypeProto::Tensor>(copy.graph->input[1].type->value);
    EXPECT_EQ(type.elem_type, proto::dtype::FLOAT);
    ASSERT_EQ(type.shape->dim.size(), 1u);
    EXPECT_EQ(std::get<int64_t>(type.shape->dim[0].value), 1000);
    EXPECT_EQ(copy.graph->input[2].name, "param");
    EXPECT_EQ(copy.graph->node[0].name(), "add (output 3)");
    // The model itself keeps its initializers and its unnamed nodes.
    EXPECT_EQ(g.initializer.size(), 3u);
    EXPECT_EQ(g.node[0].name(), "");
}

// Ways the child fails as the system makes it fail, from within it (attempt 0 is the whole
// check, 1 without data propagation, 2 the checker alone).
void stop_in_first_attempt(int attempt) {
    if (attempt == 0) ::raise(SIGSTOP);
}
void crash_in_every_attempt(int) { ::raise(SIGSEGV); }
void crash_in_first_attempt(int attempt) {
    if (attempt == 0) ::raise(SIGSEGV);
}
void cpu_limit_in_every_attempt(int) { ::raise(SIGXCPU); }
void out_of_memory_in_every_attempt(int) { throw std::bad_alloc(); }
// kestro's own code failing in the child (the copy, the read-back): no verdict of the library.
void own_error_in_every_attempt(int) { throw Error("a fault of kestro's own"); }
// No address space beyond what the child has when it starts.
void memory_limit(int) {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const rlim_t bytes = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const struct rlimit limit {bytes, bytes};
    ::setrlimit(RLIMIT_AS, &limit);
}

TEST(OnnxCheck, VerdictsOfTheLibrary) {
    NodeOrigins origins;
    origins.note("tensor_3", "1.add", 3, 1, 3);
    const std::string contradiction =
        "ONNX's checker refuses the Add node of operator add (output 3): Inferred shape and existing shape differ in "
        "dimension 0: (4) vs (5)";
    const std::string unchecked =
        "WARN  kestro::converter::export] the converted model is written without ONNX's check, which gave no "
        "verdict on it: ";
    struct Case {
        const char* what;
        ModelProto model;
        std::string error;
        void (*hook)(int) = nullptr;
        std::string warning = {};
        std::optional<std::chrono::milliseconds> deadline = std::nullopt;
        // The parent has no descriptor left for the reply pipe while it checks.
        bool no_free_descriptor = false;
    };
    std::vector<Case> cases;
    cases.push_back({"accepted", add_model(1000), "<no error>"});
    cases.push_back({"a declared output its node contradicts", add_model(4, 17, {5}), contradiction});
    // Above the opsets the library knows, nothing is checked.
    cases.push_back({"past the library's opsets", add_model(4, onnx_library_max_opset() + 1, {5}), "<no error>"});
    ModelProto unknown = add_model(4);
    unknown.graph->node[0].op_type = "NoSuchOperator";
    cases.push_back({"an operator ONNX does not have", unknown,
                     "ONNX's checker refuses the NoSuchOperator node of operator add (output 3): No Op "
                     "registered for NoSuchOperator with domain_version of 17"});
    // A crash, memory or CPU time exhausted, or a child that never ends is no verdict: the
    // check is tried again with less of the library, and the model passes with a warning
    // when no attempt gives one.
    cases.push_back({"a crash of the first attempt only", add_model(4, 17, {5}), contradiction,
                     crash_in_first_attempt});
    cases.push_back({"a crash in every attempt", add_model(4, 17, {5}), "<no error>", crash_in_every_attempt,
                     unchecked + "its checker crashed (signal SIGSEGV); its checker without data propagation "
                                 "crashed (signal SIGSEGV); its checker alone crashed (signal SIGSEGV)\n"});
    cases.push_back({"the CPU-time limit", add_model(4), "<no error>", cpu_limit_in_every_attempt,
                     "its checker alone reached the CPU-time limit (signal SIGXCPU)\n"});
    cases.push_back({"memory exhausted", add_model(4), "<no error>", out_of_memory_in_every_attempt,
                     "its checker alone ran out of memory\n"});
    cases.push_back({"an error of kestro's own code in the child", add_model(4, 17, {5}), "<no error>",
                     own_error_in_every_attempt,
                     "its checker alone failed in kestro's own code: a fault of kestro's own\n"});
    // A check that cannot start is no verdict either, and is not tried again.
    cases.push_back({"no descriptor left for the pipe", add_model(4, 17, {5}), "<no error>", nullptr,
                     unchecked + "its checker could not be started: Too many open files\n", std::nullopt, true});
    // The library's allocations fail (a refusal would be its own): the model passes, checked
    // or not.
    cases.push_back({"a memory limit", add_model(1000), "<no error>", memory_limit});
    cases.push_back({"a stopped child", add_model(4, 17, {5}), "<no error>", stop_in_first_attempt,
                     unchecked + "the check did not end within 0.3 s\n", std::chrono::milliseconds(300)});
    for (const auto& c : cases) {
        onnx_check_child_hook = c.hook;
        kestro::log::init("warn", "never");
        testing::internal::CaptureStderr();
        struct rlimit descriptors {};
        ::getrlimit(RLIMIT_NOFILE, &descriptors);
        const std::string error = error_of([&] {
            if (c.no_free_descriptor) {
                // Every number below the lowest free one is taken.
                const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                ::close(lowest_free);
                struct rlimit none = descriptors;
                none.rlim_cur = static_cast<rlim_t>(lowest_free);
                ::setrlimit(RLIMIT_NOFILE, &none);
            }
            refuse_unless_onnx_accepts(c.model, origins, {}, c.deadline);
        });
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
        const std::string log = testing::internal::GetCapturedStderr();
        kestro::log::init("", "never");
        onnx_check_child_hook = nullptr;
        EXPECT_EQ(error, c.error) << c.what;
        if (!c.warning.empty()) {
            EXPECT_NE(log.find(c.warning), std::string::npos) << c.what << ": " << log;
            EXPECT_EQ(log.find("WARN", log.find("WARN") + 1), std::string::npos) << c.what << ": one warning only";
        } else if (c.hook != memory_limit) {
            EXPECT_EQ(log, "") << c.what;
        }
        // The child is gone, reaped: no process is left behind.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << c.what;
        EXPECT_EQ(errno, ECHILD) << c.what;
    }
}

TEST(OnnxCheck, RefusalsOnOneLine) {
    const std::string long_text(5000, 'a');
    const std::pair<std::string, std::string> rows[] = {
        // Gathered node errors: the first, and how many more.
        {"[ShapeInferenceError] Shape inference error(s): (op_type:BatchNormalization, node name: batch_norm_ "
         "(output 533)): [ShapeInferenceError] Dimension mismatch in unification between 120 and 60\n"
         "(op_type:Sigmoid, node name: swish (output 539)): [TypeInferenceError] Input 0 expected to have type "
         "but instead is null\n(op_type:Mul): [TypeInferenceError] Input 0 expected to have type but instead is null\n",
         "ONNX's checker refuses the BatchNormalization node of operator batch_norm_ (output 533): Dimension "
         "mismatch in unification between 120 and 60 (and 2 more nodes)"},
        {"[ShapeInferenceError] (op_type:Identity, node name: fetch of value 3 (from pool2d)): "
         "[ShapeInferenceError] Inferred shape and existing shape differ in rank: (1) vs (2)",
         "ONNX's checker refuses the Identity node of operator fetch of value 3 (from pool2d): Inferred shape "
         "and existing shape differ in rank: (1) vs (2)"},
        // A reason without a tag of its own.
        {"(op_type:Add, node name: group_norm (output 4)): B has inconsistent type tensor(float)",
         "ONNX's checker refuses the Add node of operator group_norm (output 4): B has inconsistent type "
         "tensor(float)"},
        {"[ShapeInferenceError] (op_type:Identity, node name: fetch of value 3 (from pool2d)): B has "
         "inconsistent type tensor(float)",
         "ONNX's checker refuses the Identity node of operator fetch of value 3 (from pool2d): B has inconsistent "
         "type tensor(float)"},
        // A node the finishing passes made has no operator of its own.
        {"[TypeInferenceError] (op_type:Mul): Input 0 expected to have type but instead is null",
         "ONNX's checker refuses a Mul node: Input 0 expected to have type but instead is null"},
        {"Node () has output size 0 not in range [min=1, max=2147483647].\n\n==> Context: Bad node spec for node. "
         "Name:  OpType: Split",
         "ONNX's checker refuses a Split node: the node has output size 0 not in range [min=1, max=2147483647]."},
        {"Node (relu (output 4)) has input size 2 not in range [min=1, max=1].\n\n==> Context: Bad node spec for "
         "node. Name: relu (output 4) OpType: Relu",
         "ONNX's checker refuses the Relu node of operator relu (output 4): Node (relu (output 4)) has input "
         "size 2 not in range [min=1, max=1]."},
        {"Graph must be in single static assignment (SSA) form, however 'tensor_2' has been used as output "
         "names multiple times.\n\n==> Context: Bad graph",
         "ONNX's checker refuses the converted model: Graph must be in single static assignment (SSA) form, "
         "however 'tensor_2' has been used as output names multiple times.; in context: Bad graph"},
        // Program names in the library's text reach the terminal escaped.
        {"Unrecognized tensor x\x1b[2J", "ONNX's checker refuses the converted model: Unrecognized tensor x\\x1b[2J"},
        {long_text, "ONNX's checker refuses the converted model: " + std::string(2000, 'a') + "..."},
    };
    for (const auto& [library, line] : rows) EXPECT_EQ(describe_onnx_refusal(library), line);
}
