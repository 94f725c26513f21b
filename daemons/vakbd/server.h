// server.h - the daemon's service: one poll loop over the listening socket and every connection.
//
// Each connection gets the greeting, carries exactly one framed request and, for the requests that
// have one, one reply; then it is closed. Everything is non-blocking, and every connection has its
// own deadline, so a silent, slow or hostile client costs one slot for a few seconds and never
// delays another. When all slots are taken, the oldest connection makes room for the new one: a
// flood of idle connections therefore cannot lock legitimate clients out, who need only
// milliseconds.
#ifndef VAKBD_SERVER_H_
#define VAKBD_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/types.h>

#include "boot_offset.h"
#include "daemon_log.h"
#include "framing.h"
#include "request.h"
#include "socket_address.h"

namespace vakbd {

enum {
  kMaxRequestLength = 4096,     // longest request text; a longer length field drops the connection
  kConnectionTimeoutMs = 5000,  // the client's own waits are 6 seconds
  kMaxConnections = 4096,
};

struct ServerOptions {
  uint16_t port = 0;  // reported by ReportLog
  int maxConnections = kMaxConnections;
  int timeoutMs = kConnectionTimeoutMs;
};

// Ignores SIGPIPE, installs the handlers of SIGTERM and SIGINT (stop) and SIGHUP (reopen the log
// file, for its rotation) and blocks them; *waitMask gets the mask under which the server waits, so
// that they are delivered only there and none is lost between a check and the wait. The handlers
// only note the signal: the loop does the work.
bool InstallSignalHandlers(sigset_t *waitMask);

// Control requests (Die, StartLog, StopLog, Debug, ReportLog) are honoured only from a peer on
// this host: a loopback address (127.0.0.0/8 or ::1), or the very address the peer connected to,
// which is what a local client that named this host by its own name connects from (the kernel
// routes such a connection over the loopback interface, so no other host can present it). The
// peer's socket must further belong to root or to the daemon's own user (peer_uid.h): the daemon
// acts with its user's rights, and another local user must not stop it, silence it or pick its log
// file. A refused request has no effect and no reply; the refusal is logged. Both addresses as
// UnmapIPv4 leaves them.
bool IsLocalPeer(const SocketAddress &peer, const SocketAddress &connectedTo);
bool MayControl(uid_t peer, uid_t daemon);

class Server {
 public:
  explicit Server(daemons::DaemonLog *log) : log_(log) {}
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Takes ownership of a listening socket. False when the connection table cannot be allocated.
  bool Init(int listenFd, const ServerOptions &options);
  // Serves until a Die request or SIGTERM/SIGINT, then closes every connection.
  void Run(const sigset_t *waitMask);

 private:
  struct Connection {
    int fd = -1;
    uint64_t serial = 0;  // acceptance order: the lowest is the oldest
    int64_t deadline = 0;
    char peer[kHostTextSize] = "";  // FormatHost's text
    uint16_t peerPort = 0;
    SocketAddress peerAddress = {};  // IPv4 peers always in IPv4 form
    unsigned char head[kVakFrameHeaderLength] = {0, 0, 0, 0};
    uint32_t headGot = 0;
    char *body = nullptr;  // request text, from malloc once its length is known
    uint32_t bodyLength = 0;
    uint32_t bodyGot = 0;
    char *out = nullptr;  // frame being sent (greeting or reply), from malloc
    size_t outLength = 0;
    size_t outSent = 0;
    bool replying = false;  // out holds the reply: the connection ends once it is sent
  };

  void AcceptPending(int64_t now);
  void ShedForDescriptor();
  void Flush(Connection *c);
  void Receive(Connection *c);
  void Handle(Connection *c);
  // ReportLog and the control requests (server_control.cc).
  void HandleReportLog(Connection *c);
  void HandleControl(Connection *c, const Request &request);
  bool ControlAllowed(Connection *c, const Request &request);
  // Makes path the log (StartLog's rules) and logs how, or why not.
  void OpenLog(const char *path, const char *how);
  void OnHangup();
  void Reply(Connection *c, const char *text);
  void Drop(Connection *c, const char *why);
  Connection *Oldest();
  bool FromThisHost(const Connection *c);

  daemons::DaemonLog *log_;
  BootOffset clock_;
  ServerOptions options_;
  int listenFd_ = -1;
  int reserveFd_ = -1;  // given up to accept (and refuse) a client when out of descriptors
  Connection *slots_ = nullptr;
  struct pollfd *pollFds_ = nullptr;
  int *pollSlot_ = nullptr;
  int count_ = 0;
  // One past the highest slot in use: the loop looks at the connections open, not at every slot.
  int used_ = 0;
  uint64_t serial_ = 0;
  // Wakeups in a row that found clients waiting to be accepted: from two on there is a backlog
  // worth draining; before that one accept is all there is, and a second would only fail.
  int acceptStreak_ = 0;
  bool stopping_ = false;
};

}  // namespace vakbd

#endif  // VAKBD_SERVER_H_
