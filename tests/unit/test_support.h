// Small helpers the unit tests share: parsing JSON texts, capturing a refusal's message and
// reading back what a lowering wrote into the graph.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "converter/converter.h"

namespace kestro::test {

using Names = std::vector<std::string>;
using Ints = std::vector<int64_t>;
constexpr double kInf = std::numeric_limits<double>::infinity();

// One JSON text as a document; a text that does not parse fails the test.
template <unsigned Flags = rapidjson::kParseDefaultFlags>
JsonDocument parse(const std::string& text) {
    JsonDocument d;
    d.Parse<Flags>(text.c_str(), text.size());
    EXPECT_FALSE(d.HasParseError()) << text;
    return d;
}

// Keeps parsed operator objects alive for the duration of a test: the converter keeps
// references into the operators it has seen.
struct Ops {
    std::vector<std::unique_ptr<JsonDocument>> docs;
    const Json& operator()(const std::string& text) {
        docs.push_back(std::make_unique<JsonDocument>(parse(text)));
        return *docs.back();
    }
};

// The message of the kestro::Error `f` throws, or `none` when it returns normally.
inline std::string error_of(const std::function<void()>& f, const std::string& none = "<no error>") {
    try {
        f();
    } catch (const Error& e) {
        return e.message();
    }
    return none;
}

// Converts one operator as the conversion does: its operands are held to its operator's
// signature (counts, absent values, constants) before its lowering runs. Refusals of the
// operands are tested through here; a lowering called directly is handed a well-formed count.
inline void convert_op(Converter& c, const Json& op) { c.process_pass2_op(op["#"].GetString(), op); }

// The raw data of an int64 tensor.
inline Ints i64s(const proto::TensorProto& t) {
    Ints v(t.raw_data.size() / 8);
    if (!v.empty()) std::memcpy(v.data(), t.raw_data.data(), v.size() * 8);
    return v;
}

template <class List>
Names names_of(const List& items) {
    Names out;
    for (const auto& i : items) out.push_back(i.name);
    return out;
}

inline Names op_types(const proto::GraphProto& g) {
    Names out;
    for (const auto& n : g.node) out.push_back(n.op_type);
    return out;
}
inline Names op_types(const Converter& c) { return op_types(c.graph); }

// An attribute entry {"N": name, "AT": {"D": data}}, the data given as JSON text.
inline std::string attr_entry(const std::string& name, const std::string& data) {
    return R"({"N":")" + name + R"(","AT":{"D":)" + data + "}}";
}

// The value entries of an operator's "I" or "O" list for the given ids: {"%":1},{"%":2}.
inline std::string value_entries(const Ints& ids) {
    std::string out;
    for (int64_t id : ids) out += (out.empty() ? "" : ",") + std::string(R"({"%":)") + std::to_string(id) + "}";
    return out;
}

// The ids 1, 2, ..., n.
inline Ints ids_up_to(int64_t n) {
    Ints ids;
    for (int64_t k = 1; k <= n; ++k) ids.push_back(k);
    return ids;
}

// An operator text, the one builder every test uses: its name, its "I" entries, its "A"
// entries and its "O" entries, each given as JSON text (value_entries writes id lists).
inline std::string op_text(const std::string& name, const std::string& inputs,
                           const std::string& attrs = "", const std::string& outputs = R"({"%":9})") {
    return R"({"#":")" + name + R"(","A":[)" + attrs + R"(],"I":[)" + inputs + R"(],"O":[)" + outputs + "]}";
}

// An operator text with first output id 9; `inputs` holds one digit per input id and
// `attrs` the "A" entries.
inline std::string op_with_digit_inputs(const std::string& name, const std::string& inputs,
                                        const std::string& attrs = "") {
    Ints ids;
    for (char c : inputs) ids.push_back(c - '0');
    return op_text(name, value_entries(ids), attrs);
}

}  // namespace kestro::test
