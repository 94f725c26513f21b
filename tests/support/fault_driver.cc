#include "fault_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

namespace vaktest {

std::string LockDriverPath() {
  return VAK_BINARY_DIR "/tests/fault/lock_driver";
}

std::string FaultLibraryPath() {
  return VAK_BINARY_DIR "/tests/fault/libvak_fault.so";
}

Env FaultEnv(const Env &extra) {
  const char *asan = getenv("ASAN_OPTIONS");
  Env env = {{"LD_PRELOAD", FaultLibraryPath()},
             {"PATH", "/usr/bin:/bin"},
             {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

pid_t StartDriver(const std::string &op, const std::string &path, const Env &env,
                  const std::string &outFile) {
  const std::string driver = LockDriverPath();
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) _exit(126);
    dup2(out, 1);
    dup2(out, 2);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    execl(driver.c_str(), driver.c_str(), op.c_str(), path.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid > 0 ? pid : -1;
}

bool WaitStopped(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 5) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WUNTRACED | WNOHANG);
    if (got == pid) return WIFSTOPPED(status);
    if (got < 0 && errno != EINTR) return false;
    usleep(5000);
  }
  return false;
}

int WaitEnded(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 5) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid && WIFEXITED(status)) return WEXITSTATUS(status);
    if (got == pid && WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    if (got < 0 && errno != EINTR) return -1;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

std::string WaitForLine(const std::string &file, const std::string &prefix, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 5) {
    const std::string text = ReadFile(file);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;  // a line still being written
      if (text.compare(at, prefix.size(), prefix) == 0) return text.substr(at, end - at);
      at = end + 1;
    }
    usleep(5000);
  }
  return "";
}

int DriverStatus(const std::string &output) {
  const size_t at = output.rfind("status ");
  return at != std::string::npos ? atoi(output.c_str() + at + 7) : -1;
}

bool Server::Start(const std::string &dir, const Env &env) {
  static int serial = 0;
  const std::string in = dir + "/server" + std::to_string(++serial), out = in + "r";
  if (mkfifo(in.c_str(), 0600) != 0 || mkfifo(out.c_str(), 0600) != 0) return false;
  cmd = open(in.c_str(), O_RDWR | O_CLOEXEC);
  res = open(out.c_str(), O_RDWR | O_CLOEXEC);
  const std::string driver = LockDriverPath();
  pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    execl(driver.c_str(), driver.c_str(), "serve", in.c_str(), out.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  return cmd >= 0 && res >= 0 && pid > 0;
}

bool Server::Send(const std::string &op, const std::string &path) const {
  return dprintf(cmd, "%s %s\n", op.c_str(), path.c_str()) > 0;
}

std::pair<int, std::string> Server::Receive(int timeoutMs) const {
  std::string line;
  char c;
  struct pollfd p = {res, POLLIN, 0};
  while (poll(&p, 1, timeoutMs) == 1 && read(res, &c, 1) == 1 && c != '\n') line += c;
  const size_t tab = line.find('\t');
  return {tab == std::string::npos ? -1 : atoi(line.c_str()), line.substr(tab + 1)};
}

void Server::Stop() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {cmd, res}) {
    if (fd >= 0) close(fd);
  }
  pid = cmd = res = -1;
}

std::string StakeText(const std::string &host, unsigned long pid, const std::string &file) {
  std::string text =
      "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
      "# Information about current Edit Lock Owner.\n#\n";
  for (std::string line : std::vector<std::string>{
           "LockStakeVersion 1.1", "LoginName tester", "HostName " + host,
           "ProcessIdentifier " + std::to_string(pid), "ProcessCreationTime_UTC 1",
           "ProcessCreationTime_Readable long ago", "AppIdentifier test", "OSType lnx86",
           "ReasonForPlacingEditLock planted", "FilePathUsedToEditLock " + file,
           "TimeEditLocked long ago"}) {
    text += line.insert(line.find(' '), 30 - line.find(' '), ' ') + "\n";  // values at column 32
  }
  return text;
}

pid_t DeadPid() {
  // A child that has been reaped: its identifier is free until the kernel hands it out again,
  // which takes a full turn of the identifier space.
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return pid;
}

}  // namespace vaktest
