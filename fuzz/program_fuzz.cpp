// libFuzzer entry point: one input is one program text, converted the whole way the command
// line converts it, except for the file written at the end: the program is read, a weight
// file that matches the parameters it declares is made and read through the same path as a
// file named on the command line (pairing, the dtype and shape checks), and the model goes
// through the finishing passes (unused-initializer pruning and node sorting among them),
// validation, ONNX's check when the input asks for it (in its child process, as on the
// command line) and the encoding, into memory. Built only with -DKESTRO_FUZZ=ON and clang; a
// refusal (kestro::Error) and a failed allocation are ordinary outcomes, anything else is a
// finding.
//
// The input's first byte chooses how the program is converted when it is 0x80 or above (a
// byte no JSON text starts with); the program is then the bytes after it:
//   bits 0-3  the opset, 10 + (bits % 12), so every opset from 10 to 21
//   bit 4     STRICT
//   bit 5     each weight record's first bytes hold the record's index instead of zeros, so a
//             parameter name declared twice pairs with two different tensors
//   bit 6     the weight records write their dims packed (one length-delimited field) instead
//             of one field per dim, as exported files do
//   bit 7     set: marks the byte as this choice
// After such a byte, a second byte of 0x80 or above chooses more:
//   bit 0     ONNX's check runs on the model (at opsets up to 17), in its child process
// Any other first byte is part of the program, converted at opset 17 without STRICT, with
// zero weights and no check: a program file is a seed as it is (the check costs a process
// per input).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "proto/onnx.h"

namespace {

// Weight files larger than this are not made: the conversion of such a program stops after
// the program is read. The file is sparse, so only its headers cost memory.
constexpr uint64_t kMaxWeightFileBytes = uint64_t{1} << 30;

struct Choice {
    int64_t opset = 17;
    bool strict = false;
    bool numbered = false;
    bool packed = false;
    bool checked = false;
};

// The weight file's element-type code for an ONNX data-type code; float32 for a parameter
// whose type the program does not give (or gives as one no record can hold, which the reader
// then refuses as a mismatch).
uint32_t var_type(std::optional<int32_t> onnx) {
    if (!onnx) return 5;
    switch (*onnx) {
        case kestro::proto::dtype::BOOL: return 0;
        case kestro::proto::dtype::INT16: return 1;
        case kestro::proto::dtype::INT32: return 2;
        case kestro::proto::dtype::INT64: return 3;
        case kestro::proto::dtype::FLOAT16: return 4;
        case kestro::proto::dtype::DOUBLE: return 6;
        case kestro::proto::dtype::UINT8: return 20;
        case kestro::proto::dtype::INT8: return 21;
        case kestro::proto::dtype::BFLOAT16: return 22;
        default: return 5;
    }
}

uint64_t element_size(uint32_t var) {
    switch (var) {
        case 0: case 20: case 21: return 1;
        case 1: case 4: case 22: return 2;
        case 3: case 6: return 8;
        default: return 4;
    }
}

void put_varint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_le(std::string& out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// One record per parameter, in the order the reader pairs them (the converter's byte-sorted
// names), each of the declared element type and dims, data zero (or numbered). Written to a
// memory file; returns its descriptor, or -1 when the declared sizes pass the limit.
int make_weight_file(const kestro::Converter& c, const Choice& choice) {
    struct Record {
        std::string header;
        uint64_t data_size;
    };
    std::vector<Record> records;
    uint64_t total = 0;
    for (const std::string& name : c.state.param_names.get()) {
        const kestro::ParamMeta* meta = c.state.param_meta.find(name);
        const uint32_t var = var_type(meta ? meta->dtype : std::nullopt);
        std::string desc;
        put_varint(desc, 0x08);
        put_varint(desc, var);
        uint64_t count = 1;
        std::string dims;
        for (const int64_t d : meta ? meta->shape : std::vector<int64_t>{}) {
            // A dim the program leaves unknown (-1) is written as it is: the reader refuses it.
            if (d > 0 && __builtin_mul_overflow(count, static_cast<uint64_t>(d), &count))
                return -1;
            if (d == 0) count = 0;
            if (!choice.packed) put_varint(dims, 0x10);
            put_varint(dims, static_cast<uint64_t>(d));
        }
        if (choice.packed && !dims.empty()) {
            put_varint(desc, 0x12);
            put_varint(desc, dims.size());
        }
        desc += dims;
        uint64_t size = 0;
        if (__builtin_mul_overflow(count, element_size(var), &size)) return -1;
        Record r;
        put_le(r.header, 0, 4);  // format version
        put_le(r.header, 0, 8);  // no LoD levels
        put_le(r.header, 0, 4);  // tensor version
        put_le(r.header, desc.size(), 4);
        r.header += desc;
        r.data_size = size;
        if (__builtin_add_overflow(total, r.header.size(), &total) ||
            __builtin_add_overflow(total, size, &total) || total > kMaxWeightFileBytes)
            return -1;
        records.push_back(std::move(r));
    }

    const int fd = ::memfd_create("weights", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::ftruncate(fd, static_cast<off_t>(total)) != 0) {
        ::close(fd);
        return -1;
    }
    uint64_t at = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        std::string bytes = r.header;
        if (choice.numbered) bytes.append(std::min<uint64_t>(r.data_size, 8), static_cast<char>(i + 1));
        if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
            static_cast<ssize_t>(bytes.size())) {
            ::close(fd);
            return -1;
        }
        at += r.header.size() + r.data_size;
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Choice choice;
    if (size > 0 && data[0] >= 0x80) {
        choice.opset = 10 + (data[0] & 0x0F) % 12;
        choice.strict = (data[0] & 0x10) != 0;
        choice.numbered = (data[0] & 0x20) != 0;
        choice.packed = (data[0] & 0x40) != 0;
        ++data;
        --size;
        if (size > 0 && data[0] >= 0x80) {
            choice.checked = (data[0] & 0x01) != 0;
            ++data;
            --size;
        }
    }
    kestro::Converter c;
    c.opset = choice.opset;
    c.strict = choice.strict;
    try {
        // Exactly the input's bytes: anything read past them is reported by the sanitizer.
        c.load_paddle_model_from_buffer(std::vector<uint8_t>(data, data + size));
        const kestro::Fd weights{make_weight_file(c, choice)};
        if (weights.fd < 0) return 0;
        c.load_paddle_weights("/proc/self/fd/" + std::to_string(weights.fd));
        kestro::proto::Sink sink;
        c.encode_model(choice.opset, sink,
                       choice.checked ? kestro::Converter::OnnxCheck::Run : kestro::Converter::OnnxCheck::Skip);
        sink.pieces();
    } catch (const kestro::Error&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
