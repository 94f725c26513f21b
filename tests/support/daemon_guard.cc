#include "daemon_guard.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace vaktest {

namespace {

bool ReadExact(int fd, char *buf, size_t n, int timeoutMs) {
  size_t got = 0;
  while (got < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool ReadFrame(int fd, std::string *text) {
  unsigned char len[4];
  if (!ReadExact(fd, reinterpret_cast<char *>(len), 4, 3000)) return false;
  uint32_t n =
      (uint32_t{len[0]} << 24) | (uint32_t{len[1]} << 16) | (uint32_t{len[2]} << 8) | len[3];
  if (n > 65536) return false;
  text->assign(n, '\0');
  return n == 0 || ReadExact(fd, &(*text)[0], n, 3000);
}

bool WriteFrame(int fd, const std::string &text) {
  uint32_t n = htonl(static_cast<uint32_t>(text.size()));
  std::string frame(reinterpret_cast<char *>(&n), 4);
  frame += text;
  return write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

int Connect(const std::string &host, int port) {
  struct addrinfo hints = {}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

// An ended daemon stays a zombie until init reaps it, which can take a while; it no longer serves.
bool IsZombie(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE *f = fopen(path, "r");
  if (f == nullptr) return true;
  char buf[512];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char *close = strrchr(buf, ')');
  return close != nullptr && close[1] == ' ' && close[2] == 'Z';
}

}  // namespace

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

pid_t VakbdPid(const std::string &host, int port) {
  int fd = Connect(host, port);
  if (fd < 0) return -1;
  std::string greeting, reply;
  pid_t pid = -1;
  if (ReadFrame(fd, &greeting) && WriteFrame(fd, "ReportLog") && ReadFrame(fd, &reply)) {
    size_t at = reply.find("pid=");
    if (reply.compare(0, 7, "LogInfo") == 0 && at != std::string::npos) {
      pid = static_cast<pid_t>(strtol(reply.c_str() + at + 4, nullptr, 10));
    }
  }
  close(fd);
  return pid > 0 ? pid : -1;
}

void StopVakbd(const std::string &host, int port) {
  pid_t pid = VakbdPid(host, port);
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {  // at most about 2 seconds
    if (kill(pid, 0) != 0 || IsZombie(pid)) return;
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  kill(pid, SIGKILL);
}

DaemonGuard::DaemonGuard() : port_(FreeTcpPort()) {
  const char *old = getenv("VAK_PORTNUM");
  hadPrevious_ = old != nullptr;
  if (old != nullptr) previous_ = old;
  setenv("VAK_PORTNUM", std::to_string(port_).c_str(), 1);
}

DaemonGuard::~DaemonGuard() {
  StopVakbd("127.0.0.1", port_);
  if (hadPrevious_) {
    setenv("VAK_PORTNUM", previous_.c_str(), 1);
  } else {
    unsetenv("VAK_PORTNUM");
  }
}

}  // namespace vaktest
