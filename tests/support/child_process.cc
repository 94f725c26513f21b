#include "child_process.h"

#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

namespace vaktest {

ChildResult RunInChild(const std::function<int()> &body) {
  ChildResult result;
  FILE *out = tmpfile(), *err = tmpfile();  // files, so the child never blocks on a full pipe
  fflush(nullptr);
  if (out == nullptr || err == nullptr) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    int status = body();
    fflush(nullptr);
    _exit(status);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile("/proc/self/fd/" + std::to_string(fileno(out)));
  result.err = ReadFile("/proc/self/fd/" + std::to_string(fileno(err)));
  fclose(out);
  fclose(err);
  return result;
}

}  // namespace vaktest
