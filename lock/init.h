// init.h - once-only library initialisation, process identity, environment and process utilities.
#ifndef VAK_INIT_H_
#define VAK_INIT_H_

#include <stdio.h>

#include "vak.h"

// 1 after the first fully successful vakInit of the process.
extern int vakInited;

int vakInitInitStructures(const char *appName, char **errMsg);
int vakInitEnvStructures(int lockingMode, char **errMsg);
// Locates bin/<name> under the tools directory (else along PATH), runs it through the shell and
// maps its exit status (vakGetBdErrorMsg).
int vakLaunchDaemon(const char *name, char **errMsg);
int vakLaunchBooleanDaemon(char **errMsg);
extern "C" void vakAtExit(void);
int vakFclose(FILE *stream, char **errMsg);

typedef void (*VakSignalHandler)(int);
// sigaction with SA_RESTART (none for SIGALRM); returns the previous handler or SIG_ERR.
VakSignalHandler vakiSignal(int signum, VakSignalHandler handler);

#endif  // VAK_INIT_H_
