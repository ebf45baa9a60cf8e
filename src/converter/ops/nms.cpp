// Multiclass non-maximum suppression: one NonMaxSuppression (a loop of the same greedy rule
// for pixel boxes, whose overlap it cannot measure) and the chain around it that turns the
// selected (batch, class, box) triplets into Paddle's three outputs, image by image: the
// detection rows [class, score, box] of image 0, then of image 1, ..., each image's rows
// ordered by class; the index of each detection's box over the whole batch; and the number
// of detections of every image. Every count is computed by the graph at run time, and no
// step builds anything larger than the scores or the selected rows.
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

std::optional<int64_t> output_entry_id(const Json& outs, rapidjson::SizeType k) {
    const Json* id = helper::member(outs[k], "%");
    return id ? helper::as_i64(*id) : std::nullopt;
}

// ONNX NonMaxSuppression takes float boxes and scores of rank 3 only. A program whose
// recorded types say otherwise (double data, or the two-dimensional scores form that
// carries its boxes per class, which Paddle's signature allows) would give a model that
// cannot run. The boxes' rank the signature holds.
void check_nms_operands(const Converter& c, int64_t boxes, int64_t scores) {
    for (const auto& [id, role] : {std::pair{boxes, "boxes"}, std::pair{scores, "scores"}})
        if (auto code = c.onnx_dtype_if_known(id); code && *code != proto::dtype::FLOAT)
            throw Error("multiclass_nms3 only supports float32 {} (got {})", role, helper::onnx_dtype_name(*code));
    if (const auto* dims = c.state.tensor_shapes.find(scores); dims && dims->size() != 3)
        throw Error("multiclass_nms3 only supports scores of shape [N, C, M] (got {})", helper::fmt_dims(*dims));
}

struct NmsSettings {
    int64_t nms_top_k;   // candidates per image and class before suppression; < 0: all
    int64_t keep_top_k;  // detections per image after suppression; < 0: all
    float score_threshold;
    float nms_threshold;
    bool pixel_boxes;
};

// One operator's chain: the converter it appends to and the suffix of every name it makes.
struct NmsChain {
    Converter& c;
    int64_t id;

    std::string n(std::string_view purpose) const { return NameMaker{"nms", id}(purpose); }
    std::string i64s(std::string_view purpose, const std::vector<int64_t>& values) const {
        c.push_i64_vector_initializer(n(purpose), values);
        return n(purpose);
    }
    std::string i64_scalar(std::string_view purpose, int64_t value) const {
        c.push_i64_initializer(n(purpose), {}, {value});
        return n(purpose);
    }
    // dims[axis] of a tensor's shape, as a one-element vector.
    std::string dim(const std::string& shape, int64_t axis, std::string_view purpose) const {
        c.append_node("Gather", {shape, i64s(fmt::format("{}_axis", purpose), {axis})},
                      {n(purpose)});
        return n(purpose);
    }
    // The smaller of a one-element count and a limit.
    std::string at_most(const std::string& count, const std::string& limit,
                        std::string_view purpose) const {
        const std::string below = n(fmt::format("{}_below", purpose));
        c.add_binary_node("Less", count, limit, below);
        c.append_node("Where", {below, count, limit}, {n(purpose)});
        return n(purpose);
    }
    // A tensor of the given run-time shape filled with one value.
    std::string filled(const std::string& shape, proto::TensorProto value,
                       std::string_view purpose) const {
        c.append_node("ConstantOfShape", {shape}, {n(purpose)},
                      {helper::attr_tensor("value", std::move(value))});
        return n(purpose);
    }
    void gather(const std::string& data, const std::string& indices, const std::string& out,
                int64_t axis = 0) const {
        c.append_node("Gather", {data, indices}, {out}, {helper::attr_int("axis", axis)});
    }
};

proto::TensorProto one_f32(float value) { return Converter::f32_tensor("", {1}, {value}); }

proto::TensorProto one_i64_zero() { return Converter::i64_tensor("", {1}, {0}); }

// The largest number of candidates any image and class has, as a one-element vector; 0 when
// there is no image or no class.
std::string most_candidates(const NmsChain& k) {
    k.c.add_cast_node(k.n("candidate_mask"), k.n("candidate_flags"), proto::dtype::INT64);
    k.c.append_node("CumSum", {k.n("candidate_flags"), k.i64_scalar("candidate_count_axis", 2)},
                    {k.n("candidate_running_count")});
    k.c.append_node("Reshape",
                    {k.n("candidate_running_count"), k.i64s("candidate_flat_shape", {-1})},
                    {k.n("candidate_running_flat")});
    k.c.append_node("Concat", {k.n("candidate_running_flat"), k.i64s("no_candidate", {0})},
                    {k.n("candidate_running_or_none")}, {helper::attr_int("axis", 0)});
    k.c.add_reduce_node("ReduceMax", k.n("candidate_running_or_none"), k.n("most_candidates"),
                        std::vector<int64_t>{0}, 1, k.n("most_candidates"));
    return k.n("most_candidates");
}

// Each class's candidates in an image, best first (ties: the lower box first): the scores
// above the threshold, at most nms_top_k of them when there is a limit. Scores at or below
// the threshold (and NaN) become -inf so that they take no place among the best.
struct Candidates {
    std::string shape;    // INT64 [3]: N, C, M
    std::string count;    // INT64 [1]: K, candidates kept per image and class
    std::string scores;   // FLOAT [N, C, K], -inf where there is no candidate
    std::string indices;  // INT64 [N, C, K], box indices
};

Candidates best_candidates(const NmsChain& k, const NmsSettings& s, const std::string& scores) {
    Candidates best{k.n("scores_shape"), k.n("num_candidates"), k.n("best_scores"),
                    k.n("best_indices")};
    k.c.append_node("Shape", {scores}, {best.shape});
    k.c.push_f32_initializer(k.n("candidate_dropped"), {1},
                             {-std::numeric_limits<float>::infinity()});
    k.c.add_binary_node("Greater", scores, k.n("score_threshold"), k.n("candidate_mask"));
    k.c.append_node("Where", {k.n("candidate_mask"), scores, k.n("candidate_dropped")},
                    {k.n("candidate_scores")});
    k.dim(best.shape, 2, "num_candidates");
    if (s.nms_top_k >= 0)
        best.count = k.at_most(best.count, k.i64s("nms_top_k", {s.nms_top_k}), "best_count");
    // No more than any image and class has: a loop over the candidates then takes no step
    // where none is left, and with no image or no class K is 0 (ONNX Runtime crashes on a
    // TopK of a positive k over such empty scores).
    best.count = k.at_most(best.count, most_candidates(k), "fitted_count");
    k.c.append_node("TopK", {k.n("candidate_scores"), best.count}, {best.scores, best.indices},
                    {helper::attr_int("axis", 2), helper::attr_int("largest", 1),
                     helper::attr_int("sorted", 1)});
    return best;
}

// Paddle suppresses among the nms_top_k best candidates alone: every other score becomes
// -inf, which no threshold lets through, so NonMaxSuppression never sees it.
std::string keep_best_candidates(const NmsChain& k, const NmsSettings& s,
                                 const std::string& scores) {
    const Candidates best = best_candidates(k, s, scores);
    const std::string dropped =
        k.filled(best.shape, one_f32(-std::numeric_limits<float>::infinity()), "all_dropped");
    k.c.append_node("ScatterElements", {dropped, best.indices, best.scores},
                    {k.n("best_candidate_scores")}, {helper::attr_int("axis", 2)});
    return k.n("best_candidate_scores");
}

// The body of the suppression loop over pixel boxes. Step i: when candidate i of an image and
// class is still alive, it is kept, and every later candidate of that image and class whose
// overlap with it exceeds the threshold dies. Candidates come best first, so this is Paddle's
// greedy rule: a candidate is kept when it overlaps no kept better one too much.
proto::GraphProto pixel_suppression_step(const NmsChain& k) {
    Converter& c = k.c;
    proto::GraphProto outer;
    std::swap(c.graph, outer);
    const auto n = [&](std::string_view purpose) { return k.n(fmt::format("step_{}", purpose)); };
    c.graph.name = k.n("suppression_step");
    c.graph.input.push_back(Converter::tensor_value_info(n("i"), proto::dtype::INT64, {}));
    c.graph.input.push_back(Converter::tensor_value_info(n("cond"), proto::dtype::BOOL, {}));
    c.graph.input.push_back(
        Converter::tensor_value_info(n("alive"), proto::dtype::BOOL, {-1, -1, -1}));

    c.append_node("Reshape", {n("i"), k.n("one_position_shape")}, {n("at")});
    for (std::string_view v : {"x1", "y1", "x2", "y2", "area"})
        k.gather(k.n(fmt::format("candidate_{}", v)), n("at"), n(fmt::format("{}_i", v)), 2);
    k.gather(n("alive"), n("at"), n("alive_i"), 2);
    const auto all = [&](std::string_view v) { return k.n(fmt::format("candidate_{}", v)); };
    const auto bin = [&](std::string_view op, const std::string& a, const std::string& b,
                         std::string_view out) {
        c.add_binary_node(std::string(op), a, b, n(out));
        return n(out);
    };
    // Boxes apart in x or y (one beyond the other's far edge) do not overlap at all; any
    // others overlap by at least one pixel's width.
    const std::string apart =
        bin("Or",
            bin("Or", bin("Less", all("x2"), n("x1_i"), "left"),
                bin("Greater", all("x1"), n("x2_i"), "right"), "apart_x"),
            bin("Or", bin("Less", all("y2"), n("y1_i"), "above"),
                bin("Greater", all("y1"), n("y2_i"), "below"), "apart_y"),
            "apart");
    const auto extent = [&](std::string_view lo, std::string_view hi, std::string_view out) {
        const std::string span = bin("Sub", bin("Min", all(hi), n(fmt::format("{}_i", hi)),
                                                fmt::format("{}_min", hi)),
                                     bin("Max", all(lo), n(fmt::format("{}_i", lo)),
                                         fmt::format("{}_max", lo)),
                                     fmt::format("{}_span", out));
        return bin("Add", span, k.n("pixel_one"), out);
    };
    const std::string inter = bin("Mul", extent("x1", "x2", "inter_w"),
                                  extent("y1", "y2", "inter_h"), "inter");
    const std::string uni =
        bin("Sub", bin("Add", all("area"), n("area_i"), "area_sum"), inter, "union");
    const std::string iou = bin("Div", inter, uni, "iou");
    c.append_node("Where", {apart, k.n("pixel_zero"), iou}, {n("overlap")});
    // Paddle keeps a candidate whose overlap is at most the threshold; NaN is not.
    const std::string tolerated =
        bin("Or", bin("Less", n("overlap"), k.n("iou_threshold"), "overlap_below"),
            bin("Equal", n("overlap"), k.n("iou_threshold"), "overlap_equal"), "tolerated");
    c.append_node("Not", {tolerated}, {n("too_close")});
    const std::string later = bin("Greater", k.n("candidate_positions"), n("i"), "later");
    const std::string dies = bin("And", bin("And", n("too_close"), later, "close_later"),
                                 n("alive_i"), "dies");
    c.append_node("Not", {dies}, {n("survives")});
    bin("And", n("alive"), n("survives"), "alive_next");
    c.append_node("Identity", {n("cond")}, {n("cond_next")});
    c.graph.output.push_back(
        Converter::tensor_value_info(n("cond_next"), proto::dtype::BOOL, {}));
    c.graph.output.push_back(
        Converter::tensor_value_info(n("alive_next"), proto::dtype::BOOL, {-1, -1, -1}));

    std::swap(c.graph, outer);
    return outer;
}

// A one-element vector as a 0-D scalar.
std::string scalar_of(const NmsChain& k, const std::string& vec, std::string_view purpose) {
    k.c.add_squeeze_node(vec, k.n(purpose), std::vector<int64_t>{0},
                         k.n(fmt::format("{}_axes", purpose)));
    return k.n(purpose);
}

// The candidates' corners "candidate_x1" ... "candidate_y2" and areas "candidate_area", each
// [N, C, K], gathered from the boxes of their own image.
void candidate_boxes(const NmsChain& k, const Candidates& best, const std::string& boxes) {
    Converter& c = k.c;
    c.append_node("Range",
                  {k.i64_scalar("image_ids_start", 0),
                   scalar_of(k, k.dim(best.shape, 0, "candidate_images"), "num_images_scalar"),
                   k.i64_scalar("image_ids_delta", 1)},
                  {k.n("image_ids")});
    c.add_binary_node("Mul", k.n("image_ids"), k.dim(best.shape, 2, "boxes_per_image"),
                      k.n("image_first_box"));
    c.add_unsqueeze_node(k.n("image_first_box"), k.n("image_first_box_nck"), {1, 2},
                         k.n("image_first_box_axes"));
    c.add_binary_node("Add", best.indices, k.n("image_first_box_nck"), k.n("candidate_rows"));
    c.append_node("Reshape", {boxes, k.i64s("box_rows_shape", {-1, 4})}, {k.n("box_rows")});
    k.gather(k.n("box_rows"), k.n("candidate_rows"), k.n("candidate_boxes"));
    for (auto [at, v] : {std::pair{0, "x1"}, {1, "y1"}, {2, "x2"}, {3, "y2"}}) {
        k.gather(k.n("candidate_boxes"), k.i64_scalar(fmt::format("corner_{}", v), at),
                 k.n(fmt::format("candidate_{}", v)), 3);
    }
    // Paddle's area of a pixel box counts both edges; a box with its far corner before its
    // near one has none.
    for (auto [lo, hi, side] : {std::tuple{"x1", "x2", "width"}, {"y1", "y2", "height"}}) {
        const std::string d = k.n(fmt::format("candidate_{}_span", side));
        c.add_binary_node("Sub", k.n(fmt::format("candidate_{}", hi)),
                          k.n(fmt::format("candidate_{}", lo)), d);
        c.add_binary_node("Add", d, k.n("pixel_one"), k.n(fmt::format("candidate_{}", side)));
        c.add_binary_node("Less", k.n(fmt::format("candidate_{}", hi)),
                          k.n(fmt::format("candidate_{}", lo)),
                          k.n(fmt::format("candidate_{}_inverted", side)));
    }
    c.add_binary_node("Mul", k.n("candidate_width"), k.n("candidate_height"),
                      k.n("candidate_full_area"));
    c.add_binary_node("Or", k.n("candidate_width_inverted"), k.n("candidate_height_inverted"),
                      k.n("candidate_inverted"));
    c.append_node("Where", {k.n("candidate_inverted"), k.n("pixel_zero"),
                            k.n("candidate_full_area")},
                  {k.n("candidate_area")});
}

// Selection of pixel boxes. Paddle gives two pixel boxes the +1 widths only when they
// overlap: boxes apart by less than a pixel do not suppress each other, while boxes that
// touch overlap by one pixel. No placement of the corners lets NonMaxSuppression measure
// that, so the greedy suppression runs as a loop over the candidates, best first, each step
// comparing one candidate of every image and class with the others of its image and class:
// nothing larger than the candidates' scores is ever built.
std::string select_pixel_boxes(const NmsChain& k, const NmsSettings& s, const std::string& boxes,
                               const std::string& scores) {
    Converter& c = k.c;
    c.push_scalar_f32_initializer(k.n("iou_threshold"), s.nms_threshold);
    c.push_scalar_f32_initializer(k.n("score_threshold"), s.score_threshold);
    c.push_f32_initializer(k.n("pixel_one"), {1}, {1.0f});
    c.push_f32_initializer(k.n("pixel_zero"), {1}, {0.0f});
    const Candidates best = best_candidates(k, s, scores);
    candidate_boxes(k, best, boxes);

    const std::string steps = scalar_of(k, best.count, "candidate_count_scalar");
    c.append_node("Range",
                  {k.i64_scalar("candidate_positions_start", 0), steps,
                   k.i64_scalar("candidate_positions_delta", 1)},
                  {k.n("candidate_positions")});
    c.push_i64_vector_initializer(k.n("one_position_shape"), {1});
    c.add_binary_node("Greater", best.scores, k.n("score_threshold"), k.n("candidate_alive"));
    c.append_node("Loop", {steps, "", k.n("candidate_alive")}, {k.n("candidate_kept")},
                  {helper::attr_graph("body", pixel_suppression_step(k))});

    // The kept (image, class, position) triplets, in row-major order: image by image, class
    // by class, best first; then each position's box index.
    c.append_node("NonZero", {k.n("candidate_kept")}, {k.n("kept_positions_t")});
    c.append_node("Transpose", {k.n("kept_positions_t")}, {k.n("kept_positions")},
                  {helper::attr_ints("perm", {1, 0})});
    c.append_node("GatherND", {best.indices, k.n("kept_positions")}, {k.n("kept_box")});
    c.add_unsqueeze_node(k.n("kept_box"), k.n("kept_box_column"), {1}, k.n("kept_box_axes"));
    k.gather(k.n("kept_positions"), k.i64s("gather_image_class", {0, 1}),
             k.n("kept_image_class"), 1);
    c.append_node("Concat", {k.n("kept_image_class"), k.n("kept_box_column")},
                  {k.n("selected_indices")}, {helper::attr_int("axis", 1)});
    return k.n("selected_indices");
}

// Selection: the (image, class, box) triplets Paddle keeps, image by image, class by class,
// best score first (ties: the lower box first).
std::string select(const NmsChain& k, const NmsSettings& s, const std::string& boxes,
                   const std::string& scores) {
    if (s.pixel_boxes) return select_pixel_boxes(k, s, boxes, scores);
    // NonMaxSuppression reads a negative max_output_boxes_per_class as zero, so no limit is
    // the largest count; the candidates are already limited to nms_top_k when there is one.
    const int64_t per_class = s.nms_top_k < 0 ? std::numeric_limits<int64_t>::max() : s.nms_top_k;
    k.c.push_i64_vector_initializer(k.n("max_boxes"), {per_class});
    k.c.push_scalar_f32_initializer(k.n("iou_threshold"), s.nms_threshold);
    k.c.push_scalar_f32_initializer(k.n("score_threshold"), s.score_threshold);
    const std::string nms_scores = s.nms_top_k > 0 ? keep_best_candidates(k, s, scores) : scores;
    k.c.append_node("NonMaxSuppression",
                    {boxes, nms_scores, k.n("max_boxes"), k.n("iou_threshold"),
                     k.n("score_threshold")},
                    {k.n("selected_indices")}, {helper::attr_int("center_point_box", 0)});
    return k.n("selected_indices");
}

// The selected rows as parallel lists, one entry per detection.
struct Detections {
    std::string image;   // INT64 [S]
    std::string cls;     // INT64 [S]
    std::string index;   // INT64 [S]: image * M + box
    std::string score;   // FLOAT [S]
    std::string box;     // FLOAT [S, 4]
};

Detections columns(const NmsChain& k, const std::string& selected, const std::string& boxes,
                   const std::string& scores) {
    const auto column = [&](std::string_view purpose, std::vector<int64_t> at) {
        const std::string out = k.n(purpose);
        k.gather(selected, k.i64s(fmt::format("gather_{}", purpose), at), out, 1);
        return out;
    };
    const auto squeezed = [&](const std::string& col, std::string_view purpose) {
        k.c.add_squeeze_node(col, k.n(purpose), std::vector<int64_t>{1},
                             k.n(fmt::format("{}_axes", purpose)));
        return k.n(purpose);
    };
    Detections d;
    d.image = squeezed(column("batch_indices", {0}), "batch_indices_scalar");
    d.cls = squeezed(column("class_indices", {1}), "class_indices_scalar");
    const std::string box = squeezed(column("box_indices", {2}), "box_indices_scalar");
    const std::string image_box = column("batch_box_indices", {0, 2});
    d.score = k.n("selected_scores");
    k.c.append_node("GatherND", {scores, selected}, {d.score});
    d.box = k.n("selected_boxes");
    k.c.append_node("GatherND", {boxes, image_box}, {d.box});
    k.c.append_node("Shape", {boxes}, {k.n("boxes_shape")});
    const std::string m = k.dim(k.n("boxes_shape"), 1, "num_boxes");
    k.c.add_binary_node("Mul", d.image, m, k.n("absolute_index_scaled"));
    d.index = k.n("absolute_index");
    k.c.add_binary_node("Add", k.n("absolute_index_scaled"), box, d.index);
    return d;
}

// The number of rows of each image that has any (images ascending), and for each row in
// the given image-sorted list the position where its image's rows begin.
struct ImageRuns {
    std::string images;  // INT64 [U]
    std::string counts;  // INT64 [U]
};

ImageRuns image_runs(const NmsChain& k, const std::string& image_column,
                     std::string* run_start_of_row) {
    ImageRuns r{k.n("images"), k.n("image_counts")};
    const std::string inverse = run_start_of_row ? k.n("image_of_row") : std::string();
    k.c.append_node("Unique", {image_column}, {r.images, "", inverse, r.counts},
                    {helper::attr_int("sorted", 1)});
    if (run_start_of_row) {
        k.c.append_node("CumSum", {r.counts, k.i64_scalar("image_starts_axis", 0)},
                        {k.n("image_starts")}, {helper::attr_int("exclusive", 1)});
        *run_start_of_row = k.n("row_image_start");
        k.gather(k.n("image_starts"), inverse, *run_start_of_row);
    }
    return r;
}

// Cap: each image keeps its keep_top_k best-scoring rows (ties: the lower class, then the
// earlier row of the class), in their selection order. A stable sort by score and then a
// stable sort by image give each row its rank within its image.
ImageRuns cap_per_image(const NmsChain& k, const NmsSettings& s, Detections& d) {
    const auto topk = [&](const std::string& values, std::string_view purpose, bool largest) {
        k.c.append_node("TopK", {values, k.n("selected_count")},
                        {k.n(fmt::format("{}_values", purpose)), k.n(purpose)},
                        {helper::attr_int("axis", 0), helper::attr_int("largest", largest),
                         helper::attr_int("sorted", 1)});
        return k.n(purpose);
    };
    const std::string by_score = topk(d.score, "by_score", true);
    k.gather(d.image, by_score, k.n("image_by_score"));
    const std::string by_image = topk(k.n("image_by_score"), "by_image", false);
    const std::string order = k.n("rank_order");
    k.gather(by_score, by_image, order);
    k.gather(d.image, order, k.n("ranked_images"));
    std::string run_start;
    ImageRuns runs = image_runs(k, k.n("ranked_images"), &run_start);

    k.c.add_squeeze_node(k.n("selected_count"), k.n("selected_count_scalar"),
                         std::vector<int64_t>{0}, k.n("selected_count_axes"));
    k.c.append_node("Range",
                    {k.i64_scalar("positions_start", 0), k.n("selected_count_scalar"),
                     k.i64_scalar("positions_delta", 1)},
                    {k.n("positions")});
    k.c.add_binary_node("Sub", k.n("positions"), run_start, k.n("ranked_rank"));
    // Back to selection order: order is a permutation, so every entry is overwritten.
    k.c.append_node("ScatterElements", {order, order, k.n("ranked_rank")}, {k.n("rank")},
                    {helper::attr_int("axis", 0)});
    const std::string limit = k.i64s("keep_top_k", {s.keep_top_k});
    k.c.add_binary_node("Less", k.n("rank"), limit, k.n("kept"));
    for (auto [list, purpose] : {std::pair{&d.cls, "kept_class"}, {&d.index, "kept_index"},
                                 {&d.score, "kept_scores"}, {&d.box, "kept_boxes"}}) {
        k.c.append_node("Compress", {*list, k.n("kept")}, {k.n(purpose)},
                        {helper::attr_int("axis", 0)});
        *list = k.n(purpose);
    }
    runs.counts = k.at_most(runs.counts, limit, "kept_counts");
    return runs;
}

// Outputs: the rows, the box indices as INT32 [k, 1] and the INT32 count of every image,
// zero for the images without detections.
void write_outputs(const NmsChain& k, const Detections& d, const ImageRuns& runs,
                   const std::string& scores, const std::string& out, const std::string& index,
                   const std::string& rois_num) {
    k.c.add_cast_node(d.cls, k.n("selected_class_float"), proto::dtype::FLOAT);
    k.c.add_unsqueeze_node(k.n("selected_class_float"), k.n("class_expanded"), {1},
                           k.n("class_expand_axes"));
    k.c.add_unsqueeze_node(d.score, k.n("scores_expanded"), {1}, k.n("scores_expand_axes"));
    k.c.append_node("Concat", {k.n("class_expanded"), k.n("scores_expanded"), d.box}, {out},
                    {helper::attr_int("axis", 1)});
    k.c.add_cast_node(d.index, k.n("selected_index_i32"), proto::dtype::INT32);
    k.c.add_unsqueeze_node(k.n("selected_index_i32"), index, {1}, k.n("selected_index_axes"));

    k.c.append_node("Shape", {scores}, {k.n("image_shape")});
    const std::string no_rows = k.filled(k.dim(k.n("image_shape"), 0, "num_images"),
                                         one_i64_zero(), "no_rows");
    k.c.append_node("ScatterElements", {no_rows, runs.images, runs.counts},
                    {k.n("rows_per_image")}, {helper::attr_int("axis", 0)});
    k.c.add_cast_node(k.n("rows_per_image"), rois_num, proto::dtype::INT32);
}

}  // namespace

void Converter::op_multiclass_nms3(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    const int64_t boxes_id = ids[0];
    const int64_t scores_id = ids[1];

    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) throw Error("multiclass_nms3 missing outputs");
    if (outs->Size() < 3) throw Error("multiclass_nms3 expects three outputs");
    const auto out_id = output_entry_id(*outs, 0);
    if (!out_id) throw Error("multiclass_nms3 missing output id");
    const auto index_id = output_entry_id(*outs, 1);
    if (!index_id) throw Error("multiclass_nms3 missing index output id");
    const auto rois_id = output_entry_id(*outs, 2);
    if (!rois_id) throw Error("multiclass_nms3 missing rois_num output id");

    if (auto bg = helper::op_attr_i64(op, "background_label"); bg && *bg != -1)
        throw Error("multiclass_nms3 currently only supports background_label=-1");
    if (auto eta = helper::op_attr_number(op, "nms_eta");
        eta && !(std::fabs(*eta - 1.0) <= std::numeric_limits<double>::epsilon()))
        throw Error("multiclass_nms3 currently only supports nms_eta=1.0");
    check_nms_operands(*this, boxes_id, scores_id);

    // Paddle reads any negative nms_top_k or keep_top_k as "no limit"; keep_top_k 0 is a
    // limit that keeps nothing.
    const Json* normalized = helper::attr(op, "normalized");
    const NmsSettings settings{
        helper::op_attr_i64(op, "nms_top_k").value_or(1000),
        helper::op_attr_i64(op, "keep_top_k").value_or(-1),
        helper::to_f32_or_inf(helper::op_attr_number(op, "score_threshold").value_or(0.0)),
        helper::to_f32_or_inf(helper::op_attr_number(op, "nms_threshold").value_or(0.5)),
        normalized && normalized->IsBool() && !normalized->GetBool(),
    };

    const NmsChain k{*this, *out_id};
    const std::string boxes = get_tensor_name(boxes_id);
    const std::string scores = get_tensor_name(scores_id);
    const std::string selected = select(k, settings, boxes, scores);
    append_node("Shape", {selected}, {k.n("selected_shape")});
    k.dim(k.n("selected_shape"), 0, "selected_count");
    Detections d = columns(k, selected, boxes, scores);
    // NonMaxSuppression gives the rows image by image, class by class, best first: already
    // Paddle's order, which the cap keeps.
    const ImageRuns runs = settings.keep_top_k >= 0 ? cap_per_image(k, settings, d)
                                                    : image_runs(k, d.image, nullptr);
    write_outputs(k, d, runs, scores, get_tensor_name(*out_id), get_tensor_name(*index_id),
                  get_tensor_name(*rois_id));
}

}  // namespace kestro
