// Element-type tables: Paddle tokens and words, ONNX type names and sizes.
#include "helper/helper.h"

namespace kestro::helper {

std::optional<int32_t> paddle_dtype_token_to_onnx(std::string_view word) {
    namespace d = proto::dtype;
    struct Entry {
        std::string_view word;
        int32_t code;
    };
    static constexpr Entry table[] = {
        {"f32", d::FLOAT},   {"float32", d::FLOAT},   {"ui8", d::UINT8},   {"uint8", d::UINT8},
        {"i8", d::INT8},     {"int8", d::INT8},       {"i16", d::INT16},   {"int16", d::INT16},
        {"i32", d::INT32},   {"int32", d::INT32},     {"i64", d::INT64},   {"int64", d::INT64},
        {"bool", d::BOOL},   {"f16", d::FLOAT16},     {"float16", d::FLOAT16},
        {"f64", d::DOUBLE},  {"float64", d::DOUBLE},
    };
    for (const Entry& e : table)
        if (e.word == word) return e.code;
    return std::nullopt;
}

std::optional<std::string_view> paddle_token_word(std::string_view token) {
    constexpr std::string_view prefix = "0.t_";
    if (token.substr(0, prefix.size()) != prefix) return std::nullopt;
    return token.substr(prefix.size());
}

std::optional<int32_t> paddle_token_to_onnx(std::string_view token) {
    const auto word = paddle_token_word(token);
    return word ? paddle_dtype_token_to_onnx(*word) : std::nullopt;
}

std::string_view paddle_short_token(int32_t code) {
    switch (code) {
        case proto::dtype::FLOAT: return "0.t_f32";
        case proto::dtype::UINT8: return "0.t_ui8";
        case proto::dtype::INT8: return "0.t_i8";
        case proto::dtype::INT16: return "0.t_i16";
        case proto::dtype::INT32: return "0.t_i32";
        case proto::dtype::INT64: return "0.t_i64";
        case proto::dtype::BOOL: return "0.t_bool";
        case proto::dtype::FLOAT16: return "0.t_f16";
        case proto::dtype::DOUBLE: return "0.t_f64";
        default: return {};
    }
}

const char* onnx_dtype_name(int32_t code) {
    switch (code) {
        case proto::dtype::FLOAT: return "float32";
        case proto::dtype::UINT8: return "uint8";
        case proto::dtype::INT8: return "int8";
        case proto::dtype::UINT16: return "uint16";
        case proto::dtype::INT16: return "int16";
        case proto::dtype::INT32: return "int32";
        case proto::dtype::INT64: return "int64";
        case proto::dtype::BOOL: return "bool";
        case proto::dtype::FLOAT16: return "float16";
        case proto::dtype::DOUBLE: return "float64";
        case proto::dtype::BFLOAT16: return "bfloat16";
        default: return "unknown";
    }
}

size_t onnx_dtype_size(int32_t code) {
    switch (code) {
        case proto::dtype::UINT8:
        case proto::dtype::INT8:
        case proto::dtype::BOOL: return 1;
        case proto::dtype::UINT16:
        case proto::dtype::INT16:
        case proto::dtype::FLOAT16:
        case proto::dtype::BFLOAT16: return 2;
        case proto::dtype::FLOAT:
        case proto::dtype::INT32:
        case proto::dtype::UINT32: return 4;
        case proto::dtype::INT64:
        case proto::dtype::DOUBLE:
        case proto::dtype::UINT64: return 8;
        default: return 0;
    }
}

bool is_float_onnx_dtype(int32_t code) {
    return code == proto::dtype::FLOAT || code == proto::dtype::FLOAT16 ||
           code == proto::dtype::DOUBLE;
}

bool is_integer_onnx_dtype(int32_t code) {
    using namespace proto::dtype;
    return code == UINT8 || code == INT8 || code == INT16 || code == INT32 || code == INT64;
}

std::optional<int32_t> where_compute_type(int32_t type) {
    using namespace proto::dtype;
    if (type == BOOL || type == INT8 || type == INT16 || type == UINT16) return INT32;
    if (type == UINT32) return INT64;
    return std::nullopt;
}

}  // namespace kestro::helper
