// Grid sampling and multinomial sampling.
#include <string>
#include <string_view>
#include <vector>

#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace {

constexpr const char* kTarget = "kestro::converter::ops::math";

// GridSample renamed its interpolation words at opset 20; earlier opsets take Paddle's.
std::string onnx_grid_sample_mode(std::string_view mode, int64_t opset) {
    if (opset >= 20) {
        if (mode == "bilinear") return "linear";
        if (mode == "bicubic") return "cubic";
    }
    return std::string(mode);
}

// The interpolation and padding words the sampler knows; copied into the model, any other
// word is one ONNX Runtime refuses when it loads the model.
void require_grid_sample_word(std::string_view attribute, std::string_view word,
                              std::initializer_list<std::string_view> allowed) {
    for (std::string_view a : allowed)
        if (word == a) return;
    std::string list;
    for (std::string_view a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
    throw Error("grid_sample: {} \"{}\" is not one of {}", attribute, helper::fmt_text(word), list);
}

}  // namespace

void Converter::op_grid_sample(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    require_same_type("grid_sample", "x", ids[0], "grid", ids[1]);
    // GridSample takes only 4-D inputs before opset 20; a volumetric sample would give a
    // model that no runtime loads.
    if (const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
        dims && dims->size() != 4)
        require_opset(fmt::format("grid_sample on a {}-D input", dims->size()), 20);

    std::string x = get_tensor_name(ids[0]);
    std::string grid = get_tensor_name(ids[1]);
    std::string output = get_tensor_name(out);

    std::vector<proto::AttributeProto> attributes;
    if (const auto mode = helper::op_attr_str(op, "mode")) {
        require_grid_sample_word("mode", *mode, {"bilinear", "nearest", "bicubic"});
        attributes.push_back(helper::attr_str("mode", onnx_grid_sample_mode(*mode, opset)));
    }
    if (const auto padding = helper::op_attr_str(op, "padding_mode")) {
        require_grid_sample_word("padding_mode", *padding, {"zeros", "border", "reflection"});
        attributes.push_back(helper::attr_str("padding_mode", std::string(*padding)));
    }
    // Paddle aligns corners unless told otherwise; ONNX's own default is the opposite, so
    // the flag is always written.
    const bool align = helper::op_attr_bool(op, "align_corners").value_or(true);
    attributes.push_back(helper::attr_int("align_corners", align ? 1 : 0));
    append_node("GridSample", {std::move(x), std::move(grid)}, {std::move(output)},
                std::move(attributes));
}

void Converter::op_multinomial(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"multinomial", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);

    const int64_t n = helper::saturate_i64(state.const_values.find(ids[1])->front());
    if (n < 1) throw Error("multinomial requires positive sample size");
    if (n != 1 && helper::op_attr_bool(op, "replacement") != std::optional<bool>(true))
        throw Error("multinomial only supports replacement=false when sample_size=1");

    // The samples are repeated along the last axis, so the repeats need one entry per axis
    // of the input: [n] for a single distribution, [1, n] for a batch of them.
    std::vector<int64_t> repeats;
    if (n > 1) {
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
        if (!dims) throw Error("multinomial: missing rank metadata");
        if (dims->size() == 1)
            repeats = {n};
        else if (dims->size() == 2)
            repeats = {1, n};
        else
            throw Error("multinomial expects a 1-D or 2-D input, got rank {}", dims->size());
    }

    if (strict) throw Error("strict mode rejects deterministic multinomial -> ArgMax lowering");
    if (!multinomial_warned) {
        KLOG(Level::Warn, kTarget,
             "multinomial is lowered to deterministic ArgMax per AGENT.md inference contract");
        multinomial_warned = true;
    }

    const std::string argmax = n == 1 ? get_tensor_name(out) : names("argmax");
    std::vector<proto::AttributeProto> attributes = {helper::attr_int("axis", -1),
                                                     helper::attr_int("keepdims", 1)};
    // ArgMax knows select_last_index only from opset 12; its default there is the same
    // first-index choice.
    if (opset >= 12) attributes.push_back(helper::attr_int("select_last_index", 0));
    append_node("ArgMax", {get_tensor_name(ids[0])}, {argmax}, std::move(attributes));
    if (n == 1) return;

    const std::string repeats_name = names("repeats");
    const int64_t rank = static_cast<int64_t>(repeats.size());
    push_i64_initializer(repeats_name, {rank}, repeats);
    append_node("Tile", {argmax, repeats_name}, {get_tensor_name(out)});
}

}  // namespace kestro
