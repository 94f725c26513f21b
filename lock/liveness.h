// liveness.h - whether the owner of a lock is alive (vakIsProcessAlive is in vak.h), and the
// evidence of how that was decided (vakExplainProcessLiveness).
#ifndef VAK_LIVENESS_H_
#define VAK_LIVENESS_H_

#include <stdint.h>

#include "vak.h"

namespace vak {
// vakIsProcessAlive for callers inside an operation: the library is initialised already (the
// public entry point initialises it first), so only the process identity and the environment that
// initialisation built (vakInitInfo, vakEnv) are read.
int IsProcessAlive(const ProcessIdentity *owner, int *procStatus, char **errMsg);

// IsProcessAlive, recording into *evidence (when not NULL) how the verdict was reached: its
// method, the probe's errno, the don't-query entry that matched, or the daemon asked, its answer
// and the time taken. IsProcessAlive is this with no evidence, so the two cannot disagree.
int DecideLiveness(const ProcessIdentity *owner, int *procStatus, VakLivenessEvidence *evidence,
                   char **errMsg);

// vakExplainProcessLiveness and vakFreeLivenessEvidence, after initialisation.
int ExplainProcessLiveness(const ProcessIdentity *owner, VakLivenessEvidence **evidence,
                           char **errMsg);
void FreeLivenessEvidence(VakLivenessEvidence *evidence);
}  // namespace vak

// The local probe: kill(pid, 0). The creation time plays no part.
int vakGetProcessStatus(uint64_t processId, int64_t creationTime);
// Case-insensitive substring search; NULL if either text is NULL or text is empty.
const char *vakStrCaseStr(const char *text, const char *fragment);

#endif  // VAK_LIVENESS_H_
