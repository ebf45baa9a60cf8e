// Number rules shared by messages and lowerings: plain-decimal rendering, narrowing to
// 32-bit floats, saturating float-to-integer conversion and overflow-checked size arithmetic.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

#include "helper/helper.h"

namespace kestro::helper {

std::string fmt_f64(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";

    // Shortest round-trip digits come from the scientific form; fixed notation would print
    // the exact binary value (1e39 as 999999999999999939709166371603178586112), so the
    // digits are placed by hand instead.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));

    std::string out;
    if (!sci.empty() && sci[0] == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    // The decimal point goes after `point` digits (may be before the first or past the last).
    const long point = 1L + exponent;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out.push_back('.');
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

std::string fmt_dims(const std::vector<int64_t>& dims) {
    return fmt::format("[{}]", fmt::join(dims, ", "));
}

float to_f32_or_inf(double v) {
    // Round to nearest: up to the halfway point between FLT_MAX and 2^128 a value still
    // rounds to FLT_MAX (3.4028235e38, as FLT_MAX is usually written, is past it); from
    // there on it is infinite (the tie goes to the even neighbour, infinity).
    constexpr double overflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
    if (std::isfinite(v) && std::fabs(v) > static_cast<double>(FLT_MAX)) {
        const float magnitude = std::fabs(v) >= overflow ? HUGE_VALF : FLT_MAX;
        return v < 0 ? -magnitude : magnitude;
    }
    return static_cast<float>(v);
}

int64_t saturate_i64(double v) {
    constexpr double two63 = 9223372036854775808.0;
    if (std::isnan(v)) return 0;
    if (v >= two63) return std::numeric_limits<int64_t>::max();
    if (v < -two63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);  // in range: truncates toward zero
}

std::vector<int64_t> saturate_i64(const std::vector<double>& values) {
    std::vector<int64_t> out;
    out.reserve(values.size());
    for (double v : values) out.push_back(saturate_i64(v));
    return out;
}

std::optional<int64_t> checked_mul(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

std::optional<int64_t> checked_add(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace kestro::helper
