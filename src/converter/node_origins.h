#pragma once
// Which Paddle operator made each ONNX node output. The nodes of a model are unnamed and
// their tensors carry internal names ("tensor_5", "scale_mul_7"); a message about a node
// names the operator of the program instead, and the value ids the program uses.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "helper/helper.h"

namespace kestro {

class NodeOrigins {
public:
    struct Origin {
        const std::string* op = nullptr;  // the operator's name, as a message shows it
        std::optional<int64_t> output;    // the operator's first output value id
        std::optional<int64_t> input;     // its first operand
        std::optional<int64_t> value;     // the value whose own tensor this is, if any
        const std::string* from = nullptr;  // a fetch: the operator that made what it fetches
    };

    // Notes that the operator `full_name` made the node output `name`. One entry per node
    // output and one string per distinct operator name.
    void note(const std::string& name, std::string_view full_name, std::optional<int64_t> output,
              std::optional<int64_t> input, std::optional<int64_t> value = std::nullopt,
              const std::string* from = nullptr) {
        // The dialect prefix every operator of the program shares says nothing.
        if (full_name.substr(0, 2) == "1.") full_name.remove_prefix(2);
        const std::string& op = *ops_.emplace(helper::fmt_text(full_name)).first;
        by_output_.insert_or_assign(name, Origin{&op, output, input, value, from});
    }

    const Origin* find(const std::string& name) const {
        const auto it = by_output_.find(name);
        return it == by_output_.end() ? nullptr : &it->second;
    }
    bool empty() const { return by_output_.empty(); }

    // "conv2d_transpose (output 532)"; a fetch by the value it fetches, "fetch of value 7
    // (from pool2d)".
    static std::string label(const Origin& o) {
        if (o.input && o.from) return fmt::format("{} of value {} (from {})", *o.op, *o.input, *o.from);
        if (o.input && (*o.op == "fetch" || !o.output)) return fmt::format("{} of value {}", *o.op, *o.input);
        if (o.output) return fmt::format("{} (output {})", *o.op, *o.output);
        return *o.op;
    }
    // "operator conv2d_transpose (output 532)"
    static std::string describe(const Origin& o) { return "operator " + label(o); }
    // The operator that made a node, from its first output; nothing for nodes the finishing
    // passes made.
    template <class Node>
    const Origin* origin_of(const Node& node) const {
        for (const auto& out : node.output)
            if (!out.empty()) return find(out);
        return nullptr;
    }
    template <class Node>
    std::optional<std::string> describe_node(const Node& node) const {
        if (const Origin* o = origin_of(node)) return describe(*o);
        return std::nullopt;
    }
    // A tensor by what the program calls it: "value 5" for a value's own tensor ("value 5
    // (x)" when the value has a name), "scale_mul_7 (an intermediate of operator scale
    // (output 7))" for a tensor only an operator's lowering names, otherwise (graph inputs,
    // parameters, fetches) the name itself.
    std::string describe_tensor(const std::string& name) const {
        if (auto id = value_id_of(name)) return fmt::format("value {}", *id);
        if (const Origin* o = find(name)) {
            if (o->value) return fmt::format("value {} ({})", *o->value, helper::fmt_text(name));
            return fmt::format("{} (an intermediate of {})", helper::fmt_text(name), describe(*o));
        }
        return helper::fmt_text(name);
    }
    // The value id in a value's default tensor name, "tensor_<id>".
    static std::optional<int64_t> value_id_of(std::string_view name) {
        constexpr std::string_view prefix = "tensor_";
        if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size() ||
            name.size() > prefix.size() + 18) {
            return std::nullopt;
        }
        int64_t id = 0;
        for (const char c : name.substr(prefix.size())) {
            if (c < '0' || c > '9') return std::nullopt;
            id = id * 10 + (c - '0');
        }
        return id;
    }

private:
    std::unordered_set<std::string> ops_;
    std::unordered_map<std::string, Origin> by_output_;
};

}  // namespace kestro
