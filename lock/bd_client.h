// bd_client.h - the Boolean Daemon client: port, message parser, connection and greeting.
#ifndef VAK_BD_CLIENT_H_
#define VAK_BD_CLIENT_H_

#include <stdint.h>
#include <sys/socket.h>

// Message kinds of the Boolean Daemon protocol (kind 10 has no keyword).
enum {
  kBdProcAlive = 0,
  kBdDie = 1,
  kBdStartLog = 2,
  kBdStopLog = 3,
  kBdReportLog = 4,
  kBdDebug = 5,
  kBdNull = 6,
  kBdVersion = 7,
  kBdAlive = 8,
  kBdNotAlive = 9,
  kBdIndeterminate = 10,
  kBdLogInfo = 11
};

enum { kVakBdDefaultPort = 16723, kVakBdProtocolVersion = 1 };

extern int32_t vakBdPort;

void vakBdInit(void);
void vakBdDoEnv(void);
void vakBdProcessPortNum(const char *text);
uint16_t vakBdGetServerPort(int selector);
// Position just after the keyword, or NULL (kind untouched).
const char *vakBdParseMsg(const char *message, int *kind);
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

#endif  // VAK_BD_CLIENT_H_
