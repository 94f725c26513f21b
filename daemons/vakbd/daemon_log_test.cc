#include "daemon_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vakbd {
namespace {

// A request may not forge log lines or plant terminal escapes, nor overrun the buffer.
TEST(DaemonLogTest, SanitizeKeepsHostileTextOnOneLine) {
  struct {
    std::string text;
    size_t size;
    std::string shown;
  } cases[] = {{"a\nb\rc", 64, "a\\x0ab\\x0dc"},
               {"\x1b[2J\xff", 64, "\\x1b[2J\\xff"},
               {"back\\slash", 64, "back\\\\slash"},
               {"abcdefghij", 8, "abcd..."},
               {"ab\ncd", 8, "ab..."},  // an escape is never split
               {"abc", 3, ""}};
  for (const auto &c : cases) {
    char out[64];
    Sanitize(c.text.c_str(), out, c.size);
    EXPECT_EQ(std::string(out), c.shown) << c.text;
  }
}

// StartLog comes from any local user: it must not reach someone's other file or hang.
TEST(DaemonLogTest, StartAcceptsOnlySafeTargets) {
  vaktest::TempDir dir;
  vaktest::WriteFile(dir.Sub("target"), "precious\n");
  ASSERT_EQ(symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  vaktest::WriteFile(dir.Sub("old.log"), std::string(kLogHeader) + "earlier line\n");
  struct {
    std::string path;
    bool accepted;
  } cases[] = {{dir.Sub("new.log"), true}, {dir.Sub("old.log"), true}, {dir.Sub("link"), false},
               {dir.Sub("target"), false}, {dir.Sub("fifo"), false},   {"relative.log", false}};
  for (const auto &c : cases) {
    Log log;
    const char *why = nullptr;
    EXPECT_EQ(log.Start(c.path.c_str(), &why), c.accepted) << c.path;
    log.Write("hello %d", 7);
  }
  EXPECT_EQ(vaktest::ReadFile(dir.Sub("target")), "precious\n");
  struct stat st;
  EXPECT_TRUE(stat(dir.Sub("new.log").c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  for (const char *log : {"new.log", "old.log"}) {
    std::string text = vaktest::ReadFile(dir.Sub(log));
    EXPECT_EQ(text.rfind(kLogHeader, 0), 0u) << log;
    EXPECT_NE(text.find(" hello 7\n"), std::string::npos) << log;
  }
  EXPECT_NE(vaktest::ReadFile(dir.Sub("old.log")).find("earlier line\n"), std::string::npos);
}

}  // namespace
}  // namespace vakbd
