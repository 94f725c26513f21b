// wait.h - the get that waits for a lock to become free (vakWaitEditLock in c_api.cc).
#ifndef VAK_WAIT_H_
#define VAK_WAIT_H_

namespace vak {

// Tries vak::GetEditLock until it takes the lock, fails otherwise than by a conflict, or
// timeoutMs pass (0: one try; negative: no end). A time-out returns the last try's
// VAK_FILE_ALREADY_LOCKED and its message.
int WaitEditLock(const char *filePath, const char *reason, int noFollow, long timeoutMs,
                 char **errMsg);

}  // namespace vak

#endif  // VAK_WAIT_H_
