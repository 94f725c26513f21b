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
#include "init.h"
#include "status.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

const int kNone = -1;

// Another process that holds a record lock of the given kind on a file until destroyed.
struct OtherHolder {
  pid_t pid = -1;
  OtherHolder(const std::string &path, int kind) {
    int ready[2];
    if (kind == kNone || pipe(ready) != 0) return;
    if ((pid = fork()) == 0) {
      char verdict =
          static_cast<char>('0' + vakGenericLockFunc(open(path.c_str(), O_RDWR), kind, nullptr));
      if (write(ready[1], &verdict, 1) == 1) pause();
      _exit(1);
    }
    char verdict = 'x';
    EXPECT_EQ(1, read(ready[0], &verdict, 1));
    EXPECT_EQ('0', verdict);
    close(ready[0]);
    close(ready[1]);
  }
  ~OtherHolder() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

TEST(RecordLockTest, LocksRefuseOtherProcessesAtOnceAndConvert) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  std::string path = dir.Sub("data");
  vaktest::WriteFile(path, "content");
  struct Case {
    const char *name;
    int other;         // kind held by another process, or kNone
    const char *mode;  // how this process opens the file
    int kind;
    int status;
    std::string message;
  } cases[] = {
      {"read beside read", kReadLock, "r", kReadLock, VAK_OK, ""},
      {"write beside read", kReadLock, "r+", kWriteLock, VAK_FILE_ALREADY_LOCKED,
       vakAlreadyLockedMsg},
      {"read beside write", kWriteLock, "r", kReadLock, VAK_FILE_ALREADY_LOCKED,
       vakAlreadyLockedMsg},
      {"write on a read-only descriptor", kNone, "r", kWriteLock, VAK_SYS_ERROR, strerror(EBADF)},
      {"release of nothing held", kNone, "r+", kUnlock, VAK_OK, ""},
  };
  for (const Case &c : cases) {
    OtherHolder other(path, c.other);
    FILE *stream = fopen(path.c_str(), c.mode);
    char *msg = nullptr;
    int status = c.kind == kReadLock    ? vakGetReadLock_FILE(stream, &msg)
                 : c.kind == kWriteLock ? vakGetWriteLock_fd(fileno(stream), &msg)
                                        : vakReleaseWriteLock_FILE(stream, &msg);
    EXPECT_EQ(c.status, status) << c.name;
    EXPECT_EQ(c.message, msg != nullptr ? msg : "") << c.name;
    vakReleaseErrorMsg(&msg);
    fclose(stream);
  }
  // Its own write lock turns into a read lock, which another process may then share.
  int fd = open(path.c_str(), O_RDWR);
  EXPECT_EQ(VAK_OK, vakGetWriteLock_fd(fd, nullptr));
  EXPECT_EQ(VAK_OK, vakGetReadLock_fd(fd, nullptr));
  { OtherHolder reader(path, kReadLock); }
  close(fd);
}

TEST(RecordLockTest, NegativeDescriptorIsRefusedBeforeInitialisation) {
  char *msg = nullptr;
  EXPECT_EQ(VAK_INVALID_FILE_HANDLE, vakGetWriteLock_fd(-1, &msg));
  EXPECT_STREQ("Invalid file handle", msg);
  vakReleaseErrorMsg(&msg);
  EXPECT_EQ(0, vakInited);
}

}  // namespace
