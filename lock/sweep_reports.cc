// sweep_reports.cc - the report operations that frame a sweep of a directory hierarchy with
// BEGIN, END and SUMMARY lines on standard output, and the release of one file's lock.
#include <stdio.h>

#include "engine.h"
#include "sweep.h"
#include "sweep_stake.h"
#include "vak.h"

namespace {

// Which SUMMARY texts a report ends with: by frame, and for a report by owner, by how much of the
// owner the texts name.
enum Summary {
  kListAll,
  kListHost,
  kListProcessId,
  kListProcess,
  kReleaseAll,
  kReleaseProcess,
  kSummaryKinds
};

// The SUMMARY texts for none, one and any other number of Edit Locks. "$N" stands for the number
// and "$O" for the owner; the irregular wording and spacing are part of the report, which scripts
// read.
const char *const kSummaries[kSummaryKinds][3] = {
    {"No Edit Locks were found", "Only one Edit Lock was found",
     "A total of $N Edit Locks were found"},
    {"No Edit Locks from the host $O were found", "Only one Edit Lock from the host $O was found",
     "A total of $N Edit Locks from the host $O were found"},
    {"No Edit Locks belonging to the processId $O were found",
     "Only one Edit Lock belonging to the processId $O were found",
     "A total of $N Edit Locks, belonging to the processId $O were found"},
    {"No Edit Locks, belonging to the process $O,  were found",
     "Only one Edit Lock, belonging to the process $O, was found",
     "A total of $N Edit Locks, belonging to the process $O, were found"},
    {"No Edit Locks were released", "Only one Edit Lock was released",
     "A total of $N Edit Locks were released"},
    {"No Edit Locks belonging to the process $O,  were released",
     "Only one Edit Lock, belonging to the process $O, was released",
     "A total of $N Edit Locks, belonging to the process $O, were released"},
};

Summary SummaryOf(vak::Report report, vak::Owners owners, const ProcessIdentity *filter) {
  if (report == vak::Report::kRelease) {
    return owners == vak::Owners::kAll ? kReleaseAll : kReleaseProcess;
  }
  if (owners == vak::Owners::kAll) return kListAll;
  if (filter == nullptr || filter->processId == 0) return kListHost;
  return filter->creationTime == 0 ? kListProcessId : kListProcess;
}

// Prints the owner as the SUMMARY names it. A missing filter reads as an empty host and zeros; the
// creation time is shown by its low 32 bits, as a signed decimal.
void PrintOwner(Summary summary, const ProcessIdentity *filter) {
  const char *host = filter != nullptr && filter->hostName != nullptr ? filter->hostName : "";
  const unsigned long pid = filter != nullptr ? (unsigned long)filter->processId : 0;
  const int time = filter != nullptr ? (int)filter->creationTime : 0;
  if (summary == kListHost) {
    printf("\"%s\"", host);
  } else if (summary == kListProcessId) {
    printf("\"%lu\" from host \"%s\"", pid, host);
  } else {
    printf("\"%s %lu %d\"", host, pid, time);
  }
}

void PrintSummary(Summary summary, const ProcessIdentity *filter, int count, const char *dir) {
  fputs("SUMMARY: ", stdout);
  for (const char *p = kSummaries[summary][count == 0 ? 0 : count == 1 ? 1 : 2]; *p != '\0'; ++p) {
    if (p[0] == '$' && p[1] == 'N') {
      printf("%d", count);
      ++p;
    } else if (p[0] == '$' && p[1] == 'O') {
      PrintOwner(summary, filter);
      ++p;
    } else {
      putchar(*p);
    }
  }
  printf(" in the directory hierarchy: %s\n", dir);
}

}  // namespace

namespace vak {

int SweepReport(Report report, const char *dirPath, unsigned int action, Owners owners,
                ProcessIdentity *filter, char **errMsg) {
  const bool list = report == Report::kList;
  numberOfLockStakesFound = 0;
  fputs(list ? "BEGIN: Edit Locks List\n" : "BEGIN: Release Edit Locks.\n", stdout);
  int status =
      SweepHierarchy(dirPath, action, owners == Owners::kAll ? nullptr : filter, errMsg);
  fputs(list ? "END: Edit Locks List\n\n" : "END: Release Edit Locks.\n", stdout);
  PrintSummary(SummaryOf(report, owners, filter), filter, numberOfLockStakesFound,
               dirPath != nullptr ? dirPath : "");
  fflush(stdout);
  return status;
}

int ReleaseOneReport(const char *filePath, unsigned int action, char **errMsg) {
  numberOfLockStakesFound = 0;
  fputs("BEGIN: Release One Edit Lock.\n", stdout);
  int status = vakEditLockControlRetry(filePath, nullptr, action, 0, nullptr, nullptr, errMsg);
  if (status == VAK_OK) printf(" %s\n", filePath);
  fputs("END: Release One Edit Lock.\n", stdout);
  fputs(status == VAK_OK ? "SUMMARY: Successfully released the Edit Lock\n"
                         : "SUMMARY: Failed to release the Edit Lock\n",
        stdout);
  fflush(stdout);
  return status;
}

}  // namespace vak
