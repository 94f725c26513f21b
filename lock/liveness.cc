// liveness.cc - whether the owner of a lock is alive: probed locally on the own host, asked of the
// Boolean Daemon of the owner's host otherwise, unless the user said not to query that host.
#include "liveness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>

#include "bd_client.h"
#include "posix_io.h"
#include "process_start.h"
#include "status.h"
#include "vak.h"

namespace {

const char kBadReplyMsg[] =
    "vak: Could not recognize response from Boolean Daemon to ProcAlive message.";
const char kNoOwnerMsg[] = "vak: No process identity or result given to the liveness check.";

// A don't-query list that is empty means: query no remote host at all. *entry gets the entry
// that matched ("" for the empty list).
bool MustNotQuery(const char *hostName, const char **entry) {
  char **hosts = vakEnv->dontQueryHosts;
  if (hosts == nullptr) return false;
  if (hosts[0] == nullptr) {
    *entry = "";
    return true;
  }
  for (char **word = hosts; *word != nullptr; ++word) {
    if (vakStrCaseStr(hostName, *word) != nullptr) {
      *entry = *word;
      return true;
    }
  }
  return false;
}

// kill(pid, 0), with the errno that decided (0 when the process was found).
int Probe(uint64_t processId, int *probeErrno) {
  // Identifier 0 would probe the own process group, and one beyond pid_t would turn negative and
  // probe a group or every process; no process can carry such an identifier, so it is not alive.
  if (processId == 0 || processId > static_cast<uint64_t>(INT32_MAX)) {
    *probeErrno = ESRCH;
    return VAK_PROC_NOT_ALIVE;
  }
  *probeErrno = kill(static_cast<pid_t>(processId), 0) == 0 ? 0 : errno;
  if (*probeErrno == 0 || *probeErrno == EPERM) return VAK_PROC_ALIVE;
  return *probeErrno == ESRCH ? VAK_PROC_NOT_ALIVE : VAK_PROC_INDETERMINATE;
}

// A copy for an evidence record; NULL when memory is short, which only thins the evidence.
char *Copy(const char *text, size_t length) {
  char *copy = static_cast<char *>(malloc(length + 1));
  if (copy != nullptr) {
    memcpy(copy, text, length);
    copy[length] = '\0';
  }
  return copy;
}

// The daemon's address and the reply's first word, into the evidence.
void RecordExchange(const struct sockaddr_in &peer, const char *reply, int64_t startMs,
                    VakLivenessEvidence *evidence) {
  evidence->elapsedMs = orv::MonotonicMs() - startMs;
  if (peer.sin_family == AF_INET) {
    char dotted[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted) != nullptr) {
      evidence->address = Copy(dotted, strlen(dotted));
    }
    evidence->port = ntohs(peer.sin_port);
  }
  if (reply != nullptr) evidence->answer = Copy(reply, strcspn(reply, " \t\r\n"));
}

int AskDaemon(const ProcessIdentity *owner, int *procStatus, VakLivenessEvidence *evidence,
              char **errMsg) {
  vakBdInit();
  char request[protocol::kProcAliveRequestSize];
  protocol::FormatProcAlive(owner->processId, owner->creationTime, request, sizeof request);
  char *text = nullptr;
  struct sockaddr_in peer = {};
  peer.sin_family = AF_UNSPEC;
  const int64_t startMs = orv::MonotonicMs();
  int status = vak::BdAsk(owner->hostName, request, &text, errMsg, &peer);
  orv::MallocPtr<char> reply(text);
  if (evidence != nullptr) RecordExchange(peer, reply.get(), startMs, evidence);
  if (status != VAK_OK) return status;
  int kind = -1;
  if (vakBdParseMsg(reply.get(), &kind) == nullptr) kind = -1;
  // The protocol has no reply meaning "undecided" (kind 10 has no keyword) and none is added: a
  // daemon that can see its own processes can always answer. So every reply other than these two
  // is unrecognised, and the process status is left alone.
  switch (kind) {
    case kBdAlive:
      *procStatus = VAK_PROC_ALIVE;
      return VAK_OK;
    case kBdNotAlive:
      *procStatus = VAK_PROC_NOT_ALIVE;
      return VAK_OK;
    default:
      return vak::AllocErrorMsg(VAK_BOOLEAN_DAEMON_BAD_RESPONSE, kBadReplyMsg, errMsg);
  }
}

}  // namespace

namespace vak {

int IsProcessAlive(const ProcessIdentity *owner, int *procStatus, char **errMsg) {
  return DecideLiveness(owner, procStatus, nullptr, errMsg);
}

int DecideLiveness(const ProcessIdentity *owner, int *procStatus, VakLivenessEvidence *evidence,
                   char **errMsg) {
  if (owner == nullptr || procStatus == nullptr) {
    return vak::AllocErrorMsg(VAK_NOT_OK, kNoOwnerMsg, errMsg);
  }
  // Asked from inside an operation, which initialised the library before it began.
  if (vakInitInfo == nullptr || vakInitInfo->processId == nullptr || vakEnv == nullptr) {
    return vak::AllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
  }
  // Exact spelling decides: another spelling of the own host is asked about like any other host.
  if (owner->hostName != nullptr &&
      strcmp(owner->hostName, vakInitInfo->processId->hostName) == 0) {
    int probeErrno = 0;
    *procStatus = Probe(owner->processId, &probeErrno);
    if (evidence != nullptr) {
      evidence->method = VAK_LIVENESS_LOCAL_PROBE;
      evidence->probeErrno = probeErrno;
    }
    return VAK_OK;
  }
  const char *entry = nullptr;
  if (MustNotQuery(owner->hostName, &entry)) {
    *procStatus = VAK_PROC_INDETERMINATE;
    if (evidence != nullptr) {
      evidence->method = VAK_LIVENESS_NOT_QUERIED;
      evidence->dontQueryEntry = Copy(entry, strlen(entry));
    }
    return VAK_OK;
  }
  if (evidence != nullptr) evidence->method = VAK_LIVENESS_DAEMON_ASKED;
  return AskDaemon(owner, procStatus, evidence, errMsg);
}

int ExplainProcessLiveness(const ProcessIdentity *owner, VakLivenessEvidence **evidence,
                           char **errMsg) {
  if (owner == nullptr || evidence == nullptr) {
    return vak::AllocErrorMsg(VAK_NOT_OK, kNoOwnerMsg, errMsg);
  }
  VakLivenessEvidence *record =
      static_cast<VakLivenessEvidence *>(calloc(1, sizeof(VakLivenessEvidence)));
  if (record == nullptr) return vak::OutOfMemory(errMsg);
  record->method = VAK_LIVENESS_NOT_PUT;
  record->procStatus = VAK_PROC_INDETERMINATE;
  record->processStartTime = -1;
  char *message = nullptr;
  record->status = DecideLiveness(owner, &record->procStatus, record, &message);
  // The shared out-of-memory text must never reach a record that is freed whole.
  record->message = message == outOfMemMsg ? Copy(message, strlen(message)) : message;
  if (record->method == VAK_LIVENESS_LOCAL_PROBE && record->probeErrno != ESRCH) {
    int64_t start = 0;
    if (ProcessStartTime(static_cast<pid_t>(owner->processId), &start)) {
      record->processStartTime = start;
    }
  }
  *evidence = record;
  return VAK_OK;
}

void FreeLivenessEvidence(VakLivenessEvidence *evidence) {
  if (evidence == nullptr) return;
  free(evidence->message);
  free(evidence->dontQueryEntry);
  free(evidence->address);
  free(evidence->answer);
  free(evidence);
}

}  // namespace vak

// The creation time plays no part: a reused identifier makes a dead owner look alive.
int vakGetProcessStatus(uint64_t processId, int64_t) {
  int probeErrno = 0;
  return Probe(processId, &probeErrno);
}

const char *vakStrCaseStr(const char *text, const char *fragment) {
  if (text == nullptr || fragment == nullptr || *text == '\0') return nullptr;
  size_t length = strlen(fragment);
  for (const char *p = text; *p != '\0'; ++p) {
    if (strncasecmp(p, fragment, length) == 0) return p;
  }
  return nullptr;
}
