#include "record_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "status.h"
#include "temp_dir.h"

namespace {

// The conflicting lock is an open-file-description lock on a descriptor of its own: it conflicts
// with record locks even within this process, as another process's lock would.
TEST(RecordLockTest, ConflictsAreRefusedAtOnce) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::string path = dir.Sub("data");
  vaktest::WriteFile(path, "content");
  const struct {
    short other;       // lock type held elsewhere, or F_UNLCK
    const char *mode;  // how the file is opened here (nullptr: no stream at all)
    int kind;
    int status;
    std::string message;
  } cases[] = {
      {F_RDLCK, "r", kReadLock, VAK_OK, ""},
      {F_RDLCK, "r+", kWriteLock, VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg},
      {F_UNLCK, "r", kWriteLock, VAK_SYS_ERROR, strerror(EBADF)},  // read-only descriptor
      {F_UNLCK, nullptr, kReadLock, VAK_INVALID_FILE_HANDLE, "Invalid file handle"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock held = {};
    held.l_type = c.other;
    EXPECT_EQ(0, fcntl(other, F_OFD_SETLK, &held));
    FILE *stream =
        c.mode != nullptr ? fopen(path.c_str(), (c.mode + std::string("e")).c_str()) : nullptr;
    char *msg = nullptr;
    int status = c.kind == kReadLock ? vakGetReadLock_FILE(stream, &msg)
                                     : vakGetWriteLock_fd(fileno(stream), &msg);
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.message, msg != nullptr ? msg : "");
    vakReleaseErrorMsg(&msg);
    if (stream != nullptr) fclose(stream);
    close(other);
  }
}

}  // namespace
