#include "test_host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "daemon_guard.h"
#include "temp_dir.h"

namespace vaktest {

namespace {

int gSetsMade = 0;  // tells apart several sets made by one test process

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string FindTool(const std::string &name) {
  for (const char *dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// Reads until end of file; false if the deadline passes first.
bool ReadToEnd(int fd, std::string *out, double deadline) {
  for (;;) {
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    out->append(buf, static_cast<size_t>(n));
  }
}

void WriteAll(int fd, const std::string &text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = write(fd, text.data() + sent, text.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Kills and reaps a child; returns its wait status.
int KillAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool IsVakbd(pid_t pid) {
  std::string comm = ReadFile("/proc/" + std::to_string(pid) + "/comm");
  return comm == "vakbd\n";
}

std::string Serialize(const RunResult &r) {
  return std::to_string(r.exitStatus) + " " + (r.timedOut ? "1" : "0") + " " +
         std::to_string(r.out.size()) + "\n" + r.out + r.err;
}

bool Deserialize(const std::string &text, RunResult *r) {
  size_t eol = text.find('\n');
  int status = 0, timedOut = 0;
  size_t outSize = 0;
  if (eol == std::string::npos ||
      sscanf(text.c_str(), "%d %d %zu", &status, &timedOut, &outSize) != 3 ||
      eol + 1 + outSize > text.size()) {
    return false;
  }
  r->exitStatus = status;
  r->timedOut = timedOut != 0;
  r->out = text.substr(eol + 1, outSize);
  r->err = text.substr(eol + 1 + outSize);
  return true;
}

}  // namespace

TestHosts::TestHosts(const std::vector<std::string> &names, int port) : port_(port) {
  if (geteuid() != 0) {
    error_ = "test hosts need root: network, UTS and mount namespaces cannot be made";
    return;
  }
  ipTool_ = FindTool("ip");
  if (ipTool_.empty()) {
    error_ = "test hosts need the ip tool, which was not found";
    return;
  }
  if (!Build(names) && error_.empty()) error_ = "test hosts could not be made";
}

bool TestHosts::Ip(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {ipTool_};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 30;
  RunResult r = RunProgram(argv, options);
  if (r.exitStatus == 0) return true;
  std::string command = "ip";
  for (const auto &a : args) command += " " + a;
  error_ = "test hosts could not be made: \"" + command + "\" failed: " + r.err;
  return false;
}

bool TestHosts::Build(const std::vector<std::string> &names) {
  if (names.empty() || names.size() > 250) {
    error_ = "test hosts: between 1 and 250 hosts can be made";
    return false;
  }
  const std::string prefix = "vak" + std::to_string(getpid()) + "n" + std::to_string(gSetsMade++);
  std::string templ = "/tmp/vakhosts." + std::to_string(getpid()) + ".XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    error_ = std::string("test hosts: mkdtemp failed: ") + strerror(errno);
    return false;
  }
  dir_ = templ;
  hostsFile_ = dir_ + "/hosts";
  std::string hostsText = "127.0.0.1\tlocalhost\n";
  for (size_t i = 0; i < names.size(); ++i) {
    Host host;
    host.name = names[i];
    host.address = "10.201.0." + std::to_string(i + 1);
    host.netns = prefix + "h" + std::to_string(i);
    hostsText += host.address + "\t" + host.name;
    size_t dot = host.name.find('.');
    if (dot != std::string::npos && dot > 0) hostsText += " " + host.name.substr(0, dot);
    hostsText += "\n";
    hosts_.push_back(host);
  }
  FILE *f = fopen(hostsFile_.c_str(), "w");
  if (f == nullptr || fputs(hostsText.c_str(), f) < 0 || fclose(f) != 0) {
    error_ = "test hosts: cannot write " + hostsFile_;
    return false;
  }

  // A name left by a crashed test whose pid was ours is removed first.
  auto addNamespace = [&](const std::string &ns) {
    std::string saved = error_;
    if (!Ip({"netns", "add", ns})) {
      Ip({"netns", "del", ns});
      error_ = saved;
      if (!Ip({"netns", "add", ns})) return false;
    }
    namespaces_.push_back(ns);
    return true;
  };
  const std::string hub = prefix + "hub";
  if (!addNamespace(hub) || !Ip({"-n", hub, "link", "add", "br0", "type", "bridge"}) ||
      !Ip({"-n", hub, "link", "set", "br0", "up"})) {
    return false;
  }
  for (size_t i = 0; i < hosts_.size(); ++i) {
    const Host &h = hosts_[i];
    const std::string port = "p" + std::to_string(i);
    if (!addNamespace(h.netns) ||
        !Ip({"-n", hub, "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns",
             h.netns}) ||
        !Ip({"-n", hub, "link", "set", port, "master", "br0", "up"}) ||
        !Ip({"-n", h.netns, "addr", "add", h.address + "/24", "dev", "eth0"}) ||
        !Ip({"-n", h.netns, "link", "set", "eth0", "up"}) ||
        !Ip({"-n", h.netns, "link", "set", "lo", "up"})) {
      return false;
    }
  }

  for (size_t i = 0; i < hosts_.size(); ++i) {
    std::string nodename;
    if (!Call(
            i,
            [] {
              struct utsname u;
              return uname(&u) == 0 ? std::string(u.nodename) : std::string();
            },
            &nodename) ||
        nodename != hosts_[i].name) {
      if (error_.empty()) error_ = "test hosts: cannot enter host " + hosts_[i].name;
      return false;
    }
    RunOptions options;
    options.env = {{"VAK_PORTNUM", std::to_string(port_)}};
    options.timeoutSeconds = 20;
    RunResult r = Run(i, {StagedProgram("vakbd")}, options);
    pid_t pid = r.exitStatus == 0 ? VakbdPid(i) : -1;
    if (pid <= 0) {
      error_ = "test hosts: vakbd did not start on " + hosts_[i].name + " (status " +
               std::to_string(r.exitStatus) + "): " + r.err;
      return false;
    }
    daemons_.push_back(pid);
  }
  return true;
}

std::string TestHosts::Enter(size_t host) const {
  const Host &h = hosts_[host];
  std::string path = "/run/netns/" + h.netns;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "open " + path + ": " + strerror(errno);
  int rc = setns(fd, CLONE_NEWNET);
  int setnsErrno = errno;
  close(fd);
  if (rc != 0) return std::string("setns: ") + strerror(setnsErrno);
  if (unshare(CLONE_NEWUTS | CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
  // Private first, or the bind mount below would propagate to the whole machine.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("making mounts private: ") + strerror(errno);
  }
  if (mount(hostsFile_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    return std::string("bind-mounting /etc/hosts: ") + strerror(errno);
  }
  if (sethostname(h.name.c_str(), h.name.size()) != 0) {
    return std::string("sethostname: ") + strerror(errno);
  }
  return "";
}

bool TestHosts::Call(size_t host, const std::function<std::string()> &fn, std::string *result,
                     int timeoutSeconds) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(channel[0]);
    close(channel[1]);
    return false;
  }
  if (pid == 0) {
    close(channel[0]);
    std::string problem = Enter(host);
    if (!problem.empty()) {
      WriteAll(2, "test host " + hosts_[host].name + ": " + problem + "\n");
      _exit(125);
    }
    WriteAll(channel[1], fn());
    _exit(0);
  }
  close(channel[1]);
  std::string text;
  bool finished = ReadToEnd(channel[0], &text, Now() + timeoutSeconds);
  close(channel[0]);
  int status = 0;
  if (finished) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  } else {
    status = KillAndReap(pid);
  }
  if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  *result = text;
  return true;
}

RunResult TestHosts::Run(size_t host, const std::vector<std::string> &argv,
                         const RunOptions &options) {
  std::string text;
  RunResult result;
  if (!Call(
          host, [&] { return Serialize(RunProgram(argv, options)); }, &text,
          options.timeoutSeconds + 10) ||
      !Deserialize(text, &result)) {
    result = RunResult();
    result.err = "could not run on test host " + hosts_[host].name;
  }
  return result;
}

pid_t TestHosts::Start(size_t host, const std::vector<std::string> &argv,
                       const RunOptions &options) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::string problem = Enter(host);
    if (!problem.empty()) {
      WriteAll(2, "test host " + hosts_[host].name + ": " + problem + "\n");
      _exit(125);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    for (const auto &kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (const auto &name : options.unsetEnv) unsetenv(name.c_str());
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  started_.push_back(pid);
  return pid;
}

void TestHosts::Kill(pid_t pid) {
  for (size_t i = 0; i < started_.size(); ++i) {
    if (started_[i] == pid) {
      KillAndReap(pid);
      started_.erase(started_.begin() + static_cast<long>(i));
      return;
    }
  }
}

pid_t TestHosts::VakbdPid(size_t host) {
  std::string text;
  const int port = port_;
  if (!Call(
          host, [port] { return std::to_string(vaktest::VakbdPid("127.0.0.1", port)); }, &text,
          15)) {
    return -1;
  }
  return static_cast<pid_t>(atoi(text.c_str()));
}

TestHosts::~TestHosts() {
  for (pid_t pid : started_) KillAndReap(pid);
  // Whatever vakbd now serves each host's port goes: ours, or one that a program run on the host
  // started after ours was stopped.
  if (namespaces_.size() == hosts_.size() + 1) {
    const int port = port_;
    for (size_t i = 0; i < hosts_.size(); ++i) {
      std::string ignored;
      Call(
          i,
          [port] {
            StopVakbd("127.0.0.1", port);
            return std::string();
          },
          &ignored, 15);
    }
  }
  for (pid_t pid : daemons_) {
    if (IsVakbd(pid)) kill(pid, SIGKILL);
  }
  for (const std::string &ns : namespaces_) Ip({"netns", "del", ns});
  if (!dir_.empty()) RemoveTree(dir_);
}

}  // namespace vaktest
