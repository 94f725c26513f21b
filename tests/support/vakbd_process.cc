// vakbd_process.cc - the staged vakbd as the black-box tests run it.
#include "vakbd_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_guard.h"

namespace vaktest {

// The staged vakbd with args, given 15 s to start or refuse.
RunResult RunVakbd(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {StagedProgram("vakbd")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 15;
  return RunProgram(argv, options);
}

const char kLocal[] = "127.0.0.1";

// Polls until done() holds, for up to five seconds.
bool Eventually(const std::function<bool()> &done) {
  for (int i = 0; i < 250; ++i) {
    if (done()) return true;
    usleep(20 * 1000);
  }
  return done();
}

// Runs the staged vakbd with args in a child whose standard error goes to errFile, with the
// environment changes given; returns its pid once it serves the port (-1 if it does not).
pid_t StartVakbd(const std::vector<std::string> &args, const std::string &errFile, int port,
                 const std::vector<std::pair<std::string, std::string>> &env,
                 const std::string &at) {
  const std::string program = StagedProgram("vakbd");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0) _exit(100);
    for (const auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(101);
  }
  if (pid > 0 && Eventually([&] { return VakbdPid(at, port) == pid; })) return pid;
  if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  return -1;
}

void StopByPid(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace vaktest
