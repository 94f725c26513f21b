// status.h - statuses, the error-message slot and the shared message texts of the lock library.
#ifndef VAK_STATUS_H_
#define VAK_STATUS_H_

#include <atomic>

#include "vak.h"

// Status of the latest inner step; kept in one byte, as every status fits one. Atomic only so
// that liveness questions asked from several threads (editlock's) may each store theirs.
extern std::atomic<signed char> vakReturnStatusValue;

// Shared constant texts. outOfMemMsg is the only message ever stored with VAK_OUT_OF_MEMORY.
extern char outOfMemMsg[];
extern const char unspecifiedReasonMsg[];  // "Not specified"
extern const char vakAlreadyLockedMsg[];   // "File is already locked by some other process."
extern const char vakNoEditLockMsg[];      // "There is no Edit Lock on the file."
extern const char vakNotOwnerMsg[];        // "Edit Lock is owned by some other process."
extern const char vakMalformedMsg[];       // the malformed lock-stake file message
extern const char vakInvariantMsg[];       // the "INVARIANT failed. ..." message
extern const char vakTooManyLinksMsg[];    // the MAXSYMLINKS message

// Releases the message in a slot, unless it is the shared out-of-memory text, and clears the slot.
void vakReleaseErrorMsg(char **errMsg);

namespace vak {

// VAK_SYS_ERROR, with errno's text (vak::StrErrorMsg); stored as vak::AllocErrorMsg does.
int SysError(char **errMsg);
// Hands the message in *from (a failure's, from an inner call) to the caller's slot errMsg, or
// releases it when there is no slot; *from is left NULL. A NULL message leaves the slot as it is.
void PassMessage(char **from, char **errMsg);

// The message functions of vak.h (vakAllocErrorMsg, vakGetStrErrorMsg, vakGetBdErrorMsg): what
// the library itself calls to fill a message slot.
int AllocErrorMsg(int status, const char *text, char **errMsg);
int StrErrorMsg(int status, char **errMsg);
int BdErrorMsg(int exitStatus, char **errMsg);

// Formats a message and stores a copy in the slot, as AllocErrorMsg does (out of memory gives
// VAK_OUT_OF_MEMORY and the shared text). Returns the status stored.
int FormatErrorMsg(int status, char **errMsg, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The failures that every module reports the same way; each stores its message in the slot (when
// there is one) as AllocErrorMsg does, and returns its status.
int OutOfMemory(char **errMsg);    // VAK_OUT_OF_MEMORY, outOfMemMsg
int AlreadyLocked(char **errMsg);  // VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg
int NotOwner(char **errMsg);       // VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg
int NotLocked(char **errMsg);      // VAK_FILE_NOT_LOCKED, vakNoEditLockMsg
int Malformed(char **errMsg);      // VAK_MALFORMED_LOCK_STAKE_FILE, vakMalformedMsg
int Invariant(char **errMsg);      // VAK_NOT_OK, vakInvariantMsg

// Of two failures' messages, keeps one for the caller and releases the other: *drop is released;
// *keep goes to the slot (even when NULL), or is released when there is no slot.
void KeepOneMessage(char **keep, char **drop, char **errMsg);

}  // namespace vak

#endif  // VAK_STATUS_H_
