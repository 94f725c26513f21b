// daemon_guard.h - a test's own Boolean Daemon port (VAK_PORTNUM, inherited by children); the
// vakbd serving it is killed by pid at the end, so tests run side by side.
#ifndef VAK_TESTS_DAEMON_GUARD_H_
#define VAK_TESTS_DAEMON_GUARD_H_

#include <sys/types.h>

#include <string>

namespace vaktest {

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// Pid of the vakbd serving host:port, from its ReportLog reply; -1 when none answers.
pid_t VakbdPid(const std::string &host, int port);

// Kills the vakbd on host:port (if any) and waits, bounded, until it has ended.
void StopVakbd(const std::string &host, int port);

class DaemonGuard {
 public:
  DaemonGuard();
  ~DaemonGuard();
  DaemonGuard(const DaemonGuard &) = delete;
  DaemonGuard &operator=(const DaemonGuard &) = delete;

  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

 private:
  int port_;
  std::string previous_;
  bool hadPrevious_;
};

}  // namespace vaktest

#endif  // VAK_TESTS_DAEMON_GUARD_H_
