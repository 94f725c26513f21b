// bd_client.h - the Boolean Daemon client: port configuration, connection and greeting, and the one
// way to put a question to a host's vakbd (vak::BdAsk). The messages themselves are in the
// protocol's bool_daemon.h.
#ifndef VAK_BD_CLIENT_H_
#define VAK_BD_CLIENT_H_

#include <stdint.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "bool_daemon.h"

extern int32_t vakBdPort;

void vakBdInit(void);
void vakBdDoEnv(void);
void vakBdProcessPortNum(const char *text);
uint16_t vakBdGetServerPort(int selector);
int connectWithTimeout(int sock, const struct sockaddr *addr, socklen_t addrLen, int seconds);
// Reads one daemon message as vakNetRead does (6 seconds for it to begin, 6 more for the rest). On
// failure errno names the cause even where the framing layer sets none: ETIMEDOUT when nothing
// came or the message did not end in time, ECONNRESET when the daemon closed before a whole
// message arrived.
int vakBdReadReply(int sock, char **reply);
int vakBdGetVersionMsg(int sock, char **errMsg);
int vakBdOpenDaemonSocket(const char *hostName, int *sock, char **errMsg);
// sock may be NULL: the connection is then closed after the message is written.
int vakBdSendToDaemon(const char *hostName, const char *message, int *sock, char **errMsg);

namespace vak {

// One question to hostName's vakbd: connect (within VAK_VAKBD_CONNECT_TIMEOUT when set), check
// the greeting, send the request and, when reply is not NULL, read the one reply (a new text:
// free it). A reply that cannot be read is a VAK_SYS_ERROR naming why. When peer is not NULL it
// gets the daemon's address and port once the host name has been looked up (sin_family stays
// as the caller set it until then).
int BdAsk(const char *hostName, const char *request, char **reply, char **errMsg,
          struct sockaddr_in *peer = nullptr);

// The control requests of vak.h (vakDaemonCheck and the others): one request each to hostName's
// vakbd; ReportLog hands the daemon's log information to *logInfo (a new text).
int BdCheck(const char *hostName, char **errMsg);
int BdTerminate(const char *hostName, char **errMsg);
int BdStartLog(const char *hostName, const char *logFileName, char **errMsg);
int BdStopLog(const char *hostName, char **errMsg);
int BdSetDebugMode(const char *hostName, char **errMsg);
int BdReportLog(const char *hostName, char **logInfo, char **errMsg);

}  // namespace vak

#endif  // VAK_BD_CLIENT_H_
