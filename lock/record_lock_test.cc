#include "record_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "status.h"
#include "temp_dir.h"

namespace {

// Another process that holds a record lock of the given kind (none if negative) until destroyed.
struct Holder {
  pid_t pid = -1;
  Holder(const std::string &path, int kind) {
    int ready[2];
    if (kind < 0 || pipe(ready) != 0) return;
    if ((pid = fork()) == 0) {
      char ok = vakGenericLockFunc(open(path.c_str(), O_RDWR), kind, nullptr) == VAK_OK;
      if (write(ready[1], &ok, 1) == 1) pause();
      _exit(1);
    }
    char ok = 0;
    EXPECT_TRUE(read(ready[0], &ok, 1) == 1 && ok) << "the other process got no lock";
    close(ready[0]);
    close(ready[1]);
  }
  ~Holder() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

TEST(RecordLockTest, ConflictsAreRefusedAtOnce) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string path = dir.Sub("data");
  vaktest::WriteFile(path, "content");
  const struct {
    int other;         // kind held by another process, or -1
    const char *mode;  // how this process opens the file (nullptr: no stream at all)
    int kind;
    int status;
    std::string message;
  } cases[] = {
      {kReadLock, "r", kReadLock, VAK_OK, ""},
      {kReadLock, "r+", kWriteLock, VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg},
      {-1, "r", kWriteLock, VAK_SYS_ERROR, strerror(EBADF)},  // read-only descriptor
      {-1, nullptr, kReadLock, VAK_INVALID_FILE_HANDLE, "Invalid file handle"},
  };
  for (const auto &c : cases) {
    Holder other(path, c.other);
    FILE *stream = c.mode != nullptr ? fopen(path.c_str(), c.mode) : nullptr;
    char *msg = nullptr;
    int status = c.kind == kReadLock ? vakGetReadLock_FILE(stream, &msg)
                                     : vakGetWriteLock_fd(fileno(stream), &msg);
    EXPECT_EQ(c.status, status) << c.message;
    EXPECT_EQ(c.message, msg != nullptr ? msg : "") << c.message;
    vakReleaseErrorMsg(&msg);
    if (stream != nullptr) fclose(stream);
  }
}

}  // namespace
