// Times the loading of a generated program and each graph-finishing pass over its graph.
//
//   passes_bench [operators]    (default 50000)
//   passes_bench operators --write program.json    (writes the program and stops, for
//                                                   measuring a whole conversion)
//
// The program is one long chain of small groups, each holding the patterns the passes work
// on: an Unsqueeze undone by a Squeeze, two dropouts (Identity renames), a cast pair, an
// unread cast (a dead node) and constants that repeat byte for byte.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "converter/converter.h"

using namespace kestro;

namespace {

struct Ids {
    int64_t next = 1;
    int64_t operator()() { return next++; }
};

std::string tt(const char* dtype, const char* dims) {
    return fmt::format(R"({{"#":"0.t_dtensor","D":[{{"#":"0.t_{}"}},{},"NCHW",[],0]}})", dtype, dims);
}

std::string entry(int64_t id, const char* dtype, const char* dims) {
    return fmt::format(R"({{"%":{},"TT":{}}})", id, tt(dtype, dims));
}

std::string out(int64_t id, const char* dtype, const char* dims) {
    return "[" + entry(id, dtype, dims) + "]";
}

std::string attr(const char* name, const std::string& typed) {
    return fmt::format(R"({{"N":"{}","AT":{}}})", name, typed);
}

// Appends one group reading `cur`; returns the group's result and counts its operators.
int64_t group(std::string& ops, Ids& ids, int64_t cur, size_t& count) {
    auto add = [&](const std::string& op) {
        ops += ops.empty() ? "" : ",";
        ops += op;
        ++count;
    };
    const std::string axes_attr =
        attr("value", R"({"#":"0.a_array","D":[{"#":"0.a_i64","D":1}]})") + "," +
        attr("dtype", R"({"#":"1.a_dtype","D":"int64"})");
    const int64_t ax1 = ids(), u = ids(), ax2 = ids(), s = ids(), p1 = ids(), d1 = ids(), m1 = ids(),
                  d2 = ids(), m2 = ids(), c1 = ids(), c2 = ids(), dead = ids(), r = ids(), k = ids(),
                  a = ids();
    add(fmt::format(R"({{"#":"1.full_int_array","A":[{}],"O":{}}})", axes_attr, out(ax1, "i64", "[1]")));
    add(fmt::format(R"({{"#":"1.unsqueeze","I":[{{"%":{}}},{{"%":{}}}],"O":{}}})", cur, ax1,
                    out(u, "f32", "[4,1,8]")));
    add(fmt::format(R"({{"#":"1.full_int_array","A":[{}],"O":{}}})", axes_attr, out(ax2, "i64", "[1]")));
    add(fmt::format(R"({{"#":"1.squeeze","I":[{{"%":{}}},{{"%":{}}}],"O":{}}})", u, ax2,
                    out(s, "f32", "[4,8]")));
    add(fmt::format(R"({{"#":"1.full","A":[{},{},{}],"O":{}}})",
                    attr("shape", R"({"#":"1.a_intarray","D":[1]})"),
                    attr("value", R"({"#":"0.a_f64","D":0.1})"),
                    attr("dtype", R"({"#":"1.a_dtype","D":"float32"})"), out(p1, "f32", "[1]")));
    const std::string drop_attrs = attr("is_test", R"({"#":"0.a_bool","D":true})") + "," +
                                   attr("mode", R"({"#":"0.a_str","D":"upscale_in_train"})");
    const char* dropout = R"({{"#":"1.dropout","A":[{}],"I":[{{"%":{}}},{{"%":0}},{{"%":{}}}],"O":[{},{}]}})";
    add(fmt::format(fmt::runtime(dropout), drop_attrs, s, p1, entry(d1, "f32", "[4,8]"),
                    entry(m1, "ui8", "[4,8]")));
    add(fmt::format(fmt::runtime(dropout), drop_attrs, d1, p1, entry(d2, "f32", "[4,8]"),
                    entry(m2, "ui8", "[4,8]")));
    const std::string to_f64 = attr("dtype", R"({"#":"1.a_dtype","D":"float64"})");
    const std::string to_f32 = attr("dtype", R"({"#":"1.a_dtype","D":"float32"})");
    add(fmt::format(R"({{"#":"1.cast","A":[{}],"I":[{{"%":{}}}],"O":{}}})", to_f64, d2,
                    out(c1, "f64", "[4,8]")));
    add(fmt::format(R"({{"#":"1.cast","A":[{}],"I":[{{"%":{}}}],"O":{}}})", to_f32, c1,
                    out(c2, "f32", "[4,8]")));
    add(fmt::format(R"({{"#":"1.cast","A":[{}],"I":[{{"%":{}}}],"O":{}}})", to_f64, c2,
                    out(dead, "f64", "[4,8]")));
    add(fmt::format(R"({{"#":"1.relu","I":[{{"%":{}}}],"O":{}}})", c2, out(r, "f32", "[4,8]")));
    add(fmt::format(R"({{"#":"1.full","A":[{},{},{}],"O":{}}})",
                    attr("shape", R"({"#":"1.a_intarray","D":[1]})"),
                    attr("value", R"({"#":"0.a_f64","D":2.0})"),
                    attr("dtype", R"({"#":"1.a_dtype","D":"float32"})"), out(k, "f32", "[1]")));
    add(fmt::format(R"({{"#":"1.add","I":[{{"%":{}}},{{"%":{}}}],"O":{}}})", r, k,
                    out(a, "f32", "[4,8]")));
    return a;
}

std::string program(size_t target_ops, size_t& count) {
    Ids ids;
    std::string ops;
    const int64_t x = ids();
    ops += fmt::format(R"({{"#":"1.data","A":[{}],"O":{}}})",
                       attr("name", R"({"#":"0.a_str","D":"x"})"), out(x, "f32", "[4,8]"));
    count = 1;
    int64_t cur = x;
    while (count + 1 < target_ops) cur = group(ops, ids, cur, count);
    ops += fmt::format(R"(,{{"#":"1.fetch","A":[{}],"I":[{{"%":{}}}],"O":{}}})",
                       attr("name", R"({"#":"0.a_str","D":"out"})"), cur, out(ids(), "f32", "[4,8]"));
    ++count;
    return R"({"program":{"regions":[{"blocks":[{"ops":[)" + ops + "]}]}]}}";
}

template <class F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, double s, const proto::GraphProto& g) {
    std::printf("%-32s %9.3f ms   nodes %7zu   initializers %7zu\n", what, s * 1e3, g.node.size(),
                g.initializer.size());
}

}  // namespace

int main(int argc, char** argv) {
    const size_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000;
    size_t count = 0;
    const std::string text = program(target, count);
    std::printf("program: %zu operators, %zu bytes of JSON\n", count, text.size());
    if (argc > 3 && std::string(argv[2]) == "--write") {
        std::FILE* f = std::fopen(argv[3], "wb");
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "Error: cannot write %s\n", argv[3]);
            return 1;
        }
        return 0;
    }

    Converter c;
    try {
        report("load (both passes)", seconds([&] { c.load_paddle_model_from_text(text); }), c.graph);
        auto& g = c.graph;
        report("sanitize", seconds([&] { Converter::sanitize_graph_checked(g, 0); }), g);
        report("canonicalize (+ dedup)", seconds([&] { Converter::canonicalize_graph_checked(g, 0); }), g);
        report("prune dead nodes", seconds([&] { Converter::prune_dead_nodes_checked(g, 0); }), g);
        report("prune unused initializers",
               seconds([&] { Converter::prune_unused_initializers_checked(g, 0); }), g);
        report("validate", seconds([&] { Converter::validate_graph(g, {}); }), g);
        report("order (already in order)", seconds([&] { Converter::sort_nodes_checked(g, 0); }), g);
        // The same nodes listed back to front: every one must be moved.
        std::reverse(g.node.begin(), g.node.end());
        report("order (reversed)", seconds([&] { Converter::sort_nodes_checked(g, 0); }), g);
    } catch (const Error& e) {
        std::fprintf(stderr, "Error: %s\n", e.report().c_str());
        return 1;
    }
    return 0;
}
