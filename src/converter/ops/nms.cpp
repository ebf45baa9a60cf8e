// Multiclass non-maximum suppression: one NonMaxSuppression and the chain around it that
// turns its (batch, class, box) triplets into Paddle's three outputs: the detection rows
// [class, score, box] ordered by class, the index of each detection's box, and their count.
// Every count is computed by the graph at run time.
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

void push_i64_vector_initializer(Converter& c, std::string name,
                                 const std::vector<int64_t>& values) {
    c.graph.initializer.push_back(Converter::vector_i64(std::move(name), values));
}

std::optional<int64_t> output_entry_id(const Json& outs, rapidjson::SizeType k) {
    const Json* id = helper::member(outs[k], "%");
    return id ? helper::as_i64(*id) : std::nullopt;
}

// ONNX NonMaxSuppression takes float boxes and scores of rank 3 only. A program whose
// recorded types say otherwise (double data, or the two-dimensional scores form that
// carries its boxes per class) would give a model that cannot run.
void check_nms_operand(const Converter& c, int64_t id, std::string_view role,
                       std::string_view form) {
    if (auto code = c.known_onnx_dtype(id); code && *code != proto::dtype::FLOAT)
        throw Error("multiclass_nms3 only supports float32 {} (got {})", role,
                    helper::onnx_dtype_name(*code));
    const auto* dims = c.state.tensor_shapes.find(id);
    if (dims && !dims->empty() && dims->size() != 3)
        throw Error("multiclass_nms3 only supports {} of shape {} (got {})", role, form,
                    helper::fmt_dims(*dims));
}

}  // namespace

void Converter::push_scalar_f32_initializer(std::string name, float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    std::vector<uint8_t> bytes;
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(bits >> (8 * k)));
    graph.initializer.push_back(raw_tensor(std::move(name), {1}, proto::dtype::FLOAT,
                                           std::move(bytes)));
}

void Converter::op_multiclass_nms3(const Json& op) {
    require_opset("multiclass_nms3", 11);

    const auto ids = helper::op_input_ids(op);
    // Id 0 marks an omitted input; boxes and scores cannot be omitted.
    if (ids.size() < 2 || ids[0] == 0 || ids[1] == 0)
        throw Error("multiclass_nms3 missing inputs");
    const int64_t boxes_id = ids[0];
    const int64_t scores_id = ids[1];
    if (const auto* dims = state.tensor_shapes.find(scores_id); dims && !dims->empty()) {
        if ((*dims)[0] > 1)
            throw Error("multiclass_nms3 currently only supports batch_size=1 (got {})",
                        (*dims)[0]);
    }

    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) throw Error("multiclass_nms3 missing outputs");
    if (outs->Size() < 3) throw Error("multiclass_nms3 expects three outputs");
    const auto out_id = output_entry_id(*outs, 0);
    if (!out_id) throw Error("multiclass_nms3 missing output id");
    const auto index_id = output_entry_id(*outs, 1);
    if (!index_id) throw Error("multiclass_nms3 missing index output id");
    const auto rois_id = output_entry_id(*outs, 2);
    if (!rois_id) throw Error("multiclass_nms3 missing rois_num output id");

    if (auto bg = helper::attr_i64(op, "background_label"); bg && *bg != -1)
        throw Error("multiclass_nms3 currently only supports background_label=-1");
    if (auto eta = helper::attr_number(op, "nms_eta");
        eta && !(std::fabs(*eta - 1.0) <= std::numeric_limits<double>::epsilon()))
        throw Error("multiclass_nms3 currently only supports nms_eta=1.0");
    check_nms_operand(*this, boxes_id, "boxes", "[N, M, 4]");
    check_nms_operand(*this, scores_id, "scores", "[N, C, M]");

    // Paddle reads any negative nms_top_k or keep_top_k as "no limit"; ONNX reads a
    // negative max_output_boxes_per_class as zero, so no limit is the largest count.
    // keep_top_k 0 is a limit that keeps nothing.
    int64_t nms_top_k = helper::attr_i64(op, "nms_top_k").value_or(1000);
    if (nms_top_k < 0) nms_top_k = std::numeric_limits<int64_t>::max();
    const int64_t keep_top_k = helper::attr_i64(op, "keep_top_k").value_or(-1);
    const bool capped = keep_top_k >= 0;
    const float score_threshold = helper::to_f32_or_inf(helper::attr_number(op, "score_threshold").value_or(0.0));
    const float nms_threshold = helper::to_f32_or_inf(helper::attr_number(op, "nms_threshold").value_or(0.5));
    // Unnormalized boxes measure in pixels, so Paddle counts both edges: a box from x1 to
    // x2 is x2 - x1 + 1 wide, in areas and in overlaps alike. Moving the far corner out
    // by one gives NonMaxSuppression exactly those widths.
    const Json* normalized = helper::attr(op, "normalized");
    const bool pixel_boxes = normalized && normalized->IsBool() && !normalized->GetBool();

    const auto n = [&](std::string_view purpose) {
        return fmt::format("nms_{}_{}", purpose, *out_id);
    };

    // Selection.
    push_i64_vector_initializer(*this, n("max_boxes"), {nms_top_k});
    push_scalar_f32_initializer(n("iou_threshold"), nms_threshold);
    push_scalar_f32_initializer(n("score_threshold"), score_threshold);
    const std::string boxes = get_tensor_name(boxes_id);
    const std::string scores = get_tensor_name(scores_id);
    std::string nms_boxes = boxes;
    if (pixel_boxes) {
        push_f32_initializer(n("pixel_offset"), {4}, {0.0f, 0.0f, 1.0f, 1.0f});
        nms_boxes = n("pixel_boxes");
        add_binary_node("Add", boxes, n("pixel_offset"), nms_boxes);
    }
    append_node("NonMaxSuppression",
                {nms_boxes, scores, n("max_boxes"), n("iou_threshold"), n("score_threshold")},
                {n("selected_indices")}, {helper::attr_int("center_point_box", 0)});
    append_node("Shape", {n("selected_indices")}, {n("selected_shape")});
    push_i64_vector_initializer(*this, n("selected_count_index"), {0});
    append_node("Gather", {n("selected_shape"), n("selected_count_index")}, {n("selected_count")});

    // The count k of detections kept: min(S, keep_top_k) with a cap, S without.
    if (capped) {
        push_i64_vector_initializer(*this, n("keep_top_k"), {keep_top_k});
        add_binary_node("Less", n("selected_count"), n("keep_top_k"), n("take_cond"));
        append_node("Where", {n("take_cond"), n("selected_count"), n("keep_top_k")}, {n("take_k")});
    } else {
        append_node("Identity", {n("selected_count")}, {n("take_k")});
    }
    add_squeeze_node(n("take_k"), n("take_k_scalar"), std::vector<int64_t>{0}, n("take_k_axes"));

    // Columns of the selected triplets.
    push_i64_vector_initializer(*this, n("gather_batch_index"), {0});
    push_i64_vector_initializer(*this, n("gather_class_index"), {1});
    push_i64_vector_initializer(*this, n("gather_box_index"), {2});
    push_i64_vector_initializer(*this, n("gather_batch_box_index"), {0, 2});
    const auto column = [&](std::string_view index, std::string_view out) {
        append_node("Gather", {n("selected_indices"), n(index)}, {n(out)},
                    {helper::attr_int("axis", 1)});
    };
    column("gather_batch_index", "batch_indices");
    column("gather_class_index", "class_indices");
    column("gather_box_index", "box_indices");
    column("gather_batch_box_index", "batch_box_indices");
    add_squeeze_node(n("batch_indices"), n("batch_indices_scalar"), std::vector<int64_t>{1},
                     n("batch_indices_axes"));
    add_squeeze_node(n("class_indices"), n("class_indices_scalar"), std::vector<int64_t>{1},
                     n("class_indices_axes"));
    add_squeeze_node(n("box_indices"), n("box_indices_scalar"), std::vector<int64_t>{1},
                     n("box_indices_axes"));
    append_node("GatherND", {scores, n("selected_indices")}, {n("selected_scores")});
    append_node("GatherND", {boxes, n("batch_box_indices")}, {n("selected_boxes")});
    append_node("Shape", {boxes}, {n("boxes_shape")});
    push_i64_vector_initializer(*this, n("num_boxes_index"), {1});
    append_node("Gather", {n("boxes_shape"), n("num_boxes_index")}, {n("num_boxes")});
    add_binary_node("Mul", n("batch_indices_scalar"), n("num_boxes"), n("absolute_index_scaled"));
    add_binary_node("Add", n("absolute_index_scaled"), n("box_indices_scalar"),
                    n("absolute_index"));

    // The cap keeps the k best scores over all classes, best first (ties: lower position).
    if (capped) {
        append_node("TopK", {n("selected_scores"), n("take_k")},
                    {n("topk_scores"), n("topk_indices")},
                    {helper::attr_int("axis", -1), helper::attr_int("largest", 1),
                     helper::attr_int("sorted", 1)});
        append_node("Identity", {n("topk_scores")}, {n("limited_scores")});
        for (auto [from, to] : {std::pair{"class_indices_scalar", "limited_class"},
                                {"absolute_index", "limited_index"},
                                {"selected_boxes", "limited_boxes"}})
            append_node("Gather", {n(from), n("topk_indices")}, {n(to)},
                        {helper::attr_int("axis", 0)});
    } else {
        for (auto [from, to] : {std::pair{"selected_scores", "limited_scores"},
                                {"class_indices_scalar", "limited_class"},
                                {"absolute_index", "limited_index"},
                                {"selected_boxes", "limited_boxes"}})
            append_node("Identity", {n(from)}, {n(to)});
    }

    // Class-major order, stable within a class: the key class * (k + 1) + position is
    // distinct per entry, so an ascending TopK over all k keys is the permutation.
    push_i64_vector_initializer(*this, n("sort_positions_start"), {0});
    push_i64_vector_initializer(*this, n("sort_positions_delta"), {1});
    append_node("Range", {n("sort_positions_start"), n("take_k_scalar"), n("sort_positions_delta")},
                {n("sort_positions")});
    push_i64_vector_initializer(*this, n("sort_scale_one"), {1});
    add_binary_node("Add", n("take_k"), n("sort_scale_one"), n("sort_scale"));
    add_binary_node("Mul", n("limited_class"), n("sort_scale"), n("class_sort_key_scaled"));
    add_binary_node("Add", n("class_sort_key_scaled"), n("sort_positions"), n("class_sort_key"));
    append_node("TopK", {n("class_sort_key"), n("take_k")},
                {n("class_sort_values"), n("class_sort_indices")},
                {helper::attr_int("axis", -1), helper::attr_int("largest", 0),
                 helper::attr_int("sorted", 1)});
    for (auto [from, to] : {std::pair{"limited_class", "selected_class"},
                            {"limited_index", "selected_index"},
                            {"limited_boxes", "selected_boxes_sorted"},
                            {"limited_scores", "selected_scores_sorted"}})
        append_node("Gather", {n(from), n("class_sort_indices")}, {n(to)},
                    {helper::attr_int("axis", 0)});

    // Outputs.
    add_cast_node(n("selected_class"), n("selected_class_float"), proto::dtype::FLOAT);
    add_unsqueeze_node(n("selected_class_float"), n("class_expanded"), {1}, n("class_expand_axes"));
    add_unsqueeze_node(n("selected_scores_sorted"), n("scores_expanded"), {1},
                       n("scores_expand_axes"));
    append_node("Concat", {n("class_expanded"), n("scores_expanded"), n("selected_boxes_sorted")},
                {get_tensor_name(*out_id)}, {helper::attr_int("axis", 1)});
    add_cast_node(n("selected_index"), n("selected_index_i32"), proto::dtype::INT32);
    add_unsqueeze_node(n("selected_index_i32"), get_tensor_name(*index_id), {1},
                       n("selected_index_axes"));
    add_cast_node(n("take_k"), get_tensor_name(*rois_id), proto::dtype::INT32);
}

}  // namespace kestro
