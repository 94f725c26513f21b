// c_api.cc - the C boundary of the lock library: every function and data item that vak.h
// declares is defined here and nowhere else. Each function only hands over to the C++ code behind
// it (namespace vak, or a name the project's documents give); nothing inside the library calls
// them. The library is built without exceptions, so none can cross this boundary.
#include <stdlib.h>

#include "bd_client.h"
#include "compat_requests.h"
#include "edit_lock_api.h"
#include "engine.h"
#include "init.h"
#include "liveness.h"
#include "record_lock.h"
#include "resolve.h"
#include "stake/stake_records.h"
#include "status.h"
#include "sweep.h"
#include "vak.h"
#include "wait.h"

// Found in the library file by identification tools (what(1)); no code reads it.
__attribute__((used)) static const char vakIdentString[] =
    "@(#)$ORV: VAK version 06.01 09/07/2006 03:05 (" ORV_BUILD_TAG ") $";

using vak::Owners;
using vak::Report;

extern "C" {

const char VAK_LOCK_STAKE_FILE_SUFFIX[] = ".orvlck";
const int VAK_LOCK_STAKE_FILE_SUFFIX_LENGTH = static_cast<int>(vak::kStakeSuffixLength);
static_assert(sizeof VAK_LOCK_STAKE_FILE_SUFFIX == sizeof vak::kStakeSuffix,
              "the exported suffix is the one the library uses");

// ---- Status messages
int vakAllocErrorMsg(int status, const char *text, char **errMsg) {
  return vak::AllocErrorMsg(status, text, errMsg);
}
int vakGetStrErrorMsg(int status, char **errMsg) {
  return vak::StrErrorMsg(status, errMsg);
}
int vakGetBdErrorMsg(int exitStatus, char **errMsg) {
  return vak::BdErrorMsg(exitStatus, errMsg);
}
char *vakGetOutOfMemMsg(void) {
  return outOfMemMsg;
}

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

// ---- Lock-stake records
void vakFreeLockStake(LockStake *chain) {
  vak::FreeLockStake(chain);
}
void vakFreeHeader(LockStakeHeader *header) {
  vak::FreeHeader(header);
}
void vakFreeProcId(ProcessIdentity *processId) {
  vak::FreeProcId(processId);
}
void vakFreeTrailer(LockStakeTrailer *trailer) {
  vak::FreeTrailer(trailer);
}
void vakFreeLockStakeInfo(LockStakeInfo *info) {
  vak::FreeLockStakeInfo(info);
}
int vakIsLockStakeFileName(const char *name) {
  return vak::IsLockStakeFileName(name);
}

// ---- Edit lock control engine
int vakEditLockControl(const char *filePath, const char *reason, unsigned int action, int noFollow,
                       ProcessIdentity *ownerFilter, LockStake **details, char **errMsg) {
  return vak::EditLockControl(filePath, reason, action, noFollow, ownerFilter, details, errMsg);
}
int vakGetEditLockDetailsEx(const char *filePath, LockStake **details, int noFollow,
                            char **errMsg) {
  return vak::GetEditLockDetails(filePath, details, noFollow, errMsg);
}
int vakGetEditLockDetails(const char *filePath, LockStake **details, char **errMsg) {
  return vak::GetEditLockDetails(filePath, details, 0, errMsg);
}
int vakLockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg) {
  return vak::LockStakeDetails(filePath, info, errMsg);
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
int vakWaitEditLock(const char *filePath, const char *reason, int noFollow, long timeoutMs,
                    char **errMsg) {
  return vak::WaitEditLock(filePath, reason, noFollow, timeoutMs, errMsg);
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
int vakVisitEditLocksInDirHier(const char *dirPath, VakEditLockVisitor visitor, void *context,
                               char **errMsg) {
  return vak::VisitHierarchy(dirPath, nullptr, visitor, context, errMsg);
}
int vakVisitEditLocksInDirHierWith(const char *dirPath, const VakVisitOptions *options,
                                   VakEditLockVisitor visitor, void *context, char **errMsg) {
  return vak::VisitHierarchy(dirPath, options, visitor, context, errMsg);
}
int vakReleaseOneEditLock(const char *filePath, unsigned int action, char **errMsg) {
  return vak::ReleaseOneReport(filePath, action, errMsg);
}

// ---- Process liveness
// Callable before anything else, so it initialises first, as the application entry points do.
int vakIsProcessAlive(const ProcessIdentity *owner, int *procStatus, char **errMsg) {
  int status = vak::EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  return vak::IsProcessAlive(owner, procStatus, errMsg);
}
int vakExplainProcessLiveness(const ProcessIdentity *owner, VakLivenessEvidence **evidence,
                              char **errMsg) {
  int status = vak::EnsureInitialised(errMsg);
  if (status != VAK_OK) return status;
  return vak::ExplainProcessLiveness(owner, evidence, errMsg);
}
void vakFreeLivenessEvidence(VakLivenessEvidence *evidence) {
  vak::FreeLivenessEvidence(evidence);
}

// ---- Boolean Daemon control requests
int vakDaemonCheck(const char *hostName, char **errMsg) {
  return vak::BdCheck(hostName, errMsg);
}
int vakDaemonTerminate(const char *hostName, char **errMsg) {
  return vak::BdTerminate(hostName, errMsg);
}
int vakDaemonStartLog(const char *hostName, const char *logFileName, char **errMsg) {
  return vak::BdStartLog(hostName, logFileName, errMsg);
}
int vakDaemonStopLog(const char *hostName, char **errMsg) {
  return vak::BdStopLog(hostName, errMsg);
}
int vakDaemonReportLog(const char *hostName, char **logInfo, char **errMsg) {
  return vak::BdReportLog(hostName, logInfo, errMsg);
}
int vakDaemonSetDebugMode(const char *hostName, char **errMsg) {
  return vak::BdSetDebugMode(hostName, errMsg);
}

// ---- Compatibility Daemon control requests
int vakCompatDTerminate(char **errMsg) {
  return vak::CompatTerminate(errMsg);
}
int vakCompatDStartLog(const char *logFileName, char **errMsg) {
  return vak::CompatStartLog(logFileName, errMsg);
}
int vakCompatDStopLog(char **errMsg) {
  return vak::CompatStopLog(errMsg);
}
int vakCompatDReportLog(char **logInfo, char **errMsg) {
  return vak::CompatReportLog(logInfo, errMsg);
}
int vakCompatDSetDebugMode(char **errMsg) {
  return vak::CompatSetDebugMode(errMsg);
}

}  // extern "C"
