// test_host.h - simulated hosts for tests that need more than one machine.
//
// TestHosts makes up to 240 hosts inside this machine. Each has its own network namespace on a
// private network that joins the set (a bridge in a hub namespace), and a long-lived init process
// (pid 1 of the host's own PID namespace) that holds the host's UTS namespace (its host name) and
// mount namespace (/etc/hosts naming every host of the set, /proc showing the host's processes
// only). Every process run on a host joins all of these, so two hosts can have processes with the
// same pid, and the host's own vakbd, serving the given port, sees exactly its host's processes.
// The file system is shared; mounts made on a host stay on it. Namespaces need root; when they
// cannot be made, ok() is false and error() says why:  if (!hosts.ok()) GTEST_SKIP() << ...;
//
// Pids handed out are those of this machine (the root PID namespace), which kill() and /proc here
// understand; HostPid gives the pid that the process itself, its host's /proc and its host's vakbd
// know. The destructor kills every process started with Start, stops every vakbd serving the port
// on any host (by pid), kills each host's init (and so whatever still runs on the host), and
// deletes every namespace and file it made. Names carry this process's pid, so tests run side by
// side.
#ifndef VAK_TESTS_TEST_HOST_H_
#define VAK_TESTS_TEST_HOST_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "run_program.h"

namespace vaktest {

class TestHosts {
 public:
  TestHosts(const std::vector<std::string> &names, int port);
  ~TestHosts();
  TestHosts(const TestHosts &) = delete;
  TestHosts &operator=(const TestHosts &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }

  size_t size() const { return hosts_.size(); }
  const std::string &name(size_t host) const { return hosts_[host].name; }
  // Dotted IPv4 address of a host on the private network.
  const std::string &address(size_t host) const { return hosts_[host].address; }
  int port() const { return port_; }
  // Pid (this machine's) of the vakbd now serving the port on a host, -1 if none answers.
  pid_t VakbdPid(size_t host);
  // The pid a process has in its host's PID namespace (its own getpid()), from this machine's
  // pid; -1 if there is no such process.
  static pid_t HostPid(pid_t pid);
  // This machine's pid of the process that has pid hostPid on a host; -1 if there is none.
  pid_t RootPid(size_t host, pid_t hostPid) const;
  // Makes the next process started on a host get pid next there (if free), so that tests can
  // give processes on different hosts the same pid, or keep them apart. False if refused.
  bool SetNextPid(size_t host, pid_t next);
  // This machine's pid of a host's init (pid 1 there): /proc/PID/ns/* name its namespaces.
  pid_t InitPid(size_t host) const { return hosts_[host].init; }

  // Runs a program on a host and collects its output, as RunProgram does.
  RunResult Run(size_t host, const std::vector<std::string> &argv, const RunOptions &options = {});
  // Starts a program on a host in the background (standard input from /dev/null, output
  // inherited). Returns its pid (this machine's; see HostPid), or -1.
  pid_t Start(size_t host, const std::vector<std::string> &argv, const RunOptions &options = {});
  // Kills a process made by Start and waits until it is gone.
  void Kill(pid_t pid);
  // Whether a process made by Start has ended (it is then reaped, and Kill does nothing).
  bool Ended(pid_t pid);
  // Runs fn in a child process on the host and hands back the text it returns. False when the
  // child could not enter the host or did not finish within timeoutSeconds.
  bool Call(size_t host, const std::function<std::string()> &fn, std::string *result,
            int timeoutSeconds = 60);

  // A network namespace on the hosts' network for a server that is no host (no host name, vakbd
  // or PID namespace of its own): its name (for ip -n, nsenter --net=/run/netns/NAME) and
  // address, or false (error() says why). Deleted with the hosts.
  bool AddServerNetwork(std::string *netns, std::string *address);

 private:
  struct Host {
    std::string name, address, netns;
    pid_t init = -1, keeper = -1;  // the host's pid 1, and its parent here
  };
  struct Started {
    pid_t pid, between;  // the program, and the process here that entered the host and waits
  };

  bool Ip(const std::string &netns, const std::vector<std::string> &lines, bool force = false);
  bool Build(const std::vector<std::string> &names);
  bool StartInit(size_t host);
  // In a forked child: moves into the host's namespaces (its children join its PID namespace),
  // or exits with status 125.
  void Enter(size_t host) const;
  // Forks a go-between that enters the host and forks body's process there, then waits for it and
  // exits with its status (128 + signal if killed). Returns the go-between's pid, or -1; *pid
  // gets body's process's pid.
  pid_t Fork(size_t host, const std::function<void()> &body, pid_t *pid) const;

  std::vector<Host> hosts_;
  std::vector<std::string> namespaces_;  // every namespace made, hub included
  std::vector<Started> started_;
  std::vector<pid_t> daemons_;
  std::string ipTool_;
  std::string dir_;  // holds the private hosts file
  std::string hostsFile_;
  std::string error_;
  std::string prefix_;
  int port_;
  int servers_ = 0;
};

}  // namespace vaktest

#endif  // VAK_TESTS_TEST_HOST_H_
