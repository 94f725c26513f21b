// The Compatibility Daemon behind the library's client, in several client processes.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "compat_process.h"
#include "compat_requests.h"
#include "orv.h"
#include "status.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

// A client process of its own (the client's state is once per process) that uses the staged
// install tree and reports what its body returns.
class Client {
 public:
  explicit Client(const std::function<std::string()> &body) {
    EXPECT_EQ(0, pipe2(report_, O_CLOEXEC));
    pid_ = fork();
    if (pid_ == 0) {
      alarm(60);
      orvInitNonORVApp((vaktest::StageRoot() + "/tools/bin/prog").c_str());
      std::string text = body();
      _exit(write(report_[1], text.data(), text.size()) < 0);
    }
    close(report_[1]);
  }
  std::string Result() {
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(report_[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    close(report_[0]);
    waitpid(pid_, nullptr, 0);
    return text;
  }

 private:
  int report_[2];
  pid_t pid_;
};

std::string Outcome(int status, char **msg) {
  std::string text = std::to_string(status) + (*msg != nullptr ? " " + std::string(*msg) : "");
  vakReleaseErrorMsg(msg);
  return text;
}

TEST(VakcompatdTest, OldStyleLockExcludesOtherClientsAndOutlivesADaemon) {
  vaktest::TempDir dir;
  const std::string file = dir.Sub("report.txt");
  int taken[2], go[2];
  ASSERT_EQ(0, pipe2(taken, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(go, O_CLOEXEC));
  Client holder([&] {
    char *msg = nullptr;
    std::string got = Outcome(vakCompatDWriteLock(file.c_str(), "edit", getpid(), &msg), &msg);
    char byte = 'x';
    if (write(taken[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) return std::string("pipe");
    return got + "|" + Outcome(vakCompatDUnLock(file.c_str(), getpid(), &msg), &msg);
  });
  char byte;
  ASSERT_EQ(1, read(taken[0], &byte, 1));
  auto contend = [&] {
    char *msg = nullptr;
    return Outcome(vakCompatDWriteLock(file.c_str(), nullptr, getpid(), &msg), &msg);
  };
  std::string refused = Client(contend).Result();
  EXPECT_EQ(0u, refused.find("1 Locked by process ")) << refused;
  EXPECT_NE(std::string::npos, refused.find(". Requested lock was refused.")) << refused;
  ASSERT_EQ(1, write(go[1], &byte, 1));
  EXPECT_EQ("0|0", holder.Result());
  // Taken again, then released through a new daemon after "Die": the lock lives in the files.
  std::string restarted =
      Client([&] {
        std::string out = contend();
        pid_t before = daemonConnection.pid;
        out += " " + std::to_string(vakCompatDTerminate(nullptr));
        out += daemonConnection.running || kill(before, 0) == 0 ? " running" : " stopped";
        out += " " + std::to_string(vakCompatDUnLock(file.c_str(), getpid(), nullptr));
        return out + (daemonConnection.pid != before ? " new" : " same");
      }).Result();
  EXPECT_EQ("0 0 stopped 0 new", restarted);
  for (int fd : {taken[0], taken[1], go[0], go[1]}) close(fd);
}

}  // namespace
