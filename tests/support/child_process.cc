#include "child_process.h"

#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vaktest {

static std::string ReadAll(FILE *f) {
  std::string text;
  rewind(f);
  for (int ch; (ch = fgetc(f)) != EOF;) text += static_cast<char>(ch);
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
  EXPECT_GT(pid, 0) << "cannot start a child";
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (out != nullptr) result.out = ReadAll(out);
  if (err != nullptr) result.err = ReadAll(err);
  return result;
}

}  // namespace vaktest
