// compat_process.cc - the Compatibility Daemon child: finding and starting it, the version
// handshake, framed messages over its two pipes, noticing its death, and restarting it on the next
// request.
#include "compat_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compat_daemon.h"
#include "framing.h"
#include "init.h"
#include "orv.h"
#include "posix_io.h"
#include "status.h"
#include "vak.h"

DaemonConnection daemonConnection = {false, -1, -1, -1};

namespace {

// Set by the first vakCompatDInit of the process.
bool vakCompatDInited = false;

const char kDiedMsg[] = "vakcompatd has died. See vakcompatd log file for error messages.";
const char kNotRunningMsg[] =
    "The vakcompatd is not running. You can only read after sending a message first.\n";
const int kPipeWaitMillis = 5000;

// Changes one signal's disposition through vak::Signal for the life of the object, then puts back
// the complete previous action (flags and SA_SIGINFO handler included), which vak::Signal's handler
// result alone could not restore faithfully.
class ScopedSignal {
 public:
  ScopedSignal(int signum, VakSignalHandler handler) : signum_(signum) {
    saved_ = sigaction(signum, nullptr, &previous_) == 0;
    if (saved_) saved_ = vak::Signal(signum, handler) != SIG_ERR;
  }
  ~ScopedSignal() {
    if (saved_) {
      int err = errno;
      sigaction(signum_, &previous_, nullptr);
      errno = err;
    }
  }
  ScopedSignal(const ScopedSignal &) = delete;
  ScopedSignal &operator=(const ScopedSignal &) = delete;

 private:
  int signum_;
  bool saved_;
  struct sigaction previous_;
};

void CloseFd(int *fd) {
  if (*fd >= 0) {
    int err = errno;
    close(*fd);  // never retried: the descriptor is gone even after EINTR
    errno = err;
  }
  *fd = -1;
}

int WaitFor(int fd, short events) {
  return orv::PollUntil(fd, events, orv::Deadline::In(kPipeWaitMillis));
}

// True when nothing can ever arrive on the reply pipe again: every writer has closed it and no
// data is left. A child that shut its reply pipe cannot answer, so it counts as dead; without this
// a reader would spin on end-of-file for as long as such a child lived. (A probe that does not
// wait, and looks at which events came: not a job for PollUntil.)
bool ReplyPipeHungUp(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 0) != 1) return false;
  return (p.revents & (POLLHUP | POLLERR)) != 0 && (p.revents & POLLIN) == 0;
}

}  // namespace

int vakCompatDInit(char **errMsg) {
  if (vakCompatDInited) return VAK_OK;
  vakCompatDInited = true;
  return vak::InitDaemon(&daemonConnection, errMsg);
}

int vak::InitDaemon(DaemonConnection *conn, char **errMsg) {
  if (conn->running) return VAK_OK;
  int status = vak::CompatDStart(conn, errMsg);
  if (status != VAK_OK) return status;
  status = vak::CompatDGetVersionMsg(errMsg);
  if (status == VAK_OK) return VAK_OK;
  // A child that died during the handshake has already been cleaned up; one that still runs is
  // told to go before its pipes are closed.
  if (conn->running) vak::CompatDWriteToDaemon("Die", nullptr);
  vak::CompatDClean(conn);
  return status;
}

int vak::CompatDStart(DaemonConnection *conn, char **errMsg) {
  if (conn->running) return VAK_OK;
  char *found = orvGetToolsPath("bin/vakcompatd");
  if (found == nullptr) found = orvFindExecInPath("vakcompatd");
  if (found == nullptr) {
    return vak::AllocErrorMsg(VAK_NOT_OK,
                              "Could not locate the vakcompatd binary.  It should be found in "
                              "tools.$arch/bin of your install hierarchy.",
                              errMsg);
  }
  orv::MallocPtr<char> path(found);
  int status = vak::CompatDFound(path.get(), errMsg);
  if (status != VAK_OK) return status;

  // Close-on-exec from the start: later children of the client, such as the Boolean Daemon launch,
  // must not hold these ends, and a stray writer would keep the daemon from ever seeing
  // end-of-file on its request pipe. The child clears the flag on its own two ends.
  int reply[2] = {-1, -1}, request[2] = {-1, -1};
  if (pipe2(reply, O_CLOEXEC) != 0) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  if (pipe2(request, O_CLOEXEC) != 0) {
    status = vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
    CloseFd(&reply[0]);
    CloseFd(&reply[1]);
    return status;
  }
  // The command line is built before the fork so that the child only execs or exits.
  char requestArg[16], replyArg[16];
  snprintf(requestArg, sizeof requestArg, "%d", request[0]);
  snprintf(replyArg, sizeof replyArg, "%d", reply[1]);
  char *argv[] = {path.get(), requestArg, replyArg, nullptr};

  conn->pid = fork();
  if (conn->pid < 0) {
    status = vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
    CloseFd(&reply[0]);
    CloseFd(&reply[1]);
    CloseFd(&request[0]);
    CloseFd(&request[1]);
    return status;
  }
  if (conn->pid == 0) {
    // An interrupt typed at the terminal is meant for the application, not for its daemon.
    vak::Signal(SIGINT, SIG_IGN);
    close(reply[0]);
    close(request[1]);
    if (fcntl(request[0], F_SETFD, 0) == 0 && fcntl(reply[1], F_SETFD, 0) == 0) {
      execv(argv[0], argv);
    }
    // _exit, not exit: the parent's exit-time work (releasing its Edit Locks, flushing its
    // buffered output) belongs to the parent alone.
    _exit(1);
  }
  CloseFd(&reply[1]);
  CloseFd(&request[0]);
  conn->readFd = reply[0];
  conn->writeFd = request[1];
  conn->running = true;
  return VAK_OK;
}

int vak::CompatDFound(const char *path, char **errMsg) {
  if (access(path, X_OK) == 0) return VAK_OK;
  int err = errno;
  return vak::FormatErrorMsg(VAK_SYS_ERROR, errMsg,
                             "Problem with vakcompatd executable: \"%s\": %s", path, strerror(err));
}

int vak::CompatDGetVersionMsg(char **errMsg) {
  int status = vakCompatDSendToDaemon("VersionReq", errMsg);
  if (status != VAK_OK) return status;
  char *received = nullptr;
  status = vakCompatDReadFromDaemon(&received, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> reply(received);
  int version = 0;
  switch (protocol::CheckVersion(protocol::kCompatDaemon, reply.get(), &version)) {
    case protocol::VersionCheck::kAccepted:
      return VAK_OK;
    case protocol::VersionCheck::kNoMessage:
      return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
    case protocol::VersionCheck::kOtherMessage:
      return vak::AllocErrorMsg(VAK_COMPAT_DAEMON_BAD_RESPONSE,
                                "vak: Could not recognize response from Compatibility Daemon to "
                                "VakCompatDVersion message.",
                                errMsg);
    case protocol::VersionCheck::kOtherVersion:
      break;
  }
  return vak::FormatErrorMsg(
      VAK_COMPAT_DAEMON_BAD_RESPONSE, errMsg,
      "vak: Invalid Compatibility Daemon version %d.\nWe expected version %d.\n", version,
      static_cast<int>(kCompatProtocolVersion));
}

int vakCompatDSendToDaemon(const char *message, char **errMsg) {
  if (message == nullptr) {
    return vak::AllocErrorMsg(VAK_NOT_OK, "vak: No message given for the Compatibility Daemon.",
                              errMsg);
  }
  int status = vak::InitDaemon(&daemonConnection, errMsg);
  if (status != VAK_OK) return status;
  status = vak::CompatDWriteToDaemon(message, errMsg);
  if (status != VAK_OK) return status;
  if (strcmp(message, "Die") == 0) vak::CompatDClean(&daemonConnection);
  return VAK_OK;
}

int vak::CompatDWriteToDaemon(const char *message, char **errMsg) {
  DaemonConnection *conn = &daemonConnection;
  orv::ScopedBlockSigpipe quiet;
  for (;;) {
    if (vakNetWrite(conn->writeFd, message)) return VAK_OK;
    int err = errno;
    // Reap first: an ended but unreaped child still answers the signal-0 probe.
    vak::CompatDWait(conn);
    if (vak::CompatDChildDied(conn, err)) break;
    if (vak::CompatDWaitForWrite(conn) <= 0 && vak::CompatDChildDied(conn, errno)) break;
  }
  return vak::AllocErrorMsg(VAK_NOT_OK, kDiedMsg, errMsg);
}

int vakCompatDReadFromDaemon(char **message, char **errMsg) {
  DaemonConnection *conn = &daemonConnection;
  if (!conn->running) return vak::AllocErrorMsg(VAK_NOT_OK, kNotRunningMsg, errMsg);
  orv::ScopedBlockSigpipe quiet;
  for (;;) {
    char *text = nullptr;
    errno = 0;
    if (vakNetRead(conn->readFd, &text)) {
      *message = text;
      return VAK_OK;
    }
    int err = errno;
    if (err == EMSGSIZE || err == ENOMEM || err == ETIMEDOUT) {
      // Part of the message is still in the pipe, or was consumed by a read that ran out of time:
      // the stream cannot be brought back into step, so this child is given up and the next
      // request starts a new one. One that stalled mid-message fails as one that died there.
      vak::CompatDWriteToDaemon("Die", nullptr);
      vak::CompatDClean(conn);
      if (err == ETIMEDOUT) break;
      if (err == ENOMEM) return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
      return vak::FormatErrorMsg(
          VAK_COMPAT_DAEMON_BAD_RESPONSE, errMsg,
          "vak: The Compatibility Daemon sent a message longer than %d bytes.",
          static_cast<int>(kVakMaxMessageLength));
    }
    if (ReplyPipeHungUp(conn->readFd)) err = EPIPE;
    vak::CompatDWait(conn);
    if (vak::CompatDChildDied(conn, err)) break;
    if (vak::CompatDWaitForRead(conn) <= 0 && vak::CompatDChildDied(conn, errno)) break;
  }
  return vak::AllocErrorMsg(VAK_NOT_OK, kDiedMsg, errMsg);
}

bool vak::CompatDWait(DaemonConnection *conn) {
  // Without a child of our own, waitpid(-1) would reap some other child of the application.
  if (conn->pid <= 0) return false;
  int waitStatus = 0;
  pid_t result;
  int err;
  {
    ScopedSignal defaultChild(SIGCHLD, SIG_DFL);
    result = waitpid(conn->pid, &waitStatus, WNOHANG | WUNTRACED);
    err = errno;
  }
  errno = err;
  if (result == 0) return true;
  if (result < 0) return err == EINTR;
  return WIFSTOPPED(waitStatus);
}

bool vak::CompatDChildDied(DaemonConnection *conn, int errorNumber) {
  bool dead = errorNumber == EBADF || errorNumber == EPIPE || errorNumber == EIO ||
              conn->pid <= 0 || kill(conn->pid, 0) != 0;
  if (dead) vak::CompatDClean(conn);
  return dead;
}

void vak::CompatDClean(DaemonConnection *conn) {
  if (!conn->running) return;
  CloseFd(&conn->readFd);
  CloseFd(&conn->writeFd);
  // The child gets about a second to notice its closed pipes and end. It is checked every few
  // milliseconds rather than slept on, so that a prompt child costs no full second; one that has
  // not ended by then is left alone, never signalled.
  bool alive = vak::CompatDWait(conn);
  for (int i = 0; alive && i < 50; ++i) {
    orv::SleepMs(20);
    alive = vak::CompatDWait(conn);
  }
  for (int i = 0; alive && i < 10; ++i) alive = vak::CompatDWait(conn);
  conn->running = false;
}

int vak::CompatDWaitForRead(DaemonConnection *conn) {
  return WaitFor(conn->readFd, POLLIN);
}

int vak::CompatDWaitForWrite(DaemonConnection *conn) {
  return WaitFor(conn->writeFd, POLLOUT);
}
