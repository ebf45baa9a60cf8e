// ONNX's own checker over the finished model, in a child process: the library has crashed
// (a segmentation fault in its shape inference) on malformed graphs, and a crash there must
// be a refusal, not the end of the conversion.
#include "converter/onnx_check.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <string_view>

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

// The child's reply: "A" when the library accepts the model, "R" and its message when it
// refuses it. Before, a digit for each stage begun ('1' the checker, '2' inference), so
// that a crash can be placed.
std::string check_in_this_process(int reply_fd, const proto::ModelProto& model,
                                  const NodeOrigins& origins,
                                  const std::vector<std::string>& weight_names) {
    try {
        std::string bytes;
        {
            proto::Sink sink;
            proto::encode(model_for_onnx_check(model, origins, weight_names), sink);
            bytes = sink.flatten();
        }
        if (bytes.size() > static_cast<size_t>(INT_MAX))
            return "Rthe model without its weights is larger than 2 GiB, more than the library reads";
        onnx::ModelProto parsed;
        google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  static_cast<int>(bytes.size()));
        // Nested subgraphs go deeper than the parser's default limit allows.
        in.SetRecursionLimit(INT_MAX);
        if (!parsed.ParseFromCodedStream(&in) || !in.ConsumedEntireMessage())
            return "Rthe library could not read the model back";
        log::write_all(reply_fd, "1");
        onnx::checker::check_model(parsed);
        // Strict: a node whose inference fails refuses the model. Data propagation follows
        // shapes computed in the graph (Shape, Gather, Concat) into Reshape, Expand and the
        // like, where many contradictions only show.
        log::write_all(reply_fd, "2");
        onnx::shape_inference::InferShapes(parsed, onnx::OpSchemaRegistry::Instance(),
                                           onnx::ShapeInferenceOptions(/*check_type=*/true,
                                                                       /*strict_mode=*/1,
                                                                       /*data_prop=*/true));
        return "A";
    } catch (const std::exception& e) {
        const std::string_view what = e.what();
        return "R" + std::string(what.substr(0, kMessageCap - 1));
    } catch (...) {
        return "Ran exception that carries no message";
    }
}

[[noreturn]] void run_child(int reply_fd, const proto::ModelProto& model, const NodeOrigins& origins,
                            const std::vector<std::string>& weight_names) {
    // A crash must end this process with its signal, whatever handlers the parent has (the
    // weight file's fault guard, a sanitizer's report).
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0) continue;
        if ((old.sa_flags & SA_SIGINFO) != 0 || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN))
            ::signal(sig, SIG_DFL);
    }
    // Nothing the library or its parser prints may reach the parent's output (which may be
    // the model's own destination) or its one line of error.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
    }
    log::write_all(reply_fd, check_in_this_process(reply_fd, model, origins, weight_names));
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
            const size_t name_end = flat.find("): [", name_start);
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
        const size_t type_at = flat.rfind(spec_type);
        if (type_at != std::string::npos && type_at >= at + spec_key.size()) {
            node = flat.substr(at + spec_key.size(), type_at - at - spec_key.size());
            op_type = flat.substr(type_at + spec_type.size());
            flat.erase(at);
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

void refuse_unless_onnx_accepts(const proto::ModelProto& model, const NodeOrigins& origins,
                                const std::vector<std::string>& weight_names) {
    int64_t opset = 0;
    for (const auto& o : model.opset_import)
        if (o.domain.empty() || o.domain == "ai.onnx") opset = o.version;
    if (const int64_t known = onnx_library_max_opset(); opset > known) {
        KLOG(Level::Debug, "kestro::converter::export",
             "ONNX's checker is not run: its library knows opsets up to {}, the model is opset {}",
             known, opset);
        return;
    }

    // A caller that ignores SIGCHLD would have the child reaped before its status is read:
    // the default action holds while the check runs.
    struct ChildSignal {
        struct sigaction saved {};
        bool changed = false;
        ChildSignal() {
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            changed = ::sigaction(SIGCHLD, &dfl, &saved) == 0;
        }
        ~ChildSignal() {
            if (changed) ::sigaction(SIGCHLD, &saved, nullptr);
        }
    } child_signal;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw Error("cannot run ONNX's checker on the model: {}", std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw Error("cannot run ONNX's checker on the model: {}", std::strerror(err));
    }
    if (pid == 0) {
        ::close(fds[0]);
        run_child(fds[1], model, origins, weight_names);
    }
    ::close(fds[1]);

    std::string reply;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t room = kMessageCap - std::min(kMessageCap, reply.size());
        reply.append(chunk, std::min(room, static_cast<size_t>(n)));
    }
    ::close(fds[0]);
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) throw Error("cannot run ONNX's checker on the model: {}", std::strerror(errno));

    size_t stages = 0;
    while (stages < reply.size() && (reply[stages] == '1' || reply[stages] == '2')) ++stages;
    const std::string_view stage = stages == 0            ? "checker"
                                   : reply[stages - 1] == '1' ? "checker"
                                                              : "shape inference";
    reply.erase(0, stages);
    if (WIFSIGNALED(status))
        throw Error("ONNX's {} crashed (signal {}) on the converted model", stage,
                    signal_name(WTERMSIG(status)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.empty())
        throw Error("ONNX's {} ended without a verdict on the converted model (exit status {})",
                    stage, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (reply[0] == 'A') return;
    throw Error("{}", describe_onnx_refusal(reply.substr(1)));
}

}  // namespace kestro
