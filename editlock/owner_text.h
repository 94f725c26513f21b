// owner_text.h - one owner section of a lock as one line for people (the conflict message of
// hold, the text listing).
#ifndef EDITLOCK_OWNER_TEXT_H_
#define EDITLOCK_OWNER_TEXT_H_

#include <string>

#include "vak.h"

// The parts of an owner section, never NULL: a missing part reads as one of empty fields.
struct OwnerParts {
  const LockStakeHeader *header;
  const ProcessIdentity *process;
  const LockStakeTrailer *trailer;
};
OwnerParts PartsOf(const LockStake *owner);

// Appends "LOGIN on HOST, process PID (started CREATED), application APP, since LOCKED, path
// used PATH, reason: REASON", every text escaped for display.
void AppendOwner(std::string *out, const LockStake *owner);

#endif  // EDITLOCK_OWNER_TEXT_H_
