// Model loading: read and parse the program, the first pass over every block, the
// parameter sort, and the second pass through the dispatch.
#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <utility>
#include <variant>

#include <sys/mman.h>
#include <unistd.h>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "converter/converter.h"
#include "converter/file_read.h"
#include "converter/passes/graph_walk.h"
#include "log.h"

namespace kestro {

namespace {

constexpr uint64_t kModelJsonLimit = 268435456;
// JSON nesting beyond the structure of regions: an operator's own values, and the program
// around its top block.
constexpr size_t kMaxJsonDepth = 128;
// Control-flow operators nested in one another, each one more level of regions below the
// program's own: each level becomes a graph one level deeper in the model, which nests at
// most passes::kMaxGraphNesting levels.
constexpr size_t kMaxRegionDepth = passes::kMaxGraphNesting;
// The JSON levels one level of regions takes: the "regions" array, a region, its "blocks"
// array, a block, its "ops" array and an operator in it.
constexpr size_t kJsonLevelsPerRegion = 6;
constexpr const char* kTarget = "kestro::converter";
constexpr const char* kOpsPointer = "/program/regions/0/blocks/0/ops";
// NULs after the text: the terminator, and three for the parser's UTF-8 check to read.
constexpr size_t kParseEndPadding = 4;

// Where the text's line breaks are, so that an offset reported by the parser can be turned
// into a line and column after in-situ parsing has rewritten the buffer.
struct LineIndex {
    std::vector<size_t> breaks;  // offsets of every '\n'
    // Offset of the first \u escape of a low surrogate (DC00-DFFF) that does not follow a
    // high one: the parser refuses a high surrogate without its pair, but would write a lone
    // low one into the string as bytes that are not UTF-8.
    std::optional<size_t> lone_low_surrogate;

    // 1-based line and column of a byte offset.
    std::pair<size_t, size_t> at(size_t offset) const {
        const auto it = std::lower_bound(breaks.begin(), breaks.end(), offset);
        const size_t line = static_cast<size_t>(it - breaks.begin()) + 1;
        const size_t line_start = it == breaks.begin() ? 0 : *(it - 1) + 1;
        return {line, offset - line_start + 1};
    }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The code unit of the four hex digits at the start of `text`; empty when they are not that.
std::optional<unsigned> hex4(std::string_view text) {
    if (text.size() < 4) return std::nullopt;
    unsigned unit = 0;
    for (const char c : text.substr(0, 4)) {
        const int digit = is_digit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        unit = unit * 16 + static_cast<unsigned>(digit);
    }
    return unit;
}

// The parser still scans number literals before handing them over as text, and refuses
// some whose value is in range (0e309, integers of 309 digits near the largest double). Such
// a literal, one with a large positive exponent or a very long integer part, is written back
// in place as the shortest text of the same double (padded with spaces), which the parser
// takes; literals beyond the double range are left for the number conversion to refuse.
void rewrite_long_range_literal(char* literal, size_t length) {
    const std::string_view text(literal, length);
    const size_t e = text.find_first_of("eE");
    const size_t int_end = std::min(text.find_first_of(".eE"), length);
    bool at_risk = int_end > 300;
    if (e != std::string_view::npos && e + 1 < length && text[e + 1] != '-') {
        const std::string_view exponent = text.substr(e + 1 + (text[e + 1] == '+' ? 1 : 0));
        const size_t nz = exponent.find_first_not_of('0');
        at_risk = at_risk || (nz != std::string_view::npos && exponent.size() - nz >= 3);
    }
    if (!at_risk) return;
    const auto value = helper::json_number_value(text);
    const double* d = value ? std::get_if<double>(&*value) : nullptr;
    if (d == nullptr) return;
    char shortest[32];
    const auto r = std::to_chars(shortest, shortest + sizeof shortest, *d, std::chars_format::scientific);
    const size_t n = static_cast<size_t>(r.ptr - shortest);
    if (r.ec != std::errc() || n > length) return;
    std::copy(shortest, shortest + n, literal);
    std::fill(literal + n, literal + length, ' ');
}

// One linear scan before parsing. A NUL byte is refused: the parser would stop there and
// take what follows for the end of the text. Number literals the parser would refuse in
// range are rewritten (see above). Returns the line breaks for the parser's messages.
LineIndex scan_json_text(char* data, size_t size) {
    const std::string_view text(data, size);
    LineIndex lines;
    bool in_string = false;
    size_t after_high_surrogate = 0;  // where an escape pairing with the last high one starts
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') lines.breaks.push_back(i);
        if (c == '\0') {
            auto [line, column] = lines.at(i);
            throw Error("Invalid character (NUL byte) at line {} column {}", line, column);
        }
        if (in_string) {
            if (c == '\\') {
                // The escaped character cannot be a line break or NUL in valid JSON; either
                // is still reported, by the parser or by the next iteration's check.
                if (i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\0')) continue;
                if (i + 1 < text.size() && text[i + 1] == 'u') {
                    if (const auto unit = hex4(text.substr(i + 2))) {
                        if (*unit >= 0xD800 && *unit <= 0xDBFF) after_high_surrogate = i + 6;
                        if (*unit >= 0xDC00 && *unit <= 0xDFFF && i != after_high_surrogate &&
                            !lines.lone_low_surrogate)
                            lines.lone_low_surrogate = i;
                    }
                }
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '-' || is_digit(c)) {
            // Outside strings a '-' or digit starts a number literal (or is a syntax error
            // the parser reports); the literal holds no line break, NUL, bracket or quote.
            if (const size_t n = helper::number_literal_length(text.substr(i)); n > 0) {
                rewrite_long_range_literal(data + i, n);
                i += n - 1;
            }
        }
    }
    return lines;
}

constexpr unsigned kCheckFlags = rapidjson::kParseNumbersAsStringsFlag |
                                  rapidjson::kParseValidateEncodingFlag |
                                  rapidjson::kParseIterativeFlag;

// Byte range [begin, end) of one operator in the program text; empty for an element that
// is not an object (it has no members, so every pass reads it as absent).
struct OpSpan {
    size_t begin = 0;
    size_t end = 0;
};

// Checks the whole text without building a document and finds the operators of the top
// block on the way: the byte range of each element of the array at kOpsPointer, reached the
// way a JSON pointer reaches it (the first member of a repeated key; in an object, "0" is a
// member name). Number literals are checked as the document's parse converts them, so the
// text is refused exactly where that parse refuses it.
class OpsLocator {
public:
    explicit OpsLocator(const rapidjson::StringStream& stream) : stream_(stream) {}

    bool out_of_range = false;
    // What nests deeper than its limit where the parse stopped.
    enum class TooDeep { No, Regions, Json } too_deep = TooDeep::No;
    bool ops_found = false;  // the pointer reaches an array
    std::vector<OpSpan> spans;
    // The first pass's producer index of the top block, taken here as it reads each
    // operator's name and first output id.
    ProducerIndex producers;

    bool Null() { return value(false, false); }
    bool Bool(bool) { return value(false, false); }
    bool Int(int) { return value(false, false); }
    bool Uint(unsigned) { return value(false, false); }
    bool Int64(int64_t) { return value(false, false); }
    bool Uint64(uint64_t) { return value(false, false); }
    bool Double(double) { return value(false, false); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        const auto number = helper::json_number_value(std::string_view(text, length));
        if (!number) {
            out_of_range = true;
            return false;
        }
        value(false, false);
        if (pending_ == Next::Id) {
            // The value the document would report as a 64-bit signed integer.
            if (const auto* i = std::get_if<int64_t>(&*number)) {
                op_.out = *i;
            } else if (const auto* u = std::get_if<uint64_t>(&*number);
                       u && *u <= static_cast<uint64_t>(INT64_MAX)) {
                op_.out = static_cast<int64_t>(*u);
            }
        }
        return true;
    }
    bool String(const char* s, rapidjson::SizeType length, bool) {
        value(false, false);
        if (pending_ == Next::Name) op_.name.emplace(s, length);
        return true;
    }
    bool StartObject() { return value(true, false); }
    bool StartArray() { return value(true, true); }
    bool Key(const char* s, rapidjson::SizeType length, bool) {
        const std::string_view key(s, length);
        regions_next_ = key == "regions";
        if (in_ops_ && depth_ == kOpsDepth + 1) {
            if (!op_.name_seen && key == "#") {
                op_.name_seen = true;
                op_.next = Next::Name;
            } else if (!op_.outputs_seen && key == "O") {
                op_.outputs_seen = true;
                op_.next = Next::Outputs;
            }
        } else if (in_ops_ && op_.first_depth != 0 && depth_ == op_.first_depth && !op_.id_seen &&
                   key == "%") {
            op_.id_seen = true;
            op_.next = Next::Id;
        }
        // The key belongs to the innermost open container, an object.
        if (depth_ >= 1 && depth_ <= kTokens.size() && on_path_ == depth_) {
            Level& level = levels_[depth_ - 1];
            if (!level.resolved && std::string_view(s, length) == kTokens[depth_ - 1])
                level.selected = level.resolved = true;
        }
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        close();
        if (in_ops_ && depth_ == kOpsDepth) {
            // The parser calls this before it takes the closing brace.
            spans.back().end = stream_.Tell() + 1;
            if (op_.name && op_.out && Converter::pass1_constant_folder(*op_.name) != nullptr)
                producers[*op_.out] = spans.size() - 1;
        } else if (in_ops_ && op_.first_depth != 0 && depth_ == op_.first_depth - 1) {
            op_.first_depth = 0;  // only an operator's first output counts
        }
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        if (!region_depths_.empty() && region_depths_.back() == depth_) region_depths_.pop_back();
        close();
        if (in_ops_ && depth_ == kOpsDepth - 1) in_ops_ = false;
        if (in_ops_ && op_.outputs_array && depth_ == kOpsDepth + 1) op_.outputs_array = false;
        return true;
    }

private:
    static constexpr std::array<std::string_view, 6> kTokens = {"program", "regions", "0",
                                                               "blocks",  "0",       "ops"};
    // Depth of the open containers inside the operator array.
    static constexpr size_t kOpsDepth = kTokens.size() + 1;

    enum class Next { None, Name, Outputs, Id };
    // What the producer index needs of the operator being read: its first "#" member when a
    // string, and the first "%" member of its first output (the first "O" member when an
    // object, else that member's first element).
    struct OpScan {
        bool name_seen = false;
        bool outputs_seen = false;
        bool id_seen = false;
        bool outputs_array = false;  // inside the operator's "O" array
        size_t outputs_count = 0;
        size_t first_depth = 0;      // depth inside the first output, 0 when not inside
        Next next = Next::None;      // what the value after the last key is
        std::optional<std::string> name;
        std::optional<int64_t> out;
    };

    struct Level {
        bool is_array = false;
        bool resolved = false;  // an object's member for the token was seen
        bool selected = false;  // the next value is that member's
        size_t count = 0;       // an array's elements so far
    };

    // Every value starts here, before a container is entered.
    bool value(bool container, bool is_array) {
        pending_ = Next::None;
        const bool opens_regions = std::exchange(regions_next_, false) && is_array;
        if (in_ops_ && depth_ == kOpsDepth) {
            spans.emplace_back();
            // The parser calls this before it takes the opening brace.
            if (container && !is_array) spans.back().begin = stream_.Tell();
            op_ = OpScan{};
        } else if (in_ops_ && depth_ == kOpsDepth + 1) {
            // A member of the operator.
            pending_ = std::exchange(op_.next, Next::None);
            if (pending_ == Next::Outputs && container) {
                op_.outputs_array = is_array;
                if (!is_array) op_.first_depth = depth_ + 1;
            }
        } else if (in_ops_ && op_.outputs_array && depth_ == kOpsDepth + 2) {
            // An element of the operator's "O" array.
            if (op_.outputs_count++ == 0 && container && !is_array) op_.first_depth = depth_ + 1;
        } else if (in_ops_ && op_.first_depth != 0 && depth_ == op_.first_depth) {
            // A member of the first output.
            pending_ = std::exchange(op_.next, Next::None);
        }
        bool on_path = depth_ == 0;
        if (depth_ >= 1 && depth_ <= kTokens.size() && on_path_ == depth_) {
            Level& parent = levels_[depth_ - 1];
            if (parent.is_array) {
                on_path = parent.count++ == 0 && kTokens[depth_ - 1] == "0";
            } else {
                on_path = parent.selected;
                parent.selected = false;
            }
        }
        if (on_path && depth_ == kTokens.size()) {
            ops_found = is_array;
            in_ops_ = is_array;
        } else if (on_path && container) {
            levels_[depth_] = Level{is_array};
            on_path_ = depth_ + 1;
        }
        if (!container) return true;
        ++depth_;
        // The parse is iterative, so nesting costs it no stack; the limits keep the recursive
        // walks over an operator's document and over its regions within theirs. Each level
        // of regions below the program's own has its JSON levels besides the JSON limit.
        if (opens_regions) region_depths_.push_back(depth_);
        const size_t nested_regions = region_depths_.empty() ? 0 : region_depths_.size() - 1;
        if (nested_regions > kMaxRegionDepth) {
            too_deep = TooDeep::Regions;
            return false;
        }
        if (depth_ - kJsonLevelsPerRegion * nested_regions > kMaxJsonDepth) {
            too_deep = TooDeep::Json;
            return false;
        }
        return true;
    }

    void close() {
        --depth_;
        on_path_ = std::min(on_path_, depth_);
    }

    const rapidjson::StringStream& stream_;
    size_t depth_ = 0;    // open containers
    bool regions_next_ = false;  // the value being read is a "regions" member's
    std::vector<size_t> region_depths_;  // the depth of each open "regions" array
    size_t on_path_ = 0;  // the open containers at levels [0, on_path_) are on the pointer's path
    std::array<Level, kTokens.size()> levels_{};
    bool in_ops_ = false;
    OpScan op_;
    Next pending_ = Next::None;  // what the value being read is
};

// One operator's document. Its parse stack lives in a pool of its own, like its values, so
// that reading an operator allocates nothing unless it is unusually large.
using OpDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, JsonPool>;

// The document's own event handler with number literals converted here: the parser hands
// them over as text and helper::json_number_value gives each its correctly rounded value.
struct NumberConvertingHandler {
    OpDocument& doc;

    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    bool Int(int i) { return doc.Int(i); }
    bool Uint(unsigned i) { return doc.Uint(i); }
    bool Int64(int64_t i) { return doc.Int64(i); }
    bool Uint64(uint64_t i) { return doc.Uint64(i); }
    bool Double(double d) { return doc.Double(d); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        const auto value = helper::json_number_value(std::string_view(text, length));
        if (!value) return false;
        return std::visit([this](auto v) {
            using T = decltype(v);
            if constexpr (std::is_same_v<T, int64_t>) return doc.Int64(v);
            else if constexpr (std::is_same_v<T, uint64_t>) return doc.Uint64(v);
            else return doc.Double(v);
        }, *value);
    }
    bool String(const char* s, rapidjson::SizeType length, bool copy) {
        return doc.String(s, length, copy);
    }
    bool StartObject() { return doc.StartObject(); }
    bool Key(const char* s, rapidjson::SizeType length, bool copy) { return doc.Key(s, length, copy); }
    bool EndObject(rapidjson::SizeType members) { return doc.EndObject(members); }
    bool StartArray() { return doc.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return doc.EndArray(elements); }
};

// The operators whose attribute lists may be left out of their documents: those whose every
// reader of a list attribute sees through the placeholder (the first pass's literal fold and
// the full_int_array, assign_value_ and set_value_ lowerings read them with the helper's
// list readers). Other names may reach the generic conversion, which copies lists as they are.
bool keeps_long_lists(std::string_view name) {
    if (name == "1.assign_value_" || name == "1.set_value_") return true;
    while (!name.empty() && name.back() == '_') name.remove_suffix(1);
    return name == "1.full_int_array";
}

// A list shorter than this stays in the document.
constexpr size_t kLongList = 1024;

// The handler of one operator's parse: the document's own, through NumberConvertingHandler,
// except that a long list of numbers in an attribute ("A"[k]["AT"]["D"]) of an operator that
// keeps long lists is left out of the document: in its place goes a placeholder that the
// list readers see through (helper::NumberLists), and the numbers are read from the program
// text when a reader asks for them. A program whose size is one large constant then needs no
// document node per number.
class OpHandler {
public:
    OpHandler(OpDocument& doc, rapidjson::StringStream& stream, std::string_view text,
              helper::NumberLists& lists)
        : inner_{doc}, stream_(stream), text_(text), lists_(lists) {}

    bool Null() { return skipping_ || (value(), inner_.Null()); }
    bool Bool(bool b) { return skipping_ || (value(), inner_.Bool(b)); }
    bool Int(int i) { return skipping_ || (value(), inner_.Int(i)); }
    bool Uint(unsigned i) { return skipping_ || (value(), inner_.Uint(i)); }
    bool Int64(int64_t i) { return skipping_ || (value(), inner_.Int64(i)); }
    bool Uint64(uint64_t i) { return skipping_ || (value(), inner_.Uint64(i)); }
    bool Double(double d) { return skipping_ || (value(), inner_.Double(d)); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool copy) {
        return skipping_ || (value(), inner_.RawNumber(text, length, copy));
    }
    bool String(const char* s, rapidjson::SizeType length, bool copy) {
        if (skipping_) return true;
        if (!frames_.empty() && frames_.back().name_next)
            frames_.back().keeps_lists = keeps_long_lists(std::string_view(s, length));
        value();
        return inner_.String(s, length, copy);
    }
    bool StartObject() {
        if (skipping_) return ++skipping_, true;
        value();
        frames_.push_back(Frame{});
        return inner_.StartObject();
    }
    bool Key(const char* s, rapidjson::SizeType length, bool copy) {
        if (skipping_) return true;
        Frame& top = frames_.back();
        // The key's text lives only as long as this call.
        const std::string_view key(s, length);
        top.key = key == "D" ? Member::D : key == "AT" ? Member::AT : key == "A" ? Member::A : Member::Other;
        // Only the first "#" member names the operator, as every reader finds it.
        if (!top.name_seen && key == "#") top.name_seen = top.name_next = true;
        return inner_.Key(s, length, copy);
    }
    bool EndObject(rapidjson::SizeType members) {
        if (skipping_) return --skipping_, true;
        frames_.pop_back();
        return inner_.EndObject(members);
    }
    bool StartArray() {
        if (skipping_) return ++skipping_, true;
        value();
        if (at_attribute_data()) {
            // The parser has taken the '['; what follows it is still the program's text.
            const size_t begin = stream_.Tell() - 1;
            const std::string_view rest = text_.substr(begin);
            if (const auto scan = helper::scan_number_list(rest); scan && scan->count >= kLongList) {
                list_ = &lists_.add(rest.substr(0, scan->length), scan->count, scan->wrapped);
                skipping_ = 1;
                return true;
            }
        }
        frames_.emplace_back().is_array = true;
        return inner_.StartArray();
    }
    bool EndArray(rapidjson::SizeType elements) {
        if (skipping_) {
            if (--skipping_ > 0) return true;
            // The label's own storage, referred to: that is how the readers know it.
            const std::string& label = list_->label;
            return inner_.StartArray() &&
                   inner_.String(label.data(), static_cast<rapidjson::SizeType>(label.size()), false) &&
                   inner_.EndArray(1);
        }
        frames_.pop_back();
        return inner_.EndArray(elements);
    }

private:
    // The keys on the way to an attribute's data.
    enum class Member { Other, A, AT, D };
    struct Frame {
        bool is_array = false;
        bool keeps_lists = false;  // an operator whose long lists stay out of the document
        bool name_seen = false;    // the object's first "#" member was seen
        bool name_next = false;    // the value being read is that member's
        Member key = Member::Other;  // the object's last key
    };

    // Every value starts here.
    void value() {
        if (!frames_.empty()) frames_.back().name_next = false;
    }

    // Whether the array starting now is an attribute's data: "A"[k]["AT"]["D"] of an operator
    // that keeps long lists.
    bool at_attribute_data() const {
        const size_t n = frames_.size();
        if (n < 4) return false;
        const Frame& at = frames_[n - 1];
        const Frame& entry = frames_[n - 2];
        const Frame& list = frames_[n - 3];
        const Frame& op = frames_[n - 4];
        return !at.is_array && at.key == Member::D && !entry.is_array && entry.key == Member::AT &&
               list.is_array && !op.is_array && op.key == Member::A && op.keeps_lists;
    }

    NumberConvertingHandler inner_;
    rapidjson::StringStream& stream_;
    std::string_view text_;  // the operator's range of the program text
    helper::NumberLists& lists_;
    std::vector<Frame> frames_;
    size_t skipping_ = 0;  // open containers of the list being left out
    const helper::NumberList* list_ = nullptr;
};

// The operators of the top block, each parsed on demand from its own range of the checked
// text into a small document that lives until the next one is read; a whole program's
// document would need several times the text's size. The range is parsed where it lies, not
// in place, so the text stays intact for the next pass and is never copied (an operator
// holding a long list is most of the program).
class OpReader {
public:
    OpReader(std::vector<uint8_t>& text, std::vector<OpSpan> spans)
        : text_(reinterpret_cast<char*>(text.data())), spans_(std::move(spans)),
          pool_buffer_(std::make_unique<char[]>(kPoolBufferSize)),
          pool_(pool_buffer_.get(), kPoolBufferSize),
          stack_buffer_(std::make_unique<char[]>(kStackBufferSize)),
          stack_pool_(stack_buffer_.get(), kStackBufferSize),
          doc_(&pool_, kStackBufferSize / 2, &stack_pool_) {}

    size_t size() const { return spans_.size(); }

    const Json& at(size_t i) {
        const OpSpan& span = spans_[i];
        if (span.begin == span.end) return null_;
        const size_t length = span.end - span.begin;
        pool_.Clear();
        stack_pool_.Clear();
        lists_.clear();
        // The check above validated the encoding and bounded the nesting, so neither is
        // done again for each operator. The parse reads the program text where it lies and
        // stops at the operator's closing brace; the strings it keeps are copied into the pool.
        constexpr unsigned kFlags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
        rapidjson::StringStream stream(text_ + span.begin);
        rapidjson::ParseResult result;
        auto parse = [&](OpDocument& target) {
            OpHandler handler(target, stream, std::string_view(text_ + span.begin, length), lists_);
            result = reader_.Parse<kFlags>(stream, handler);
            return !result.IsError();
        };
        doc_.Populate(parse);
        // The whole text was checked before, so an operator's own range always parses.
        if (result.IsError())
            throw Error("{} in operator {} of the program", rapidjson::GetParseError_En(result.Code()), i);
        return doc_;
    }

    // For the last pass, which reads each operator once and in order: the text up to the
    // end of operator i is never read again, so its whole pages go back to the system (the
    // vector keeps its size; a page given back reads as zeros). A large program's text then
    // shrinks as its graph grows instead of adding to the graph's peak.
    void release_through(size_t i) {
        static const uintptr_t page = static_cast<uintptr_t>(std::max(::sysconf(_SC_PAGESIZE), 1L));
        const auto base = reinterpret_cast<uintptr_t>(text_);
        // The page holding the start may hold the allocator's bookkeeping: never given back.
        if (released_to_ == 0) released_to_ = (base + page - 1) & ~(page - 1);
        const uintptr_t to = (base + spans_[i].end) & ~(page - 1);
        if (spans_[i].begin == spans_[i].end || to < released_to_ + kReleaseStep) return;
        ::madvise(reinterpret_cast<void*>(released_to_), to - released_to_, MADV_DONTNEED);
        released_to_ = to;
    }

private:
    static constexpr size_t kPoolBufferSize = 64 * 1024;
    static constexpr size_t kStackBufferSize = 16 * 1024;
    static constexpr uintptr_t kReleaseStep = 1 << 20;

    char* text_;
    uintptr_t released_to_ = 0;
    std::vector<OpSpan> spans_;
    std::unique_ptr<char[]> pool_buffer_;
    JsonPool pool_;
    std::unique_ptr<char[]> stack_buffer_;
    JsonPool stack_pool_;
    OpDocument doc_;
    helper::NumberLists lists_;  // the long lists left out of doc_
    JsonReader reader_;  // its stack keeps its size from one operator to the next
    const Json null_;
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// What a file that cannot be a JSON program starts with, when that is the first thing to
// say about it: the weight file or an old binary program given in the program's place would
// otherwise be reported as a stray character of a JSON text. Only bytes no JSON text may
// hold count (a control character other than a line break or a tab, bytes that are not
// UTF-8), so every text this names fails to parse anyway.
std::optional<std::string_view> foreign_start(const std::vector<uint8_t>& bytes) {
    std::string_view head(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 64));
    if (head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF"))
        return "it starts with a UTF-16 byte order mark; it must be UTF-8";
    if (head.starts_with(kUtf8Bom)) head.remove_prefix(kUtf8Bom.size());
    if (helper::text_start(head).binary) return "it starts with binary data";
    return std::nullopt;
}

}  // namespace

void Converter::load_paddle_model(const std::string& path) {
    KLOG(Level::Info, kTarget, "Loading PaddlePaddle JSON model: {}", path);
    struct stat opened {};
    std::vector<uint8_t> bytes = read_file_capped(
        path, kModelJsonLimit,
        [](uint64_t size) {
            return Error("model JSON is too large: {} bytes exceeds soft limit {} bytes", size,
                         kModelJsonLimit);
        },
        kParseEndPadding, &opened);
    if (S_ISREG(opened.st_mode))
        input_files.push_back({"program", path, opened.st_dev, opened.st_ino});
    if (const auto why = foreign_start(bytes))
        throw Error("'{}' is not a JSON program ({})", helper::fmt_text(path), *why);
    load_paddle_model_from_buffer(std::move(bytes));
}

void Converter::load_paddle_model_from_text(std::string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() + kParseEndPadding);
    bytes.assign(text.begin(), text.end());
    load_paddle_model_from_buffer(std::move(bytes));
}

void Converter::load_paddle_model_from_buffer(std::vector<uint8_t> bytes) {
    // A UTF-8 byte order mark is not part of the text (editors on some systems add one);
    // lines and columns count from the text after it.
    if (bytes.size() >= kUtf8Bom.size() &&
        std::equal(kUtf8Bom.begin(), kUtf8Bom.end(), bytes.begin(),
                   [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }))
        bytes.erase(bytes.begin(), bytes.begin() + kUtf8Bom.size());
    std::vector<OpSpan> spans;
    ProducerIndex producers;
    {
        // The line breaks are needed only for the messages of this check.
        const LineIndex lines = scan_json_text(reinterpret_cast<char*>(bytes.data()), bytes.size());
        // The parser checks a multi-byte UTF-8 sequence by reading all of its bytes before
        // looking at them, so a text ending inside one makes it read up to three bytes past
        // the terminating NUL: the NULs of the padding are what it reads there. The file
        // reader leaves room for them, so the buffer is not copied.
        bytes.resize(bytes.size() + kParseEndPadding, '\0');
        JsonReader reader;
        rapidjson::StringStream stream(reinterpret_cast<const char*>(bytes.data()));
        OpsLocator locator(stream);
        const rapidjson::ParseResult result = reader.Parse<kCheckFlags>(stream, locator);
        // The parse stops at the first fault in the text: a lone low surrogate before it
        // (or in a text without one) is reported as the parser reports a lone high one.
        if (lines.lone_low_surrogate && (!result.IsError() || result.Offset() > *lines.lone_low_surrogate)) {
            auto [line, column] = lines.at(*lines.lone_low_surrogate);
            throw Error("{} at line {} column {}",
                        rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid),
                        line, column);
        }
        if (locator.too_deep != OpsLocator::TooDeep::No) {
            auto [line, column] = lines.at(result.Offset());
            if (locator.too_deep == OpsLocator::TooDeep::Regions)
                throw Error("regions nested deeper than {} levels at line {} column {} (ONNX Runtime "
                            "loads no model nested deeper)",
                            kMaxRegionDepth, line, column);
            throw Error("recursion limit exceeded: JSON nested deeper than {} levels at line {} column {}",
                        kMaxJsonDepth, line, column);
        }
        if (result.IsError()) {
            // A literal beyond the double range stops the parse at its first byte, as the
            // parser's own refusal of such numbers does, and is reported in the same words.
            const auto code =
                locator.out_of_range ? rapidjson::kParseErrorNumberTooBig : result.Code();
            auto [line, column] = lines.at(result.Offset());
            throw Error("{} at line {} column {}", rapidjson::GetParseError_En(code), line, column);
        }
        if (!locator.ops_found)
            throw Error("Could not find ops array in JSON under {}", kOpsPointer);
        spans = std::move(locator.spans);
        producers = std::move(locator.producers);
    }

    OpReader ops(bytes, std::move(spans));
    collect_pass1(ops.size(), [&](size_t i) -> const Json& { return ops.at(i); }, producers, true);
    producers = ProducerIndex();  // not needed by the second pass

    auto& names = state.param_names.make_mut();
    std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char
    KLOG(Level::Info, kTarget, "Found {} parameters.", names.size());

    for (size_t i = 0; i < ops.size(); ++i) {
        const Json& op = ops.at(i);
        const Json* name = helper::member(op, "#");
        if (name == nullptr || !name->IsString()) continue;
        process_pass2_op(std::string_view(name->GetString(), name->GetStringLength()), op);
        ops.release_through(i);
    }
    refuse_program_name_clashes();
}

namespace {

// Throws when a program name is given to a value the conversion defines in `graph` or in a
// graph nested in it, where the finishing passes or the scoping of subgraphs would let one
// of the two silently stand for the other: an initializer (the last of a name wins, and an
// input an initializer provides is dropped), or any name a subgraph defines (it shadows the
// enclosing value). A node of the main graph defining such a name is refused by validation.
void refuse_clashes_in(const proto::GraphProto& graph, bool nested,
                       const std::unordered_set<std::string_view>& params,
                       const std::unordered_set<std::string_view>& inputs) {
    const auto check = [&](const std::string& name) {
        const char* what = params.count(name)   ? "parameter"
                           : inputs.count(name) ? "graph input"
                                                : nullptr;
        if (what)
            throw Error("{} {} has the name of a value the conversion defines; rename it in "
                        "the program",
                        what, name);
    };
    for (const auto& t : graph.initializer) check(t.name);
    for (const auto& node : graph.node) {
        if (nested)
            for (const auto& out : node.output)
                if (!out.empty()) check(out);
        passes::for_each_subgraph(node, [&](const proto::GraphProto& sub) {
            for (const auto& in : sub.input) check(in.name);
            refuse_clashes_in(sub, true, params, inputs);
        });
    }
}

// An operator of the dialects the conversion reads lists its operands ("I") and results
// ("O"); only a parameter gives its one result as an object. Read otherwise, a result would
// go unnamed (a node written without its output) or the operands would be dropped.
void refuse_unlisted_values(std::string_view name, const Json& op) {
    const bool read = name.size() > 2 && name[1] == '.' && (name[0] == '0' || name[0] == '1' || name[0] == '2');
    if (!read) return;
    for (const auto& [key, what] : {std::pair{"I", "Inputs"}, std::pair{"O", "Outputs"}}) {
        const Json* list = helper::member(op, key);
        if (list && !list->IsArray())
            throw Error("{} (\"{}\") not a list in op: {}", what, key, helper::json_debug(op));
    }
}

}  // namespace

void Converter::refuse_program_name_clashes() const {
    // Until the weights are paired, every initializer of the graph comes from a lowering.
    std::unordered_set<std::string_view> params(state.param_names->begin(),
                                                state.param_names->end());
    std::unordered_set<std::string_view> inputs;
    for (const auto& input : graph.input) inputs.insert(input.name);
    if (params.empty() && inputs.empty()) return;
    refuse_clashes_in(graph, false, params, inputs);
}

void Converter::skip_unknown_dialect_op(std::string_view full_name, const Json& op) {
    const std::string name = helper::fmt_text(full_name);
    KLOG(Level::Warn, kTarget, "Skipped operator {}: its dialect is unknown, so it is not converted",
         name);
    const Json* outs = helper::member(op, "O");
    if (outs == nullptr) return;
    std::vector<int64_t> ids;
    if (outs->IsArray()) {
        ids = helper::collect_value_ids(*outs);
    } else if (auto id = helper::try_op_out_id(op)) {
        ids.push_back(*id);
    }
    for (const int64_t id : ids) {
        // Ids that never name a value (0, or negative without a name) are read by nobody.
        if (id == 0 || (id < 0 && state.tensor_names.find(id) == nullptr)) continue;
        skipped_outputs->emplace(get_tensor_name(id), name);
    }
}

void Converter::collect_pass1_from_ops(const Json& ops) {
    if (!ops.IsArray()) return;
    const auto array = ops.GetArray();
    ProducerIndex producers;
    for (size_t i = 0; i < array.Size(); ++i) {
        const Json& op = array[static_cast<rapidjson::SizeType>(i)];
        const Json* name = helper::member(op, "#");
        if (name == nullptr || !name->IsString()) continue;
        if (pass1_constant_folder(std::string_view(name->GetString(), name->GetStringLength())) ==
            nullptr)
            continue;
        // An operator without a readable output produces nothing to index.
        if (auto out = helper::try_op_out_id(op)) producers[*out] = i;
    }
    collect_pass1(array.Size(), [&](size_t i) -> const Json& {
        return array[static_cast<rapidjson::SizeType>(i)];
    }, producers);
}

void Converter::collect_pass1(size_t count, const std::function<const Json&(size_t)>& op_at,
                              const ProducerIndex& producers, bool main_block) {

    for (size_t i = 0; i < count; ++i) {
        const Json& op = op_at(i);
        note_secondary_reads(op);

        if (const Json* outs = helper::member(op, "O")) {
            if (outs->IsObject()) {
                record_tensor_meta(*outs);
            } else if (outs->IsArray()) {
                for (const Json& entry : outs->GetArray()) record_tensor_meta(entry);
            }
        }

        const Json* name_value = helper::member(op, "#");
        std::optional<std::string_view> name =
            name_value ? helper::as_str(*name_value) : std::nullopt;
        if (name) {
            refuse_unlisted_values(*name, op);
            const Json* inputs = helper::member(op, "I");
            if (*name == "0.combine") {
                IdList ids = inputs ? helper::collect_value_ids(*inputs) : IdList{};
                if (auto out = helper::try_op_out_id(op)) state.combine_inputs.insert(*out, std::move(ids));
            } else if (*name == "0.split") {
                IdList ids = inputs ? helper::collect_value_ids(*inputs) : IdList{};
                if (inputs && inputs->IsArray() && !ids.empty()) {
                    const Json* outs = helper::member(op, "O");
                    IdList out_ids = outs && outs->IsArray() ? helper::collect_value_ids(*outs)
                                                             : IdList{};
                    state.split_outputs.insert(ids.front(), std::move(out_ids));
                }
            } else if (*name == "p") {
                record_parameter(op);
            } else if (*name == "1.data" && main_block) {
                if (auto out = helper::try_op_out_id(op))
                    input_names->emplace(*out, graph_value_name(op, Direction::Input));
            }

            if (Pass1Folder folder = pass1_constant_folder(*name)) (this->*folder)(op, i, producers);
        }

        const Json* regions = helper::member(op, "regions");
        if (regions == nullptr || !regions->IsArray()) continue;
        for (const Json& region : regions->GetArray()) {
            const Json* blocks = helper::member(region, "blocks");
            if (blocks == nullptr || !blocks->IsArray()) continue;
            for (const Json& block : blocks->GetArray()) {
                if (const Json* args = helper::member(block, "args"); args && args->IsArray()) {
                    for (const Json& arg : args->GetArray()) record_tensor_meta(arg);
                }
                const Json* block_ops = helper::member(block, "ops");
                if (block_ops == nullptr || !block_ops->IsArray()) continue;
                // Constants folded inside a nested block die with it: the block writes into
                // a layer of its own over the table, dropped afterwards even when it fails.
                auto saved = state.const_values;
                state.const_values = saved.layered();
                try {
                    collect_pass1_from_ops(*block_ops);
                } catch (...) {
                    state.const_values = std::move(saved);
                    throw;
                }
                state.const_values = std::move(saved);
            }
        }
    }
}

// Values are read after the operator that makes them, nested blocks included, so one walk
// in program order sees every read of an output that it has already noted. Only the outputs
// past the first are kept, which holds the tables to a few entries per operator that has
// several outputs.
void Converter::note_secondary_reads(const Json& op) {
    SecondaryReads& s = *secondary_reads;
    const auto id_of = [](const Json& entry) -> std::optional<int64_t> {
        const Json* v = helper::member(entry, "%");
        return v ? helper::as_i64(*v) : std::nullopt;
    };
    if (const Json* in = helper::member(op, "I"); in && in->IsArray() && !s.outputs.empty())
        for (const Json& entry : in->GetArray())
            if (const auto id = id_of(entry); id && s.outputs.count(*id)) s.read.insert(*id);
    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) return;
    for (rapidjson::SizeType k = 1; k < outs->Size(); ++k)
        if (const auto id = id_of((*outs)[k]); id && *id != 0) s.outputs.insert(*id);
}

void Converter::record_parameter(const Json& op) {
    std::string name = "unknown_param";
    if (const Json* attrs = helper::member(op, "A"); attrs && attrs->IsArray()) {
        for (const Json& a : attrs->GetArray()) {
            if (auto s = helper::as_str(a)) {
                name = std::string(*s);
                break;
            }
        }
    }
    const auto out = helper::try_op_out_id(op);
    if (!out) return;  // a parameter without an output id is not recorded at all
    const int64_t id = *out;
    state.tensor_names.insert(id, name);
    state.param_names.make_mut().push_back(name);

    ParamMeta meta;
    const std::string* token = state.tensor_dtypes.find(id);
    if (const auto word = token ? helper::paddle_token_word(*token) : std::nullopt) {
        meta.dtype = helper::paddle_dtype_token_to_onnx(*word);
        // Values of this type are refused wherever the program uses them, but a parameter
        // may declare it: its weight record must then be of that type too.
        if (*word == "bf16") meta.dtype = proto::dtype::BFLOAT16;
    }
    if (const auto* dims = state.tensor_shapes.find(id)) meta.shape = *dims;
    // Every use of a name reads one initializer: a name declared again with another type or
    // dims would hand one of its readers a weight of the wrong kind.
    if (const ParamMeta* seen = state.param_meta.find(name);
        seen && (seen->dtype != meta.dtype || seen->shape != meta.shape)) {
        const auto describe = [](const ParamMeta& m) {
            return fmt::format("{} {}", m.dtype ? helper::onnx_dtype_name(*m.dtype) : "untyped",
                               helper::fmt_dims(m.shape));
        };
        throw Error("parameter '{}' is declared as {} and again as {}", helper::fmt_text(name),
                    describe(*seen), describe(meta));
    }
    state.param_meta.insert(std::move(name), std::move(meta));
    // Its weight record must have the declared dims.
    settle_dims(id);
}

void Converter::record_tensor_meta(const Json& entry) {
    std::optional<int64_t> id;
    if (const Json* v = helper::member(entry, "%")) id = helper::as_i64(*v);
    if (!id) {
        if (const Json* v = helper::member(entry, "#")) id = helper::as_i64(*v);
    }
    if (!id) return;
    auto type = helper::declared_type(entry, helper::NonIntegerDims::Unknown);
    if (!type) return;
    if (type->token) state.tensor_dtypes.insert(*id, std::string(*type->token));
    if (type->dims) state.tensor_shapes.insert(*id, std::move(*type->dims));
}

}  // namespace kestro
