#include "daemon_guard.h"

#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame_client.h"
#include "temp_dir.h"

namespace vaktest {

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  bool bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
  close(fd);
  return bound ? ntohs(addr.sin_port) : 0;
}

pid_t VakbdPid(const std::string &host, int port) {
  std::string reply;
  int pid = -1;
  if (AskDaemon(host, port, "ReportLog", &reply)) sscanf(reply.c_str(), "LogInfo pid=%d", &pid);
  return pid > 0 ? pid : -1;
}

// An ended daemon stays a zombie until init reaps it, which can take a while; it no longer serves.
static bool Ended(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return kill(pid, 0) != 0 || close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
}

void StopVakbd(const std::string &host, int port) {
  pid_t pid = VakbdPid(host, port);
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && !Ended(pid); ++i) usleep(20 * 1000);
  if (!Ended(pid)) kill(pid, SIGKILL);
}

DaemonGuard::DaemonGuard() : port_(FreeTcpPort()) {
  const char *old = getenv("VAK_PORTNUM");
  hadPrevious_ = old != nullptr;
  previous_ = hadPrevious_ ? old : "";
  setenv("VAK_PORTNUM", portText().c_str(), 1);
}

DaemonGuard::~DaemonGuard() {
  StopVakbd("127.0.0.1", port_);
  hadPrevious_ ? setenv("VAK_PORTNUM", previous_.c_str(), 1) : unsetenv("VAK_PORTNUM");
}

}  // namespace vaktest
