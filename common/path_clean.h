// path_clean.h - making paths absolute and cleaning them up (orvMkRootedPath, orviCleanupRootedPath
// and the root tests of orv.h).
#ifndef ORV_PATH_CLEAN_H_
#define ORV_PATH_CLEAN_H_

#include "orv.h"

namespace orv {

enum class Rooting { kRooted, kNoWorkingDir, kTooLong };

// Joins a relative path to the working directory, in place.
Rooting RootInPlace(char (&path)[ORV_PATH_BUF_SIZE]);
// Roots the path in place; an unknown working directory gives "/UNKNOWN". False when the rooted
// path does not fit.
bool RootOrUnknown(char (&path)[ORV_PATH_BUF_SIZE]);
// Removes "//", "/./" and "/<component>/../" from a rooted path, in place.
void CleanupRootedPath(char *path);
char *MkRootedPath(const char *path, char *buf);
int IsRooted(const char *path);
int IsRoot(const char *path);
// This platform has neither UNC roots nor a second directory separator.
int IsUNCRoot(const char *path);
void CanonicalizeDirSep(char *pathOrList);

}  // namespace orv

#endif  // ORV_PATH_CLEAN_H_
