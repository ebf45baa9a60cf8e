// libFuzzer entry point: one input is one program text, converted as far as kestro goes
// without a weight file (load, both passes, the finishing passes and the encoding). Built
// only with -DKESTRO_FUZZ=ON and clang; a refusal is an ordinary kestro::Error.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "converter/converter.h"
#include "proto/onnx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kestro::Converter c;
    try {
        // Exactly the input's bytes: anything read past them is reported by the sanitizer.
        c.load_paddle_model_from_buffer(std::vector<uint8_t>(data, data + size));
        kestro::Converter::sanitize_graph_checked(c.graph, 0);
        kestro::Converter::canonicalize_graph_checked(c.graph, 0);
        kestro::Converter::prune_dead_nodes_checked(c.graph, 0);
        kestro::Converter::validate_graph(c.graph, {});
        kestro::proto::ModelProto model;
        model.graph = std::move(c.graph);
        kestro::proto::Sink sink;
        kestro::proto::encode(model, sink);
    } catch (const kestro::Error&) {
    }
    return 0;
}
