// STUB: replaced by the initialisation work.
#include "init.h"

#include <signal.h>
#include <stdlib.h>

#include "status.h"

LockStakeHeader *vakInitInfo = nullptr;
VakEnvironment *vakEnv = nullptr;
int vakDefaultLockingMode = 1;
int vakInited = 0;

extern "C" int vakInit(const char *, int, char **) {
  return VAK_OK;
}
int vakInitInitStructures(const char *, char **) {
  return VAK_NOT_OK;
}
int vakInitEnvStructures(int, char **) {
  return VAK_NOT_OK;
}
int vakLaunchDaemon(const char *, char **) {
  return VAK_NOT_OK;
}
int vakLaunchBooleanDaemon(char **) {
  return VAK_NOT_OK;
}
extern "C" void vakAtExit(void) {}
