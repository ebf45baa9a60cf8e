// The last step of a conversion: finishing passes, validation, encoding, and the one
// file the system writes.
#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "converter/converter.h"
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

// Writes the encoded pieces straight from where they live: runs of the sink's buffer,
// and weight bytes referenced from the buffer they were read into.
void write_model_file(const std::string& path, proto::Sink& sink) {
    const auto& pieces = sink.pieces();
    const std::string& buffer = sink.buffer();
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (const auto& piece : pieces) {
        const uint8_t* base = piece.is_external
                                  ? piece.external.data()
                                  : reinterpret_cast<const uint8_t*>(buffer.data()) + piece.offset;
        iov.push_back({const_cast<uint8_t*>(base), piece.size});
    }

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw os_error(errno);
    if (const int err = write_all(fd, iov); err != 0) {
        ::close(fd);  // the write error is the one worth reporting
        throw os_error(err);
    }
    // A deferred write error (network file systems, quotas) surfaces only here; the file
    // is not complete unless close succeeds.
    if (::close(fd) != 0) throw os_error(errno);
}

}  // namespace

void Converter::export_onnx(const std::string& path, int64_t opset) {
    // A model without outputs is one no runtime loads.
    if (graph.output.empty()) throw Error("the program has no fetch: the model would have no outputs");
    sanitize_graph_checked(graph, 0);
    canonicalize_graph_checked(graph, 0);
    prune_dead_nodes_checked(graph, 0);
    prune_unused_initializers_checked(graph, 0);
    validate_graph(graph, {});
    sort_nodes_checked(graph, 0);

    proto::ModelProto model;
    model.ir_version = 8;
    model.opset_import.push_back(proto::OperatorSetIdProto{"", opset});
    model.producer_name = "kestro";
    model.producer_version = "0.1.2";
    model.graph = std::exchange(graph, proto::GraphProto{});

    proto::Sink sink;
    proto::encode(model, sink);
    write_model_file(path, sink);
    KLOG(Level::Info, "kestro::converter::export", "Saved ONNX model to: {}", path);
}

}  // namespace kestro
