// bd_client.cc - the client side of the Boolean Daemon protocol: port configuration, one TCP
// connection per question with the version greeting, and the control requests.
#include "bd_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "framing.h"
#include "host_settings.h"
#include "log_requests.h"
#include "posix_io.h"
#include "status.h"
#include "vak.h"

int32_t vakBdPort = kVakBdDefaultPort;

namespace {

// Read once, however many threads ask at the same time (editlock asks owners' hosts from several).
std::once_flag bdClientInited;

const char kNoHostMsg[] = "vak: No host name specified when connecting to vakbd.\n";
const char kLookupFormat[] = "vak: Unable to look up host name \"%s\".\n";
const char kConnectFormat[] = "vak: Unable to connect to host \"%s\".\n";
const char kVersionFormat[] = "vak: Invalid Boolean Daemon version %d.";
const char kBadGreetingMsg[] =
    "vak: Could not recognize response from Boolean Daemon to VakBoolVersion message.";
const char kSendFormat[] =
    "vak: could not send message to vakbd on host \"%s\".\nThe host may be unreachable or the "
    "vakbd has died.\n";
const char kLogNameTooLongFormat[] =
    "vak: Log file name is too long to send to vakbd (at most %d characters).";
const vak::LogInfoErrors kReportLogErrors = {
    VAK_BOOLEAN_DAEMON_BAD_RESPONSE,
    "vak: Could not recognize response from Boolean Daemon to ReportLog message.", true};

// The StartLog request is built in a fixed buffer; a longer log file name is refused.
enum { kStartLogRequestSize = 4096 + 16 };

// Whether the socket turns writable before the deadline; interrupted waits go on.
bool WaitWritable(int sock, const orv::Deadline &deadline) {
  return orv::PollUntil(sock, POLLOUT, deadline) == 1;
}

// A blocking connect. One interrupted by a signal goes on in the background; it is waited for and
// its outcome taken from the socket.
int PlainConnect(int sock, const struct sockaddr *addr, socklen_t addrLen) {
  if (connect(sock, addr, addrLen) == 0) return 0;
  if (errno != EINTR) return -1;
  if (!WaitWritable(sock, orv::Deadline::Never())) return -1;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

void CloseSocket(int sock) {
  int saved = errno;
  vakClose(sock);
  errno = saved;
}

int SendRequest(const char *hostName, const char *message, char **errMsg) {
  vakBdInit();
  return vak::BdAsk(hostName, message, nullptr, errMsg);
}

}  // namespace

void vakBdInit(void) {
  std::call_once(bdClientInited, vakBdDoEnv);
}

void vakBdDoEnv(void) {
  // The environment first, then the host's settings file, as vakbd itself reads it.
  const char *port = protocol::HostSetting(protocol::kBdPortVariable);
  if (port != nullptr) vakBdProcessPortNum(port);
}

void vakBdProcessPortNum(const char *text) {
  protocol::ApplyPortText(text, &vakBdPort, stderr);
}

uint16_t vakBdGetServerPort(int selector) {
  switch (selector) {
    case 1:
      return 16724;
    case 2:
      return 16725;
    default:
      return protocol::EffectivePort(vakBdPort);
  }
}

int connectWithTimeout(int sock, const struct sockaddr *addr, socklen_t addrLen, int seconds) {
  int flags = fcntl(sock, F_GETFL);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  if (connect(sock, addr, addrLen) != 0) {
    // An interrupted non-blocking connect goes on in the background like one in progress.
    if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return -1;
    // A socket that turns writable counts as connected; a refused connection shows itself at the
    // first read or write.
    if (!WaitWritable(sock, orv::Deadline::In(static_cast<int64_t>(seconds) * 1000))) return -1;
  }
  flags = fcntl(sock, F_GETFL);
  if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) < 0) return -1;
  return 0;
}

int vakBdReadReply(int sock, char **reply) {
  errno = 0;
  if (!vakNetIsDataReady(sock, kVakMessageWaitSeconds)) {
    if (errno == 0) errno = ETIMEDOUT;
    return 0;
  }
  errno = 0;
  if (!vakNetReadEx(sock, reply, 0)) {
    if (errno == 0) errno = ECONNRESET;  // closed before a whole message arrived
    return 0;
  }
  return 1;
}

int vakBdGetVersionMsg(int sock, char **errMsg) {
  char *text = nullptr;
  if (!vakBdReadReply(sock, &text)) return vak::StrErrorMsg(VAK_NOT_OK, errMsg);
  orv::MallocPtr<char> greeting(text);
  int version = 0;
  switch (protocol::CheckVersion(protocol::kBoolDaemon, greeting.get(), &version)) {
    case protocol::VersionCheck::kAccepted:
      return VAK_OK;
    case protocol::VersionCheck::kNoMessage:
      // Nothing failed in the system; "Protocol error" names what happened.
      errno = EPROTO;
      return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
    case protocol::VersionCheck::kOtherMessage:
      return vak::AllocErrorMsg(VAK_BOOLEAN_DAEMON_BAD_RESPONSE, kBadGreetingMsg, errMsg);
    case protocol::VersionCheck::kOtherVersion:
      break;
  }
  return vak::FormatErrorMsg(VAK_BOOLEAN_DAEMON_BAD_RESPONSE, errMsg, kVersionFormat, version);
}

namespace {

// vakBdOpenDaemonSocket, also handing the address it connects to (once looked up) to *peer when
// peer is not NULL: the evidence of a liveness question names the daemon it asked.
int OpenDaemonSocket(const char *hostName, int *sock, struct sockaddr_in *peer, char **errMsg) {
  if (hostName == nullptr || *hostName == '\0') {
    return vak::AllocErrorMsg(VAK_NOT_OK, kNoHostMsg, errMsg);
  }
  // The reentrant lookup: the same answer as gethostbyname, in storage of this call's own, so
  // that questions may be asked from several threads at once.
  struct hostent entry;
  struct hostent *host = nullptr;
  std::vector<char> storage(1024);
  int lookupError = 0;
  while (gethostbyname_r(hostName, &entry, storage.data(), storage.size(), &host, &lookupError) ==
             ERANGE &&
         storage.size() < (1u << 20)) {
    storage.resize(storage.size() * 2);
  }
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return vak::FormatErrorMsg(VAK_NOT_OK, errMsg, kLookupFormat, hostName);
  }
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  address.sin_port = htons(vakBdGetServerPort(0));
  if (peer != nullptr) *peer = address;
  const struct sockaddr *addr = reinterpret_cast<const struct sockaddr *>(&address);

  // Close-on-exec: a daemon started later must not keep this connection open.
  orv::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);

  if (vakEnv != nullptr && vakEnv->bdConnectTimeout != -1) {
    if (connectWithTimeout(fd.get(), addr, sizeof address, vakEnv->bdConnectTimeout) != 0) {
      return vak::FormatErrorMsg(VAK_NOT_OK, errMsg, kConnectFormat, hostName);
    }
  } else if (PlainConnect(fd.get(), addr, sizeof address) != 0) {
    return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  }

  int status = vakBdGetVersionMsg(fd.get(), errMsg);
  if (status != VAK_OK) return status;
  if (sock != nullptr) *sock = fd.release();
  return VAK_OK;
}

// vakBdSendToDaemon, with the peer of OpenDaemonSocket.
int SendToDaemon(const char *hostName, const char *message, int *sock, struct sockaddr_in *peer,
                 char **errMsg) {
  int fd = -1;
  int status = OpenDaemonSocket(hostName, &fd, peer, errMsg);
  if (status != VAK_OK) return status;
  int written;
  {
    orv::ScopedBlockSigpipe quiet;
    written = vakNetWrite(fd, message);
  }
  if (!written) {
    CloseSocket(fd);
    return vak::FormatErrorMsg(VAK_NOT_OK, errMsg, kSendFormat, hostName);
  }
  if (sock != nullptr) {
    *sock = fd;
  } else {
    CloseSocket(fd);
  }
  return VAK_OK;
}

}  // namespace

int vakBdOpenDaemonSocket(const char *hostName, int *sock, char **errMsg) {
  return OpenDaemonSocket(hostName, sock, nullptr, errMsg);
}

int vakBdSendToDaemon(const char *hostName, const char *message, int *sock, char **errMsg) {
  return SendToDaemon(hostName, message, sock, nullptr, errMsg);
}

namespace vak {

int BdAsk(const char *hostName, const char *request, char **reply, char **errMsg,
          struct sockaddr_in *peer) {
  if (reply == nullptr) return SendToDaemon(hostName, request, nullptr, peer, errMsg);
  int sock = -1;
  int status = SendToDaemon(hostName, request, &sock, peer, errMsg);
  if (status != VAK_OK) return status;
  orv::UniqueFd connection(sock);
  if (!vakBdReadReply(sock, reply)) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  return VAK_OK;
}

int BdCheck(const char *hostName, char **errMsg) {
  return SendRequest(hostName, "Null", errMsg);
}

int BdTerminate(const char *hostName, char **errMsg) {
  return SendRequest(hostName, "Die", errMsg);
}

int BdStartLog(const char *hostName, const char *logFileName, char **errMsg) {
  char request[kStartLogRequestSize];
  int status =
      vak::StartLogRequest(logFileName, request, sizeof request, kLogNameTooLongFormat, errMsg);
  if (status != VAK_OK) return status;
  return SendRequest(hostName, request, errMsg);
}

int BdStopLog(const char *hostName, char **errMsg) {
  return SendRequest(hostName, "StopLog", errMsg);
}

int BdSetDebugMode(const char *hostName, char **errMsg) {
  return SendRequest(hostName, "Debug", errMsg);
}

int BdReportLog(const char *hostName, char **logInfo, char **errMsg) {
  vakBdInit();
  char *text = nullptr;
  int status = BdAsk(hostName, "ReportLog", &text, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> reply(text);
  return vak::TakeLogInfo(protocol::kBoolDaemon, reply.get(), kReportLogErrors, logInfo, errMsg);
}

}  // namespace vak
