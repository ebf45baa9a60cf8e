// ONNX's own checker over the finished model, in a child process: the library has crashed
// (a segmentation fault in its shape inference) on malformed graphs, and a crash there must
// not end the conversion. Only the library's own refusal refuses the model: a check that
// crashes, runs out of memory or time, or cannot even be started gives no verdict, and the
// model is written with a warning.
#include "converter/onnx_check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <fmt/ranges.h>

#include <google/protobuf/io/coded_stream.h>
#include <onnx/checker.h>
#include <onnx/defs/schema.h>
#include <onnx/shape_inference/implementation.h>

#include "converter/passes/graph_walk.h"
#include "error.h"
#include "log.h"

namespace kestro {

namespace {

// Initializers with more encoded bytes than this are checked as graph inputs: shape
// inference reads only small constants (shapes, axes, pads), and a weight's bytes would
// cost the check their copy.
constexpr size_t kLargeInitializer = 1024;
// The most of the library's message kept; a child that writes more is read to its end and
// the rest dropped, so it never blocks on a full pipe.
constexpr size_t kMessageCap = 16 * 1024;
// What a message shows of the library's text.
constexpr size_t kShownMessage = 2000;

// How much of the library a check runs; a crash in one is tried again with the next.
enum class CheckMode { Full, NoDataPropagation, CheckerOnly };

void name_nodes(proto::GraphProto& graph, const NodeOrigins& origins) {
    for (auto& node : graph.node) {
        if (const NodeOrigins::Origin* o = origins.origin_of(node))
            node.rare_members().name = NodeOrigins::label(*o);
        passes::for_each_subgraph(node, [&](proto::GraphProto& sub) { name_nodes(sub, origins); });
    }
}

bool is_weight(const proto::TensorProto& t, const std::vector<std::string>& weight_names) {
    if (t.raw_data.origin().fd >= 0) return true;
    if (proto::encoded_len(t) > kLargeInitializer) return true;
    return std::binary_search(weight_names.begin(), weight_names.end(), t.name);
}

// What the library threw, told apart from a failure of kestro's own code around it (making
// the copy, reading it back, splitting the regions): only the library's is a verdict.
struct LibraryRefusal {
    std::string text;
};

template <class Call>
void in_library(Call&& call) {
    try {
        call();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw LibraryRefusal{std::string(std::string_view(e.what()).substr(0, kMessageCap - 1))};
    } catch (...) {
        throw LibraryRefusal{"an exception that carries no message"};
    }
}

// ---- the library's inference, region by region ----
//
// The library infers a region's graph with a copy of every type known around it, which
// makes a program of many ifs or whiles quadratic. Each graph is inferred on its own
// instead: a node that holds regions becomes a stand-in the library skips, its results
// typed as its regions declare them, and each region is then inferred with the outer
// values it reads as typed inputs, their types from the inference of the graphs around it.
// The checker itself, which is linear, still sees the whole model.

// The domain of the stand-ins: no schema of the library has it.
constexpr const char* kStandInDomain = "kestro.region";

// The types of the values a graph defines or reads once it is inferred, then those of the
// graphs around it.
struct Scope {
    const Scope* outer = nullptr;
    std::unordered_map<std::string, const onnx::TypeProto*> types;
    std::deque<onnx::TypeProto> initializer_types;

    const onnx::TypeProto* find(const std::string& name) const {
        for (const Scope* s = this; s != nullptr; s = s->outer)
            if (const auto it = s->types.find(name); it != s->types.end()) return it->second;
        return nullptr;
    }
};

Scope scope_of(const onnx::GraphProto& graph, const Scope* outer) {
    Scope scope;
    scope.outer = outer;
    for (const auto& t : graph.initializer()) {
        onnx::TypeProto& type = scope.initializer_types.emplace_back();
        auto* tensor = type.mutable_tensor_type();
        tensor->set_elem_type(t.data_type());
        auto* shape = tensor->mutable_shape();
        for (const int64_t d : t.dims()) shape->add_dim()->set_dim_value(d);
        scope.types.emplace(t.name(), &type);
    }
    for (const auto* infos : {&graph.input(), &graph.value_info(), &graph.output()})
        for (const auto& info : *infos)
            if (info.has_type()) scope.types.emplace(info.name(), &info.type());
    return scope;
}

// What holds for both branches of an if: their element type, and the dims they agree on.
onnx::TypeProto either_branch(const onnx::TypeProto& a, const onnx::TypeProto& b) {
    onnx::TypeProto type = a;
    if (!a.has_tensor_type() || !b.has_tensor_type()) return type;
    auto* tensor = type.mutable_tensor_type();
    const auto& other = b.tensor_type();
    if (!tensor->has_shape()) return type;
    if (!other.has_shape() || other.shape().dim_size() != tensor->shape().dim_size()) {
        tensor->clear_shape();
        return type;
    }
    for (int k = 0; k < tensor->shape().dim_size(); ++k) {
        auto* dim = tensor->mutable_shape()->mutable_dim(k);
        const auto& theirs = other.shape().dim(k);
        const bool same = dim->has_dim_value() ? theirs.has_dim_value() && theirs.dim_value() == dim->dim_value()
                                               : dim->has_dim_param() && theirs.has_dim_param() &&
                                                     theirs.dim_param() == dim->dim_param();
        if (!same) dim->Clear();
    }
    return type;
}

const onnx::GraphProto* graph_attribute(const onnx::NodeProto& node, std::string_view name) {
    for (const auto& a : node.attribute())
        if (a.name() == name && a.has_g()) return &a.g();
    return nullptr;
}

// The types of a region node's results as its regions declare them, as the library would
// infer them from those: an if's what both branches agree on, a loop's carried values of the
// element type its body gives, its scan outputs one dim higher. Another node's results stay
// untyped.
std::vector<onnx::TypeProto> region_result_types(const onnx::NodeProto& node) {
    std::vector<onnx::TypeProto> types;
    if (node.op_type() == "If") {
        const onnx::GraphProto* then = graph_attribute(node, "then_branch");
        const onnx::GraphProto* other = graph_attribute(node, "else_branch");
        if (!then || !other) return types;
        for (int k = 0; k < then->output_size(); ++k)
            types.push_back(k < other->output_size()
                                ? either_branch(then->output(k).type(), other->output(k).type())
                                : then->output(k).type());
    } else if (node.op_type() == "Loop") {
        const onnx::GraphProto* body = graph_attribute(node, "body");
        if (!body) return types;
        const int carried = std::max(0, node.input_size() - 2);
        for (int k = 1; k < body->output_size(); ++k) {
            onnx::TypeProto& type = types.emplace_back(body->output(k).type());
            // A carried value may change its shape from one step to the next.
            if (k <= carried && type.has_tensor_type()) type.mutable_tensor_type()->clear_shape();
            if (k <= carried || !type.has_tensor_type() || !type.tensor_type().has_shape()) continue;
            onnx::TensorShapeProto stacked;
            stacked.add_dim();
            for (const auto& d : type.tensor_type().shape().dim()) *stacked.add_dim() = d;
            *type.mutable_tensor_type()->mutable_shape() = std::move(stacked);
        }
    }
    return types;
}

// Replaces each node of `graph` that holds regions by a stand-in with the same inputs and
// outputs, its outputs typed as its regions declare them where the graph does not type
// them itself; returns the regions taken out.
std::vector<std::unique_ptr<onnx::GraphProto>> stand_in_for_regions(onnx::GraphProto& graph) {
    std::vector<std::unique_ptr<onnx::GraphProto>> regions;
    std::unordered_set<std::string> typed;
    for (const auto* infos : {&graph.value_info(), &graph.output()})
        for (const auto& info : *infos) typed.insert(info.name());
    std::vector<onnx::ValueInfoProto> results;
    for (auto& node : *graph.mutable_node()) {
        const auto& attrs = node.attribute();
        if (std::none_of(attrs.begin(), attrs.end(),
                         [](const onnx::AttributeProto& a) { return a.has_g() || a.graphs_size() > 0; }))
            continue;
        std::vector<onnx::TypeProto> types = region_result_types(node);
        for (size_t k = 0; k < types.size() && k < static_cast<size_t>(node.output_size()); ++k) {
            const std::string& name = node.output(static_cast<int>(k));
            if (name.empty() || !typed.insert(name).second) continue;
            onnx::ValueInfoProto& info = results.emplace_back();
            info.set_name(name);
            *info.mutable_type() = std::move(types[k]);
        }
        for (auto& a : *node.mutable_attribute()) {
            if (a.has_g()) regions.emplace_back(a.release_g());
            for (auto& g : *a.mutable_graphs()) regions.push_back(std::make_unique<onnx::GraphProto>(std::move(g)));
        }
        node.clear_attribute();
        node.set_domain(kStandInDomain);
    }
    for (auto& info : results) *graph.add_value_info() = std::move(info);
    return regions;
}

// Makes the outer values `region` reads (its nodes' inputs and its outputs that it does not
// define) inputs of it, of the types the scope knows; a value of no known type is left
// unknown, as the library leaves it.
void add_outer_inputs(onnx::GraphProto& region, const Scope& scope) {
    std::unordered_set<std::string> defined;
    for (const auto& i : region.input()) defined.insert(i.name());
    for (const auto& t : region.initializer()) defined.insert(t.name());
    for (const auto& node : region.node())
        for (const auto& out : node.output()) defined.insert(out);
    const auto read = [&](const std::string& name) {
        if (name.empty() || !defined.insert(name).second) return;
        if (const onnx::TypeProto* type = scope.find(name)) {
            onnx::ValueInfoProto* input = region.add_input();
            input->set_name(name);
            *input->mutable_type() = *type;
        }
    };
    for (const auto& node : region.node())
        for (const auto& in : node.input()) read(in);
    for (const auto& out : region.output()) read(out.name());
}

// The model around one graph at a time, for the library's inference.
struct InferenceFrame {
    int64_t ir_version;
    google::protobuf::RepeatedPtrField<onnx::OperatorSetIdProto> imports;
    onnx::ShapeInferenceOptions options;

    void infer(onnx::GraphProto& graph) const {
        onnx::ModelProto model;
        model.set_ir_version(ir_version);
        *model.mutable_opset_import() = imports;
        model.set_allocated_graph(&graph);
        struct Release {
            onnx::ModelProto& m;
            ~Release() { (void)m.release_graph(); }
        } release{model};
        in_library([&] { onnx::shape_inference::InferShapes(model, onnx::OpSchemaRegistry::Instance(), options); });
    }
};

void infer_region_by_region(onnx::GraphProto& graph, const Scope* outer, const InferenceFrame& frame) {
    std::vector<std::unique_ptr<onnx::GraphProto>> regions = stand_in_for_regions(graph);
    frame.infer(graph);
    if (regions.empty()) return;
    const Scope scope = scope_of(graph, outer);
    for (auto& region : regions) {
        add_outer_inputs(*region, scope);
        infer_region_by_region(*region, &scope, frame);
        region.reset();
    }
}

// ---- the child process ----

// The reply of the child: "A" when the library accepts the model, "R" and its message when
// it refuses it, "N" and the reason when it ends without a verdict (memory ran out, the
// model is more than the library reads). Before, a digit for each stage begun ('1' the
// checker, '2' inference), so that a crash can be placed.
std::string check_in_this_process(int reply_fd, const proto::ModelProto& model,
                                  const NodeOrigins& origins,
                                  const std::vector<std::string>& weight_names, CheckMode mode) {
    try {
        if (onnx_check_child_hook) onnx_check_child_hook(static_cast<int>(mode));
        std::string bytes;
        {
            proto::Sink sink;
            proto::encode(model_for_onnx_check(model, origins, weight_names), sink);
            bytes = sink.flatten();
        }
        if (bytes.size() > static_cast<size_t>(INT_MAX))
            return "Nfound the model larger than 2 GiB without its weights, more than the library reads";
        onnx::ModelProto parsed;
        google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  static_cast<int>(bytes.size()));
        // Nested subgraphs go deeper than the parser's default limit allows.
        in.SetRecursionLimit(INT_MAX);
        if (!parsed.ParseFromCodedStream(&in) || !in.ConsumedEntireMessage())
            return "Ncould not read the model back";
        std::string().swap(bytes);
        log::write_all(reply_fd, "1");
        in_library([&] { onnx::checker::check_model(parsed); });
        if (mode == CheckMode::CheckerOnly) return "A";
        // Strict: a node whose inference fails refuses the model. Data propagation follows
        // shapes computed in the graph (Shape, Gather, Concat) into Reshape, Expand and the
        // like, where many contradictions only show.
        log::write_all(reply_fd, "2");
        InferenceFrame frame{parsed.ir_version(), parsed.opset_import(),
                             onnx::ShapeInferenceOptions(/*check_type=*/true, /*strict_mode=*/1,
                                                         /*data_prop=*/mode == CheckMode::Full)};
        auto* stand_ins = frame.imports.Add();
        stand_ins->set_domain(kStandInDomain);
        stand_ins->set_version(1);
        infer_region_by_region(*parsed.mutable_graph(), nullptr, frame);
        return "A";
    } catch (const std::bad_alloc&) {
        return "Nran out of memory";
    } catch (const LibraryRefusal& refusal) {
        return "R" + refusal.text;
    } catch (const std::exception& e) {
        const std::string_view what = e.what();
        return "Nfailed in kestro's own code: " + std::string(what.substr(0, kShownMessage));
    } catch (...) {
        return "Nfailed in kestro's own code";
    }
}

[[noreturn]] void run_child(int reply_fd, pid_t parent, const sigset_t& mask, const proto::ModelProto& model,
                            const NodeOrigins& origins, const std::vector<std::string>& weight_names,
                            CheckMode mode) {
    // The check ends with kestro, however kestro ends: a parent gone before this line is
    // seen by the parent's number.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    // A crash must end this process with its signal, whatever handlers the parent has (the
    // weight file's fault guard, a sanitizer's report, the end of this child on SIGTERM).
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0) continue;
        if ((old.sa_flags & SA_SIGINFO) != 0 || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN))
            ::signal(sig, SIG_DFL);
    }
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    // Nothing the library or its parser prints may reach the parent's output (which may be
    // the model's own destination) or its one line of error.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
    }
    log::write_all(reply_fd, check_in_this_process(reply_fd, model, origins, weight_names, mode));
    // Never the parent's exit handlers, buffers or temporary-file clean-up.
    ::_exit(0);
}

std::string signal_name(int sig) {
    if (const char* abbrev = ::sigabbrev_np(sig)) return fmt::format("SIG{}", abbrev);
    return fmt::format("{}", sig);
}

}  // namespace

int64_t onnx_library_max_opset() {
    const auto& ranges = onnx::OpSchemaRegistry::DomainToVersionRange::Instance().Map();
    const auto it = ranges.find(onnx::ONNX_DOMAIN);
    return it == ranges.end() ? 0 : it->second.second;
}

proto::ModelProto model_for_onnx_check(const proto::ModelProto& model, const NodeOrigins& origins,
                                       const std::vector<std::string>& weight_names) {
    proto::ModelProto copy;
    copy.ir_version = model.ir_version;
    copy.opset_import = model.opset_import;
    copy.producer_name = model.producer_name;
    copy.producer_version = model.producer_version;
    if (!model.graph) return copy;
    const proto::GraphProto& graph = *model.graph;
    proto::GraphProto& g = copy.graph.emplace();
    g.name = graph.name;
    g.node = graph.node;
    g.input = graph.input;
    g.output = graph.output;
    g.value_info = graph.value_info;
    for (const auto& t : graph.initializer) {
        if (!is_weight(t, weight_names)) {
            g.initializer.push_back(t);
            continue;
        }
        proto::ValueInfoProto input;
        input.name = t.name;
        proto::TypeProto::Tensor type;
        type.elem_type = t.data_type;
        type.shape.emplace();
        for (const int64_t d : t.dims) type.shape->dim.push_back({d, {}});
        input.type.emplace().value = std::move(type);
        g.input.push_back(std::move(input));
    }
    name_nodes(g, origins);
    return copy;
}

namespace {

std::string flatten(std::string_view text) {
    std::string flat;
    bool blank = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            blank = !flat.empty();
            continue;
        }
        if (blank) flat += ' ';
        blank = false;
        flat += c;
    }
    return flat;
}

void erase_all(std::string& text, std::string_view what) {
    for (size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
}

// Escapes what a terminal would act on and cuts a very long text, piece by piece at
// character boundaries (the escaping cuts a single text at its own limit).
std::string shown(std::string flat) {
    if (flat.size() > kShownMessage) {
        size_t cut = kShownMessage;
        while (cut > 0 && (static_cast<unsigned char>(flat[cut]) & 0xC0) == 0x80) --cut;
        flat.resize(cut);
        flat += "...";
    }
    std::string out;
    size_t start = 0;
    while (start < flat.size()) {
        size_t end = std::min(flat.size(), start + 128);
        while (end < flat.size() && (static_cast<unsigned char>(flat[end]) & 0xC0) == 0x80) ++end;
        out += helper::fmt_text(std::string_view(flat).substr(start, end - start));
        start = end;
    }
    return out;
}

}  // namespace

std::string describe_onnx_refusal(const std::string& text) {
    std::string_view body = text;
    // Strict inference gathers one line per node that failed; every line after the first
    // is nearly always a consequence of it (an input left without a type).
    size_t more = 0;
    constexpr std::string_view gathered = "[ShapeInferenceError] Shape inference error(s): ";
    if (body.substr(0, gathered.size()) == gathered) {
        body.remove_prefix(gathered.size());
        const size_t end = body.find('\n');
        if (end != std::string_view::npos) {
            for (const char c : body.substr(end + 1))
                if (c == '\n') ++more;
            if (body.back() != '\n') ++more;
            body = body.substr(0, end);
        }
    }
    std::string flat = flatten(body);
    std::string op_type;
    std::string node;
    // Inference: "[ShapeInferenceError] (op_type:Conv, node name: conv2d (output 5)): text".
    constexpr std::string_view type_key = "(op_type:";
    constexpr std::string_view name_key = ", node name: ";
    if (size_t at = flat.find(type_key); at != std::string::npos) {
        const size_t type_start = at + type_key.size();
        const size_t name_at = flat.find(name_key, type_start);
        const size_t plain_end = flat.find("): ", type_start);
        if (name_at != std::string::npos && (plain_end == std::string::npos || name_at < plain_end)) {
            const size_t name_start = name_at + name_key.size();
            // The reason has a bracketed tag of its own, or none ("B has inconsistent type").
            size_t name_end = flat.find("): [", name_start);
            if (name_end == std::string::npos) name_end = flat.find("): ", name_start);
            if (name_end != std::string::npos) {
                op_type = flat.substr(type_start, name_at - type_start);
                node = flat.substr(name_start, name_end - name_start);
                flat.erase(0, name_end + 3);
            }
        } else if (plain_end != std::string::npos) {
            op_type = flat.substr(type_start, plain_end - type_start);
            flat.erase(0, plain_end + 3);
        }
    }
    // The checker: "text ==> Context: Bad node spec for node. Name: conv2d (output 5) OpType: Conv".
    constexpr std::string_view spec_key = " ==> Context: Bad node spec for node. Name: ";
    constexpr std::string_view spec_type = " OpType: ";
    if (size_t at = flat.find(spec_key); op_type.empty() && at != std::string::npos) {
        const size_t name_start = at + spec_key.size();
        const size_t type_at = flat.rfind(spec_type);
        // A node named after no operator leaves "Name: OpType: Split" (blanks made one).
        if (type_at != std::string::npos && type_at + 1 >= name_start) {
            if (type_at >= name_start) node = flat.substr(name_start, type_at - name_start);
            op_type = flat.substr(type_at + spec_type.size());
            flat.erase(at);
            constexpr std::string_view unnamed = "Node () ";
            if (flat.substr(0, unnamed.size()) == unnamed) flat.replace(0, unnamed.size(), "the node ");
        }
    }
    for (size_t at; (at = flat.find(" ==> Context: ")) != std::string::npos;)
        flat.replace(at, 14, "; in context: ");
    erase_all(flat, "[ShapeInferenceError] ");
    erase_all(flat, "[TypeInferenceError] ");
    if (more > 0) flat += fmt::format(" (and {} more node{})", more, more == 1 ? "" : "s");
    if (op_type.empty()) return "ONNX's checker refuses the converted model: " + shown(flat);
    if (node.empty()) return fmt::format("ONNX's checker refuses a {} node: {}", shown(op_type), shown(flat));
    return fmt::format("ONNX's checker refuses the {} node of operator {}: {}", shown(op_type),
                       shown(node), shown(flat));
}

namespace {

// ---- the parent's side ----

// The pid of the running child, for the handler of the signals that end kestro.
volatile sig_atomic_t g_check_child = 0;
struct sigaction g_saved_ending[NSIG];

void end_child_and_die(int sig) {
    // The interrupted code may be about to read errno; the old action may return here.
    const int saved_errno = errno;
    const pid_t child = g_check_child;
    if (child > 0) ::kill(child, SIGKILL);
    // Blocked while this runs, the raised signal arrives on return under the old action.
    ::sigaction(sig, &g_saved_ending[sig], nullptr);
    ::raise(sig);
    errno = saved_errno;
}

// While the check runs: SIGTERM, SIGINT and SIGHUP end the child with kestro (unless the
// caller ignores them), and a caller that ignores SIGCHLD does not have the child reaped
// before its status is read.
class CheckSignals {
public:
    CheckSignals() {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        child_changed_ = ::sigaction(SIGCHLD, &dfl, &saved_child_) == 0;
        struct sigaction end {};
        end.sa_handler = end_child_and_die;
        sigemptyset(&end.sa_mask);
        for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
            g_saved_ending[sig] = old;
            if (::sigaction(sig, &end, nullptr) == 0) installed_.push_back(sig);
        }
    }
    CheckSignals(const CheckSignals&) = delete;
    CheckSignals& operator=(const CheckSignals&) = delete;
    ~CheckSignals() {
        for (const int sig : installed_) ::sigaction(sig, &g_saved_ending[sig], nullptr);
        if (child_changed_) ::sigaction(SIGCHLD, &saved_child_, nullptr);
    }

private:
    struct sigaction saved_child_ {};
    bool child_changed_ = false;
    std::vector<int> installed_;
};

// The child's reply pipe, both ends of 3 or above: with standard input, output or error
// closed, a pipe may get their numbers, which the child points at /dev/null.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() = default;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() { close_both(); }
    // Returns 0, or the errno of why the pipe cannot be made (the ends made are closed by
    // the destructor, once each).
    int open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
        read = fds[0];
        write = fds[1];
        for (int* fd : {&read, &write}) {
            if (*fd > STDERR_FILENO) continue;
            const int moved = ::fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            if (moved < 0) return errno;
            ::close(*fd);
            *fd = moved;
        }
        return 0;
    }
    void close_write() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void close_both() {
        close_write();
        if (read >= 0) ::close(read);
        read = -1;
    }
};

using Clock = std::chrono::steady_clock;

// The child's reply, read until it closes it (true), or until the deadline passes or the
// wait fails (false).
bool read_reply(int fd, Clock::time_point deadline, std::string& reply) {
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        const size_t room = kMessageCap - std::min(kMessageCap, reply.size());
        reply.append(chunk, std::min(room, static_cast<size_t>(n)));
    }
}

struct Attempt {
    // NotStarted and TimedOut end the check: another attempt would meet the same lack of
    // descriptors or processes, or the same deadline.
    enum Kind { Accepted, Refused, NoVerdict, NotStarted, TimedOut } kind;
    std::string text;  // the library's message, or why there is no verdict
};

const char* mode_name(CheckMode mode) {
    switch (mode) {
        case CheckMode::Full: return "";
        case CheckMode::NoDataPropagation: return " without data propagation";
        case CheckMode::CheckerOnly: return " alone";
    }
    return "";
}

// What a child's end tells of the check (a verdict, or why there is none).
Attempt verdict_of(int status, std::string reply, CheckMode mode) {
    size_t stages = 0;
    while (stages < reply.size() && (reply[stages] == '1' || reply[stages] == '2')) ++stages;
    const std::string stage = fmt::format("{}{}", stages > 0 && reply[stages - 1] == '2' ? "shape inference" : "checker",
                                          mode_name(mode));
    reply.erase(0, stages);
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* why = sig == SIGXCPU   ? "reached the CPU-time limit"
                          : sig == SIGKILL ? "was killed"
                                           : "crashed";
        return {Attempt::NoVerdict, fmt::format("its {} {} (signal {})", stage, why, signal_name(sig))};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.empty())
        return {Attempt::NoVerdict, fmt::format("its {} ended without a verdict (exit status {})", stage,
                                                WIFEXITED(status) ? WEXITSTATUS(status) : -1)};
    if (reply[0] == 'A') return {Attempt::Accepted, {}};
    if (reply[0] == 'N') return {Attempt::NoVerdict, fmt::format("its {} {}", stage, reply.substr(1))};
    return {Attempt::Refused, reply.substr(1)};
}

Attempt check_in_child(const proto::ModelProto& model, const NodeOrigins& origins,
                       const std::vector<std::string>& weight_names, CheckMode mode,
                       Clock::time_point deadline) {
    CheckSignals signals;
    Pipe pipe;
    if (const int err = pipe.open(); err != 0) return {Attempt::NotStarted, std::strerror(err)};
    // The ending signals wait until the child's number is known to their handler; the
    // child starts with them blocked and unblocks them once its handlers are the defaults.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
    ::sigprocmask(SIG_BLOCK, &ending, &before);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe.read);
        run_child(pipe.write, parent, before, model, origins, weight_names, mode);
    }
    const int fork_error = errno;
    if (pid > 0) g_check_child = pid;
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) return {Attempt::NotStarted, std::strerror(fork_error)};
    pipe.close_write();

    std::string reply;
    const bool ended = read_reply(pipe.read, deadline, reply);
    // Stopped, or still at work: a check past its deadline is no verdict.
    if (!ended) ::kill(pid, SIGKILL);
    g_check_child = 0;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0)
        return {Attempt::NoVerdict, fmt::format("the end of its checker{} could not be read: {}", mode_name(mode),
                                                std::strerror(errno))};
    if (!ended) return {Attempt::TimedOut, {}};
    return verdict_of(status, std::move(reply), mode);
}

size_t count_nodes(const proto::GraphProto& graph) {
    size_t n = graph.node.size();
    for (const auto& node : graph.node)
        passes::for_each_subgraph(node, [&](const proto::GraphProto& sub) { n += count_nodes(sub); });
    return n;
}

}  // namespace

void (*onnx_check_child_hook)(int attempt) = nullptr;

std::chrono::milliseconds onnx_check_deadline(const proto::ModelProto& model) {
    // Generous: a minute, and a millisecond per node (a check takes some microseconds).
    const size_t nodes = model.graph ? count_nodes(*model.graph) : 0;
    return std::chrono::seconds(60) + std::chrono::milliseconds(std::min<size_t>(nodes, size_t{1} << 40));
}

void refuse_unless_onnx_accepts(const proto::ModelProto& model, const NodeOrigins& origins,
                                const std::vector<std::string>& weight_names,
                                std::optional<std::chrono::milliseconds> deadline) {
    int64_t opset = 0;
    for (const auto& o : model.opset_import)
        if (o.domain.empty() || o.domain == "ai.onnx") opset = o.version;
    if (const int64_t known = onnx_library_max_opset(); opset > known) {
        KLOG(Level::Debug, "kestro::converter::export",
             "ONNX's checker is not run: its library knows opsets up to {}, the model is opset {}",
             known, opset);
        return;
    }
    const std::chrono::milliseconds bound = deadline ? *deadline : onnx_check_deadline(model);
    const Clock::time_point end = Clock::now() + bound;
    // A crash, memory or a CPU limit exhausted is not the library's verdict on the model:
    // the check is tried again with less of the library (data propagation has crashed on
    // valid models), and only a refusal refuses.
    std::vector<std::string> reasons;
    for (const CheckMode mode : {CheckMode::Full, CheckMode::NoDataPropagation, CheckMode::CheckerOnly}) {
        Attempt attempt = check_in_child(model, origins, weight_names, mode, end);
        if (attempt.kind == Attempt::Accepted) return;
        if (attempt.kind == Attempt::Refused) throw Error("{}", describe_onnx_refusal(attempt.text));
        if (attempt.kind == Attempt::TimedOut) {
            reasons.push_back(fmt::format("the check did not end within {:g} s",
                                          std::chrono::duration<double>(bound).count()));
            break;
        }
        if (attempt.kind == Attempt::NotStarted) {
            reasons.push_back(fmt::format("its checker{} could not be started: {}", mode_name(mode), attempt.text));
            break;
        }
        reasons.push_back(std::move(attempt.text));
    }
    KLOG(Level::Warn, "kestro::converter::export",
         "the converted model is written without ONNX's check, which gave no verdict on it: {}",
         fmt::join(reasons, "; "));
}

}  // namespace kestro
