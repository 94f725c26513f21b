// STUB: replaced by the side-file work.
#include "side_file.h"

int vakWriteEditLock(FILE *, LockStake *, const char *, const char *, char **) {
  return VAK_NOT_OK;
}
int vakOpenSideFileForWrite(const char *, FILE **, char **) {
  return VAK_NOT_OK;
}
int vakGetSideFile(const char *, const char *, const char *, LockStake *, char **, char **) {
  return VAK_NOT_OK;
}
int vakMvSideFileToStakeFile(const char *, const char *, const char *, char **) {
  return VAK_NOT_OK;
}
