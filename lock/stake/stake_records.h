// stake_records.h - freeing the in-memory lock-stake records (vak::FreeLockStake and the others of
// vak.h hand over to these). Each frees its record with everything it owns and accepts NULL.
#ifndef VAK_STAKE_RECORDS_H_
#define VAK_STAKE_RECORDS_H_

#include "vak.h"

namespace vak {

void FreeProcId(ProcessIdentity *processId);
void FreeHeader(LockStakeHeader *header);
void FreeTrailer(LockStakeTrailer *trailer);
void FreeLockStake(LockStake *chain);
void FreeLockStakeInfo(LockStakeInfo *info);

}  // namespace vak

#endif  // VAK_STAKE_RECORDS_H_
