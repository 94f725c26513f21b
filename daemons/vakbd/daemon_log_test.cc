#include "daemon_log.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vakbd {
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

// StartLog names any file: it must not make the daemon write into another file of its
// user's, nor hang on a fifo. (A final symbolic link is refused in the daemon's black-box tests.)
TEST(DaemonLogTest, StartAcceptsOnlyNewFilesAndEarlierLogs) {
  vaktest::TempDir dir;
  vaktest::WriteFile(dir.Sub("target"), "precious\n");
  vaktest::WriteFile(dir.Sub("old.log"), std::string(kLogHeader) + "earlier line\n");
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  for (std::string name : {"new.log", "old.log", "target", "fifo"}) {
    Log log;
    const char *why = nullptr;
    EXPECT_EQ(log.Start(dir.Sub(name).c_str(), &why), name.find(".log") != std::string::npos);
    log.Write("hello");
  }
  struct stat st;
  EXPECT_TRUE(stat(dir.Sub("new.log").c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  EXPECT_EQ(vaktest::ReadFile(dir.Sub("target")), "precious\n");
  EXPECT_EQ(vaktest::ReadFile(dir.Sub("new.log")).rfind(kLogHeader, 0),
            0u);  // so it can be reopened
  EXPECT_NE(vaktest::ReadFile(dir.Sub("old.log")).find("earlier line\n"), std::string::npos);
}

}  // namespace
}  // namespace vakbd
