// STUB: replaced by the lock-stake file work.
#include "stake_file.h"

int vakWriteLockStakeInfo(const char *, FILE *, const LockStake *, char **) {
  return VAK_NOT_OK;
}
int vakWriteHeaderInfo(FILE *, const LockStakeHeader *, char **) {
  return VAK_NOT_OK;
}
int vakWriteProcIdInfo(FILE *, const ProcessIdentity *, char **) {
  return VAK_NOT_OK;
}
int vakWriteTrailerInfo(FILE *, const LockStakeTrailer *, char **) {
  return VAK_NOT_OK;
}
int vakReadLockStakeInfo(FILE *, LockStake **chain, char **) {
  *chain = nullptr;
  return VAK_NOT_OK;
}
int vakReadHeaderInfo(char *, char **, LockStakeHeader **, char **) {
  return VAK_NOT_OK;
}
int vakReadProcIdInfo(char *, char **, ProcessIdentity **, char **) {
  return VAK_NOT_OK;
}
int vakReadTrailerInfo(char *, char **, LockStakeTrailer **, char **) {
  return VAK_NOT_OK;
}
int vakGetValue(char *, char **, const char *, char **, char **) {
  return VAK_NOT_OK;
}
extern "C" void vakFreeLockStake(LockStake *) {}
extern "C" void vakFreeHeader(LockStakeHeader *) {}
extern "C" void vakFreeProcId(ProcessIdentity *) {}
extern "C" void vakFreeTrailer(LockStakeTrailer *) {}
extern "C" void vakFreeLockStakeInfo(LockStakeInfo *) {}
