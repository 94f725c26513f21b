// evidence_text.cc - the evidence of a liveness verdict as lines for people.
#include "evidence_text.h"

#include <errno.h>
#include <inttypes.h>
#include <string.h>

#include "text_escape.h"

namespace {

// The lock's creation time is written when the owner's library started, after the process
// itself; whole seconds on both sides allow a second of rounding.
constexpr int64_t kStartToleranceSeconds = 1;

std::string Number(int64_t value) {
  return std::to_string(value);
}

void AppendProbe(std::string *out, const ProcessIdentity &owner,
                 const VakLivenessEvidence &evidence) {
  *out += "  decided by: the local probe (signal 0 to process " + std::to_string(owner.processId) +
          "): ";
  *out += evidence.probeErrno == 0       ? "the process exists"
          : evidence.probeErrno == EPERM ? "the process exists (another user's)"
          : evidence.probeErrno == ESRCH ? "no such process"
                                         : strerror(evidence.probeErrno);
  *out += '\n';
  if (evidence.probeErrno == ESRCH) return;
  *out += "  start time: ";
  if (evidence.processStartTime < 0) {
    *out += "the process's start cannot be read; the lock was created at " +
            Number(owner.creationTime) + "\n";
    return;
  }
  *out += "the process started at " + Number(evidence.processStartTime) +
          ", the lock was created at " + Number(owner.creationTime) + ": ";
  // Written as a subtraction: a lock-stake file may carry any creation time.
  *out += evidence.processStartTime - kStartToleranceSeconds > owner.creationTime
              ? "the process is younger than the lock, so its identifier may have been reused "
                "(the probe does not weigh this)\n"
              : "consistent\n";
}

void AppendDaemon(std::string *out, const ProcessIdentity &owner,
                  const VakLivenessEvidence &evidence) {
  *out += "  decided by: asking the vakbd of ";
  AppendDisplay(out, owner.hostName);
  if (evidence.address == nullptr) {
    *out += ", whose address was not found\n";
    return;
  }
  *out += std::string(" at ") + evidence.address + " port " + std::to_string(evidence.port) +
          "\n  answer: ";
  if (evidence.answer != nullptr) {
    *out += '"';
    AppendDisplay(out, evidence.answer);
    *out += '"';
  } else {
    *out += "none";
  }
  *out += " after " + Number(evidence.elapsedMs) + " ms\n";
}

void AppendNotQueried(std::string *out, const ProcessIdentity &owner,
                      const VakLivenessEvidence &evidence) {
  *out += "  decided by: not asking ";
  AppendDisplay(out, owner.hostName);
  if (evidence.dontQueryEntry == nullptr || evidence.dontQueryEntry[0] == '\0') {
    *out += ": VAK_DONT_QUERY_REMOTE_HOSTS is empty, so no other host is asked\n";
    return;
  }
  *out += ": it matches \"";
  AppendDisplay(out, evidence.dontQueryEntry);
  *out += "\" of VAK_DONT_QUERY_REMOTE_HOSTS\n";
}

}  // namespace

void AppendEvidence(std::string *out, const ProcessIdentity &owner,
                    const VakLivenessEvidence &evidence) {
  switch (evidence.method) {
    case VAK_LIVENESS_LOCAL_PROBE:
      AppendProbe(out, owner, evidence);
      break;
    case VAK_LIVENESS_DAEMON_ASKED:
      AppendDaemon(out, owner, evidence);
      break;
    case VAK_LIVENESS_NOT_QUERIED:
      AppendNotQueried(out, owner, evidence);
      break;
    default:
      *out += "  decided by: nothing, the question could not be put\n";
      break;
  }
}
