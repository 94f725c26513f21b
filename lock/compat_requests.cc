// STUB: replaced by the Compatibility Daemon client work.
#include "compat_requests.h"

#include "vak.h"

const char *vakCompatDParseMsg(const char *, int *) {
  return nullptr;
}
int vakCompatDWriteLock(const char *, const char *, unsigned long, char **) {
  return VAK_NOT_OK;
}
int vakCompatDUnLock(const char *, unsigned long, char **) {
  return VAK_NOT_OK;
}
int vakCompatDLockResponse(int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakCompatDTerminate(char **) {
  return VAK_NOT_OK;
}
extern "C" int vakCompatDStartLog(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakCompatDStopLog(char **) {
  return VAK_NOT_OK;
}
extern "C" int vakCompatDReportLog(char **, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakCompatDSetDebugMode(char **) {
  return VAK_NOT_OK;
}
