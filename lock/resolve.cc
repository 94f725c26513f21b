// STUB: replaced by the resolution work.
#include "resolve.h"

extern "C" const char VAK_LOCK_STAKE_FILE_SUFFIX[] = ".orvlck";
extern "C" const int VAK_LOCK_STAKE_FILE_SUFFIX_LENGTH = 7;
int chasingLink = 0;
int linksTraversed = 0;

extern "C" int vakIsLockStakeFileName(const char *) {
  return 0;
}
int vakGetLockStakeFile(const char *, int, char **, int *, int *, char **) {
  return VAK_NOT_OK;
}
