// STUB: replaced by the Boolean Daemon client work.
#include "bd_client.h"

#include "vak.h"

int32_t vakBdPort = kVakBdDefaultPort;

void vakBdInit(void) {}
void vakBdDoEnv(void) {}
void vakBdProcessPortNum(const char *) {}
uint16_t vakBdGetServerPort(int) {
  return static_cast<uint16_t>(vakBdPort);
}
const char *vakBdParseMsg(const char *, int *) {
  return nullptr;
}
int connectWithTimeout(int, const struct sockaddr *, socklen_t, int) {
  return -1;
}
int vakBdGetVersionMsg(int, char **) {
  return VAK_NOT_OK;
}
int vakBdOpenDaemonSocket(const char *, int *, char **) {
  return VAK_NOT_OK;
}
int vakBdSendToDaemon(const char *, const char *, int *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonCheck(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonTerminate(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonStartLog(const char *, const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonStopLog(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonReportLog(const char *, char **, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakDaemonSetDebugMode(const char *, char **) {
  return VAK_NOT_OK;
}
