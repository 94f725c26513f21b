// main.cc - vakbd, the Boolean Daemon: answers other hosts' questions about this host's processes.
//
// Started without arguments (as the lock library starts it) it returns promptly with status 0 once
// a daemon serves the port: the one it started in the background, or one that already served it.
// Started as a service (-foreground or -log), it refuses to be a second daemon on the port, and
// says which process holds it.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bool_daemon.h"
#include "daemon_log.h"
#include "host_settings.h"
#include "listener.h"
#include "log_file.h"
#include "port_holder.h"
#include "server.h"
#include "startup.h"

namespace {

const char kUsage[] =
    "Usage: vakbd [-portnum <port>] [-bind <address>] [-foreground] [-log <file>]\n"
    "  -portnum <port>  serve this TCP port (default: $VAK_PORTNUM, else the settings file's,\n"
    "                   else 16723)\n"
    "  -bind <address>  listen on this IPv4 or IPv6 address only (default: every address)\n"
    "  -foreground      stay attached to the caller, logging to standard error\n"
    "  -log <file>      log to this file (an absolute path); SIGHUP reopens it\n";

// The port is taken: a daemon already serving it is success for the library's start; a service
// start must not pass for a second daemon, and says who holds the port.
int PortTaken(uint16_t port, const vakbd::ListenAddress &where, bool service, int error) {
  using namespace vakbd;
  const bool served = error == EADDRINUSE && VakbdServes(port, where, 2000);
  if (served && !service) return kExitServing;
  if (!service || error != EADDRINUSE) {
    fprintf(stderr, "vakbd: cannot listen on port %u: %s\n", port, strerror(error));
    return kExitPortFailed;
  }
  char holder[128];
  if (DescribePortHolder(port, holder, sizeof holder)) {
    fprintf(stderr, "vakbd: port %u is already %s by %s; not starting another daemon\n", port,
            served ? "served" : "in use", holder);
  } else {
    fprintf(stderr,
            "vakbd: port %u is already %s, and its holder is unknown; not starting another "
            "daemon\n",
            port, served ? "served by a vakbd" : "in use");
  }
  return kExitPortFailed;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace vakbd;
  EnsureStandardDescriptors();
  // The port is read exactly as the lock library's client reads it (the environment, else the
  // host's settings file), so both ends always agree.
  int32_t configured = kVakBdDefaultPort;
  protocol::ApplyPortText(protocol::HostSetting(protocol::kBdPortVariable), &configured, stderr);
  ListenAddress where;
  bool foreground = false;
  const char *logPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-portnum") == 0) {
      if (i + 1 == argc) {
        fprintf(stderr, "vakbd: -portnum needs a value\n%s", kUsage);
        return kExitInitFailed;
      }
      protocol::ApplyPortText(argv[++i], &configured, stderr);
    } else if (strcmp(argv[i], "-bind") == 0) {
      if (i + 1 == argc) {
        fprintf(stderr, "vakbd: -bind needs an address\n%s", kUsage);
        return kExitInitFailed;
      }
      if (!ParseBindAddress(argv[++i], &where)) {
        fprintf(stderr, "vakbd: -bind needs an IPv4 or IPv6 address, not \"%s\"\n", argv[i]);
        return kExitInitFailed;
      }
    } else if (strcmp(argv[i], "-foreground") == 0) {
      foreground = true;
    } else if (strcmp(argv[i], "-log") == 0) {
      if (i + 1 == argc) {
        fprintf(stderr, "vakbd: -log needs a file\n%s", kUsage);
        return kExitInitFailed;
      }
      logPath = argv[++i];
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
  int listenFd = OpenListener(port, where, &status);
  if (listenFd < 0) {
    int error = errno;
    // The library starts a daemon at every initialisation and expects all but the first start to
    // find one serving.
    if (status == kExitPortFailed) {
      return PortTaken(port, where, foreground || logPath != nullptr, error);
    }
    fprintf(stderr, "vakbd: cannot create a socket for port %u: %s\n", port, strerror(error));
    return status;
  }

  daemons::DaemonLog log(kLogStyle);
  const char *why = "";
  if (logPath != nullptr && !StartLog(&log, logPath, &why)) {
    fprintf(stderr, "vakbd: cannot log to %s: %s\n", logPath, why);
    return kExitInitFailed;
  }
  if (foreground) log.EchoTo(2);
  int reportFd = -1;
  if (!foreground) {
    reportFd = Detach(listenFd, log.fd());
    if (reportFd < 0) {
      fprintf(stderr, "vakbd: cannot start the server: %s\n", strerror(errno));
      return kExitInitFailed;
    }
  }
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
  log.Write("vakbd pid %d serving port %u", static_cast<int>(getpid()), port);
  server.Run(&waitMask);
  return kExitServing;
}
