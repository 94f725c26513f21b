// compat_process.h - the Compatibility Daemon child: start, handshake, pipes, death and restart.
// The requests above it are in compat_requests.h; the messages in the protocol's compat_daemon.h.
//
// Connection states:
//   not started --vak::InitDaemon (start + handshake)--> running
//   running --"Die" sent / death seen on a read or write / handshake failure--> cleaned
//   cleaned --next vakCompatDSendToDaemon--> running (a new child)
// Invariant: running is false => both descriptors are -1; running is true => both are open and
// close-on-exec.
#ifndef VAK_COMPAT_PROCESS_H_
#define VAK_COMPAT_PROCESS_H_

#include <sys/types.h>

struct DaemonConnection {
  bool running;
  int readFd;   // client's end of the reply pipe
  int writeFd;  // client's end of the request pipe
  pid_t pid;    // kept after clean-up
};

extern DaemonConnection daemonConnection;

int vakCompatDInit(char **errMsg);
int vakCompatDSendToDaemon(const char *message, char **errMsg);
// On VAK_OK *message is a new text (free it).
int vakCompatDReadFromDaemon(char **message, char **errMsg);

namespace vak {

int InitDaemon(DaemonConnection *conn, char **errMsg);
int CompatDStart(DaemonConnection *conn, char **errMsg);
int CompatDFound(const char *path, char **errMsg);
int CompatDGetVersionMsg(char **errMsg);
int CompatDWriteToDaemon(const char *message, char **errMsg);
bool CompatDWait(DaemonConnection *conn);
bool CompatDChildDied(DaemonConnection *conn, int errorNumber);
void CompatDClean(DaemonConnection *conn);
int CompatDWaitForRead(DaemonConnection *conn);
int CompatDWaitForWrite(DaemonConnection *conn);

}  // namespace vak

#endif  // VAK_COMPAT_PROCESS_H_
