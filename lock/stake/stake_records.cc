// stake_records.cc - freeing the in-memory lock-stake records, each with everything it owns.
#include <stdlib.h>

#include "vak.h"

extern "C" void vakFreeProcId(ProcessIdentity *processId) {
  if (processId == nullptr) return;
  free(processId->hostName);
  free(processId);
}

extern "C" void vakFreeHeader(LockStakeHeader *header) {
  if (header == nullptr) return;
  free(header->lockStakeVersion);
  free(header->loginName);
  vakFreeProcId(header->processId);
  free(header->creationTimeReadable);
  free(header->appIdentifier);
  free(header->osType);
  free(header);
}

extern "C" void vakFreeTrailer(LockStakeTrailer *trailer) {
  if (trailer == nullptr) return;
  free(trailer->reason);
  free(trailer->filePathUsed);
  free(trailer->timeLocked);
  free(trailer);
}

extern "C" void vakFreeLockStake(LockStake *chain) {
  // Iterative, so that a long history of steals cannot exhaust the stack.
  while (chain != nullptr) {
    LockStake *next = chain->next;
    vakFreeHeader(chain->header);
    vakFreeTrailer(chain->trailer);
    free(chain);
    chain = next;
  }
}

extern "C" void vakFreeLockStakeInfo(LockStakeInfo *info) {
  if (info == nullptr) return;
  free(info->lockStakeFilePath);
  vakFreeLockStake(info->lockStake);
  free(info);
}
