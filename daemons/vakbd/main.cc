// main.cc - vakbd, the Boolean Daemon: answers other hosts' questions about this host's processes.
//
// Started without arguments it returns promptly with status 0 once a daemon serves the port: the
// one it started in the background, or one that already served it.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bool_daemon.h"
#include "daemon_log.h"
#include "log_file.h"
#include "server.h"
#include "startup.h"

namespace {

const char kUsage[] =
    "Usage: vakbd [-portnum <port>] [-foreground]\n"
    "  -portnum <port>  serve this TCP port (default: $VAK_PORTNUM, else 16723)\n"
    "  -foreground      stay attached to the caller instead of detaching\n";

}  // namespace

int main(int argc, char **argv) {
  using namespace vakbd;
  EnsureStandardDescriptors();
  // The port is read exactly as the lock library's client reads it, so both ends always agree.
  int32_t configured = kVakBdDefaultPort;
  protocol::ApplyPortText(getenv(protocol::kBdPortVariable), &configured, stderr);
  bool foreground = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-portnum") == 0) {
      if (i + 1 == argc) {
        fprintf(stderr, "vakbd: -portnum needs a value\n%s", kUsage);
        return kExitInitFailed;
      }
      protocol::ApplyPortText(argv[++i], &configured, stderr);
    } else if (strcmp(argv[i], "-foreground") == 0) {
      foreground = true;
    } else if (strcmp(argv[i], "-help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, stdout);
      return kExitServing;
    } else {
      fprintf(stderr, "vakbd: unknown argument \"%s\"\n%s", argv[i], kUsage);
      return kExitInitFailed;
    }
  }
  const uint16_t port = protocol::EffectivePort(configured);
  if (port == 0) {
    fputs("vakbd: port 0 cannot be served\n", stderr);
    return kExitPortFailed;
  }
  signal(SIGPIPE, SIG_IGN);

  int status = kExitServing;
  int listenFd = OpenListener(port, &status);
  if (listenFd < 0) {
    int error = errno;
    // A daemon that already serves the port is success: the library starts one at every
    // initialisation and expects all but the first start to find it.
    if (status == kExitPortFailed && error == EADDRINUSE && VakbdServes(port, 2000)) {
      return kExitServing;
    }
    fprintf(stderr, "vakbd: cannot %s port %u: %s\n",
            status == kExitSocketFailed ? "create a socket for" : "listen on", port,
            strerror(error));
    return status;
  }

  int reportFd = -1;
  if (!foreground) {
    reportFd = Detach(listenFd);
    if (reportFd < 0) {
      fprintf(stderr, "vakbd: cannot start the server: %s\n", strerror(errno));
      return kExitInitFailed;
    }
  }
  daemons::DaemonLog log(kLogStyle);
  Server server(&log);
  ServerOptions options;
  options.port = port;
  options.maxConnections = ConnectionLimit();
  sigset_t waitMask;
  if (!InstallSignalHandlers(&waitMask) || !server.Init(listenFd, options)) {
    if (foreground) fputs("vakbd: cannot initialise the server\n", stderr);
    ReportStarted(reportFd, kExitInitFailed);
    return kExitInitFailed;
  }
  ReportStarted(reportFd, kExitServing);
  server.Run(&waitMask);
  return kExitServing;
}
