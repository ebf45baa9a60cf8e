// The logger: directive selection and its warnings, record filtering and the record format.
#include "log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

namespace kestro::log {
namespace {

struct Expect {
    Level level;
    const char* target;
    bool enabled;
};

void check(const std::string& text, const std::vector<Expect>& expectations) {
    init(text, "never");
    for (const auto& e : expectations)
        EXPECT_EQ(enabled(e.level, e.target), e.enabled)
            << "RUST_LOG='" << text << "' level " << static_cast<int>(e.level) << " target "
            << e.target;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { init("", "never"); }
};

TEST_F(LogTest, DirectivesSelectLevelsByLongestTargetPrefix) {
    // Unset or empty: errors only, which the converter never emits.
    check("", {{Level::Error, "kestro", true}, {Level::Warn, "kestro", false}});
    check("info", {{Level::Info, "kestro::converter", true}, {Level::Debug, "kestro", false}});
    check("DeBuG", {{Level::Debug, "kestro", true}, {Level::Trace, "kestro", false}});
    check("off", {{Level::Error, "kestro", false}});
    // A bare target enables every level for it and its sub-targets only.
    check("kestro::converter", {{Level::Trace, "kestro::converter::ops::math", true},
                                {Level::Trace, "kestro::converter", true},
                                {Level::Error, "kestro", false}});
    check("kestro::converter=info", {{Level::Info, "kestro::converter::export", true},
                                     {Level::Debug, "kestro::converter::export", false},
                                     {Level::Info, "kestro", false}});
    // The longest matching prefix decides, whatever the order of the directives.
    check("kestro::converter::ops=debug,kestro=warn,info",
          {{Level::Debug, "kestro::converter::ops", true},
           {Level::Info, "kestro::converter::export", false},
           {Level::Warn, "kestro::converter::export", true},
           {Level::Info, "other", true},
           {Level::Debug, "other", false}});
    check("debug,kestro::converter=off", {{Level::Error, "kestro::converter::ops", false},
                                          {Level::Debug, "kestro", true}});
    // Blanks around pieces and empty pieces are ignored; "target=" means all levels.
    check(" kestro = info , ,kestro::converter=", {{Level::Info, "kestro", true},
                                                  {Level::Debug, "kestro", false},
                                                  {Level::Trace, "kestro::converter", true}});
    // The same target twice: the later directive wins.
    check("kestro=info,kestro=warn", {{Level::Info, "kestro", false}, {Level::Warn, "kestro", true}});
}

TEST_F(LogTest, MalformedDirectivesWarnAndTheRestStillApply) {
    testing::internal::CaptureStderr();
    init("kestro=loud,a=b=c,kestro::converter=info", "never");
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_NE(warnings.find("warning: invalid logging directive 'loud'"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("'a=b=c'"), std::string::npos) << warnings;
    EXPECT_TRUE(enabled(Level::Info, "kestro::converter"));
    EXPECT_FALSE(enabled(Level::Info, "kestro"));

    // Nothing valid left: back to errors only.
    testing::internal::CaptureStderr();
    init("kestro=loud", "never");
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_TRUE(enabled(Level::Error, "kestro"));
    EXPECT_FALSE(enabled(Level::Warn, "kestro"));

    testing::internal::CaptureStderr();
    init("info/(", "never");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid regex filter"),
              std::string::npos);
    EXPECT_TRUE(enabled(Level::Info, "kestro"));
}

std::string written(const std::string& text, Level level, const char* target, const char* msg) {
    init(text, "never");
    testing::internal::CaptureStderr();
    write(level, target, msg);
    return testing::internal::GetCapturedStderr();
}

TEST_F(LogTest, RecordsAreOneLineAndPassTheMessageFilter) {
    const std::string line =
        written("info", Level::Info, "kestro", "=== PaddlePaddle to ONNX Converter ===");
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ INFO  kestro\] )"
                         R"(=== PaddlePaddle to ONNX Converter ===\n)")))
        << line;

    EXPECT_EQ(written("info", Level::Debug, "kestro", "hidden"), "");
    // The filter follows the first "/" and applies to the message text, matching anywhere.
    EXPECT_NE(written("info/Saved", Level::Info, "k", "Saved ONNX model to: a"), "");
    EXPECT_EQ(written("info/Saved", Level::Info, "k", "Found 3 parameters."), "");
    EXPECT_NE(written("kestro=info,x=warn/^Found \\d+", Level::Info, "kestro", "Found 3 parameters."),
              "");
    EXPECT_EQ(written("kestro=info/a,b", Level::Info, "kestro", "a"), "");
    EXPECT_NE(written("kestro=info/a,b", Level::Info, "kestro", "xa,bx"), "");
}

TEST_F(LogTest, RecordFormatPadsLevelsAndStampsUtcTime) {
    const std::time_t before = std::time(nullptr);
    const std::string info = format_record(Level::Info, "kestro::converter", "msg", false);
    const std::time_t after = std::time(nullptr);

    std::tm tm{};
    char rest[64] = {};
    ASSERT_EQ(std::sscanf(info.c_str(), "[%4d-%2d-%2dT%2d:%2d:%2dZ %63[^\n]", &tm.tm_year, &tm.tm_mon,
                          &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, rest),
              7)
        << info;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t stamp = timegm(&tm);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(std::string(rest), "INFO  kestro::converter] msg");

    const auto tail = [](Level level) {
        const std::string r = format_record(level, "t", "m", false);
        return r.substr(r.find('Z') + 2);
    };
    EXPECT_EQ(tail(Level::Warn), "WARN  t] m");
    EXPECT_EQ(tail(Level::Debug), "DEBUG t] m");
    EXPECT_EQ(tail(Level::Error), "ERROR t] m");
    EXPECT_EQ(tail(Level::Trace), "TRACE t] m");

    const std::string coloured = format_record(Level::Warn, "t", "m", true);
    EXPECT_NE(coloured.find("\x1b["), std::string::npos);
    EXPECT_NE(coloured.find("WARN "), std::string::npos);
    EXPECT_EQ(coloured.substr(coloured.size() - 2), " m");
}

}  // namespace
}  // namespace kestro::log
