// resolve.h - which lock-stake file belongs to a file path.
#ifndef VAK_RESOLVE_H_
#define VAK_RESOLVE_H_

#include "vak.h"

// Resolution state: both 0 between resolutions; every exit of a resolution resets them.
extern int chasingLink;
extern int linksTraversed;

// On VAK_OK *lockStakePath is a new text (free it). exists and wasLink may be NULL; see the
// header comment of resolve.cc for when they are set.
int vakGetLockStakeFile(const char *filePath, int noFollow, char **lockStakePath, int *exists,
                        int *wasLink, char **errMsg);

#endif  // VAK_RESOLVE_H_
