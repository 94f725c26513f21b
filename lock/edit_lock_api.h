// edit_lock_api.h - the Edit Lock operations for applications (their C entry points, vakGetEditLock
// and the rest, are in c_api.cc) and the release of what the process still holds.
#ifndef VAK_EDIT_LOCK_API_H_
#define VAK_EDIT_LOCK_API_H_

namespace vak {

int GetEditLock(const char *filePath, const char *reason, int noFollow, char **errMsg);
int StealEditLock(const char *filePath, const char *reason, int noFollow, char **errMsg);
int ReleaseEditLock(const char *filePath, int noFollow, char **errMsg);
int ConfirmEditLock(const char *filePath, int noFollow, char **errMsg);

}  // namespace vak

// Releases every recorded lock as it was taken; an entry stays while a release of it fails. Runs
// from the exit handler too. It does not initialise the library: a process that never
// initialised it holds no lock, and starting the daemon at exit would help nobody.
void vakHashTableReleaseAllEditLocks(void);

#endif  // VAK_EDIT_LOCK_API_H_
