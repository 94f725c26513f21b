// STUB: replaced by the initialisation work.
#include "init.h"

#include <signal.h>
#include <stdlib.h>

#include "status.h"

LockStakeHeader *vakInitInfo = nullptr;
VakEnvironment *vakEnv = nullptr;
int vakDefaultLockingMode = 1;
int vakInited = 0;

extern "C" int vakInit(const char *, int, char **errMsg) {
  return vakAllocErrorMsg(VAK_NOT_OK, "not implemented", errMsg);
}
int vakInitInitStructures(const char *, char **) { return VAK_NOT_OK; }
int vakInitEnvStructures(int, char **) { return VAK_NOT_OK; }
int vakLaunchDaemon(const char *, char **) { return VAK_NOT_OK; }
int vakLaunchBooleanDaemon(char **) { return VAK_NOT_OK; }
extern "C" void vakAtExit(void) {}
extern "C" void *vakMalloc(size_t size) { return calloc(1, size); }
extern "C" void vakFree(void *ptr) { free(ptr); }
int vakFclose(FILE *stream, char **) { return fclose(stream) == 0 ? VAK_OK : VAK_SYS_ERROR; }
VakSignalHandler vakiSignal(int, VakSignalHandler) { return SIG_ERR; }
