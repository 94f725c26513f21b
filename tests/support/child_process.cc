#include "child_process.h"

#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vaktest {
namespace {

std::string ReadAll(FILE *f) {
  std::string text;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

}  // namespace

ChildResult RunInChild(const std::function<int()> &body) {
  ChildResult result;
  // Files rather than pipes: the child may write any amount without a reader.
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "tmpfile failed";
    return result;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    int status = body();
    fflush(nullptr);
    _exit(status);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  return result;
}

}  // namespace vaktest
