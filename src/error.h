#pragma once
// The one error type of the converter: a message and an optional chain of causes.
// Thrown where a conversion step cannot go on; caught only in main.
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace kestro {

class Error : public std::exception {
public:
    template <class... Args>
    explicit Error(fmt::format_string<Args...> format, Args&&... args)
        : message_(fmt::format(format, std::forward<Args>(args)...)) {}

    // An already formatted message (system error texts, library messages).
    static Error raw(std::string message, std::vector<std::string> causes = {}) {
        Error e;
        e.message_ = std::move(message);
        e.causes_ = std::move(causes);
        return e;
    }

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::vector<std::string>& causes() const noexcept { return causes_; }

    // "Error: " is added by the caller; this is the message, then the causes.
    std::string report() const;

private:
    Error() = default;
    std::string message_;
    std::vector<std::string> causes_;
};

inline std::string Error::report() const {
    std::string out = message_;
    if (!causes_.empty()) {
        out += "\n\nCaused by:";
        for (const auto& c : causes_) {
            out += "\n    ";
            out += c;
        }
    }
    return out;
}

// The error of a failed system call, in the form "{} (os error {})".
Error os_error(int errnum);

}  // namespace kestro
