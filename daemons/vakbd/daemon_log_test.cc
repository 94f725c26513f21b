#include "daemon_log.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vakbd {
namespace {

TEST(DaemonLogTest, SanitizeKeepsHostileTextOnOneLine) {
  struct Case {
    std::string text;
    size_t size;
    std::string shown;
  } cases[] = {
      {"ProcAlive 1 2", 64, "ProcAlive 1 2"},
      {"a\nb\rc", 64, "a\\x0ab\\x0dc"},  // no forged log lines
      {"\x1b[2J\xff", 64, "\\x1b[2J\\xff"},
      {"back\\slash", 64, "back\\\\slash"},
      {"abcdefghij", 8, "abcd..."},  // cut short, marked
      {"ab\ncd", 8, "ab..."},        // an escape is never split
      {"abc", 3, ""},
  };
  for (const Case &c : cases) {
    char out[64];
    Sanitize(c.text.c_str(), out, c.size);
    EXPECT_EQ(std::string(out), c.shown) << c.text;
  }
}

TEST(DaemonLogTest, StartAcceptsOnlySafeTargets) {
  vaktest::TempDir dir;
  vaktest::WriteFile(dir.Sub("target"), "precious\n");
  ASSERT_EQ(symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  vaktest::WriteFile(dir.Sub("old.log"), std::string(kLogHeader) + "earlier line\n");
  struct Case {
    std::string path;
    bool accepted;
  } cases[] = {
      {dir.Sub("new.log"), true},
      {dir.Sub("old.log"), true},  // an earlier log of ours is appended to
      {dir.Sub("link"), false},    // a final symbolic link is not followed
      {dir.Sub("target"), false},  // someone's file that is not a log
      {dir.Sub("fifo"), false},    // must not hang waiting for a reader
      {dir.Sub("missing/x.log"), false},
      {"relative.log", false},
  };
  for (const Case &c : cases) {
    Log log;
    const char *why = nullptr;
    EXPECT_EQ(log.Start(c.path.c_str(), &why), c.accepted) << c.path;
    EXPECT_STREQ(log.path(), c.accepted ? c.path.c_str() : "none") << c.path;
    log.Write("hello %d", 7);
  }
  EXPECT_EQ(vaktest::ReadFile(dir.Sub("target")), "precious\n");
  struct stat st;
  ASSERT_EQ(stat(dir.Sub("new.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string fresh = vaktest::ReadFile(dir.Sub("new.log"));
  EXPECT_EQ(fresh.rfind(kLogHeader, 0), 0u);
  EXPECT_NE(fresh.find(" hello 7\n"), std::string::npos);
  std::string old = vaktest::ReadFile(dir.Sub("old.log"));
  EXPECT_EQ(old.rfind(std::string(kLogHeader) + "earlier line\n", 0), 0u);
  EXPECT_NE(old.find(" hello 7\n"), std::string::npos);
}

}  // namespace
}  // namespace vakbd
