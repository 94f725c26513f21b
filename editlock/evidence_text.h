// evidence_text.h - how the library decided an owner's liveness, as lines for people (explain).
#ifndef EDITLOCK_EVIDENCE_TEXT_H_
#define EDITLOCK_EVIDENCE_TEXT_H_

#include <string>

#include "vak.h"

// Appends the indented lines that tell how the verdict on owner was reached: the local probe and
// the process's start against the lock's creation time; or the daemon asked (host, address, port),
// its answer and the time taken; or the don't-query entry that matched.
void AppendEvidence(std::string *out, const ProcessIdentity &owner,
                    const VakLivenessEvidence &evidence);

#endif  // EDITLOCK_EVIDENCE_TEXT_H_
