#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vaktest {

std::string InChild(const std::function<std::string()> &body) {
  int fds[2] = {-1, -1};
  pid_t pid = pipe2(fds, O_CLOEXEC) == 0 ? fork() : -1;
  if (pid == 0) {
    std::string verdict = body();
    // _exit: no exit handlers and no test framework teardown in the child.
    _exit(write(fds[1], verdict.data(), verdict.size()) == ssize_t(verdict.size()) ? 0 : 1);
  }
  std::string verdict;
  char buf[4096];
  close(fds[1]);
  for (ssize_t n; pid > 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) verdict.append(buf, n);
  close(fds[0]);
  int status = 0;
  bool ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !WEXITSTATUS(status);
  return ok ? verdict : "child failed";
}

}  // namespace vaktest
