// The last step of a conversion: finishing passes, validation, encoding, and the one
// file the system writes.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "converter/onnx_check.h"
#include "converter/passes/graph_walk.h"
#include "log.h"

namespace kestro {
namespace {

// Writes every iovec in full, retrying short writes and interruptions. Returns 0 or the
// errno of the failing call.
int write_all(int fd, std::vector<iovec>& iov) {
    size_t first = 0;
    while (first < iov.size()) {
        if (iov[first].iov_len == 0) {
            ++first;
            continue;
        }
        const int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
        const ssize_t n = ::writev(fd, iov.data() + first, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // No progress on a non-empty request would loop forever; treat it as an I/O error.
        if (n == 0) return EIO;
        auto left = static_cast<size_t>(n);
        while (left > 0) {
            iovec& v = iov[first];
            const size_t step = std::min(left, v.iov_len);
            v.iov_base = static_cast<char*>(v.iov_base) + step;
            v.iov_len -= step;
            left -= step;
            if (v.iov_len == 0) ++first;
        }
    }
    return 0;
}

// Copies `size` bytes at `offset` of the file `in` to the current position of `out` inside
// the kernel. Returns 0, the errno of the failing call, or -1 when the kernel cannot copy
// between these two files (the caller then writes the bytes from memory).
int copy_range(int in, uint64_t offset, int out, size_t size) {
    auto off = static_cast<loff_t>(offset);
    bool started = false;
    while (size > 0) {
        const ssize_t n = ::copy_file_range(in, &off, out, nullptr, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (!started && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                             errno == ENOSYS || errno == EBADF)) {
                return -1;
            }
            return errno;
        }
        // The source ended early: it shrank since it was read.
        if (n == 0) return EIO;
        started = true;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Writes the encoded pieces straight from where they live: runs of the sink's buffer are
// gathered into writev calls; weight bytes that are a view of an open file are copied from
// it kernel-side, or written from the mapping when the kernel cannot. Returns 0 or an errno.
int write_pieces(int fd, proto::Sink& sink) {
    const auto& pieces = sink.pieces();
    const std::string& buffer = sink.buffer();
    bool kernel_copy = true;
    std::vector<iovec> iov;
    for (const auto& piece : pieces) {
        if (piece.is_external && kernel_copy && piece.external.origin().fd >= 0) {
            if (const int err = write_all(fd, iov); err != 0) return err;
            iov.clear();
            const int err = copy_range(piece.external.origin().fd, piece.external.origin().offset,
                                       fd, piece.size);
            if (err == 0) continue;
            if (err > 0) return err;
            kernel_copy = false;  // not between these files: memory for the rest
        }
        const uint8_t* base = piece.is_external
                                  ? piece.external.data()
                                  : reinterpret_cast<const uint8_t*>(buffer.data()) + piece.offset;
        iov.push_back({const_cast<uint8_t*>(base), piece.size});
    }
    return write_all(fd, iov);
}

// Asks the file system for the whole output's blocks at once, without changing the file's
// size. Writing into reserved blocks skips the per-page reservation of delayed allocation
// (about a sixth of a large copy's time), and a disk or quota too small for the model fails
// here rather than after filling it. Returns 0 or the errno that says the model cannot fit;
// a file system that cannot reserve is written without it.
int reserve_space(int fd, size_t size) {
    if (size == 0) return 0;
    int rc;
    do {
        rc = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return 0;
    return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? errno : 0;
}

// ---- replacing the output ----
//
// The model is written to a new file beside the output and renamed over it only once it is
// complete and closed, so a failure or a kill never leaves a broken file where a good one
// was. Where the file system allows, the new file has no name while it is written (an
// unnamed file of the folder, gone with its last descriptor, so that even kill -9 leaves
// nothing behind); it is given a hidden name only once complete, just before the rename.
// Elsewhere it is a hidden named file from the start. The new file is made, named, renamed
// and removed relative to the open folder, so that its name beside a long output path never
// has to fit the system's path limit. A signal that ends the process removes a named
// temporary file on its way out: every signal whose default action ends the process and
// that can be caught (a CPU-time limit's SIGXCPU, an alarm, SIGUSR1 as well as SIGINT or
// SIGTERM), then ends the process as that signal would have. Once a weight file is mapped,
// SIGBUS belongs to the fault guard, which calls back here before a fault it cannot mend
// ends the process.

int g_temp_dir = -1;
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_temp_armed = 0;
// The actions in place before the temporary file existed, indexed by signal number; the
// handler puts a signal's back before raising it again.
struct sigaction g_saved_actions[NSIG];

void remove_temp() {
    if (g_temp_armed) {
        ::unlinkat(g_temp_dir, g_temp_name, 0);
        g_temp_armed = 0;
    }
}

void remove_temp_and_die(int sig) {
    // The interrupted code may be about to read errno; the old action may return here.
    const int saved_errno = errno;
    remove_temp();
    // Blocked while this runs, the raised signal arrives on return under the old action.
    ::sigaction(sig, &g_saved_actions[sig], nullptr);
    ::raise(sig);
    errno = saved_errno;
}

// Whether the default action of `sig` ends the process (terminate or dump core), and a
// handler can take its place.
bool is_catchable_fatal_signal(int sig) {
    switch (sig) {
        case SIGKILL: case SIGSTOP:                                // cannot be caught
        case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:    // ignored by default
        case SIGTSTP: case SIGTTIN: case SIGTTOU:                  // stop, not end
            return false;
        default:
            return true;
    }
}

// The name of the temporary file for an output called `base`: hidden, random, and within
// the folder's name limit however long the output's name is. The output's name is cut at a
// character's start, so that a listing still shows what the file was for.
std::string temp_name(int dir, std::string_view base, uint32_t random) {
    constexpr size_t kSuffix = sizeof(".12345678.tmp") - 1;
    long name_max = ::fpathconf(dir, _PC_NAME_MAX);
    if (name_max <= 0 || name_max > NAME_MAX) name_max = NAME_MAX;
    const auto limit = static_cast<size_t>(name_max);
    const size_t room = limit > kSuffix + 1 ? limit - kSuffix - 1 : 0;
    size_t keep = std::min({base.size(), room, size_t{200}});
    // Back to the first byte of the character that would be cut.
    while (keep > 0 && keep < base.size() && (static_cast<uint8_t>(base[keep]) & 0xC0) == 0x80)
        --keep;
    return fmt::format(".{}.{:08x}.tmp", base.substr(0, keep), random);
}

// The path through which an unnamed file open as `fd` can be given a name.
std::string fd_path(int fd) { return fmt::format("/proc/self/fd/{}", fd); }

// Opens an unnamed file in the open folder `dir`, or returns -1 where that cannot be done:
// the kernel or the file system has no unnamed files (EOPNOTSUPP, EISDIR, EINVAL), or no
// /proc shows the descriptor through which it could later be named (linking the descriptor
// itself needs a capability).
int open_unnamed(int dir, mode_t mode) {
    const int fd = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat by_fd {}, by_path {};
    if (::fstat(fd, &by_fd) == 0 && ::stat(fd_path(fd).c_str(), &by_path) == 0 &&
        by_fd.st_dev == by_path.st_dev && by_fd.st_ino == by_path.st_ino) {
        return fd;
    }
    ::close(fd);
    return -1;
}

class TempFile {
public:
    // A new file in the open folder `dir` (which must outlive it) for the output called
    // `base`; `mode` is its permission bits before the file-mode mask applies. The process's
    // file-mode mask and the directory's default ACL apply, as for any file the user creates.
    TempFile(int dir, std::string_view base, mode_t mode) : dir_(dir), base_(base) {
        install_signals();
        fd_ = open_unnamed(dir, mode);
        if (fd_ >= 0) {
            unnamed_ = true;
            return;
        }
        const int err = take_a_name([&](const char* name) {
            fd_ = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            return fd_ >= 0 ? 0 : errno;
        });
        if (err != 0) {
            restore_signals();
            throw os_error(err);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (g_temp_armed) {
            ::unlinkat(dir_, name_.c_str(), 0);
            g_temp_armed = 0;
        }
        restore_signals();
    }

    int fd() const { return fd_; }
    // Gives the complete file a name, if it has none yet, and closes it. Returns 0 or the
    // errno of the naming or of close: a deferred write error (network file systems,
    // quotas) surfaces only there.
    int finish() {
        int err = 0;
        if (unnamed_) {
            err = take_a_name([&](const char* name) {
                return ::linkat(AT_FDCWD, fd_path(fd_).c_str(), dir_, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
            });
        }
        const int rc = ::close(fd_);
        const int close_err = errno;
        fd_ = -1;
        return err != 0 ? err : rc == 0 ? 0 : close_err;
    }
    // Renames the file over `target`, a name in the same folder.
    void rename_to(const std::string& target) {
        if (::renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0) throw os_error(errno);
        g_temp_armed = 0;
    }

private:
    // Calls `make` with hidden random names beside the output until one is free, and arms
    // the removal of the name it makes. Returns 0 or the errno of `make`.
    template <class Make>
    int take_a_name(Make&& make) {
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            name_ = temp_name(dir_, base_, random());
            // A signal between the name's creation and the arming of its removal would leave
            // it behind: the handled signals wait until both are done.
            sigset_t all, before;
            sigfillset(&all);
            ::sigprocmask(SIG_BLOCK, &all, &before);
            const int err = make(name_.c_str());
            if (err == 0) {
                g_temp_dir = dir_;
                std::memcpy(g_temp_name, name_.c_str(), name_.size() + 1);
                // The handler must never see the flag before the whole name.
                std::atomic_signal_fence(std::memory_order_seq_cst);
                g_temp_armed = 1;
            }
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
            if (err == 0) return 0;
            if (err != EEXIST || attempt >= 100) return err;
        }
    }
    void install_signals() {
        struct sigaction sa {};
        sa.sa_handler = remove_temp_and_die;
        sigemptyset(&sa.sa_mask);
        for (int sig = 1; sig < NSIG; ++sig) {
            if (!is_catchable_fatal_signal(sig)) continue;
            struct sigaction old {};
            // Numbers the C library keeps for itself are refused here and left alone.
            if (::sigaction(sig, nullptr, &old) != 0) continue;
            // A signal the caller ignores (nohup, a background job, a broken log pipe) stays
            // ignored. The fault guard, once a weight file is mapped, keeps SIGBUS.
            if (old.sa_handler == SIG_IGN || (sig == SIGBUS && old.sa_handler != SIG_DFL)) continue;
            g_saved_actions[sig] = old;
            if (::sigaction(sig, &sa, nullptr) == 0) installed_.push_back(sig);
        }
        set_unguarded_bus_hook(remove_temp);
    }
    void restore_signals() {
        set_unguarded_bus_hook(nullptr);
        for (const int sig : installed_) ::sigaction(sig, &g_saved_actions[sig], nullptr);
        installed_.clear();
    }

    int dir_;
    std::string base_;
    std::string name_;
    int fd_ = -1;
    bool unnamed_ = false;
    std::vector<int> installed_;
};

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Where a new file must go for `path` to name it: the end of its symlink chain, so that a
// link keeps pointing where it did. Nothing when the path cannot be replaced by a rename (it
// names something other than a regular file, such as a device or a pipe, or a link of /proc
// that names no path): such a path is written in place.
std::optional<std::string> rename_target(const std::string& path) {
    if (path.empty() || path.back() == '/') return std::nullopt;
    struct stat final_st {};
    const bool exists = ::stat(path.c_str(), &final_st) == 0;
    if (exists && !S_ISREG(final_st.st_mode)) return std::nullopt;

    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (hops == 40) throw os_error(ELOOP);
        std::string link(static_cast<size_t>(PATH_MAX), '\0');
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0) throw os_error(errno);
        // A target that fills the whole buffer may have been cut short.
        if (static_cast<size_t>(n) == link.size()) throw os_error(ENAMETOOLONG);
        link.resize(static_cast<size_t>(n));
        current = link.front() == '/' ? link : dir_of(current) + "/" + link;
    }
    if (current.back() == '/') return std::nullopt;
    if (exists) {
        struct stat st {};
        if (::stat(current.c_str(), &st) != 0 || st.st_dev != final_st.st_dev ||
            st.st_ino != final_st.st_ino) {
            return std::nullopt;
        }
    }
    return current;
}

using InputFiles = std::vector<Converter::InputFile>;

// Refuses a file about to be written or replaced (its status `st`) that is one of the
// inputs, whatever path led there: a descriptor path such as /proc/self/fd/3 or
// /dev/stdout reaches an input only once the inputs are open, after the early check.
void refuse_input(const struct stat& st, const std::string& output, const InputFiles& inputs) {
    if (!S_ISREG(st.st_mode)) return;
    for (const auto& in : inputs) {
        if (in.dev == st.st_dev && in.ino == st.st_ino)
            throw output_is_input_error(output, in.what, in.path);
    }
}

// Writes the model to a path that cannot be renamed over (a device, a pipe): in place. The
// file is emptied only once it is known to be no input. Returns 0 or an errno.
int write_in_place(const std::string& path, proto::Sink& sink, const InputFiles& inputs) {
    Fd out{::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)};
    if (out.fd < 0) throw os_error(errno);
    struct stat st {};
    if (::fstat(out.fd, &st) != 0) throw os_error(errno);
    refuse_input(st, path, inputs);
    if (S_ISREG(st.st_mode) && ::ftruncate(out.fd, 0) != 0) throw os_error(errno);
    const int err = write_pieces(out.fd, sink);
    const int fd = std::exchange(out.fd, -1);
    // The write error, if any, is the one worth reporting.
    if (::close(fd) != 0 && err == 0) return errno;
    return err;
}

// `check_inputs` throws when an input changed while it was converted; that explains a failed
// write too (a copy that met the input's new end), so it is asked first.
void write_model_file(const std::string& path, proto::Sink& sink, const InputFiles& inputs,
                      const std::function<void()>& check_inputs) {
    // Refused as opening it would be: the writer's own paths, relative to the folder, would
    // not be.
    if (path.size() >= PATH_MAX) throw os_error(ENAMETOOLONG);
    const std::optional<std::string> target = rename_target(path);
    if (!target) {
        const int err = write_in_place(path, sink, inputs);
        check_inputs();
        if (err != 0) throw os_error(err);
        return;
    }
    // Everything below is relative to the open folder: it is the folder the link chain led
    // to, and a name in it is short however long the path to it.
    const size_t slash = target->rfind('/');
    const std::string name = slash == std::string::npos ? *target : target->substr(slash + 1);
    const Fd dir{::open(dir_of(*target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0) throw os_error(errno);
    // A file that is replaced keeps its permission bits: a private model stays private. One
    // the user may not write is refused, as opening it for writing would be; the rename
    // alone would replace it, because only the folder's permissions are asked.
    struct stat existing {};
    const bool replacing = ::fstatat(dir.fd, name.c_str(), &existing, 0) == 0;
    if (replacing) refuse_input(existing, path, inputs);
    if (replacing && ::faccessat(dir.fd, name.c_str(), W_OK, AT_EACCESS) != 0)
        throw os_error(errno);
    const mode_t mode = replacing ? existing.st_mode & 0777 : 0666;
    TempFile temp(dir.fd, name, mode);
    // The mask may have narrowed the replaced file's bits; a file system without modes
    // (FAT) keeps what it has.
    if (replacing) ::fchmod(temp.fd(), mode);
    int err = reserve_space(temp.fd(), sink.size());
    if (err == 0) err = write_pieces(temp.fd(), sink);
    if (err == 0) err = temp.finish();
    check_inputs();
    if (err != 0) throw os_error(err);
    // What the name holds now is what the rename removes: an input put there meanwhile (or
    // reached only now) is kept.
    struct stat now {};
    if (::fstatat(dir.fd, name.c_str(), &now, 0) == 0)
        refuse_input(now, path, inputs);
    // Once the new model has replaced the old one, the run has succeeded whatever comes
    // after (tearing a large graph down takes a while): from just before the rename to the
    // process's end, the signals that would end it wait, and end with it unseen. A rename
    // that fails lets them through again, to end the process as they would have.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int sig = 1; sig < NSIG; ++sig)
        if (is_catchable_fatal_signal(sig)) sigaddset(&ending, sig);
    ::sigprocmask(SIG_BLOCK, &ending, &before);
    try {
        temp.rename_to(name);
    } catch (...) {
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
}

// Refuses a model whose graphs nest deeper than ONNX's checker reads, naming the operator
// whose node holds the graph past the limit. The program's regions are held to it as the
// program is read, but a lowering that builds a subgraph of its own (a loop, a branch) adds
// a level below its operator's region.
void refuse_graphs_nested_too_deep(const proto::GraphProto& graph, const NodeOrigins& origins,
                                   size_t level = 0) {
    for (const auto& node : graph.node)
        passes::for_each_subgraph(node, [&](const proto::GraphProto& sub) {
            if (level >= passes::kMaxGraphNesting)
                throw Error("{} builds a subgraph in regions nested {} levels deep, and graphs nest "
                            "at most {} levels (ONNX's checker reads no model nested deeper)",
                            origins.describe_node(node).value_or("node " + node.op_type), level,
                            passes::kMaxGraphNesting);
            refuse_graphs_nested_too_deep(sub, origins, level + 1);
        });
}

// Refuses a graph in which a node, or the graph's outputs, read a value that only an operator
// skipped for its unknown dialect would have made, naming that operator: validation would
// report the value as undefined without saying why.
void refuse_reads_of_skipped_outputs(
    const proto::GraphProto& graph,
    const std::unordered_map<std::string, std::string>& skipped, const NodeOrigins& origins) {
    if (skipped.empty()) return;
    // Every name the model defines somewhere; scoping is left to validation.
    std::unordered_set<std::string_view> defined;
    const std::function<void(const proto::GraphProto&)> define = [&](const proto::GraphProto& g) {
        for (const auto& t : g.initializer) defined.insert(t.name);
        for (const auto& i : g.input) defined.insert(i.name);
        for (const auto& node : g.node) {
            for (const auto& out : node.output) defined.insert(out);
            passes::for_each_subgraph(node, define);
        }
    };
    define(graph);
    const auto refuse = [&](const std::string& reader, const std::string& name) {
        if (defined.count(name)) return;
        const auto it = skipped.find(name);
        if (it == skipped.end()) return;
        throw Error("{} reads {}, which operator {} was to make; that operator's dialect is "
                    "unknown, so it was skipped",
                    reader, origins.describe_tensor(name), it->second);
    };
    const std::function<void(const proto::GraphProto&)> check = [&](const proto::GraphProto& g) {
        for (const auto& node : g.node) {
            for (const auto& in : node.input)
                refuse(origins.describe_node(node).value_or("node " + node.op_type), in);
            passes::for_each_subgraph(node, check);
        }
        for (const auto& o : g.output) refuse("graph output", o.name);
    };
    check(graph);
}

}  // namespace

Error output_is_input_error(const std::string& output, std::string_view what,
                            const std::string& input) {
    return Error("the output '{}' is the same file as the {} '{}'", helper::fmt_text(output),
                 what, helper::fmt_text(input));
}

void Converter::encode_model(int64_t opset, proto::Sink& sink, OnnxCheck check) {
    // A model without outputs is one no runtime loads.
    if (graph.output.empty()) throw Error("the program has no fetch: the model would have no outputs");
    sanitize_graph_checked(graph, 0);
    canonicalize_graph_checked(graph, 0);
    prune_dead_nodes_checked(graph, 0);
    prune_unused_initializers_checked(graph, 0);
    refuse_graphs_nested_too_deep(graph, *node_origins);
    refuse_reads_of_skipped_outputs(graph, *skipped_outputs, *node_origins);
    validate_graph(graph, {}, node_origins.get());
    sort_nodes_checked(graph, 0, node_origins.get());
    refuse_names_repeated_in_subgraphs(graph, node_origins.get());

    proto::ModelProto model;
    model.ir_version = 8;
    model.opset_import.push_back(proto::OperatorSetIdProto{"", opset});
    model.producer_name = "kestro";
    model.producer_version = KESTRO_VERSION;
    model.graph = std::exchange(graph, proto::GraphProto{});
    if (check == OnnxCheck::Run) refuse_unless_onnx_accepts(model, *node_origins, state.param_names.get());

    proto::encode(model, sink);
}

// Once the output is replaced, the signals that would end the process stay blocked until it
// ends (see write_model_file): this is the conversion's last step.
void Converter::export_onnx(const std::string& path, int64_t opset) {
    proto::Sink sink;
    encode_model(opset, sink);
    write_model_file(path, sink, input_files, [this] { check_weight_input_unchanged(); });
    KLOG(Level::Info, "kestro::converter::export", "Saved ONNX model to: {}", path);
}

}  // namespace kestro
