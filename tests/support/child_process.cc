#include "child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vaktest {

std::string InChild(const std::function<std::string()> &body) {
  int fds[2];
  if (pipe(fds) != 0) return "child failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string verdict = body();
    bool ok = write(fds[1], verdict.data(), verdict.size()) == ssize_t(verdict.size());
    _exit(ok ? 0 : 1);  // no exit handlers, no test framework teardown in the child
  }
  close(fds[1]);
  std::string verdict;
  char buf[4096];
  struct pollfd p = {fds[0], POLLIN, 0};
  ssize_t n = 0;
  while (pid > 0 && poll(&p, 1, 60000) > 0 && (n = read(fds[0], buf, sizeof buf)) > 0) {
    verdict.append(buf, size_t(n));
  }
  close(fds[0]);
  if (pid > 0 && n != 0) kill(pid, SIGKILL);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return "child failed";
  }
  return verdict;
}

}  // namespace vaktest
