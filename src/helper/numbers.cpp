// Number rules shared by messages and lowerings: plain-decimal rendering, narrowing to
// 32-bit floats, saturating float-to-integer conversion and overflow-checked size arithmetic.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <algorithm>
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

TextStart text_start(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return {i, true};
        const size_t len = c < 0x80 ? 1 : c < 0xC2 || c > 0xF4 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (len == 0) return {i, true};
        // A character cut by the end is judged by the bytes it has.
        for (size_t k = 1; k < len && i + k < bytes.size(); ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return {i, true};
        if (i + len > bytes.size()) break;
        i += len;
    }
    return {i, false};
}

std::string fmt_text(std::string_view text) {
    std::string out;
    size_t i = 0;
    const auto byte = [&](size_t k) -> uint32_t {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0;
    };
    for (; i < text.size() && out.size() < kQuoteLimit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\x{:02x}", c);
            continue;
        }
        // Characters a terminal acts on rather than shows: the C1 controls (U+0080-U+009F)
        // and the bidirectional controls (U+061C, U+200E, U+200F, U+202A-U+202E,
        // U+2066-U+2069), which would make it show a name other than the one the program
        // holds. They are written as \u{...}.
        uint32_t escaped = 0;
        size_t length = 0;
        if (c == 0xC2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9F) {
            escaped = byte(i + 1);
            length = 2;
        } else if (c == 0xD8 && byte(i + 1) == 0x9C) {
            escaped = 0x061C;
            length = 2;
        } else if (c == 0xE2 && (byte(i + 1) == 0x80 || byte(i + 1) == 0x81) &&
                   byte(i + 2) >= 0x80 && byte(i + 2) <= 0xBF) {
            const uint32_t cp = 0x2000 | (byte(i + 1) & 0x3F) << 6 | (byte(i + 2) & 0x3F);
            if (cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
                (cp >= 0x2066 && cp <= 0x2069)) {
                escaped = cp;
                length = 3;
            }
        }
        if (length != 0) {
            out += fmt::format("\\u{{{:x}}}", escaped);
            i += length - 1;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (i == text.size()) return out;
    // Cut before a UTF-8 continuation byte's sequence rather than inside it.
    size_t end = out.size();
    while (end > 0 && (static_cast<unsigned char>(out[end - 1]) & 0xC0) == 0x80) --end;
    if (end > 0 && static_cast<unsigned char>(out[end - 1]) >= 0xC0) {
        // The lead byte's sequence may be whole; keep it when it is.
        const auto lead = static_cast<unsigned char>(out[end - 1]);
        const size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        end = out.size() - (end - 1) >= len ? out.size() : end - 1;
    } else {
        end = out.size();
    }
    out.resize(end);
    return out + "...";
}

std::string fmt_dims(const std::vector<int64_t>& dims) {
    // Only the dims that fit in a quoted value are formatted.
    std::string out = "[";
    for (size_t k = 0; k < dims.size() && out.size() <= kQuoteLimit; ++k) {
        if (k > 0) out += ", ";
        out += std::to_string(dims[k]);
    }
    return fmt_text(out + "]");
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

namespace {

// Whether an out-of-range literal is too large (rather than too small) for a double: its
// value is then at least 1, so its first significant digit sits at or before the units.
bool literal_magnitude_at_least_one(std::string_view literal) {
    size_t i = literal.empty() || literal[0] != '-' ? 0 : 1;
    const size_t int_begin = i;
    while (i < literal.size() && literal[i] >= '0' && literal[i] <= '9') ++i;
    const std::string_view int_part = literal.substr(int_begin, i - int_begin);
    std::string_view frac_part;
    if (i < literal.size() && literal[i] == '.') {
        const size_t frac_begin = ++i;
        while (i < literal.size() && literal[i] >= '0' && literal[i] <= '9') ++i;
        frac_part = literal.substr(frac_begin, i - frac_begin);
    }
    // The decimal exponent, held within a bound far beyond any double's range.
    int64_t exponent = 0;
    if (i < literal.size() && (literal[i] == 'e' || literal[i] == 'E')) {
        ++i;
        const bool negative = i < literal.size() && literal[i] == '-';
        if (i < literal.size() && (literal[i] == '-' || literal[i] == '+')) ++i;
        for (; i < literal.size(); ++i) exponent = std::min<int64_t>(exponent * 10 + (literal[i] - '0'), 1 << 30);
        if (negative) exponent = -exponent;
    }
    // Position of the first significant digit relative to the units digit (0 = units).
    int64_t order = 0;
    if (const size_t nz = int_part.find_first_not_of('0'); nz != std::string_view::npos) {
        order = static_cast<int64_t>(std::min<size_t>(int_part.size() - nz, 1 << 30)) - 1;
    } else if (const size_t fz = frac_part.find_first_not_of('0'); fz != std::string_view::npos) {
        order = -static_cast<int64_t>(std::min<size_t>(fz, 1 << 30)) - 1;
    } else {
        return false;  // a zero is never out of range
    }
    return order + exponent >= 0;
}

}  // namespace

std::optional<JsonNumber> json_number_value(std::string_view literal) {
    const char* first = literal.data();
    const char* last = first + literal.size();
    if (literal.find_first_of(".eE") == std::string_view::npos) {
        // An integer keeps its integer kind while it fits; beyond 64 bits it is a double.
        if (!literal.empty() && literal[0] == '-') {
            int64_t v = 0;
            if (auto r = std::from_chars(first, last, v); r.ec == std::errc() && r.ptr == last) return v;
        } else {
            uint64_t v = 0;
            if (auto r = std::from_chars(first, last, v); r.ec == std::errc() && r.ptr == last) return v;
        }
    }
    // from_chars rounds correctly; it reports both overflow and underflow as out of range.
    double d = 0.0;
    const auto r = std::from_chars(first, last, d, std::chars_format::general);
    if (r.ec == std::errc()) return d;
    if (r.ec != std::errc::result_out_of_range || literal_magnitude_at_least_one(literal))
        return std::nullopt;
    return !literal.empty() && literal[0] == '-' ? -0.0 : 0.0;
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
