// Decoding the TensorDesc message that precedes each tensor's data in a .pdiparams weight file.
#include "proto/paddle.h"

#include <array>

#include "error.h"
#include "proto/wire.h"

namespace kestro::proto::paddle {

namespace {

// VarType.Type member names by value; empty where the value names no member.
constexpr std::array<std::string_view, 39> kVarTypeNames = {
    "Bool",          "Int16",      "Int32",       "Int64",      "Fp16",
    "Fp32",          "Fp64",       "DenseTensor", "SelectedRows", "FeedMinibatch",
    "FetchList",     "StepScopes", "LodRankTable", "DenseTensorArray", "PlaceList",
    "Reader",        "",           "Raw",         "Tuple",      "SizeT",
    "Uint8",         "Int8",       "Bf16",        "Complex64",  "Complex128",
    "String",        "Strings",    "Vocab",       "FeedList",   "Pstring",
    "SparseCoo",     "SparseCsr",  "Fp8E4m3fn",   "Fp8E5m2",    "",
    "",              "Uint16",     "Uint32",      "Uint64",
};

[[noreturn]] void fail(std::string_view where, std::string_view what) {
    throw Error("failed to decode Protobuf message: {}: {}", where, what);
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    size_t pos() const { return pos_; }

    uint64_t varint(std::string_view where) {
        auto v = wire::read_varint(data_, size_, pos_);
        if (!v) fail(where, "invalid or truncated varint");
        return *v;
    }
    // Skips n bytes; fails when fewer remain.
    void skip(uint64_t n, std::string_view where) {
        if (n > size_ - pos_) fail(where, "buffer underflow");
        pos_ += static_cast<size_t>(n);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const char* wire_type_name(uint32_t wt) {
    switch (wt) {
        case 0: return "Varint";
        case 1: return "SixtyFourBit";
        case 2: return "LengthDelimited";
        case 3: return "StartGroup";
        case 4: return "EndGroup";
        case 5: return "ThirtyTwoBit";
        default: return "unknown";
    }
}

}  // namespace

bool is_var_type_member(int32_t value) {
    return value >= 0 && static_cast<size_t>(value) < kVarTypeNames.size() &&
           !kVarTypeNames[static_cast<size_t>(value)].empty();
}

std::string_view var_type_name(int32_t value) {
    return is_var_type_member(value) ? kVarTypeNames[static_cast<size_t>(value)]
                                     : kVarTypeNames[0];
}

TensorDesc decode_tensor_desc(const uint8_t* data, size_t size) {
    TensorDesc desc;
    int32_t data_type = 0;
    Reader r(data, size);
    while (!r.done()) {
        const uint64_t key = r.varint("TensorDesc");
        const uint64_t field = key >> 3;
        const uint32_t wt = static_cast<uint32_t>(key & 7);
        if (field == 0 || field > 0x1FFFFFFF) {
            fail("TensorDesc", fmt::format("invalid tag value: {}", key));
        }
        if (wt == 3 || wt == 4 || wt > 5) {
            fail("TensorDesc", fmt::format("invalid wire type {} for field {}",
                                           wire_type_name(wt), field));
        }
        if (field == 1) {
            if (wt != wire::kVarint) {
                fail("TensorDesc.data_type",
                     fmt::format("invalid wire type: {} (expected Varint)", wire_type_name(wt)));
            }
            // An enumeration keeps the low 32 bits of its varint; the last occurrence wins.
            data_type = static_cast<int32_t>(static_cast<uint32_t>(r.varint("TensorDesc.data_type")));
        } else if (field == 2 && wt == wire::kVarint) {
            desc.dims.push_back(static_cast<int64_t>(r.varint("TensorDesc.dims")));
        } else if (field == 2 && wt == wire::kLengthDelimited) {
            const uint64_t len = r.varint("TensorDesc.dims");
            const size_t start = r.pos();
            r.skip(len, "TensorDesc.dims");
            Reader packed(data + start, static_cast<size_t>(len));
            while (!packed.done()) {
                desc.dims.push_back(static_cast<int64_t>(packed.varint("TensorDesc.dims")));
            }
        } else if (field == 2) {
            fail("TensorDesc.dims",
                 fmt::format("invalid wire type: {} (expected Varint or LengthDelimited)",
                             wire_type_name(wt)));
        } else {
            switch (wt) {
                case wire::kVarint: r.varint("TensorDesc"); break;
                case wire::kFixed64: r.skip(8, "TensorDesc"); break;
                case wire::kFixed32: r.skip(4, "TensorDesc"); break;
                default: r.skip(r.varint("TensorDesc"), "TensorDesc"); break;
            }
        }
    }
    // A missing type, or one that names no member, reads as the first member (Bool).
    desc.data_type = is_var_type_member(data_type) ? data_type : 0;
    return desc;
}

}  // namespace kestro::proto::paddle
