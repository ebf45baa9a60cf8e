// The weight reader: the .pdiparams records, paired by position with the byte-sorted
// parameter names, become the graph's weight initializers.
#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "helper/helper.h"
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

// One record whose header, descriptor and checks have passed.
struct Record {
    const std::string* name;
    std::vector<int64_t> dims;
    int32_t onnx;
    uint64_t data;  // offset of its data bytes
    uint64_t size;  // number of data bytes
};

// Where a walk over the records stands: the next record's offset and index, and, once that
// record's header has passed its checks, where its data ends (0 before), so that a record
// whose data is still arriving is not decoded again for every piece of it.
struct Walk {
    uint64_t pos = 0;
    uint64_t index = 0;
    uint64_t data_end = 0;
};

// A record's descriptor and the offset its data starts at.
struct RecordHeader {
    proto::paddle::TensorDesc desc;
    uint64_t data;
};

// The header of the record at `start`; nullopt when the walk must wait for more bytes
// (`complete` false). Missing bytes at the end of the file are refused.
std::optional<RecordHeader> read_record_header(const uint8_t* data, uint64_t len,
                                                            uint64_t start, bool complete) {
    auto missing = [&](uint64_t need) { return start + need > len; };
    if (missing(4)) {
        if (!complete) return std::nullopt;
        throw Error("Truncated .pdiparams header at byte {}", start);
    }
    if (missing(12)) {
        if (!complete) return std::nullopt;
        throw Error("Truncated LoD header at byte {}", start + 4);
    }
    if (read_le(data + start + 4, 8) != 0) throw Error("LoD tensors not supported");
    if (missing(16)) {
        if (!complete) return std::nullopt;
        throw Error("Truncated tensor metadata header at byte {}", start + 12);
    }
    if (missing(20)) {
        if (!complete) return std::nullopt;
        throw Error("Truncated tensor desc size at byte {}", start + 16);
    }
    const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(read_le(data + start + 16, 4)));
    if (d < 0) throw Error("Invalid tensor desc size {} at byte {}", d, start + 16);
    const uint64_t desc_size = static_cast<uint64_t>(d);
    if (missing(20 + desc_size)) {
        if (!complete) return std::nullopt;
        throw Error("Truncated tensor desc: need {} bytes at byte {}", d, start + 20);
    }
    return RecordHeader{
        proto::paddle::decode_tensor_desc(data + start + 20, static_cast<size_t>(desc_size)),
        start + 20 + desc_size};
}

// The element type of a descriptor and the byte size of its data, both checked.
std::pair<ElementType, uint64_t> checked_data_size(const proto::paddle::TensorDesc& desc) {
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
    return {*type, n};
}

// Holds a record to what the program declares for the parameter it pairs with.
void check_against_program(const ConverterState& state, const std::string& name,
                           const std::vector<int64_t>& dims, int32_t onnx) {
    const ParamMeta* meta = state.param_meta.find(name);
    if (meta) {
        if (meta->dtype && *meta->dtype != onnx) {
            throw Error("Weight tensor '{}' dtype mismatch: expected {} from model metadata, got {}",
                        helper::fmt_text(name), helper::onnx_dtype_name(*meta->dtype),
                        helper::onnx_dtype_name(onnx));
        }
        if (meta->shape != dims) {
            throw Error("Weight tensor '{}' shape mismatch: expected {} from model metadata, got {}",
                        helper::fmt_text(name), helper::fmt_dims(meta->shape),
                        helper::fmt_dims(dims));
        }
    }
    // bfloat16 weights only where the program declares them: a parameter of unknown type
    // would carry them into operators that expect another type, an invalid model.
    if (onnx == proto::dtype::BFLOAT16 && !(meta && meta->dtype)) {
        throw Error("Weight tensor '{}' is bfloat16, but the program does not declare it so",
                    helper::fmt_text(name));
    }
}

// Walks the records of data[0, len) from walk.pos on, checking each and handing it to
// `accept`. With `complete` false more bytes may still come (a stream being read): the walk
// stops before the first incomplete record instead of calling it truncated, and resumes
// from there on the next call, so every check runs as soon as its bytes have arrived.
void walk_records(const ConverterState& state, const uint8_t* data, uint64_t len,
                  bool complete, Walk& walk, const std::function<void(const Record&)>& accept) {
    const std::vector<std::string>& names = state.param_names.get();
    while (walk.pos < len) {
        if (!complete && walk.data_end > len) return;
        const uint64_t start = walk.pos;
        const uint64_t index = walk.index;
        std::optional<RecordHeader> header = read_record_header(data, len, start, complete);
        if (!header) return;
        proto::paddle::TensorDesc& desc = header->desc;
        const auto [type, n] = checked_data_size(desc);
        const uint64_t p = header->data;
        if (p + n > len) {
            if (!complete) {
                walk.data_end = p + n;
                return;
            }
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
        check_against_program(state, name, desc.dims, type.onnx);

        if (accept) accept(Record{&name, std::move(desc.dims), type.onnx, p, n});
        walk.pos = p + n;
        walk.index = index + 1;
        walk.data_end = 0;
    }
}

// A weight file's first record starts with the format version, 0 in every file PaddlePaddle
// writes (and the only one it reads). Anything else is some other file in the weights' place
// (a program, a YAML configuration, a Git LFS pointer): said so, with what its first bytes
// are, instead of the record check it would happen to fail first.
void refuse_foreign_weight_file(const uint8_t* data, uint64_t len, const std::string& path) {
    if (len < 4 || read_le(data, 4) == 0) return;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, 20));
    const helper::TextStart start =
        helper::text_start(std::string_view(reinterpret_cast<const char*>(data), n));
    std::string what;
    if (!start.binary) {
        what = fmt::format("the text \"{}\"",
                           helper::fmt_text(std::string_view(reinterpret_cast<const char*>(data), start.length)));
    } else {
        for (size_t i = 0; i < std::min<size_t>(n, 8); ++i)
            what += fmt::format("{}{:02x}", i == 0 ? "" : " ", data[i]);
        what += n > 8 ? " ..., not version 0" : ", not version 0";
    }
    throw Error("'{}' is not a .pdiparams weight file (the first record's header is {})",
                helper::fmt_text(path), what);
}

}  // namespace

void Converter::load_paddle_weights(const std::string& path) {
    // A regular file is mapped at the size fstat gave. A FIFO or /dev/stdin (size 0 to
    // fstat) is read at most one byte past the limit, so it cannot take unbounded memory,
    // and checked record by record as it arrives, so an endless stream of garbage fails at
    // its first bad record.
    Walk early;
    auto input = InputBytes::open(
        path, kWeightSizeLimit,
        [](uint64_t size) {
            return Error(".pdiparams file is too large: {} bytes exceeds soft limit {} bytes",
                         size, kWeightSizeLimit);
        },
        [&](const uint8_t* data, uint64_t size) {
            refuse_foreign_weight_file(data, size, path);
            walk_records(state, data, size, false, early, nullptr);
        });
    refuse_foreign_weight_file(input->data(), input->size(), path);
    if (const struct stat& st = input->opened(); S_ISREG(st.st_mode))
        input_files.push_back({"weight file", path, st.st_dev, st.st_ino});
    load_paddle_weights_from_input(std::move(input));
}

void Converter::load_paddle_weights_from_input(std::shared_ptr<const InputBytes> input) {
    weight_input = input;
    try {
        load_paddle_weights_from(input, input->data(), input->size(), input->fd());
    } catch (const Error&) {
        // Whatever a changed file made the reader see, the change is the fault to report.
        check_weight_input_unchanged();
        throw;
    }
    check_weight_input_unchanged();
}

void Converter::check_weight_input_unchanged() const {
    if (weight_input && weight_input->changed()) {
        throw Error(".pdiparams file changed while it was being converted");
    }
}

void Converter::load_paddle_weights_from_buffer(
    std::shared_ptr<const std::vector<uint8_t>> buffer) {
    const uint8_t* data = buffer->data();
    const uint64_t size = buffer->size();
    load_paddle_weights_from(std::move(buffer), data, size, -1);
}

void Converter::load_paddle_weights_from(std::shared_ptr<const void> owner, const uint8_t* data,
                                         uint64_t len, int fd) {
    // Where each name's first initializer went, to catch one name paired with two
    // different tensors: every consumer would silently read only one of them.
    std::unordered_map<std::string, size_t> appended;
    Walk walk;
    walk_records(state, data, len, true, walk, [&](const Record& r) {
        proto::TensorProto init;
        init.name = *r.name;
        init.dims = r.dims;
        init.data_type = r.onnx;
        init.raw_data = proto::Bytes(owner, data + r.data, static_cast<size_t>(r.size),
                                     proto::FileOrigin{fd, r.data});
        const auto [it, fresh] = appended.emplace(init.name, graph.initializer.size());
        if (!fresh && !same_tensor(graph.initializer[it->second], init)) {
            throw Error("duplicate parameter name {} with different weights", helper::fmt_text(init.name));
        }
        graph.initializer.push_back(std::move(init));
    });

    const size_t expected = state.param_names.get().size();
    if (walk.index != expected) {
        throw Error("Weight count mismatch: loaded {} tensors for {} parameters", walk.index,
                    expected);
    }
}

}  // namespace kestro
