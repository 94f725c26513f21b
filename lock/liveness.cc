// liveness.cc - whether the owner of a lock is alive: probed locally on the own host, asked of the
// Boolean Daemon of the owner's host otherwise, unless the user said not to query that host.
#include "liveness.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>

#include "bd_client.h"
#include "posix_io.h"
#include "status.h"
#include "vak.h"

namespace {

const char kBadReplyMsg[] =
    "vak: Could not recognize response from Boolean Daemon to ProcAlive message.";
const char kNoOwnerMsg[] = "vak: No process identity or result given to the liveness check.";

// A don't-query list that is empty means: query no remote host at all.
bool MustNotQuery(const char *hostName) {
  char **hosts = vakEnv->dontQueryHosts;
  if (hosts == nullptr) return false;
  if (hosts[0] == nullptr) return true;
  for (char **entry = hosts; *entry != nullptr; ++entry) {
    if (vakStrCaseStr(hostName, *entry) != nullptr) return true;
  }
  return false;
}

int AskDaemon(const ProcessIdentity *owner, int *procStatus, char **errMsg) {
  vakBdInit();
  char request[protocol::kProcAliveRequestSize];
  protocol::FormatProcAlive(owner->processId, owner->creationTime, request, sizeof request);
  char *text = nullptr;
  int status = vak::BdAsk(owner->hostName, request, &text, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> reply(text);
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
    *procStatus = vakGetProcessStatus(owner->processId, owner->creationTime);
    return VAK_OK;
  }
  if (MustNotQuery(owner->hostName)) {
    *procStatus = VAK_PROC_INDETERMINATE;
    return VAK_OK;
  }
  return AskDaemon(owner, procStatus, errMsg);
}

}  // namespace vak

// The creation time plays no part: a reused identifier makes a dead owner look alive.
int vakGetProcessStatus(uint64_t processId, int64_t) {
  // Identifier 0 would probe the own process group, and one beyond pid_t would turn negative and
  // probe a group or every process; no process can carry such an identifier, so it is not alive.
  if (processId == 0 || processId > static_cast<uint64_t>(INT32_MAX)) return VAK_PROC_NOT_ALIVE;
  if (kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM) return VAK_PROC_ALIVE;
  return errno == ESRCH ? VAK_PROC_NOT_ALIVE : VAK_PROC_INDETERMINATE;
}

const char *vakStrCaseStr(const char *text, const char *fragment) {
  if (text == nullptr || fragment == nullptr || *text == '\0') return nullptr;
  size_t length = strlen(fragment);
  for (const char *p = text; *p != '\0'; ++p) {
    if (strncasecmp(p, fragment, length) == 0) return p;
  }
  return nullptr;
}
