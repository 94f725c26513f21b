// main.cc - vakcompatd: the Compatibility Daemon, a child of one client process, spoken to over
// two pipes with framed messages. It answers each request before reading the next, and ends after
// "Die" or when its request pipe closes with the client.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon_log.h"
#include "framing.h"
#include "old_style_lock.h"
#include "orv.h"
#include "request_handler.h"

namespace {

const char kUsage[] = "usage: vakcompatd <request descriptor> <reply descriptor>\n";

bool ParseFd(const char *text, int *fd) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 0 || value > 1 << 20) return false;
  *fd = static_cast<int>(value);
  return fcntl(*fd, F_GETFD) != -1;
}

// The daemon inherits whatever the client left open without close-on-exec (its files, its
// sockets); holding those would keep them alive behind the client's back. Only the two pipes are
// kept, and the standard descriptors go to /dev/null so that nothing reaches the client's
// terminal.
void TidyDescriptors(int requestFd, int replyFd) {
  std::vector<int> stray;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (struct dirent *entry = readdir(dir)) {
      int fd = atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 2 && fd != dirfd(dir)) stray.push_back(fd);
    }
    closedir(dir);
  }
  for (int fd : stray) {
    if (fd != requestFd && fd != replyFd) close(fd);
  }
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);  // dup2 gives the copies no such flag
  for (int fd = 0; fd <= 2 && null >= 0; ++fd) {
    if (fd != requestFd && fd != replyFd && fd != null) dup2(null, fd);
  }
  if (null > 2 && null != requestFd && null != replyFd) close(null);
}

std::string HostName() {
  struct utsname names;
  if (uname(&names) != 0 || names.nodename[0] == '\0') return "localhost";
  return names.nodename;
}

std::string DefaultLogPath() {
  char dir[ORV_PATH_BUF_SIZE];
  const char *base = orvGetTmpDir(dir);
  if (base == nullptr) base = getenv("TMPDIR");
  if (base == nullptr || *base == '\0') base = "/tmp";
  return std::string(base) + "/vakcompatd." + std::to_string(static_cast<long>(getpid())) + ".log";
}

}  // namespace

int main(int argc, char **argv) {
  int requestFd = -1, replyFd = -1;
  if (argc != 3 || !ParseFd(argv[1], &requestFd) || !ParseFd(argv[2], &replyFd)) {
    fputs(kUsage, stderr);
    return 2;
  }
  // A client that went away makes the reply fail with EPIPE; it must not kill the daemon before
  // it has logged why it ends.
  signal(SIGPIPE, SIG_IGN);
  TidyDescriptors(requestFd, replyFd);

  // Lines name the daemon and its process: several clients' daemons may share one log file.
  const std::string tag = "vakcompatd[" + std::to_string(static_cast<long>(getpid())) + "]: ";
  daemons::DaemonLog log({tag.c_str(), 8192, false});
  log.SetFallback(DefaultLogPath().c_str());
  vakcompatd::OldStyleLocks locks(HostName(), &log);
  vakcompatd::RequestHandler handler(&locks, &log);
  for (;;) {
    char *request = nullptr;
    errno = 0;
    // No time-out: the client may stay quiet for as long as it likes.
    if (!vakNetReadEx(requestFd, &request, 0)) {
      if (errno == 0) return 0;  // the client closed its end
      log.Write("cannot read a request (%s); ending", strerror(errno));
      return 1;
    }
    std::string reply;
    bool goOn = handler.Handle(request, &reply);
    free(request);
    if (!reply.empty() && !vakNetWrite(replyFd, reply.c_str())) {
      log.Write("cannot send a reply (%s); ending", strerror(errno));
      return 1;
    }
    if (!goOn) return 0;
  }
}
