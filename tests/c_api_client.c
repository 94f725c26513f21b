/*
 * c_api_client.c - exercises the public lock API from C, as an application written in C would.
 * Compiled as C99 with -pedantic. Usage: c_api_client DIR. Prints one line per failed check and
 * exits with the number of failures.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orv.h"
#include "vak.h"

static int failures = 0;

static void check(int ok, const char *what, char *msg) {
  if (!ok) {
    printf("FAILED: %s (%s)\n", what, msg != NULL ? msg : "no message");
    ++failures;
  }
  if (msg != NULL && msg != vakGetOutOfMemMsg()) free(msg);
}

int main(int argc, char **argv) {
  char path[4096], stake[4200];
  char *msg = NULL;
  LockStake *chain = NULL;
  LockStakeInfo *info = NULL;
  FILE *f;
  int status;

  if (argc != 2) return 100;
  orvInit(&argc, argv);
  snprintf(path, sizeof path, "%s/report.txt", argv[1]);
  snprintf(stake, sizeof stake, "%s%s", path, VAK_LOCK_STAKE_FILE_SUFFIX);
  f = fopen(path, "w");
  if (f == NULL) return 101;
  fputs("draft\n", f);

  status = vakGetEditLock(path, "editing from C", &msg);
  check(status == VAK_OK, "get", msg);
  msg = NULL;
  check(vakIsLockStakeFileName(stake) == 1, "suffix test", NULL);

  status = vakConfirmEditLock(path, &msg);
  check(status == VAK_OK, "confirm", msg);
  msg = NULL;

  status = vakGetEditLockDetails(path, &chain, &msg);
  check(status == VAK_OK && chain != NULL && chain->next == NULL, "details", msg);
  msg = NULL;
  if (chain != NULL) {
    check(strcmp(chain->trailer->reason, "editing from C") == 0, "reason recorded", NULL);
    check(strcmp(chain->trailer->filePathUsed, path) == 0, "path recorded", NULL);
    check(strcmp(chain->header->processId->hostName, vakInitInfo->processId->hostName) == 0,
          "owner host", NULL);
  }
  vakFreeLockStake(chain);

  status = vakLockStakeDetails(path, &info, &msg);
  check(status == VAK_OK && info != NULL && strcmp(info->lockStakeFilePath, stake) == 0,
        "lock-stake info", msg);
  msg = NULL;
  vakFreeLockStakeInfo(info);

  status = vakGetWriteLock_FILE(f, &msg);
  check(status == VAK_OK, "record write lock", msg);
  msg = NULL;
  status = vakReleaseWriteLock_FILE(f, &msg);
  check(status == VAK_OK, "record lock release", msg);
  msg = NULL;
  status = vakGetReadLock_fd(-1, &msg);
  check(status == VAK_INVALID_FILE_HANDLE && msg != NULL, "invalid handle", NULL);
  check(1, "", msg); /* frees the message */
  msg = NULL;
  fclose(f);

  status = vakReleaseEditLock(path, &msg);
  check(status == VAK_OK, "release", msg);
  msg = NULL;
  f = fopen(stake, "r");
  check(f == NULL, "lock-stake file gone after release", NULL);
  if (f != NULL) fclose(f);

  status = vakConfirmEditLock(path, &msg);
  check(status == VAK_FILE_NOT_LOCKED, "confirm after release", msg);
  return failures;
}
