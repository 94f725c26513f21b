// STUB: replaced by the sweep work.
#include "sweep.h"

#include "vak.h"

int numberOfLockStakesFound = 0;

extern "C" int vakSweepDirHier(const char *, unsigned int, ProcessIdentity *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakListEditLocksInDirHier(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakListEditLocksOfProcessInDirHier(const char *, ProcessIdentity *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseEditLocksInDirHier(const char *, unsigned int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseEditLocksOfProcessInDirHier(const char *, ProcessIdentity *, unsigned int,
                                                     char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseOneEditLock(const char *, unsigned int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakListProcessesHavingEditLocksInDirHier(const char *, char **) {
  return VAK_NOT_OK;
}
