// c_api.cc - the C entry points of vak.h that belong above the engine: initialisation, the
// allocation helpers, record locks, the application operations and the sweeps. Each only hands
// over to the C++ code behind it; nothing inside the library calls them.
#include <stdlib.h>

#include "edit_lock_api.h"
#include "init.h"
#include "record_lock.h"
#include "sweep.h"
#include "vak.h"

// Found in the library file by identification tools (what(1)); no code reads it.
__attribute__((used)) static const char vakIdentString[] =
    "@(#)$ORV: VAK version 06.01 09/07/2006 03:05 (" ORV_BUILD_TAG ") $";

using vak::Owners;
using vak::Report;

extern "C" {

// ---- Initialisation and process utilities
int vakInit(const char *appName, int lockingMode, char **errMsg) {
  return vak::Init(appName, lockingMode, errMsg);
}
void *vakMalloc(size_t size) {
  return calloc(1, size);
}
void vakFree(void *ptr) {
  free(ptr);
}

// ---- Record locks
int vakGetReadLock_fd(int fd, char **errMsg) {
  return vakGenericLockFunc(fd, kReadLock, errMsg);
}
int vakGetReadLock_FILE(FILE *stream, char **errMsg) {
  return vak::LockStream(stream, kReadLock, errMsg);
}
int vakGetWriteLock_fd(int fd, char **errMsg) {
  return vakGenericLockFunc(fd, kWriteLock, errMsg);
}
int vakGetWriteLock_FILE(FILE *stream, char **errMsg) {
  return vak::LockStream(stream, kWriteLock, errMsg);
}
int vakReleaseReadLock_fd(int fd, char **errMsg) {
  return vakGenericLockFunc(fd, kUnlock, errMsg);
}
int vakReleaseReadLock_FILE(FILE *stream, char **errMsg) {
  return vak::LockStream(stream, kUnlock, errMsg);
}
int vakReleaseWriteLock_fd(int fd, char **errMsg) {
  return vakGenericLockFunc(fd, kUnlock, errMsg);
}
int vakReleaseWriteLock_FILE(FILE *stream, char **errMsg) {
  return vak::LockStream(stream, kUnlock, errMsg);
}

// ---- Edit locks for applications
int vakGetEditLockEx(const char *filePath, const char *reason, int noFollow, char **errMsg) {
  return vak::GetEditLock(filePath, reason, noFollow, errMsg);
}
int vakGetEditLock(const char *filePath, const char *reason, char **errMsg) {
  return vak::GetEditLock(filePath, reason, 0, errMsg);
}
int vakStealEditLockEx(const char *filePath, const char *reason, int noFollow, char **errMsg) {
  return vak::StealEditLock(filePath, reason, noFollow, errMsg);
}
int vakStealEditLock(const char *filePath, const char *reason, char **errMsg) {
  return vak::StealEditLock(filePath, reason, 0, errMsg);
}
int vakReleaseEditLockEx(const char *filePath, int noFollow, char **errMsg) {
  return vak::ReleaseEditLock(filePath, noFollow, errMsg);
}
int vakReleaseEditLock(const char *filePath, char **errMsg) {
  return vak::ReleaseEditLock(filePath, 0, errMsg);
}
int vakConfirmEditLockEx(const char *filePath, int noFollow, char **errMsg) {
  return vak::ConfirmEditLock(filePath, noFollow, errMsg);
}
int vakConfirmEditLock(const char *filePath, char **errMsg) {
  return vak::ConfirmEditLock(filePath, 0, errMsg);
}
// Only initialises the library: nothing is listed.
int vakListAllMyEditLocks(void *, char **errMsg) {
  return vak::EnsureInitialised(errMsg);
}
int vakReleaseAllMyEditLocks(char **) {
  vakHashTableReleaseAllEditLocks();
  return VAK_OK;
}

// ---- Directory-hierarchy sweeps
int vakSweepDirHier(const char *dirPath, unsigned int action, ProcessIdentity *ownerFilter,
                    char **errMsg) {
  return SweepHierarchy(dirPath, action, ownerFilter, errMsg);
}
int vakListProcessesHavingEditLocksInDirHier(const char *dirPath, char **errMsg) {
  return SweepHierarchy(dirPath, GET_DETAILS, nullptr, errMsg);
}
int vakListEditLocksInDirHier(const char *dirPath, char **errMsg) {
  return vak::SweepReport(Report::kList, dirPath, GET_DETAILS, Owners::kAll, nullptr, errMsg);
}
int vakListEditLocksOfProcessInDirHier(const char *dirPath, ProcessIdentity *ownerFilter,
                                       char **errMsg) {
  return vak::SweepReport(Report::kList, dirPath, GET_DETAILS, Owners::kByOwner, ownerFilter,
                          errMsg);
}
int vakReleaseEditLocksInDirHier(const char *dirPath, unsigned int action, char **errMsg) {
  return vak::SweepReport(Report::kRelease, dirPath, action, Owners::kAll, nullptr, errMsg);
}
int vakReleaseEditLocksOfProcessInDirHier(const char *dirPath, ProcessIdentity *ownerFilter,
                                          unsigned int action, char **errMsg) {
  return vak::SweepReport(Report::kRelease, dirPath, action, Owners::kByOwner, ownerFilter,
                          errMsg);
}
int vakReleaseOneEditLock(const char *filePath, unsigned int action, char **errMsg) {
  return vak::ReleaseOneReport(filePath, action, errMsg);
}

}  // extern "C"
