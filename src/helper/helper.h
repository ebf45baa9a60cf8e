#pragma once
// Stateless readers of PIR operator objects (readers.cpp), the element-type tables
// (dtype.cpp), single-attribute builders (attributes.cpp), and the number rules every
// message and lowering shares (numbers.cpp). Only these read a JSON number as an integer,
// so the integer/unsigned/float rules live here; code elsewhere checks only a value's
// shape (array, object, string, bool, number at all) or reads any number as a double.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include "proto/onnx.h"

namespace kestro {

// The memory under every JSON document, parser stack and writer kestro uses. RapidJSON's
// own allocator hands a failed malloc's null pointer on unchecked, so a program too large
// for the memory at hand would crash the parser; this one throws std::bad_alloc instead,
// which main reports like any other failure.
struct JsonAllocator {
    static const bool kNeedFree = true;
    void* Malloc(size_t size);
    void* Realloc(void* original, size_t original_size, size_t new_size);
    static void Free(void* ptr);
};
using JsonPool = rapidjson::MemoryPoolAllocator<JsonAllocator>;
using Json = rapidjson::GenericValue<rapidjson::UTF8<>, JsonPool>;
using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, JsonAllocator>;
using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JsonAllocator>;

}  // namespace kestro

namespace kestro::helper {

// ---- JSON access ----

// The member `key` of an object; null when `v` is not an object or has no such member.
const Json* member(const Json& v, std::string_view key);
// A JSON integer in the signed 64-bit range (a non-negative integer below 2^63 or a
// negative integer); floats, even whole ones, are not integers. For ids and dims.
std::optional<int64_t> as_i64(const Json& v);
// An integer as an attribute may write it: a JSON integer in the signed 64-bit range, or a
// float holding a whole number in that range (an export may write 0.0 for 0). Empty for a
// fraction, an infinity, NaN, a text, a bool, a list, an object or an integer past the range.
std::optional<int64_t> whole_i64(const Json& v);
// The operator's name as the program writes it, without its dialect prefix ("1.softmax"
// gives "softmax"), for messages.
std::string_view op_label(const Json& op);
std::optional<bool> as_bool(const Json& v);
std::optional<std::string_view> as_str(const Json& v);
// The JSON library's rendering of a value (for messages), capped like fmt_text.
std::string json_debug(const Json& v);

// ---- long number lists ----

// A long list of plain numbers (or of {"#": tag, "D": number} elements) in an attribute of
// the operators that carry large constants is left out of the operator's document: in its
// place the document holds a one-element array whose string is the list's label
// ("<3000000 numbers>"), and the list readers below (numbers_as_f64, collect_i64_items,
// collect_int_values, collect_dims, list_size) read the numbers from the program text
// instead. The document then costs nothing per element.
using JsonNumber = std::variant<int64_t, uint64_t, double>;
struct NumberList {
    std::string_view text;  // the list in the program text, from '[' to ']'
    size_t count = 0;
    bool wrapped = false;  // the elements are {"#": tag, "D": number} objects
    std::string label;
};
// The lists of the document being read. While one lives, the readers see through the
// placeholders it made; it stands in for the one before it until it is destroyed.
class NumberLists {
public:
    NumberLists();
    ~NumberLists();
    NumberLists(const NumberLists&) = delete;
    NumberLists& operator=(const NumberLists&) = delete;
    // A new list; its label is the placeholder's string, referred to, never copied.
    const NumberList& add(std::string_view text, size_t count, bool wrapped);
    void clear();
    const NumberList* find(const char* label) const;

private:
    std::deque<NumberList> lists_;  // never moves an element
    std::unordered_map<const char*, const NumberList*> by_label_;
    NumberLists* previous_;
};
// The list a placeholder stands for; null for any other value.
const NumberList* number_list(const Json& v);
// The length and element count of a list of the form above at the start of `text` (which
// starts at its '['), its elements all plain or all wrapped; empty when the text starts with
// something else. Calls `each`, when given, with every number literal in turn.
struct NumberListScan {
    size_t length = 0;
    size_t count = 0;
    bool wrapped = false;
};
std::optional<NumberListScan> scan_number_list(
    std::string_view text, const std::function<void(std::string_view)>* each = nullptr);
// Length of the JSON number literal at the start of `text`, 0 when none starts there.
size_t number_literal_length(std::string_view text);
// The elements of an array, or of a list a placeholder stands for.
size_t list_size(const Json& v);
// The elements of an array that read as numbers (value_as_f64), in order; others are skipped.
std::vector<double> numbers_as_f64(const Json& values);
// The same elements, each given to `each` as its double and, when it is written as an integer
// in the signed 64-bit range (plainly or as an object's "D"), as that integer too: a double
// holds integers exactly only up to 2^53.
void each_number_exact(const Json& values, const std::function<void(double, std::optional<int64_t>)>& each);

// ---- operator readers ----

// The data ("AT"/"D") of the first attribute named `name`; null when absent.
const Json* attr(const Json& op, std::string_view name);
std::optional<double> attr_f64(const Json& op, std::string_view name);
std::optional<double> value_as_f64(const Json& v);
std::optional<double> parse_special_f64(std::string_view text);
std::vector<int64_t> op_input_ids(const Json& op);
// The value ids of an operator's outputs ("O"), as op_input_ids reads its inputs: entries
// without an id are skipped, so an index is not an output's position.
std::vector<int64_t> op_output_ids(const Json& op);
// First output id: the "%" of the first "O" entry (or of "O" itself when it is an object).
// op_out_id throws "Missing output ID in op: {}" where try_op_out_id gives nothing.
int64_t op_out_id(const Json& op);
std::optional<int64_t> try_op_out_id(const Json& op);
// Value ids ("%") of an array of entries; non-arrays give an empty list.
std::vector<int64_t> collect_value_ids(const Json& entries);
// The integers in the signed 64-bit range of an array; everything else is skipped.
std::vector<int64_t> collect_int_values(const Json& values);
// Integer list of an attribute's data: each element's "D" when it has one, else the element
// itself, read by whole_i64; an element that is no integer fails (naming `what` when given).
std::vector<int64_t> collect_i64_items(const Json& values, std::string_view what = {});
// The same for the data of the attribute `name` of `op`, a failure naming both.
std::vector<int64_t> collect_i64_items(const Json& values, const Json& op, std::string_view name);
// One dim per element: an integer gives itself, anything else -1.
std::vector<int64_t> collect_dims(const Json& values);

// Typed readers of an operator's attribute data, op_attr_*: empty when the attribute is
// absent. They read; the attr_int/attr_ints/attr_str/... below build ONNX attributes.
// An integer is read by whole_i64: data of another kind is refused naming the operator and
// the attribute, as a default in its place would convert the program into something else.
// A bool is a JSON bool; data of another kind reads as absent.
std::optional<int64_t> op_attr_i64(const Json& op, std::string_view name);
std::optional<bool> op_attr_bool(const Json& op, std::string_view name);
// The integer refusal of op_attr_i64 for attribute data already found.
int64_t attr_data_i64(const Json& data, std::string_view op, std::string_view name);
std::optional<std::string_view> op_attr_str(const Json& op, std::string_view name);
// The attribute's data when it is a JSON number of any form, as a 64-bit float.
std::optional<double> op_attr_number(const Json& op, std::string_view name);
// The integer list of an attribute, read by collect_i64_items (empty when absent or when the
// data is no list).
std::vector<int64_t> op_attr_i64_items(const Json& op, std::string_view name);

// ---- declared value types ----

// What a value entry declares under "TT"/"D": the element-type token at D[0]["#"] and the
// dims at D[1].
struct DeclaredType {
    std::optional<std::string_view> token;     // when D[0]["#"] is a string
    std::optional<std::vector<int64_t>> dims;  // when D[1] is an array
};
// How a dims entry that is not an integer is read: as an unknown dim (-1), which keeps the
// rank, or dropped.
enum class NonIntegerDims { Unknown, Dropped };
// Whether a "D" that holds only the element type (no dims entry) is a declaration at all.
enum class TypeOnly { Accepted, Refused };
// The declared type of a value entry; empty when it has no non-empty "TT"/"D" array (or,
// under TypeOnly::Refused, one without a dims entry).
std::optional<DeclaredType> declared_type(const Json& entry, NonIntegerDims non_integer,
                                          TypeOnly type_only = TypeOnly::Accepted);
// The first entry of an operator's "I" or "O" array; null when there is none.
const Json* first_entry(const Json& op, std::string_view key);

// ---- element-type tables ----

// The ONNX type of an element-type word ("f32", "float32", ...) as dtype attributes give it.
std::optional<int32_t> paddle_dtype_token_to_onnx(std::string_view word);
// The word of a value's element-type token ("0.t_f32" gives "f32"); empty when the token
// lacks the "0.t_" prefix.
std::optional<std::string_view> paddle_token_word(std::string_view token);
// The ONNX type of a value's element-type token; empty when it names none.
std::optional<int32_t> paddle_token_to_onnx(std::string_view token);
// The short token a program records for an ONNX type ("0.t_i64" for INT64); empty for a
// type without one.
std::string_view paddle_short_token(int32_t code);
const char* onnx_dtype_name(int32_t code);
// Bytes per element of an ONNX data type (0 when unknown).
size_t onnx_dtype_size(int32_t code);
// FLOAT, FLOAT16 or DOUBLE.
bool is_float_onnx_dtype(int32_t code);
// UINT8, INT8, INT16, INT32 or INT64 (the integer types a program's tokens map to).
bool is_integer_onnx_dtype(int32_t code);
// The type a select (Where) over elements of `type` runs in when ONNX Runtime has no Where
// kernel for it; empty when it has one.
std::optional<int32_t> where_compute_type(int32_t type);

// ---- attribute builders (attributes.cpp) ----
// Each makes one ONNX AttributeProto; they never read a program.

proto::AttributeProto attr_float(std::string name, float value);
proto::AttributeProto attr_int(std::string name, int64_t value);
proto::AttributeProto attr_str(std::string name, std::string value);
proto::AttributeProto attr_tensor(std::string name, proto::TensorProto value);
proto::AttributeProto attr_graph(std::string name, proto::GraphProto value);
proto::AttributeProto attr_ints(std::string name, const std::vector<int64_t>& values);
// The first attribute named `name` in a built list; null when there is none.
const proto::AttributeProto* find_attribute(const std::vector<proto::AttributeProto>& attrs,
                                            std::string_view name);

// ---- numbers ----

// Shortest decimal that reads back to the same double, never in exponent form;
// "inf", "-inf", "NaN" for the special values (300.0 prints as 300).
std::string fmt_f64(double v);
// Program text quoted in a message or log record (a name, a token, a rendering): control
// characters and DEL become \xNN escapes, so nothing reaches a terminal raw, and a text
// longer than kQuoteLimit bytes is cut at a character boundary and ends in "...".
constexpr size_t kQuoteLimit = 256;
std::string fmt_text(std::string_view text);
// How a file's first bytes begin: the length of their longest prefix of text (well-formed
// UTF-8 with no control character but tab and line breaks), and whether a byte no text holds
// ends it (rather than the end of `bytes`, or a character the end cuts short).
struct TextStart {
    size_t length = 0;
    bool binary = false;
};
TextStart text_start(std::string_view bytes);
// Dims as "[2, 3]" ("[]" when empty), capped like fmt_text.
std::string fmt_dims(const std::vector<int64_t>& dims);
// Narrows to the nearest 32-bit float; finite values that round past its range become
// infinities of their sign explicitly, as the conversion itself leaves them undefined.
float to_f32_or_inf(double v);
// Truncation toward zero, saturating at the signed 64-bit limits; NaN gives 0.
int64_t saturate_i64(double v);
std::vector<int64_t> saturate_i64(const std::vector<double>& values);
// The value of a JSON number literal whose grammar the parser has checked. An integer
// literal keeps an integer kind while it fits (int64_t when negative, uint64_t otherwise);
// every other literal is the correctly rounded double, and one too small for a double
// becomes a zero of its sign. Empty when the value lies beyond the double range.
std::optional<JsonNumber> json_number_value(std::string_view literal);
// Checked arithmetic on sizes read from a program: empty on overflow.
std::optional<int64_t> checked_mul(int64_t a, int64_t b);
std::optional<int64_t> checked_add(int64_t a, int64_t b);

}  // namespace kestro::helper
