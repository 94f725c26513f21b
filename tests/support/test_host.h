// test_host.h - simulated hosts for tests that need more than one machine.
//
// TestHosts makes up to 250 hosts inside this machine, each with its own host name (UTS namespace),
// its own network namespace on a private network that joins the set (a bridge in a hub namespace),
// its own /etc/hosts naming every host of the set (in a mount namespace: bound over the file, or
// overlaid on /etc where the machine has none), and its own vakbd serving the given port. The file
// system is shared. Namespaces need root; when they cannot be made, ok() is false and error() says
// why:  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
//
// The destructor kills every process started with Start, stops every vakbd serving the port on
// any host (by pid), and deletes every namespace and file it made. Names carry this process's
// pid, so tests run side by side.
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
  // Pid of the vakbd now serving the port on a host, -1 if none answers.
  pid_t VakbdPid(size_t host);

  // Runs a program on a host and collects its output, as RunProgram does.
  RunResult Run(size_t host, const std::vector<std::string> &argv, const RunOptions &options = {});
  // Starts a program on a host in the background (standard input from /dev/null, output
  // inherited). Returns its pid, or -1.
  pid_t Start(size_t host, const std::vector<std::string> &argv, const RunOptions &options = {});
  // Kills a process made by Start and reaps it.
  void Kill(pid_t pid);
  // Runs fn in a child process on the host and hands back the text it returns. False when the
  // child could not enter the host or did not finish within timeoutSeconds.
  bool Call(size_t host, const std::function<std::string()> &fn, std::string *result,
            int timeoutSeconds = 60);

 private:
  struct Host {
    std::string name, address, netns;
  };

  bool Ip(const std::string &netns, const std::vector<std::string> &lines, bool force = false);
  bool Build(const std::vector<std::string> &names);
  // In a forked child: moves into the host's namespaces, or exits with status 125.
  void Enter(size_t host) const;

  std::vector<Host> hosts_;
  std::vector<std::string> namespaces_;  // every namespace made, hub included
  std::vector<pid_t> started_;
  std::vector<pid_t> daemons_;
  std::string ipTool_;
  std::string dir_;  // holds the private hosts file
  std::string hostsFile_;
  std::string error_;
  int port_;
};

}  // namespace vaktest

#endif  // VAK_TESTS_TEST_HOST_H_
