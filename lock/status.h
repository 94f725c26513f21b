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

// The failures that every module reports the same way; each stores its message in the slot (when
// there is one) as vakAllocErrorMsg does, and returns its status.
int vakiSysError(char **errMsg);       // VAK_SYS_ERROR, with errno's text (vakGetStrErrorMsg)
int vakiOutOfMemory(char **errMsg);    // VAK_OUT_OF_MEMORY, outOfMemMsg
int vakiAlreadyLocked(char **errMsg);  // VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg
int vakiNotOwner(char **errMsg);       // VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg
int vakiNotLocked(char **errMsg);      // VAK_FILE_NOT_LOCKED, vakNoEditLockMsg
int vakiMalformed(char **errMsg);      // VAK_MALFORMED_LOCK_STAKE_FILE, vakMalformedMsg
int vakiInvariant(char **errMsg);      // VAK_NOT_OK, vakInvariantMsg

// Hands the message in *from (a failure's, from an inner call) to the caller's slot errMsg, or
// releases it when there is no slot; *from is left NULL. A NULL message leaves the slot as it is.
void vakiPassMessage(char **from, char **errMsg);
// Of two failures' messages, keeps one for the caller and releases the other: *drop is released;
// *keep goes to the slot (even when NULL), or is released when there is no slot.
void vakiKeepOneMessage(char **keep, char **drop, char **errMsg);

#endif  // VAK_STATUS_H_
