// resolve.h - which lock-stake file belongs to a file path.
#ifndef VAK_RESOLVE_H_
#define VAK_RESOLVE_H_

#include <stddef.h>

#include <sys/types.h>

#include "vak.h"

// Resolution state: both 0 between resolutions; every exit of a resolution resets them.
extern int chasingLink;
extern int linksTraversed;

// On VAK_OK *lockStakePath is a new text (free it). exists and wasLink may be NULL; see the
// header comment of resolve.cc for when they are set.
int vakGetLockStakeFile(const char *filePath, int noFollow, char **lockStakePath, int *exists,
                        int *wasLink, char **errMsg);

namespace vak {

// The suffix of lock-stake files; exported as VAK_LOCK_STAKE_FILE_SUFFIX and its length (c_api.cc).
constexpr char kStakeSuffix[] = ".orvlck";
constexpr size_t kStakeSuffixLength = sizeof kStakeSuffix - 1;

// 1 when the name ends in the suffix, else 0 (also for NULL): vakIsLockStakeFileName.
int IsLockStakeFileName(const char *name);

// The type and link count of a name, as lstat gives them, without the attribute request that a
// network file system adds after a lookup. 0, or -1 with errno.
int LookUpName(const char *path, mode_t *mode, nlink_t *links);

}  // namespace vak

#endif  // VAK_RESOLVE_H_
