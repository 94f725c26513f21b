// STUB: replaced by the engine work.
#include "engine.h"

extern "C" int vakEditLockControl(const char *, const char *, unsigned int, int, ProcessIdentity *,
                                  LockStake **, char **) {
  return VAK_NOT_OK;
}
int vakEditLockControlRetry(const char *, const char *, unsigned int, int, ProcessIdentity *,
                            LockStake **, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetEditLockDetails(const char *, LockStake **, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetEditLockDetailsEx(const char *, LockStake **, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakLockStakeDetails(const char *, LockStakeInfo **, char **) {
  return VAK_NOT_OK;
}
