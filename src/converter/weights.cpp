// The weight reader: the .pdiparams records, paired by position with the byte-sorted
// parameter names, become the graph's weight initializers.
#include <unordered_map>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "proto/paddle.h"

namespace kestro {

namespace {

// Both the whole file and any one tensor in it.
constexpr uint64_t kWeightSizeLimit = 8589934592ULL;

struct ElementType {
    int32_t onnx;
    uint64_t size;
};

std::optional<ElementType> element_type(int32_t var_type) {
    switch (var_type) {
        case 0: return ElementType{proto::dtype::BOOL, 1};
        case 1: return ElementType{proto::dtype::INT16, 2};
        case 2: return ElementType{proto::dtype::INT32, 4};
        case 3: return ElementType{proto::dtype::INT64, 8};
        case 4: return ElementType{proto::dtype::FLOAT16, 2};
        case 5: return ElementType{proto::dtype::FLOAT, 4};
        case 6: return ElementType{proto::dtype::DOUBLE, 8};
        case 20: return ElementType{proto::dtype::UINT8, 1};
        case 21: return ElementType{proto::dtype::INT8, 1};
        case 22: return ElementType{proto::dtype::BFLOAT16, 2};
        default: return std::nullopt;
    }
}

uint64_t read_le(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

bool same_tensor(const proto::TensorProto& a, const proto::TensorProto& b) {
    return a.data_type == b.data_type && a.dims == b.dims && a.raw_data == b.raw_data;
}

}  // namespace

void Converter::load_paddle_weights(const std::string& path) {
    // Read at most one byte past the limit, so a FIFO or /dev/stdin (size 0 to fstat) or
    // a file growing after fstat cannot take unbounded memory. The bytes are moved, not
    // copied, into the shared buffer that the initializers view.
    auto bytes = std::make_shared<const std::vector<uint8_t>>(
        read_file_capped(path, kWeightSizeLimit, [](uint64_t size) {
            return Error(".pdiparams file is too large: {} bytes exceeds soft limit {} bytes",
                         size, kWeightSizeLimit);
        }));
    load_paddle_weights_from_buffer(std::move(bytes));
}

void Converter::load_paddle_weights_from_buffer(
    std::shared_ptr<const std::vector<uint8_t>> buffer) {
    const std::vector<std::string>& names = state.param_names.get();
    const uint8_t* data = buffer->data();
    const uint64_t len = buffer->size();
    uint64_t pos = 0;
    uint64_t index = 0;
    // Where each name's first initializer went, to catch one name paired with two
    // different tensors: every consumer would silently read only one of them.
    std::unordered_map<std::string, size_t> appended;

    while (pos < len) {
        const uint64_t start = pos;
        if (start + 4 > len) throw Error("Truncated .pdiparams header at byte {}", start);
        if (start + 12 > len) throw Error("Truncated LoD header at byte {}", start + 4);
        if (read_le(data + start + 4, 8) != 0) throw Error("LoD tensors not supported");
        if (start + 16 > len) {
            throw Error("Truncated tensor metadata header at byte {}", start + 12);
        }
        if (start + 20 > len) throw Error("Truncated tensor desc size at byte {}", start + 16);
        const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(read_le(data + start + 16, 4)));
        if (d < 0) throw Error("Invalid tensor desc size {} at byte {}", d, start + 16);
        const uint64_t desc_size = static_cast<uint64_t>(d);
        if (start + 20 + desc_size > len) {
            throw Error("Truncated tensor desc: need {} bytes at byte {}", d, start + 20);
        }
        const proto::paddle::TensorDesc desc =
            proto::paddle::decode_tensor_desc(data + start + 20, static_cast<size_t>(desc_size));

        // The check runs at every step, so [huge, huge, 0] fails although its count is 0.
        uint64_t count = 1;
        for (int64_t dim : desc.dims) {
            if (dim < 0) throw Error("Invalid negative tensor dim {}", dim);
            if (__builtin_mul_overflow(count, static_cast<uint64_t>(dim), &count)) {
                throw Error("Tensor element count overflow");
            }
        }
        const auto type = element_type(desc.data_type);
        if (!type) {
            throw Error("Unsupported data_type: {}",
                        proto::paddle::var_type_name(desc.data_type));
        }
        uint64_t n = 0;
        if (__builtin_mul_overflow(count, type->size, &n)) {
            throw Error("Tensor byte size overflow");
        }
        if (n > kWeightSizeLimit) {
            throw Error("Tensor byte size {} exceeds soft limit {}", n, kWeightSizeLimit);
        }
        const uint64_t p = start + 20 + desc_size;
        if (p + n > len) {
            throw Error("Truncated tensor data for parameter index {}: need {} bytes at byte {}",
                        index, n, p);
        }
        if (index >= names.size()) {
            throw Error(
                "Weight file contains more tensors than discovered parameters (extra tensor at "
                "index {})",
                index);
        }

        const std::string& name = names[static_cast<size_t>(index)];
        if (const ParamMeta* meta = state.param_meta.find(name)) {
            if (meta->dtype && *meta->dtype != type->onnx) {
                throw Error("Weight tensor '{}' dtype mismatch: expected {} from model metadata, got {}",
                            helper::fmt_text(name), helper::onnx_dtype_name(*meta->dtype),
                            helper::onnx_dtype_name(type->onnx));
            }
            if (meta->shape != desc.dims) {
                throw Error("Weight tensor '{}' shape mismatch: expected {} from model metadata, got {}",
                            helper::fmt_text(name), helper::fmt_dims(meta->shape),
                            helper::fmt_dims(desc.dims));
            }
        }

        proto::TensorProto init;
        init.name = name;
        init.dims = desc.dims;
        init.data_type = type->onnx;
        init.raw_data = proto::Bytes(buffer, static_cast<size_t>(p), static_cast<size_t>(n));

        const auto [it, fresh] = appended.emplace(name, graph.initializer.size());
        if (!fresh && !same_tensor(graph.initializer[it->second], init)) {
            throw Error("duplicate parameter name {} with different weights", helper::fmt_text(name));
        }
        graph.initializer.push_back(std::move(init));
        pos = p + n;
        ++index;
    }

    if (index != names.size()) {
        throw Error("Weight count mismatch: loaded {} tensors for {} parameters", index,
                    names.size());
    }
}

}  // namespace kestro
