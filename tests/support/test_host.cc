#include "test_host.h"

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_guard.h"
#include "temp_dir.h"

namespace vaktest {

namespace {

int gSetsMade = 0;  // tells apart several sets made by one test process

// Puts the hosts file over /etc/hosts in the current mount namespace. A machine without one (a
// bare root file system) gets it through a read-only overlay of /etc, the file's folder on top.
bool HostsFileOver(const std::string &hostsFile) {
  if (access("/etc/hosts", F_OK) == 0) {
    return mount(hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
  }
  const std::string layers = "lowerdir=" + hostsFile.substr(0, hostsFile.rfind('/')) + ":/etc";
  return mount("overlay", "/etc", "overlay", 0, layers.c_str()) == 0;
}

int KillAndReap(pid_t pid) {
  int status = 0;
  for (kill(pid, SIGKILL); waitpid(pid, &status, 0) < 0 && errno == EINTR;) {
  }
  return status;
}

}  // namespace

TestHosts::TestHosts(const std::vector<std::string> &names, int port) : port_(port) {
  ipTool_ = access("/sbin/ip", X_OK) == 0 ? "/sbin/ip" : "/usr/sbin/ip";
  if (geteuid() != 0) {
    error_ = "test hosts need root: network, UTS and mount namespaces cannot be made";
  } else if (access(ipTool_.c_str(), X_OK) != 0) {
    error_ = "test hosts need the ip tool, which was not found";
  } else if (!Build(names) && error_.empty()) {
    error_ = "test hosts could not be made";
  }
}

// Runs ip commands, one per line, in a network namespace (empty: this machine's own).
bool TestHosts::Ip(const std::string &netns, const std::vector<std::string> &lines, bool force) {
  RunOptions options;
  options.timeoutSeconds = 30;
  for (const auto &line : lines) options.input += line + "\n";
  std::vector<std::string> argv = {ipTool_, "-batch", "-"};
  if (!netns.empty()) argv.insert(argv.begin() + 1, {"-n", netns});
  if (force) argv.insert(argv.begin() + 1, "-force");
  RunResult r = RunProgram(argv, options);
  if (r.exitStatus != 0 && !force) error_ = "test hosts could not be made: ip failed: " + r.err;
  return r.exitStatus == 0;
}

bool TestHosts::Build(const std::vector<std::string> &names) {
  const std::string prefix = "vak" + std::to_string(getpid()) + "n" + std::to_string(gSetsMade++);
  std::string templ = "/tmp/vakhosts." + std::to_string(getpid()) + ".XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) return false;
  dir_ = templ;
  hostsFile_ = dir_ + "/etc/hosts";  // alone in its folder: see HostsFileOver
  std::string hostsText = "127.0.0.1\tlocalhost\n";
  // The private network: a bridge in a hub namespace, a veth pair to each host's namespace.
  const std::string hub = prefix + "hub";
  std::vector<std::string> add = {"netns add " + hub},
                           hubLines = {"link add br0 type bridge", "link set br0 up"};
  namespaces_.push_back(hub);
  for (size_t i = 0; i < names.size(); ++i) {
    Host h = {names[i], "10.201.0." + std::to_string(i + 1), prefix + "h" + std::to_string(i)};
    const size_t dot = h.name.find('.');
    hostsText += h.address + "\t" + h.name +
                 (dot != std::string::npos && dot > 0 ? " " + h.name.substr(0, dot) : "") + "\n";
    const std::string port = "p" + std::to_string(i);
    add.push_back("netns add " + h.netns);
    hubLines.push_back("link add " + port + " type veth peer name eth0 netns " + h.netns);
    hubLines.push_back("link set " + port + " master br0 up");
    namespaces_.push_back(h.netns);
    hosts_.push_back(h);
  }
  WriteFile(hostsFile_, hostsText);
  if (!Ip("", add) || !Ip(hub, hubLines)) return false;
  for (const Host &h : hosts_) {
    if (!Ip(h.netns,
            {"addr add " + h.address + "/24 dev eth0", "link set eth0 up", "link set lo up"})) {
      return false;
    }
  }

  for (size_t i = 0; i < hosts_.size(); ++i) {
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

void TestHosts::Enter(size_t host) const {
  const Host &h = hosts_[host];
  const char *failed = nullptr;
  int fd = open(("/run/netns/" + h.netns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
    failed = "setns";
  } else if (unshare(CLONE_NEWUTS | CLONE_NEWNS) != 0) {
    failed = "unshare";
    // Private first, or the bind mount would propagate to the whole machine.
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             !HostsFileOver(hostsFile_)) {
    failed = "mounting the hosts file";
  } else if (sethostname(h.name.c_str(), h.name.size()) != 0) {
    failed = "sethostname";
  }
  if (failed == nullptr) return;
  dprintf(2, "test host %s: %s: %s\n", h.name.c_str(), failed, strerror(errno));
  _exit(125);
}

bool TestHosts::Call(size_t host, const std::function<std::string()> &fn, std::string *result,
                     int timeoutSeconds) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    alarm(static_cast<unsigned>(timeoutSeconds));  // a child that hangs dies, and the pipe ends
    close(channel[0]);
    Enter(host);
    const std::string text = fn();
    FILE *out = fdopen(channel[1], "w");  // stdio completes short writes
    if (out == nullptr || fwrite(text.data(), 1, text.size(), out) != text.size() || fclose(out)) {
      _exit(1);
    }
    _exit(0);
  }
  close(channel[1]);
  std::string text;
  char buf[65536];
  for (ssize_t n;
       pid > 0 && ((n = read(channel[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));) {
    text.append(buf, static_cast<size_t>(n > 0 ? n : 0));
  }
  close(channel[0]);
  int status = -1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  *result = text;
  return true;
}

// The host's namespaces made around the program by the util-linux tools, as Enter makes them.
RunResult TestHosts::Run(size_t host, const std::vector<std::string> &argv,
                         const RunOptions &options) {
  std::vector<std::string> all = {
      "/usr/bin/nsenter",
      "--net=/run/netns/" + hosts_[host].netns,
      "/usr/bin/unshare",
      "--uts",
      "--mount",
      "/bin/sh",
      "-c",
      "if [ -e /etc/hosts ]; then /bin/mount --bind \"$1\" /etc/hosts; else /bin/mount -t overlay "
      "-o \"lowerdir=${1%/*}:/etc\" overlay /etc; fi && /bin/hostname \"$2\" && shift 2 && "
      "exec \"$@\"",
      "sh",
      hostsFile_,
      hosts_[host].name};
  all.insert(all.end(), argv.begin(), argv.end());
  return RunProgram(all, options);
}

pid_t TestHosts::Start(size_t host, const std::vector<std::string> &argv,
                       const RunOptions &options) {
  pid_t pid = fork();
  if (pid == 0) {
    Enter(host);
    dup2(open("/dev/null", O_RDONLY), 0);
    for (const auto &kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (const auto &name : options.unsetEnv) unsetenv(name.c_str());
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) started_.push_back(pid);
  return pid > 0 ? pid : -1;
}

void TestHosts::Kill(pid_t pid) {
  auto it = std::find(started_.begin(), started_.end(), pid);
  if (it == started_.end()) return;
  KillAndReap(pid);
  started_.erase(it);
}

pid_t TestHosts::VakbdPid(size_t host) {
  std::string text;
  const int port = port_;
  auto ask = [port] { return std::to_string(vaktest::VakbdPid("127.0.0.1", port)); };
  return Call(host, ask, &text, 15) ? static_cast<pid_t>(atoi(text.c_str())) : -1;
}

TestHosts::~TestHosts() {
  for (pid_t pid : started_) KillAndReap(pid);
  // Whatever vakbd now serves each host's port goes: ours, or one that a program run on the host
  // started after ours was stopped.
  std::string ignored;
  for (size_t i = 0; i < daemons_.size(); ++i) {
    const int port = port_;
    Call(
        i, [port] { return StopVakbd("127.0.0.1", port), std::string(); }, &ignored, 15);
  }
  std::vector<std::string> del;
  for (const std::string &ns : namespaces_) del.push_back("netns del " + ns);
  if (!namespaces_.empty()) Ip("", del, true);
  if (!dir_.empty()) RemoveTree(dir_);
}

}  // namespace vaktest
