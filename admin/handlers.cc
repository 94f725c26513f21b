// handlers.cc - the administrative commands: argument conversion, host-name expansion, the owner
// filter, and the report of a failed operation.
#include "handlers.h"

#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "run_flags.h"
#include "status_names.h"
#include "vak.h"

namespace {

enum class Purpose { kList, kRelease };

const char kNoMemoryMsg[] = "Couldn't allocate enough memory\n";

// The common failure rule: a failed operation's message on standard error and lastRtn cleared.
// The slot is released in every case; the shared out-of-memory text is never freed.
void ReportOutcome(int status, char *errMsg) {
  if (status != VAK_OK) {
    lastRtn = 0;
    fflush(stdout);  // the report printed so far comes before the message
    // An operation that fails without a message is named by its status rather than printing
    // an empty line.
    fprintf(stderr, "%s\n", errMsg != nullptr ? errMsg : getVakRetStatus(status));
  }
  if (errMsg != nullptr && errMsg != vakGetOutOfMemMsg()) free(errMsg);
}

// Lock stakes record the official host name, and the sweep compares names exactly, so a simple
// name is expanded unless force mode asks for old-style locks that record it unchanged. Returns a
// malloc'ed copy of the chosen name, or null when the command must stop (the reason is printed).
char *ChooseHostName(const char *typed, Purpose purpose) {
  const char *chosen = typed;
  if (!doForce && strchr(typed, '.') == nullptr) {
    struct hostent *entry = gethostbyname(typed);
    fflush(stdout);
    if (entry != nullptr && entry->h_name != nullptr) {
      chosen = entry->h_name;
      fprintf(stderr,
              purpose == Purpose::kList
                  ? "Assuming domain %s. Use force mode to list old style locks with simple host "
                    "names\n\n"
                  : "Assuming domain %s. Use force mode to remove old style locks with simple "
                    "host names\n\n",
              chosen);
    } else if (purpose == Purpose::kList) {
      fputs("Couldn't expand hostname to full domain. Using simple host name.\n\n", stderr);
    } else {
      fputs("Couldn't expand hostname to full domain. Check hostname.\n", stderr);
      return nullptr;
    }
  }
  // gethostbyname's result is overwritten by the next lookup: keep a copy.
  char *copy = strdup(chosen);
  if (copy == nullptr) {
    fflush(stdout);
    fputs(kNoMemoryMsg, stderr);
  }
  return copy;
}

// Builds the owner filter of aple/apre; null when the command must stop (the reason is printed,
// lastRtn is left alone). Numbers are read as strtoul/strtol read them: malformed text gives 0,
// which the sweep takes as "not given".
ProcessIdentity *MakeOwnerFilter(const char *host, const char *pid, const char *creationTime,
                                 Purpose purpose) {
  ProcessIdentity *filter = static_cast<ProcessIdentity *>(vakMalloc(sizeof(ProcessIdentity)));
  if (filter == nullptr) {
    fflush(stdout);
    fputs(kNoMemoryMsg, stderr);
    return nullptr;
  }
  filter->hostName = ChooseHostName(host, purpose);
  if (filter->hostName == nullptr) {
    vakFree(filter);
    return nullptr;
  }
  filter->processId = pid != nullptr ? (uint64_t)strtoull(pid, nullptr, 10) : 0;
  filter->creationTime = creationTime != nullptr ? (int64_t)strtoll(creationTime, nullptr, 10) : 0;
  return filter;
}

void FreeOwnerFilter(ProcessIdentity *filter) {
  vakFree(filter->hostName);
  vakFree(filter);
}

// Runs op with the owner filter made from the typed texts; nothing when there is no host or the
// filter cannot be made (MakeOwnerFilter has said why).
template <typename Op>
void WithOwnerFilter(const char *hostName, const char *pid, const char *creationTime,
                     Purpose purpose, Op op) {
  if (hostName == nullptr) return;
  ProcessIdentity *filter = MakeOwnerFilter(hostName, pid, creationTime, purpose);
  if (filter == nullptr) return;
  op(filter);
  FreeOwnerFilter(filter);
}

}  // namespace

void doSystem(const char *commandLine) {
  if (commandLine == nullptr) return;
  // The command writes to the same standard output: what this process printed goes first.
  fflush(stdout);
  fflush(stderr);
  // Only a shell that cannot be run counts as a failure; the command's own status is its affair.
  if (system(commandLine) == -1) lastRtn = 0;
}

void doAle(const char *dirHier) {
  char *errMsg = nullptr;
  int status = vakListEditLocksInDirHier(dirHier, &errMsg);
  ReportOutcome(status, errMsg);
}

void doAPle(const char *dirHier, const char *hostName, const char *pid, const char *creationTime) {
  WithOwnerFilter(hostName, pid, creationTime, Purpose::kList, [&](ProcessIdentity *filter) {
    char *errMsg = nullptr;
    ReportOutcome(vakListEditLocksOfProcessInDirHier(dirHier, filter, &errMsg), errMsg);
  });
}

void doAre(const char *dirHier) {
  char *errMsg = nullptr;
  int status = vakReleaseEditLocksInDirHier(dirHier, FORCE_RELEASE_LOCK, &errMsg);
  ReportOutcome(status, errMsg);
}

void doAPre(const char *dirHier, const char *hostName, const char *pid, const char *creationTime) {
  WithOwnerFilter(hostName, pid, creationTime, Purpose::kRelease, [&](ProcessIdentity *filter) {
    char *errMsg = nullptr;
    ReportOutcome(
        vakReleaseEditLocksOfProcessInDirHier(dirHier, filter, FORCE_RELEASE_LOCK, &errMsg),
        errMsg);
  });
}

void doAsre(const char *filePath) {
  char *errMsg = nullptr;
  int status = vakReleaseOneEditLock(filePath, FORCE_RELEASE_LOCK, &errMsg);
  ReportOutcome(status, errMsg);
}
