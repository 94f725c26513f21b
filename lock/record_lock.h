// record_lock.h - advisory record locks over fcntl (entry points in vak.h).
#ifndef VAK_RECORD_LOCK_H_
#define VAK_RECORD_LOCK_H_

// Request kinds.
enum { kReadLock = 0, kWriteLock = 1, kUnlock = 2 };

int vakGenericLockFunc(int fd, int kind, char **errMsg);
int vakUnixLockFunc(int fd, int kind, char **errMsg);

#endif  // VAK_RECORD_LOCK_H_
