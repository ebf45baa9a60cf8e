// JSON access and the operator readers. Every reading of a JSON number as an integer is
// made here: an id or a dim counts only when it is an integer in the signed 64-bit range; an
// integer attribute (or list element) also takes a float that holds a whole number. Other
// code checks only a value's shape (array, object, string, bool, number at all) or reads any
// number as a double.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include <rapidjson/writer.h>

#include "error.h"
#include "helper/helper.h"

namespace kestro {

void* JsonAllocator::Malloc(size_t size) {
    if (size == 0) return nullptr;  // as RapidJSON's own allocator answers
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* JsonAllocator::Realloc(void* original, size_t, size_t new_size) {
    if (new_size == 0) {
        std::free(original);
        return nullptr;
    }
    void* p = std::realloc(original, new_size);
    if (p == nullptr) throw std::bad_alloc();  // `original` stays with its owner, who frees it
    return p;
}

void JsonAllocator::Free(void* ptr) { std::free(ptr); }

}  // namespace kestro

namespace kestro::helper {

const Json* member(const Json& v, std::string_view key) {
    if (!v.IsObject()) return nullptr;
    // FindMember with an explicit length: keys may hold bytes a C string would cut short.
    Json name(rapidjson::StringRef(key.data(), static_cast<rapidjson::SizeType>(key.size())));
    auto it = v.FindMember(name);
    return it == v.MemberEnd() ? nullptr : &it->value;
}

std::optional<int64_t> as_i64(const Json& v) {
    // RapidJSON reports IsInt64 for every integer that fits, unsigned ones below 2^63 too;
    // a number written with a fraction or exponent is a double even when whole.
    if (v.IsInt64()) return v.GetInt64();
    return std::nullopt;
}

std::optional<int64_t> whole_i64(const Json& v) {
    if (v.IsInt64()) return v.GetInt64();
    if (!v.IsDouble()) return std::nullopt;
    const double d = v.GetDouble();
    // Both bounds are powers of two, exact as doubles; NaN fails every comparison.
    if (!(d >= -0x1p63 && d < 0x1p63) || std::trunc(d) != d) return std::nullopt;
    return static_cast<int64_t>(d);
}

std::string_view op_label(const Json& op) {
    const Json* n = member(op, "#");
    const auto name = n ? as_str(*n) : std::nullopt;
    if (!name) return "operator";
    const size_t dot = name->find('.');
    return dot == std::string_view::npos ? *name : name->substr(dot + 1);
}

std::optional<bool> as_bool(const Json& v) {
    if (v.IsBool()) return v.GetBool();
    return std::nullopt;
}

std::optional<std::string_view> as_str(const Json& v) {
    if (v.IsString()) return std::string_view(v.GetString(), v.GetStringLength());
    return std::nullopt;
}

// ---- long number lists ----

namespace {

thread_local NumberLists* current_lists = nullptr;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The number of a list element as the document would hold it.
Json number_json(std::string_view literal) {
    // The whole text was checked before, every literal within the double range.
    const auto number = json_number_value(literal);
    if (!number) throw Error("number {} is beyond the range of a double", fmt_text(literal));
    return std::visit([](auto v) { return Json(v); }, *number);
}

// Calls `each` with every number of `list` as the document would hold it.
template <class F>
void each_number(const NumberList& list, F&& each) {
    const std::function<void(std::string_view)> on_literal = [&](std::string_view literal) {
        each(number_json(literal));
    };
    scan_number_list(list.text, &on_literal);
}

}  // namespace

NumberLists::NumberLists() : previous_(current_lists) { current_lists = this; }

NumberLists::~NumberLists() { current_lists = previous_; }

const NumberList& NumberLists::add(std::string_view text, size_t count, bool wrapped) {
    NumberList& list = lists_.emplace_back();
    list.text = text;
    list.count = count;
    list.wrapped = wrapped;
    list.label = fmt::format("<{} numbers>", count);
    by_label_[list.label.data()] = &list;
    return list;
}

void NumberLists::clear() {
    by_label_.clear();
    lists_.clear();
}

const NumberList* NumberLists::find(const char* label) const {
    const auto it = by_label_.find(label);
    return it == by_label_.end() ? nullptr : it->second;
}

const NumberList* number_list(const Json& v) {
    // A placeholder's string is the label's own storage: no string of the program is.
    if (current_lists == nullptr || !v.IsArray() || v.Size() != 1 || !v[0].IsString()) return nullptr;
    return current_lists->find(v[0].GetString());
}

size_t number_literal_length(std::string_view text) {
    size_t i = 0;
    auto digits = [&] {
        const size_t from = i;
        while (i < text.size() && is_digit(text[i])) ++i;
        return i - from;
    };
    if (i < text.size() && text[i] == '-') ++i;
    if (i < text.size() && text[i] == '0') {
        ++i;
    } else if (digits() == 0) {
        return 0;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (digits() == 0) return 0;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return 0;
    }
    return i;
}

std::optional<NumberListScan> scan_number_list(std::string_view text,
                                               const std::function<void(std::string_view)>* each) {
    size_t i = 0;
    const auto space = [&] {
        while (i < text.size() && is_json_space(text[i])) ++i;
    };
    const auto take = [&](std::string_view word) {
        if (text.substr(i, word.size()) != word) return false;
        i += word.size();
        return true;
    };
    const auto number = [&]() -> bool {
        const size_t n = number_literal_length(text.substr(i));
        if (n == 0) return false;
        if (each) (*each)(text.substr(i, n));
        i += n;
        return true;
    };
    if (!take("[")) return std::nullopt;
    space();
    NumberListScan scan;
    if (take("]")) return NumberListScan{i, 0};
    scan.wrapped = i < text.size() && text[i] == '{';
    for (;;) {
        if (scan.wrapped != (i < text.size() && text[i] == '{')) return std::nullopt;
        if (take("{")) {
            // {"#": "<tag without escapes>", "D": <number>}
            space();
            if (!take("\"#\"")) return std::nullopt;
            space();
            if (!take(":")) return std::nullopt;
            space();
            if (!take("\"")) return std::nullopt;
            while (i < text.size() && text[i] != '"' && text[i] != '\\') ++i;
            if (!take("\"")) return std::nullopt;
            space();
            if (!take(",")) return std::nullopt;
            space();
            if (!take("\"D\"")) return std::nullopt;
            space();
            if (!take(":")) return std::nullopt;
            space();
            if (!number()) return std::nullopt;
            space();
            if (!take("}")) return std::nullopt;
        } else if (!number()) {
            return std::nullopt;
        }
        ++scan.count;
        space();
        if (take("]")) break;
        if (!take(",")) return std::nullopt;
        space();
    }
    scan.length = i;
    return scan;
}

size_t list_size(const Json& v) {
    if (const NumberList* list = number_list(v)) return list->count;
    return v.IsArray() ? v.Size() : 0;
}

std::vector<double> numbers_as_f64(const Json& values) {
    std::vector<double> out;
    out.reserve(list_size(values));
    each_number_exact(values, [&](double d, std::optional<int64_t>) { out.push_back(d); });
    return out;
}

void each_number_exact(const Json& values, const std::function<void(double, std::optional<int64_t>)>& each) {
    // A list element is a number already: an object's "D" was read out of it.
    if (const NumberList* list = number_list(values)) {
        each_number(*list, [&](const Json& v) { each(*value_as_f64(v), as_i64(v)); });
        return;
    }
    if (!values.IsArray()) return;
    for (const Json& v : values.GetArray()) {
        const std::optional<double> d = value_as_f64(v);
        if (!d) continue;
        const Json* inner = member(v, "D");
        each(*d, as_i64(inner ? *inner : v));
    }
}

namespace {

// An output stream for the JSON writer that keeps only what a quoted value can show.
struct CappedStream {
    using Ch = char;
    std::string text;
    void Put(char c) {
        if (text.size() <= kQuoteLimit) text.push_back(c);
    }
    void Flush() {}
};

}  // namespace

std::string json_debug(const Json& v) {
    CappedStream stream;
    rapidjson::Writer<CappedStream, rapidjson::UTF8<>, rapidjson::UTF8<>, JsonAllocator> writer(stream);
    v.Accept(writer);
    return fmt_text(stream.text);
}

namespace {

// The "AT" object of the first attribute entry named `name`. Only the first entry with
// a matching name counts, even when it carries no usable value.
const Json* find_attr_entry_value(const Json& op, std::string_view name) {
    const Json* list = member(op, "A");
    if (!list || !list->IsArray()) return nullptr;
    for (const Json& entry : list->GetArray()) {
        const Json* n = member(entry, "N");
        if (!n) continue;
        auto s = as_str(*n);
        if (!s || *s != name) continue;
        return member(entry, "AT");
    }
    return nullptr;
}

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Decodes the UTF-8 sequence starting at `s[i]`; returns its length, 0 when malformed.
size_t utf8_at(std::string_view s, size_t i, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    out = c;
    return len;
}

// Length in bytes of the white-space character that ends at s[end-1], 0 when none.
size_t trailing_space_len(std::string_view s, size_t end) {
    for (size_t len = 1; len <= 4 && len <= end; ++len) {
        char32_t c = 0;
        if (utf8_at(s, end - len, c) == len) return is_unicode_space(c) ? len : 0;
    }
    return 0;
}

std::string_view trim_unicode(std::string_view s) {
    size_t begin = 0;
    while (begin < s.size()) {
        char32_t c = 0;
        size_t len = utf8_at(s, begin, c);
        if (len == 0 || !is_unicode_space(c)) break;
        begin += len;
    }
    size_t end = s.size();
    while (end > begin) {
        size_t len = trailing_space_len(s, end);
        if (len == 0) break;
        end -= len;
    }
    return s.substr(begin, end - begin);
}

bool iequals_ascii(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Checks the decimal grammar: [sign] (digits [. digits*] | . digits) [(e|E) [sign] digits].
bool is_decimal_literal(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

}  // namespace

const Json* attr(const Json& op, std::string_view name) {
    const Json* at = find_attr_entry_value(op, name);
    return at ? member(*at, "D") : nullptr;
}

std::optional<double> attr_f64(const Json& op, std::string_view name) {
    const Json* at = find_attr_entry_value(op, name);
    if (!at) return std::nullopt;
    return value_as_f64(*at);
}

std::optional<double> value_as_f64(const Json& v) {
    if (v.IsNumber()) {
        if (v.IsUint64()) return static_cast<double>(v.GetUint64());
        if (v.IsInt64()) return static_cast<double>(v.GetInt64());
        return v.GetDouble();
    }
    if (v.IsString()) return parse_special_f64(*as_str(v));
    if (v.IsObject()) {
        if (const Json* d = member(v, "D")) {
            if (auto x = value_as_f64(*d)) return x;
        }
        if (const Json* vd = member(v, "VD")) {
            if (auto s = as_str(*vd)) return parse_special_f64(*s);
        }
    }
    return std::nullopt;
}

std::optional<double> parse_special_f64(std::string_view text) {
    const std::string_view t = trim_unicode(text);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    // The sign of NaN is not carried: every NaN word reads as the same quiet NaN.
    std::string_view body = t;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (iequals_ascii(body, "nan")) return nan;
    if (iequals_ascii(body, "inf") || iequals_ascii(body, "infinity")) return negative ? -inf : inf;

    if (!is_decimal_literal(t)) return std::nullopt;
    // strtod reads the validated literal; overflow gives ±inf and underflow ±0 as wanted.
    std::string copy(t);
    return std::strtod(copy.c_str(), nullptr);
}

std::vector<int64_t> collect_value_ids(const Json& entries) {
    std::vector<int64_t> ids;
    if (!entries.IsArray()) return ids;
    for (const Json& entry : entries.GetArray()) {
        const Json* id = member(entry, "%");
        if (!id) continue;
        if (auto v = as_i64(*id)) ids.push_back(*v);
    }
    return ids;
}

std::vector<int64_t> op_input_ids(const Json& op) {
    const Json* inputs = member(op, "I");
    if (!inputs) return {};
    return collect_value_ids(*inputs);
}

std::vector<int64_t> op_output_ids(const Json& op) {
    const Json* outputs = member(op, "O");
    if (!outputs) return {};
    return collect_value_ids(*outputs);
}

std::optional<int64_t> try_op_out_id(const Json& op) {
    const Json* outputs = member(op, "O");
    const Json* first = nullptr;
    if (outputs && outputs->IsArray()) {
        if (!outputs->Empty()) first = &(*outputs)[0];
    } else if (outputs && outputs->IsObject()) {
        first = outputs;
    }
    const Json* id = first ? member(*first, "%") : nullptr;
    return id ? as_i64(*id) : std::nullopt;
}

int64_t op_out_id(const Json& op) {
    if (auto id = try_op_out_id(op)) return *id;
    throw Error("Missing output ID in op: {}", json_debug(op));
}

std::optional<DeclaredType> declared_type(const Json& entry, NonIntegerDims non_integer,
                                          TypeOnly type_only) {
    const Json* tt = member(entry, "TT");
    const Json* d = tt ? member(*tt, "D") : nullptr;
    if (d == nullptr || !d->IsArray() || d->Empty()) return std::nullopt;
    if (type_only == TypeOnly::Refused && d->Size() < 2) return std::nullopt;
    DeclaredType type;
    if (const Json* token = member((*d)[0], "#")) type.token = as_str(*token);
    if (d->Size() >= 2 && (*d)[1].IsArray())
        type.dims = non_integer == NonIntegerDims::Unknown ? collect_dims((*d)[1])
                                                           : collect_int_values((*d)[1]);
    return type;
}

const Json* first_entry(const Json& op, std::string_view key) {
    const Json* list = member(op, key);
    if (list == nullptr || !list->IsArray() || list->Empty()) return nullptr;
    return &(*list)[0];
}

std::vector<int64_t> collect_int_values(const Json& values) {
    std::vector<int64_t> out;
    if (const NumberList* list = number_list(values)) {
        // An object element is no integer.
        if (!list->wrapped)
            each_number(*list, [&](const Json& v) {
                if (auto i = as_i64(v)) out.push_back(*i);
            });
        return out;
    }
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray()) {
        if (auto i = as_i64(v)) out.push_back(*i);
    }
    return out;
}

std::vector<int64_t> collect_i64_items(const Json& values, std::string_view what) {
    std::vector<int64_t> out;
    // Skipping an element would move every later value into the wrong place.
    const auto refuse = [&](const Json& element) {
        if (what.empty())
            throw Error("integer list holds a non-integer element {}", json_debug(element));
        throw Error("{} holds a non-integer element {}", what, json_debug(element));
    };
    if (const NumberList* list = number_list(values)) {
        out.reserve(list->count);
        each_number(*list, [&](const Json& v) {
            const auto i = whole_i64(v);
            if (!i) refuse(v);
            out.push_back(*i);
        });
        return out;
    }
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray()) {
        const Json* d = member(v, "D");
        const auto i = whole_i64(d ? *d : v);
        if (!i) refuse(d ? *d : v);
        out.push_back(*i);
    }
    return out;
}

std::vector<int64_t> collect_i64_items(const Json& values, const Json& op, std::string_view name) {
    if (!values.IsArray()) return {};  // a placeholder is an array too
    return collect_i64_items(values,
                             fmt::format("{}: attribute {}", fmt_text(op_label(op)), fmt_text(name)));
}

std::optional<double> op_attr_number(const Json& op, std::string_view name) {
    const Json* data = attr(op, name);
    if (!data || !data->IsNumber()) return std::nullopt;
    return value_as_f64(*data);
}

std::vector<int64_t> op_attr_i64_items(const Json& op, std::string_view name) {
    const Json* data = attr(op, name);
    return data ? collect_i64_items(*data, op, name) : std::vector<int64_t>{};
}

std::vector<int64_t> collect_dims(const Json& values) {
    std::vector<int64_t> out;
    if (const NumberList* list = number_list(values)) {
        // An object element is no integer: an unknown dim.
        if (list->wrapped) return std::vector<int64_t>(list->count, -1);
        each_number(*list, [&](const Json& v) { out.push_back(as_i64(v).value_or(-1)); });
        return out;
    }
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray()) out.push_back(as_i64(v).value_or(-1));
    return out;
}

int64_t attr_data_i64(const Json& data, std::string_view op, std::string_view name) {
    if (auto i = whole_i64(data)) return *i;
    throw Error("{}: attribute {} must be an integer, got {}", fmt_text(op), fmt_text(name),
                json_debug(data));
}

std::optional<int64_t> op_attr_i64(const Json& op, std::string_view name) {
    const Json* d = attr(op, name);
    if (!d) return std::nullopt;
    return attr_data_i64(*d, op_label(op), name);
}

std::optional<bool> op_attr_bool(const Json& op, std::string_view name) {
    const Json* d = attr(op, name);
    return d ? as_bool(*d) : std::nullopt;
}

std::optional<std::string_view> op_attr_str(const Json& op, std::string_view name) {
    const Json* d = attr(op, name);
    return d ? as_str(*d) : std::nullopt;
}

}  // namespace kestro::helper
