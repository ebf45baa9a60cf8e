#pragma once
// A small logger configured from RUST_LOG and RUST_LOG_STYLE. Records go to standard
// error, one write per record:
//   "[2025-01-02T03:04:05Z INFO  kestro] message"
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace kestro::log {

enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Reads RUST_LOG / RUST_LOG_STYLE. A malformed directive is reported as a warning on
// standard error and skipped. Unset RUST_LOG enables errors only.
void init_from_env();
// Configures from explicit texts (tests); `style` as RUST_LOG_STYLE.
void init(std::string_view directives, std::string_view style);

// True when a record of this level and target would pass the directives (the message
// filter, if any, is applied when the record is written).
bool enabled(Level level, std::string_view target);
void write(Level level, std::string_view target, std::string_view message);

// Writes all of `text` to `fd`, retrying interrupted and partial writes; a failing write
// ends it silently (there is nowhere left to report it).
void write_all(int fd, std::string_view text);

// The record line for a message, without the trailing newline (exposed for tests).
std::string format_record(Level level, std::string_view target, std::string_view message,
                          bool colour);

}  // namespace kestro::log

// Formats only when the target and level are enabled.
#define KLOG(level, target, ...)                                                    \
    do {                                                                            \
        if (::kestro::log::enabled((level), (target)))                              \
            ::kestro::log::write((level), (target), ::fmt::format(__VA_ARGS__));    \
    } while (0)

namespace kestro {
using log::Level;
}
