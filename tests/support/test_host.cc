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

// Puts the hosts file over /etc/hosts in the current mount namespace. A machine without one (a
// bare root file system) gets it through a read-only overlay of /etc, the file's folder on top.
bool HostsFileOver(const std::string &hostsFile) {
  if (access("/etc/hosts", F_OK) == 0) {
    return mount(hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
  }
  const std::string layers = "lowerdir=" + hostsFile.substr(0, hostsFile.rfind('/')) + ":/etc";
  return mount("overlay", "/etc", "overlay", 0, layers.c_str()) == 0;
}

int gSetsMade = 0;  // tells apart several sets made by one test process

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int KillAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  return Reap(pid);
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
  prefix_ = "vak" + std::to_string(getpid()) + "n" + std::to_string(gSetsMade++);
  const std::string &prefix = prefix_;
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
    if (!StartInit(i)) return false;
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

bool TestHosts::AddServerNetwork(std::string *netns, std::string *address) {
  const size_t index = hosts_.size() + static_cast<size_t>(++servers_);
  if (index > 254) return error_ = "test hosts: no address left for a server", false;
  *netns = prefix_ + "s" + std::to_string(servers_);
  *address = "10.201.0." + std::to_string(index);
  const std::string port = "s" + std::to_string(servers_);
  if (!Ip("", {"netns add " + *netns})) return false;
  namespaces_.push_back(*netns);
  return Ip(prefix_ + "hub", {"link add " + port + " type veth peer name eth0 netns " + *netns,
                              "link set " + port + " master br0 up"}) &&
         Ip(*netns,
            {"addr add " + *address + "/24 dev eth0", "link set eth0 up", "link set lo up"});
}

// The host's init: made in new UTS, mount and PID namespaces inside the host's network namespace;
// every later process on the host joins them through it. It reaps what is orphaned on the host.
bool TestHosts::StartInit(size_t host) {
  Host &h = hosts_[host];
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  h.keeper = fork();
  if (h.keeper == 0) {
    close(report[0]);
    const char *failed = nullptr;
    int fd = open(("/run/netns/" + h.netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      failed = "setns";
    } else if (unshare(CLONE_NEWUTS | CLONE_NEWNS | CLONE_NEWPID) != 0) {
      failed = "unshare";
      // A slave first, or the mounts made on the host would propagate to the whole machine.
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
               !HostsFileOver(hostsFile_)) {
      failed = "mounting the hosts file";
    } else if (sethostname(h.name.c_str(), h.name.size()) != 0) {
      failed = "sethostname";
    }
    // init reports to us, we to the test: its pid first, then whether it is ready.
    int ready[2];
    if (failed == nullptr && pipe2(ready, O_CLOEXEC) != 0) failed = "pipe";
    pid_t init = failed == nullptr ? fork() : -1;
    if (init == 0) {
      close(ready[0]);
      report[1] = ready[1];
      // pid 1 on the host: its own /proc, then nothing but reaping.
      if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        dprintf(report[1], "mounting /proc: %s", strerror(errno));
        _exit(1);
      }
      sigset_t child;
      sigemptyset(&child);
      sigaddset(&child, SIGCHLD);
      sigprocmask(SIG_BLOCK, &child, nullptr);  // a SIGCHLD between waits stays pending
      if (write(report[1], "+", 1) != 1) _exit(1);
      const int null = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
      close_range(3, ~0U, 0);  // holds no pipe or file of the test open
      for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        sigwaitinfo(&child, nullptr);
      }
    }
    if (init < 0) {
      dprintf(report[1], "%s: %s", failed != nullptr ? failed : "fork", strerror(errno));
      _exit(1);
    }
    close(ready[1]);
    std::string said;
    char c;
    while (read(ready[0], &c, 1) == 1) said += c;  // "+", or why init failed
    if (write(report[1], &init, sizeof init) != sizeof init ||
        write(report[1], said.data(), said.size()) < 0) {
      kill(init, SIGKILL);
    }
    close_range(0, ~0U, 0);
    int status = 0;
    while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; h.keeper > 0 && ((n = read(report[0], buf, sizeof buf)) > 0 || errno == EINTR);) {
    text.append(buf, static_cast<size_t>(n > 0 ? n : 0));
    if (text.size() == sizeof(pid_t) + 1 && text.back() == '+') break;
  }
  close(report[0]);
  // Known even when it failed, so that the destructor kills it.
  if (text.size() >= sizeof(pid_t)) memcpy(&h.init, text.data(), sizeof(pid_t));
  if (text.size() == sizeof(pid_t) + 1 && text.back() == '+') return true;
  error_ = "test hosts: no init on " + h.name + ": " +
           (text.size() > sizeof(pid_t) ? text.substr(sizeof(pid_t)) : text);
  return false;
}

void TestHosts::Enter(size_t host) const {
  const Host &h = hosts_[host];
  // All opened before any is entered: inside, /proc is the host's, where init is pid 1.
  const char *kinds[] = {"net", "uts", "mnt", "pid"};
  int fds[4];
  for (int i = 0; i < 4; ++i) {
    fds[i] = open(("/proc/" + std::to_string(h.init) + "/ns/" + kinds[i]).c_str(), O_RDONLY);
  }
  char cwd[4096];
  const bool here = getcwd(cwd, sizeof cwd) != nullptr;
  for (int i = 0; i < 4; ++i) {
    if (fds[i] < 0 || setns(fds[i], 0) != 0) {
      dprintf(2, "test host %s: entering its %s namespace: %s\n", h.name.c_str(), kinds[i],
              strerror(errno));
      _exit(125);
    }
    close(fds[i]);
  }
  // Entering the mount namespace moved us to its root; the same path is mostly the same place.
  if (here && chdir(cwd) != 0) {
  }
}

pid_t TestHosts::Fork(size_t host, const std::function<void()> &body, pid_t *pid) const {
  *pid = -1;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t between = fork();
  if (between == 0) {
    close(report[0]);
    Enter(host);
    pid_t child = fork();
    if (child == 0) {
      close(report[1]);
      body();
      _exit(0);
    }
    if (child < 0 || write(report[1], &child, sizeof child) != sizeof child) _exit(125);
    // It never executes anything, so it would keep every descriptor of the test open (even those
    // closed on exec) for as long as the program runs.
    close_range(3, ~0U, 0);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  close(report[1]);
  ssize_t n;
  while ((n = read(report[0], pid, sizeof *pid)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n != sizeof *pid) *pid = -1;
  return between;
}

bool TestHosts::Call(size_t host, const std::function<std::string()> &fn, std::string *result,
                     int timeoutSeconds) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return false;
  pid_t child = -1;
  auto body = [&] {
    alarm(static_cast<unsigned>(timeoutSeconds));  // a child that hangs dies, and the pipe ends
    close(channel[0]);
    const std::string text = fn();
    FILE *out = fdopen(channel[1], "w");  // stdio completes short writes
    if (out == nullptr || fwrite(text.data(), 1, text.size(), out) != text.size() || fclose(out)) {
      _exit(1);
    }
  };
  pid_t pid = Fork(host, body, &child);
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

// The program joins the host's namespaces through nsenter, which forks it into the PID namespace
// and waits for it; the working directory is kept (opened before the mount namespace is entered).
RunResult TestHosts::Run(size_t host, const std::vector<std::string> &argv,
                         const RunOptions &options) {
  std::vector<std::string> all = {"/usr/bin/nsenter",
                                  "--target",
                                  std::to_string(hosts_[host].init),
                                  "--net",
                                  "--uts",
                                  "--mount",
                                  "--pid",
                                  "--wd=.",
                                  "--"};
  all.insert(all.end(), argv.begin(), argv.end());
  return RunProgram(all, options);
}

pid_t TestHosts::Start(size_t host, const std::vector<std::string> &argv,
                       const RunOptions &options) {
  auto body = [&] {
    dup2(open("/dev/null", O_RDONLY), 0);
    for (const auto &kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (const auto &name : options.unsetEnv) unsetenv(name.c_str());
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  };
  pid_t pid = -1, between = Fork(host, body, &pid);
  if (between > 0 && pid <= 0) KillAndReap(between);
  if (between <= 0 || pid <= 0) return -1;
  started_.push_back({pid, between});
  return pid;
}

void TestHosts::Kill(pid_t pid) {
  auto it = std::find_if(started_.begin(), started_.end(),
                         [pid](const Started &s) { return s.pid == pid; });
  if (it == started_.end()) return;
  kill(pid, SIGKILL);
  Reap(it->between);  // it ends once it has reaped the program: no zombie is left on the host
  started_.erase(it);
}

bool TestHosts::Ended(pid_t pid) {
  auto it = std::find_if(started_.begin(), started_.end(),
                         [pid](const Started &s) { return s.pid == pid; });
  if (it == started_.end()) return true;
  if (waitpid(it->between, nullptr, WNOHANG) != it->between) return false;
  started_.erase(it);
  return true;
}

bool TestHosts::SetNextPid(size_t host, pid_t next) {
  std::string said;
  auto set = [next] {
    int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    const bool done = fd >= 0 && dprintf(fd, "%d", static_cast<int>(next - 1)) > 0;
    if (fd >= 0) close(fd);
    return std::string(done ? "y" : "n");
  };
  return next > 1 && Call(host, set, &said, 15) && said == "y";
}

pid_t TestHosts::VakbdPid(size_t host) {
  std::string text;
  const int port = port_;
  auto ask = [port] { return std::to_string(vaktest::VakbdPid("127.0.0.1", port)); };
  if (!Call(host, ask, &text, 15)) return -1;
  const pid_t pid = static_cast<pid_t>(atoi(text.c_str()));
  return pid > 0 ? RootPid(host, pid) : -1;
}

TestHosts::~TestHosts() {
  for (const Started &s : started_) kill(s.pid, SIGKILL), Reap(s.between);
  // Whatever vakbd now serves each host's port goes: ours, or one that a program run on the host
  // started after ours was stopped.
  std::string ignored;
  for (size_t i = 0; i < daemons_.size(); ++i) {
    const int port = port_;
    Call(
        i, [port] { return StopVakbd("127.0.0.1", port), std::string(); }, &ignored, 15);
  }
  // Killing a host's init kills whatever still runs on the host.
  for (const Host &h : hosts_) {
    if (h.init > 0) kill(h.init, SIGKILL);
    if (h.keeper > 0) KillAndReap(h.keeper);
  }
  std::vector<std::string> del;
  for (const std::string &ns : namespaces_) del.push_back("netns del " + ns);
  if (!namespaces_.empty()) Ip("", del, true);
  if (!dir_.empty()) RemoveTree(dir_);
}

}  // namespace vaktest
