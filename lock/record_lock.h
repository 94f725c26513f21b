// record_lock.h - advisory record locks over fcntl (their C entry points are in c_api.cc).
#ifndef VAK_RECORD_LOCK_H_
#define VAK_RECORD_LOCK_H_

#include <stdio.h>

// Request kinds.
enum { kReadLock = 0, kWriteLock = 1, kUnlock = 2 };

int vakGenericLockFunc(int fd, int kind, char **errMsg);
int vakUnixLockFunc(int fd, int kind, char **errMsg);

namespace vak {
// vakGenericLockFunc on the descriptor of a stream; a NULL stream is an invalid handle.
int LockStream(FILE *stream, int kind, char **errMsg);
}  // namespace vak

#endif  // VAK_RECORD_LOCK_H_
