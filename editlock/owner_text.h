// owner_text.h - one owner section of a lock as one line for people (the conflict message of
// hold, the text listing).
#ifndef EDITLOCK_OWNER_TEXT_H_
#define EDITLOCK_OWNER_TEXT_H_

#include <string>
#include <vector>

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

// One field of an owner section: its JSON member name, its label for people, its value (NULL when
// missing), and whether JSON writes it as a number.
struct OwnerField {
  const char *name;
  const char *label;
  std::string number;  // the digits of a numeric field; empty for a text
  const char *text;    // a text field's value
};
// Every field of an owner section, in the order the listing's JSON and explain show them.
std::vector<OwnerField> OwnerFields(const LockStake *owner);

#endif  // EDITLOCK_OWNER_TEXT_H_
