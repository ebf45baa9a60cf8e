// Builders of single ONNX attributes (attr_int, attr_ints, ...). The readers of a
// program's operator attributes are the op_attr_* functions in readers.cpp.
#include "helper/helper.h"

namespace kestro::helper {

namespace {
proto::AttributeProto named(std::string name, int32_t type) {
    proto::AttributeProto a;
    a.name = std::move(name);
    a.type = type;
    return a;
}
}  // namespace

proto::AttributeProto attr_float(std::string name, float value) {
    auto a = named(std::move(name), proto::attr_type::FLOAT);
    a.f = value;
    return a;
}

proto::AttributeProto attr_int(std::string name, int64_t value) {
    auto a = named(std::move(name), proto::attr_type::INT);
    a.i = value;
    return a;
}

proto::AttributeProto attr_str(std::string name, std::string value) {
    auto a = named(std::move(name), proto::attr_type::STRING);
    a.s = std::move(value);
    return a;
}

proto::AttributeProto attr_tensor(std::string name, proto::TensorProto value) {
    auto a = named(std::move(name), proto::attr_type::TENSOR);
    a.t = std::move(value);
    return a;
}

proto::AttributeProto attr_graph(std::string name, proto::GraphProto value) {
    auto a = named(std::move(name), proto::attr_type::GRAPH);
    a.g = proto::Box<proto::GraphProto>(std::move(value));
    return a;
}

proto::AttributeProto attr_ints(std::string name, const std::vector<int64_t>& values) {
    auto a = named(std::move(name), proto::attr_type::INTS);
    a.ints = values;
    return a;
}

const proto::AttributeProto* find_attribute(const std::vector<proto::AttributeProto>& attrs,
                                            std::string_view name) {
    for (const auto& a : attrs)
        if (a.name == name) return &a;
    return nullptr;
}

}  // namespace kestro::helper
