// fault_driver.h - lock_driver processes under the fault library, for tests that park a process at
// an exact call (VAK_FAULT_STOP), crash it there (VAK_FAULT_DIE) or race it (VAK_FAULT_PAUSE).
// See tests/fault/fault_inject.cc for the variables.
#ifndef VAK_TESTS_FAULT_DRIVER_H_
#define VAK_TESTS_FAULT_DRIVER_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vaktest {

using Env = std::vector<std::pair<std::string, std::string>>;

// The driver program and the preload library of the build.
std::string LockDriverPath();
std::string FaultLibraryPath();

// The environment that loads the fault library (and keeps a sanitizer build quiet about it), with
// no daemon started: PATH has no vakbd.
Env FaultEnv(const Env &extra);

// A one-shot lock_driver (OP PATH) with env set, its output to outFile; the caller's child, so
// WaitStopped and WaitEnded work. -1 if it could not be started.
pid_t StartDriver(const std::string &op, const std::string &path, const Env &env,
                  const std::string &outFile);

// True once the child is in the stopped state, false if it ended or timeoutMs passed.
bool WaitStopped(pid_t pid, int timeoutMs = 10000);
// Exit status of the child (128 + signal when killed); after timeoutMs it is killed: -1.
int WaitEnded(pid_t pid, int timeoutMs = 30000);
// Waits until file has a line starting with prefix; that line, or "" after timeoutMs.
std::string WaitForLine(const std::string &file, const std::string &prefix, int timeoutMs = 10000);
// The "status N" of a one-shot driver's output, -1 if none.
int DriverStatus(const std::string &output);

// A lock_driver serve worker (on this host) with env set: one operation at a time, over FIFOs
// made in dir and opened read-write here, so no open blocks. The caller's child.
struct Server {
  pid_t pid = -1;
  int cmd = -1, res = -1;

  Server() = default;
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;
  bool Start(const std::string &dir, const Env &env);
  bool Send(const std::string &op, const std::string &path) const;
  // The answer: status (-1 when none came within timeoutMs) and message or owner "HOST PID".
  std::pair<int, std::string> Receive(int timeoutMs = 30000) const;
  // Killed (SIGKILL) and reaped.
  void Stop();
  ~Server() { Stop(); }
};

// A complete lock-stake text naming pid on host as the current owner.
std::string StakeText(const std::string &host, unsigned long pid, const std::string &file = "f");

// A process identifier that is not in use on this machine now.
pid_t DeadPid();

}  // namespace vaktest

#endif  // VAK_TESTS_FAULT_DRIVER_H_
