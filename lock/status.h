// status.h - statuses, the error-message slot and the shared message texts of the lock library.
#ifndef VAK_STATUS_H_
#define VAK_STATUS_H_

#include "vak.h"

// Status of the latest inner step; kept in one byte, as every status fits one.
extern signed char vakReturnStatusValue;

// Shared constant texts. outOfMemMsg is the only message ever stored with VAK_OUT_OF_MEMORY.
extern char outOfMemMsg[];
extern const char unspecifiedReasonMsg[];  // "Not specified"
extern const char vakAlreadyLockedMsg[];   // "File is already locked by some other process."
extern const char vakNoEditLockMsg[];      // "There is no Edit Lock on the file."
extern const char vakNotOwnerMsg[];        // "Edit Lock is owned by some other process."
extern const char vakMalformedMsg[];       // the malformed lock-stake file message
extern const char vakInvariantMsg[];       // the "INVARIANT failed. ..." message
extern const char vakTooManyLinksMsg[];    // the MAXSYMLINKS message

// Formats a message and stores a copy in the slot, as vakAllocErrorMsg does (out of memory gives
// VAK_OUT_OF_MEMORY and the shared text). Returns the status stored.
int vakFormatErrorMsg(int status, char **errMsg, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Releases the message in a slot, unless it is the shared out-of-memory text, and clears the slot.
void vakReleaseErrorMsg(char **errMsg);

#endif  // VAK_STATUS_H_
