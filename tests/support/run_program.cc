#include "run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace vaktest {

std::string StageRoot() {
  const char *copy = getenv("VAK_TEST_STAGE_ROOT");
  return copy != nullptr && *copy != '\0' ? copy : VAK_STAGE_ROOT;
}
std::string StagedProgram(const std::string &name) {
  return StageRoot() + "/tools/bin/" + name;
}

std::string CopyStageTo(const std::string &dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  // copy_file keeps each file's permission bits; the directories get theirs explicitly, whatever
  // the umask.
  for (const char *sub : {"/tools", "/tools/bin"}) {
    if (!error) fs::create_directory(dir + sub, error);
    if (!error) fs::permissions(dir + sub, fs::perms(0755), error);
  }
  if (!error)
    fs::copy(StageRoot() + "/tools/bin", dir + "/tools/bin", fs::copy_options::recursive, error);
  EXPECT_FALSE(error) << "cannot copy the staged programs to " << dir << ": " << error.message();
  return dir;
}

RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  // Input from a file, so that the child never waits on us; output through pipes, so that the
  // run lasts until every process that holds them (daemons started by the child too) lets go.
  FILE *in = tmpfile();
  int out[2], err[2];
  if (in == nullptr || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return RunResult{-1, "", "cannot set up the program's input and output", false};
  }
  fwrite(options.input.data(), 1, options.input.size(), in);
  rewind(in);
  fcntl(fileno(in), F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(in), 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const auto &kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (const auto &name : options.unsetEnv) unsetenv(name.c_str());
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  fclose(in);
  close(out[1]);
  close(err[1]);
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *texts[2] = {&result.out, &result.err};
  const time_t deadline = time(nullptr) + options.timeoutSeconds;
  int open = pid > 0 ? 2 : 0;
  while (open > 0 && !(result.timedOut = time(nullptr) >= deadline)) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r > 0) texts[i]->append(buf, static_cast<size_t>(r));
      if (r > 0 || (r < 0 && errno == EINTR)) continue;
      close(fds[i].fd);
      fds[i].fd = -1;
      --open;
    }
  }
  if (result.timedOut) kill(pid, SIGKILL);
  for (const struct pollfd &p : fds) close(p.fd);  // those left open after a time-out
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace vaktest
