// sweep_reports.cc - the report operations that frame a sweep of a directory hierarchy with
// BEGIN, END and SUMMARY lines on standard output, and the release of one file's lock.
#include <stdio.h>

#include "engine.h"
#include "sweep.h"
#include "vak.h"

namespace {

// The SUMMARY line is chosen by the count: none, one, or any other value.
enum Count { kNone, kOne, kMany };
Count CountOf(int n) {
  return n == 0 ? kNone : n == 1 ? kOne : kMany;
}

}  // namespace

extern "C" int vakListEditLocksInDirHier(const char *dirPath, char **errMsg) {
  numberOfLockStakesFound = 0;
  fputs("BEGIN: Edit Locks List\n", stdout);
  int status = SweepHierarchy(dirPath, GET_DETAILS, nullptr, errMsg);
  fputs("END: Edit Locks List\n\n", stdout);
  const char *dir = dirPath != nullptr ? dirPath : "";
  switch (CountOf(numberOfLockStakesFound)) {
    case kNone:
      printf("SUMMARY: No Edit Locks were found in the directory hierarchy: %s\n", dir);
      break;
    case kOne:
      printf("SUMMARY: Only one Edit Lock was found in the directory hierarchy: %s\n", dir);
      break;
    case kMany:
      printf("SUMMARY: A total of %d Edit Locks were found in the directory hierarchy: %s\n",
             numberOfLockStakesFound, dir);
      break;
  }
  fflush(stdout);
  return status;
}

extern "C" int vakListEditLocksOfProcessInDirHier(const char *dirPath, ProcessIdentity *ownerFilter,
                                                  char **errMsg) {
  numberOfLockStakesFound = 0;
  fputs("BEGIN: Edit Locks List\n", stdout);
  int status = SweepHierarchy(dirPath, GET_DETAILS, ownerFilter, errMsg);
  fputs("END: Edit Locks List\n\n", stdout);
  const char *dir = dirPath != nullptr ? dirPath : "";
  const char *host =
      ownerFilter != nullptr && ownerFilter->hostName != nullptr ? ownerFilter->hostName : "";
  const unsigned long pid = ownerFilter != nullptr ? (unsigned long)ownerFilter->processId : 0;
  // The creation time is shown by its low 32 bits, as a signed decimal.
  const int time = ownerFilter != nullptr ? (int)ownerFilter->creationTime : 0;
  const int n = numberOfLockStakesFound;
  if (pid == 0) {
    switch (CountOf(n)) {
      case kNone:
        printf(
            "SUMMARY: No Edit Locks from the host \"%s\" were found in the directory "
            "hierarchy: %s\n",
            host, dir);
        break;
      case kOne:
        printf(
            "SUMMARY: Only one Edit Lock from the host \"%s\" was found in the directory "
            "hierarchy: %s\n",
            host, dir);
        break;
      case kMany:
        printf(
            "SUMMARY: A total of %d Edit Locks from the host \"%s\" were found in the "
            "directory hierarchy: %s\n",
            n, host, dir);
        break;
    }
  } else if (ownerFilter->creationTime == 0) {
    switch (CountOf(n)) {
      case kNone:
        printf(
            "SUMMARY: No Edit Locks belonging to the processId \"%lu\" from host \"%s\" were "
            "found in the directory hierarchy: %s\n",
            pid, host, dir);
        break;
      case kOne:
        printf(
            "SUMMARY: Only one Edit Lock belonging to the processId \"%lu\" from host \"%s\" "
            "were found in the directory hierarchy: %s\n",
            pid, host, dir);
        break;
      case kMany:
        printf(
            "SUMMARY: A total of %d Edit Locks, belonging to the processId \"%lu\" from host "
            "\"%s\" were found in the directory hierarchy: %s\n",
            n, pid, host, dir);
        break;
    }
  } else {
    switch (CountOf(n)) {
      case kNone:
        printf(
            "SUMMARY: No Edit Locks, belonging to the process \"%s %lu %d\",  were found in "
            "the directory hierarchy: %s\n",
            host, pid, time, dir);
        break;
      case kOne:
        printf(
            "SUMMARY: Only one Edit Lock, belonging to the process \"%s %lu %d\", was found in "
            "the directory hierarchy: %s\n",
            host, pid, time, dir);
        break;
      case kMany:
        printf(
            "SUMMARY: A total of %d Edit Locks, belonging to the process \"%s %lu %d\", were "
            "found in the directory hierarchy: %s\n",
            n, host, pid, time, dir);
        break;
    }
  }
  fflush(stdout);
  return status;
}

extern "C" int vakReleaseEditLocksInDirHier(const char *dirPath, unsigned int action,
                                            char **errMsg) {
  numberOfLockStakesFound = 0;
  fputs("BEGIN: Release Edit Locks.\n", stdout);
  int status = SweepHierarchy(dirPath, action, nullptr, errMsg);
  fputs("END: Release Edit Locks.\n", stdout);
  const char *dir = dirPath != nullptr ? dirPath : "";
  switch (CountOf(numberOfLockStakesFound)) {
    case kNone:
      printf("SUMMARY: No Edit Locks were released in the directory hierarchy: %s\n", dir);
      break;
    case kOne:
      printf("SUMMARY: Only one Edit Lock was released in the directory hierarchy: %s\n", dir);
      break;
    case kMany:
      printf("SUMMARY: A total of %d Edit Locks were released in the directory hierarchy: %s\n",
             numberOfLockStakesFound, dir);
      break;
  }
  fflush(stdout);
  return status;
}

extern "C" int vakReleaseEditLocksOfProcessInDirHier(const char *dirPath,
                                                     ProcessIdentity *ownerFilter,
                                                     unsigned int action, char **errMsg) {
  numberOfLockStakesFound = 0;
  fputs("BEGIN: Release Edit Locks.\n", stdout);
  int status = SweepHierarchy(dirPath, action, ownerFilter, errMsg);
  fputs("END: Release Edit Locks.\n", stdout);
  const char *dir = dirPath != nullptr ? dirPath : "";
  const char *host =
      ownerFilter != nullptr && ownerFilter->hostName != nullptr ? ownerFilter->hostName : "";
  const unsigned long pid = ownerFilter != nullptr ? (unsigned long)ownerFilter->processId : 0;
  const int time = ownerFilter != nullptr ? (int)ownerFilter->creationTime : 0;
  const int n = numberOfLockStakesFound;
  switch (CountOf(n)) {
    case kNone:
      printf(
          "SUMMARY: No Edit Locks belonging to the process \"%s %lu %d\",  were released in "
          "the directory hierarchy: %s\n",
          host, pid, time, dir);
      break;
    case kOne:
      printf(
          "SUMMARY: Only one Edit Lock, belonging to the process \"%s %lu %d\", was released "
          "in the directory hierarchy: %s\n",
          host, pid, time, dir);
      break;
    case kMany:
      printf(
          "SUMMARY: A total of %d Edit Locks, belonging to the process \"%s %lu %d\", were "
          "released in the directory hierarchy: %s\n",
          n, host, pid, time, dir);
      break;
  }
  fflush(stdout);
  return status;
}

extern "C" int vakReleaseOneEditLock(const char *filePath, unsigned int action, char **errMsg) {
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
