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
// maps its exit status (vak::BdErrorMsg).
int vakLaunchDaemon(const char *name, char **errMsg);
int vakLaunchBooleanDaemon(char **errMsg);
// The exit handler: runs the exit release in an initialised process (see SetExitRelease).
void vakAtExit(void);
int vakFclose(FILE *stream, char **errMsg);

typedef void (*VakSignalHandler)(int);

namespace vak {

// sigaction with SA_RESTART (none for SIGALRM); returns the previous handler or SIG_ERR.
VakSignalHandler Signal(int signum, VakSignalHandler handler);

// vakInit: the first successful call builds the identity and the environment, starts the local
// Boolean Daemon and registers the exit handler; later calls do nothing.
int Init(const char *appName, int lockingMode, char **errMsg);
// The initialisation that every operation needing the caller's identity makes on first use, as
// the library's own entry points call vakInit (no application name, the default mode).
int EnsureInitialised(char **errMsg);
// What the exit handler runs: the release of the locks the process still holds. Set by the layer
// that records them, which init must not know (it sits below that layer).
void SetExitRelease(void (*release)());

}  // namespace vak

#endif  // VAK_INIT_H_
