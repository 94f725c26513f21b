// liveness.h - whether the owner of a lock is alive (vakIsProcessAlive is in vak.h).
#ifndef VAK_LIVENESS_H_
#define VAK_LIVENESS_H_

#include <stdint.h>

#include "vak.h"

namespace vak {
// vakIsProcessAlive for callers inside an operation: the library is initialised already (the
// public entry point initialises it first), so only the process identity and the environment that
// initialisation built (vakInitInfo, vakEnv) are read.
int IsProcessAlive(const ProcessIdentity *owner, int *procStatus, char **errMsg);
}  // namespace vak

// The local probe: kill(pid, 0). The creation time plays no part.
int vakGetProcessStatus(uint64_t processId, int64_t creationTime);
// Case-insensitive substring search; NULL if either text is NULL or text is empty.
const char *vakStrCaseStr(const char *text, const char *fragment);

#endif  // VAK_LIVENESS_H_
