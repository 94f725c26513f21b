// The application operations and the held-lock registry, through real processes: what a process
// leaves behind when it exits is the point of the registry.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "orv.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

// A process that runs one step per Next() and answers with the step's status; Exit() lets it end
// with exit(0), so that its exit handlers run.
class Actor {
 public:
  explicit Actor(const std::vector<std::function<int()>> &steps) {
    EXPECT_EQ(0, pipe(go_) | pipe(done_));
    fflush(nullptr);
    if ((pid_ = fork()) != 0) return;
    orvInitNonORVApp(VAK_STAGE_ROOT "/tools/bin/vak_unit_tests");  // finds the staged daemons
    char go;
    for (const auto &step : steps) {
      if (read(go_[0], &go, 1) != 1) _exit(1);
      unsigned char status = static_cast<unsigned char>(step());
      if (write(done_[1], &status, 1) != 1) _exit(1);
    }
    exit(read(go_[0], &go, 1) == 1 ? 0 : 1);
  }
  ~Actor() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    for (int fd : {go_[0], go_[1], done_[0], done_[1]}) close(fd);
  }
  int Next() {
    unsigned char status = 255;
    return write(go_[1], "g", 1) == 1 && read(done_[0], &status, 1) == 1 ? status : -1;
  }
  int Exit() {
    int status = -1;
    if (write(go_[1], "x", 1) == 1) waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  uint64_t pid() const { return static_cast<uint64_t>(pid_); }

 private:
  int go_[2], done_[2];
  pid_t pid_ = -1;
};

// Owner pid named by the lock-stake file of file, 0 when there is none.
uint64_t OwnerOf(const std::string &file) {
  std::string text = vaktest::ReadFile(file + ".orvlck");
  size_t at = text.find("\nProcessIdentifier");
  return at == std::string::npos ? 0 : strtoull(text.c_str() + at + 19, nullptr, 10);
}

class EditLockApiTest : public ::testing::Test {
 protected:
  vaktest::DaemonGuard daemon_;
  vaktest::TempDir tmp_;
};

TEST_F(EditLockApiTest, ExitReleasesWhatTheProcessStillOwns) {
  const std::string a = tmp_.Sub("a"), b = tmp_.Sub("b");
  Actor holder({[&] { return vakGetEditLock(a.c_str(), "first", nullptr); },
                [&] { return vakGetEditLock(a.c_str(), "again", nullptr); },
                [&] { return vakGetEditLock(b.c_str(), nullptr, nullptr); },
                [&] {
                  // A child of the holder owns none of its locks, and its exit releases none.
                  pid_t child = fork();
                  if (child == 0) exit(vakReleaseEditLock(a.c_str(), nullptr));
                  int status = -1;
                  waitpid(child, &status, 0);
                  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
                }});
  Actor thief({[&] { return vakStealEditLock(b.c_str(), "mine now", nullptr); }});
  for (int want : {VAK_OK, VAK_OK, VAK_OK, VAK_NOT_EDIT_LOCK_OWNER}) EXPECT_EQ(want, holder.Next());
  EXPECT_EQ(holder.pid(), OwnerOf(a));
  EXPECT_EQ(holder.pid(), OwnerOf(b));
  ASSERT_EQ(VAK_OK, thief.Next());
  EXPECT_EQ(0, holder.Exit());
  EXPECT_FALSE(vaktest::Exists(a + ".orvlck"));
  EXPECT_EQ(thief.pid(), OwnerOf(b)) << "a stolen lock is not the exiting process's to release";
}

// Against the real vakcompatd: the old-style lock excludes a second client before the Edit Lock
// is even tried, stealing is refused, and a release or the exit gives both locks back.
TEST_F(EditLockApiTest, CompatibilityModeTakesOldStyleLocksToo) {
  const std::string f = tmp_.Sub("f"), oldStyle = f + ".vakcdlck";
  auto compat = [] {
    vakInit(nullptr, 1, nullptr);
    vakEnv->lockingMode = VAK_COMPAT_LOCKING;
    return 0;
  };
  auto refused = [&] {
    char *get = nullptr, *steal = nullptr;
    bool ok = vakGetEditLock(f.c_str(), nullptr, &get) == VAK_FILE_ALREADY_LOCKED &&
              get != nullptr && strstr(get, "Requested lock") != nullptr &&
              vakStealEditLock(f.c_str(), nullptr, &steal) == VAK_NOT_OK && steal != nullptr &&
              strcmp(steal, "Stealing is not permitted in the Compatibility Mode") == 0;
    free(get);
    free(steal);
    return ok ? 0 : 1;
  };
  Actor first({compat, [&] { return vakGetEditLock(f.c_str(), "old style", nullptr); },
               [&] { return vakReleaseEditLock(f.c_str(), nullptr); }});
  Actor second({compat, refused, [&] { return vakGetEditLock(f.c_str(), nullptr, nullptr); }});
  ASSERT_EQ(0, first.Next());
  ASSERT_EQ(0, second.Next());
  ASSERT_EQ(VAK_OK, first.Next());
  EXPECT_TRUE(vaktest::Exists(oldStyle));
  EXPECT_EQ(0, second.Next());
  EXPECT_EQ(VAK_OK, first.Next());
  EXPECT_FALSE(vaktest::Exists(f + ".orvlck"));
  EXPECT_EQ(VAK_OK, second.Next());
  EXPECT_EQ(second.pid(), OwnerOf(f));
  EXPECT_EQ(0, first.Exit());
  EXPECT_EQ(0, second.Exit());
  EXPECT_FALSE(vaktest::Exists(f + ".orvlck"));
  EXPECT_FALSE(vaktest::Exists(oldStyle));
}

}  // namespace
