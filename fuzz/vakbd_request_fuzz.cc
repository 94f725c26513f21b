// vakbd's request handling: a server on a loopback port in a thread of its own, fed any bytes as
// one client's connection. Requests that would stop it (Die) or choose a file for it to write
// (StartLog) are not fed. The server must close every connection promptly.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "log_file.h"
#include "request.h"
#include "server.h"

static sockaddr_in gAddress;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);  // as the daemon's own listener
  gAddress.sin_family = AF_INET;
  gAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof gAddress;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&gAddress), length) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&gAddress), &length)) {
    abort();
  }
  std::thread([fd] {
    // Never destroyed: the thread serves until the end.
    daemons::DaemonLog *log = new daemons::DaemonLog(vakbd::kLogStyle);
    log->SetDebug(true);
    vakbd::Server *server = new vakbd::Server(log);
    vakbd::ServerOptions options;
    options.timeoutMs = 1000;
    sigset_t waitMask;
    if (!vakbd::InstallSignalHandlers(&waitMask) || !server->Init(fd, options)) abort();
    server->Run(&waitMask);
  }).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  if (bytes.find("Die") != std::string::npos || bytes.find("StartLog") != std::string::npos) {
    return 0;
  }
  vakbd::ParseRequest(bytes.c_str());
  int fd = -1;
  // Tens of thousands of connections a run would otherwise leave their client ports in TIME_WAIT
  // until none is free: each client resets its connection at the end, and a connect that finds no
  // free port waits for one (bounded) instead of being taken for a server that went away.
  for (int attempt = 0; fd < 0; ++attempt) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    struct timeval wait = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (connect(fd, reinterpret_cast<sockaddr *>(&gAddress), sizeof gAddress) == 0) break;
    if (errno != EADDRNOTAVAIL || attempt >= 200) abort();
    close(fd);
    fd = -1;
    usleep(10 * 1000);
  }
  send(fd, data, size, MSG_NOSIGNAL);  // the server may drop a hostile client before the end
  shutdown(fd, SHUT_WR);
  char buf[512];
  ssize_t n;
  // The fuzzer's own alarm interrupts a receive with a time-out, which is never restarted.
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR)) {
  }
  // The server drops a client after one second: one not closed within twenty hangs.
  if (n < 0 && errno != ECONNRESET) abort();
  close(fd);
  return 0;
}
