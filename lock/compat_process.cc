// STUB: replaced by the Compatibility Daemon client work.
#include "compat_process.h"

#include "vak.h"

DaemonConnection daemonConnection = {false, -1, -1, -1};

int vakCompatDInit(char **) {
  return VAK_NOT_OK;
}
int vakiInitDaemon(DaemonConnection *, char **) {
  return VAK_NOT_OK;
}
int vakiCompatDStart(DaemonConnection *, char **) {
  return VAK_NOT_OK;
}
int vakiCompatDFound(const char *, char **) {
  return VAK_NOT_OK;
}
int vakiCompatDGetVersionMsg(char **) {
  return VAK_NOT_OK;
}
int vakCompatDSendToDaemon(const char *, char **) {
  return VAK_NOT_OK;
}
int vakiCompatDWriteToDaemon(const char *, char **) {
  return VAK_NOT_OK;
}
int vakCompatDReadFromDaemon(char **, char **) {
  return VAK_NOT_OK;
}
bool vakiCompatDWait(DaemonConnection *) {
  return false;
}
bool vakiCompatDChildDied(DaemonConnection *, int) {
  return true;
}
void vakiCompatDClean(DaemonConnection *) {}
int vakiCompatDWaitForRead(DaemonConnection *) {
  return -1;
}
int vakiCompatDWaitForWrite(DaemonConnection *) {
  return -1;
}
