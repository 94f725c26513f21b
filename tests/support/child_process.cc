#include "child_process.h"

#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vaktest {

static std::string ReadAll(FILE *f) {
  std::string text;
  for (int ch = (rewind(f), fgetc(f)); ch != EOF; ch = fgetc(f)) text += static_cast<char>(ch);
  fclose(f);
  return text;
}

ChildResult RunInChild(const std::function<int()> &body) {
  ChildResult result;
  FILE *out = tmpfile(), *err = tmpfile();  // files, so the child never blocks on a full pipe
  fflush(nullptr);
  pid_t pid = out != nullptr && err != nullptr ? fork() : -1;
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
  result.out = out != nullptr ? ReadAll(out) : "cannot start a child";
  result.err = err != nullptr ? ReadAll(err) : "";
  return result;
}

}  // namespace vaktest
