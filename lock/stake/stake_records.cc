// stake_records.cc - freeing the in-memory lock-stake records, each with everything it owns.
#include "stake/stake_records.h"

#include <stdlib.h>

namespace vak {

void FreeProcId(ProcessIdentity *processId) {
  if (processId == nullptr) return;
  free(processId->hostName);
  free(processId);
}

void FreeHeader(LockStakeHeader *header) {
  if (header == nullptr) return;
  free(header->lockStakeVersion);
  free(header->loginName);
  FreeProcId(header->processId);
  free(header->creationTimeReadable);
  free(header->appIdentifier);
  free(header->osType);
  free(header);
}

void FreeTrailer(LockStakeTrailer *trailer) {
  if (trailer == nullptr) return;
  free(trailer->reason);
  free(trailer->filePathUsed);
  free(trailer->timeLocked);
  free(trailer);
}

void FreeLockStake(LockStake *chain) {
  // Iterative, so that a long history of steals cannot exhaust the stack.
  while (chain != nullptr) {
    LockStake *next = chain->next;
    FreeHeader(chain->header);
    FreeTrailer(chain->trailer);
    free(chain);
    chain = next;
  }
}

void FreeLockStakeInfo(LockStakeInfo *info) {
  if (info == nullptr) return;
  free(info->lockStakeFilePath);
  FreeLockStake(info->lockStake);
  free(info);
}

}  // namespace vak
