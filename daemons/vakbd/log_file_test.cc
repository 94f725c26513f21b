#include "log_file.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vakbd {
namespace {

// StartLog names any file: it must not make the daemon write into another file of its
// user's, nor hang on a fifo. (A final symbolic link is refused in the daemon's black-box tests.)
TEST(LogFileTest, StartAcceptsOnlyNewFilesAndEarlierLogs) {
  vaktest::TempDir dir;
  vaktest::WriteFile(dir.Sub("target"), "precious\n");
  vaktest::WriteFile(dir.Sub("old.log"), std::string(kLogHeader) + "earlier line\n");
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  for (std::string name : {"new.log", "old.log", "target", "fifo", "relative.log"}) {
    daemons::DaemonLog log(kLogStyle);
    const char *why = nullptr;
    const std::string path = name == "relative.log" ? name : dir.Sub(name);
    EXPECT_EQ(StartLog(&log, path.c_str(), &why), name == "new.log" || name == "old.log") << name;
    EXPECT_STREQ(log.active() ? path.c_str() : "none", log.path());
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
