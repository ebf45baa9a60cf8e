// The logger: RUST_LOG directives, RUST_LOG_STYLE colour, one write per record to standard error.
#include "log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace kestro::log {
namespace {

struct Directive {
    std::optional<std::string> target;  // none: applies to every target
    Level level;
};

struct Config {
    // Ordered by target length, shortest first, so that the last match is the longest
    // prefix; equal lengths keep their written order (the later directive wins).
    std::vector<Directive> directives{{std::nullopt, Level::Error}};
    std::optional<std::regex> filter;
    bool colour = false;
};

Config& config() {
    static Config c;
    return c;
}

void warn_config(std::string_view text) { write_all(STDERR_FILENO, fmt::format("warning: {}\n", text)); }

std::string_view trim(std::string_view s) {
    const auto not_space = [](char c) { return c != ' ' && c != '\t' && c != '\n' && c != '\r'; };
    while (!s.empty() && !not_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && !not_space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<Level> parse_level(std::string_view word) {
    static constexpr std::pair<std::string_view, Level> kNames[] = {
        {"off", Level::Off},   {"error", Level::Error}, {"warn", Level::Warn},
        {"info", Level::Info}, {"debug", Level::Debug}, {"trace", Level::Trace},
    };
    for (const auto& [name, level] : kNames) {
        if (word.size() == name.size() &&
            std::equal(word.begin(), word.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            }))
            return level;
    }
    return std::nullopt;
}

// One comma-separated piece: "level", "target" or "target=level". A bare word that is a
// level name sets the level for every target; any other bare word enables all levels
// for that target.
std::optional<Directive> parse_directive(std::string_view piece) {
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
        if (auto level = parse_level(piece)) return Directive{std::nullopt, *level};
        return Directive{std::string(piece), Level::Trace};
    }
    const std::string_view target = trim(piece.substr(0, eq));
    const std::string_view rest = trim(piece.substr(eq + 1));
    if (rest.find('=') != std::string_view::npos) {
        warn_config(fmt::format("invalid logging directive '{}', ignoring it", piece));
        return std::nullopt;
    }
    if (rest.empty()) return Directive{std::string(target), Level::Trace};
    if (auto level = parse_level(rest)) return Directive{std::string(target), *level};
    warn_config(fmt::format("invalid logging directive '{}', ignoring it", rest));
    return std::nullopt;
}

Config parse_config(std::string_view text) {
    Config c;
    c.directives.clear();
    // Everything after the first "/" is the message filter, shared by all directives.
    std::string_view mods = text;
    if (const size_t slash = text.find('/'); slash != std::string_view::npos) {
        mods = text.substr(0, slash);
        const std::string pattern(text.substr(slash + 1));
        try {
            c.filter.emplace(pattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            warn_config(fmt::format("invalid regex filter - {}", e.what()));
        }
    }
    while (!mods.empty()) {
        const size_t comma = mods.find(',');
        const std::string_view piece = trim(mods.substr(0, comma));
        mods = comma == std::string_view::npos ? std::string_view{} : mods.substr(comma + 1);
        if (piece.empty()) continue;
        if (auto d = parse_directive(piece)) c.directives.push_back(std::move(*d));
    }
    if (c.directives.empty()) c.directives.push_back({std::nullopt, Level::Error});
    std::stable_sort(c.directives.begin(), c.directives.end(),
                     [](const Directive& a, const Directive& b) {
                         return (a.target ? a.target->size() : 0) < (b.target ? b.target->size() : 0);
                     });
    return c;
}

bool decide_colour(std::string_view style) {
    if (style == "always") return true;
    if (style == "never") return false;
    return ::isatty(STDERR_FILENO) == 1;
}

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
        case Level::Off: break;
    }
    return "OFF";
}

std::string_view level_colour(Level level) {
    switch (level) {
        case Level::Error: return "\x1b[31m";
        case Level::Warn: return "\x1b[33m";
        case Level::Info: return "\x1b[32m";
        case Level::Debug: return "\x1b[34m";
        case Level::Trace: return "\x1b[36m";
        case Level::Off: break;
    }
    return "";
}

std::string utc_timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[32];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(buf, n);
}

}  // namespace

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report a failing standard error
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void init(std::string_view directives, std::string_view style) {
    Config c = parse_config(directives);
    c.colour = decide_colour(style);
    config() = std::move(c);
}

void init_from_env() {
    const char* text = std::getenv("RUST_LOG");
    const char* style = std::getenv("RUST_LOG_STYLE");
    init(text ? text : "", style ? style : "auto");
}

bool enabled(Level level, std::string_view target) {
    if (level == Level::Off) return false;
    const auto& ds = config().directives;
    for (auto it = ds.rbegin(); it != ds.rend(); ++it) {
        if (!it->target || target.starts_with(*it->target)) return level <= it->level;
    }
    return false;
}

std::string format_record(Level level, std::string_view target, std::string_view message,
                          bool colour) {
    const std::string ts = utc_timestamp();
    if (colour)
        return fmt::format("\x1b[2m[\x1b[0m{} {}{:<5}\x1b[0m {}\x1b[2m]\x1b[0m {}", ts,
                           level_colour(level), level_name(level), target, message);
    return fmt::format("[{} {:<5} {}] {}", ts, level_name(level), target, message);
}

void write(Level level, std::string_view target, std::string_view message) {
    const Config& c = config();
    if (!enabled(level, target)) return;
    if (c.filter) {
        // A pathological pattern can exhaust the matcher; logging must never end a conversion.
        try {
            if (!std::regex_search(message.begin(), message.end(), *c.filter)) return;
        } catch (const std::regex_error&) {
            return;
        }
    }
    std::string line = format_record(level, target, message, c.colour);
    line += '\n';
    write_all(STDERR_FILENO, line);
}

}  // namespace kestro::log
