#include "daemon_log.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace daemons {
namespace {

// A request may not forge log lines or plant terminal escapes, nor overrun the buffer.
TEST(DaemonLogTest, SanitizeKeepsHostileTextOnOneLine) {
  // clang-format off
  struct { std::string text; size_t size; std::string shown; } cases[] = {
      {"a\nb\rc", 64, "a\\x0ab\\x0dc"}, {"\x1b[2J\xff", 64, "\\x1b[2J\\xff"}, {"back\\slash", 64, "back\\\\slash"},
      {"abcdefghij", 8, "abcd..."}, {"ab\ncd", 8, "ab..."} /* an escape is never split */, {"abc", 3, ""}};
  // clang-format on
  for (const auto &c : cases) {
    char out[64];
    Sanitize(c.text.c_str(), out, c.size);
    EXPECT_EQ(std::string(out), c.shown) << c.text;
  }
}

// Each daemon's line shape, a cut line with and without its mark, and where the lines go: the
// fallback only once a line is written and while no other file is in use, nowhere without one.
TEST(DaemonLogTest, LinesAndWhereTheyGo) {
  vaktest::TempDir dir;
  const struct {
    LogStyle style;
    size_t textLength;
    std::string tail;  // of the one line written, after "<date> <time> "
  } cases[] = {
      {{"", 1024, true}, 10, std::string(10, 'x') + "\n"},
      {{"", 1024, true}, 2000, std::string(1022 - 20 - 3, 'x') + "...\n"},
      {{"vakcompatd[7]: ", 8192, false}, 10, "vakcompatd[7]: " + std::string(10, 'x') + "\n"},
      {{"d: ", 64, false}, 100, "d: " + std::string(62 - 20 - 3, 'x') + "\n"},
  };
  for (const auto &c : cases) {
    const std::string fallback = dir.Sub("fallback.log"), other = dir.Sub("other.log");
    unlink(fallback.c_str());
    DaemonLog log(c.style);
    log.Write("%s", "nowhere");
    EXPECT_STREQ("none", log.path());
    ASSERT_TRUE(log.SetFallback(fallback.c_str()));
    EXPECT_FALSE(vaktest::Exists(fallback));
    log.Debug("not in debug mode");
    log.Write("%s", std::string(c.textLength, 'x').c_str());
    std::string text = vaktest::ReadFile(fallback);
    EXPECT_EQ(c.tail, text.substr(text.size() < 20 ? 0 : 20)) << c.style.tag;
    ASSERT_TRUE(log.Open(other.c_str()));
    EXPECT_EQ(other, log.path());
    log.Close();
    EXPECT_EQ(fallback, log.path());
  }
}

}  // namespace
}  // namespace daemons
