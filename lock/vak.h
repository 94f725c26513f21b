/*
 * vak.h - the Edit Lock library.
 *
 * An Edit Lock on a file is a lock-stake file beside it ("report.txt" gets "report.txt.orvlck")
 * that names the owning process (host, process identifier, creation time) and, after steals, the
 * former owners. Exclusion between processes on any hosts sharing the file system rests only on
 * exclusive file creation and hard-link creation.
 *
 * Conventions
 *   - Statuses: every operation that can fail returns an int status, VAK_OK (0) on success; the
 *     values below are fixed.
 *   - The error-message slot: the last parameter of such operations, a caller-owned `char **`
 *     that may be NULL. On failure at most one message is stored there; on success the slot is
 *     left alone. A stored message is a malloc'ed copy that the caller releases with free(),
 *     EXCEPT the shared "Out of memory" text, which must never be released: compare the pointer
 *     with vakGetOutOfMemMsg() before freeing.
 *   - Records and texts handed to the caller come from malloc; each record type has a free
 *     operation that accepts NULL.
 *   - Initialisation: the application entry points initialise the library themselves on first
 *     use (vakInit). The control engine and the sweeps rely on an earlier initialisation.
 *   - Threads: the library is single-threaded; all state is process-wide and unlocked.
 *   - Ex variants take a no-follow flag: 0 follows a symbolic link to the file it names.
 *
 * Files beside a locked file F: F.orvlck (the lock-stake file), F.orvlck.<pid> (a side file
 * while a lock stake is being replaced) and F.orvlck.dirlock (held during a replacement).
 */
#ifndef VAK_H_
#define VAK_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define VAK_API __attribute__((visibility("default")))
#else
#define VAK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Statuses ------------------------------------------------------------------------------ */
enum {
  VAK_OK = 0,
  VAK_FILE_ALREADY_LOCKED = 1,
  VAK_FILE_NOT_LOCKED = 2,
  VAK_NOT_DIR = 3,
  VAK_ELOOP = 4,
  VAK_PROCESS_STATUS_INDETERMINATE = 5,
  VAK_READ_FAILED = 6,
  VAK_WRITE_FAILED = 7,
  VAK_DELETE_FAILED = 8,
  VAK_BAD_PATH = 9,
  VAK_INVALID_FILE_HANDLE = 10,
  VAK_MALFORMED_REQUEST = 11,
  VAK_HARD_LINK_NOT_LOCKABLE = 12,
  VAK_DIR_NOT_LOCKABLE = 13,
  VAK_LOCK_STAKE_FILE_NOT_LOCKABLE = 14,
  VAK_NOT_EDIT_LOCK_OWNER = 15,
  VAK_MALFORMED_LOCK_STAKE_FILE = 16,
  VAK_OUT_OF_MEMORY = 17,
  VAK_SYS_ERROR = 18,
  VAK_NOT_OK = 19,
  VAK_BOOLEAN_DAEMON_BAD_RESPONSE = 20,
  VAK_BOOLEAN_DAEMON_LAUNCH_ERROR = 22,
  VAK_COMPAT_DAEMON_BAD_RESPONSE = 24
};

/* Action types of vakEditLockControl. */
enum {
  GET_DETAILS = 0,
  GET_LOCK = 1,
  STEAL_LOCK = 2,
  CONFIRM_LOCK = 3,
  RELEASE_LOCK = 4,
  FORCE_RELEASE_LOCK = 5,
  RELEASE_DEAD_LOCK = 6
};

/* Process statuses of the liveness check. */
enum { VAK_PROC_ALIVE = 0, VAK_PROC_INDETERMINATE = 1, VAK_PROC_NOT_ALIVE = 2 };

/* Locking modes (first field of the environment record). */
enum { VAK_NATIVE_LOCKING = 0, VAK_COMPAT_LOCKING = 1 };

/* ---- Records ---------------------------------------------------------------------------------
 * All texts are NUL-terminated heap strings owned by the record that points to them.
 */

/* One process on one host. */
typedef struct ProcessIdentity {
  char *hostName;
  uint64_t processId;
  int64_t creationTime; /* seconds since the epoch */
} ProcessIdentity;

/* The owner of a lock stake; also the calling process's own identity (vakInitInfo). */
typedef struct LockStakeHeader {
  char *lockStakeVersion;     /* LockStakeVersion */
  char *loginName;            /* LoginName */
  ProcessIdentity *processId; /* HostName, ProcessIdentifier, ProcessCreationTime_UTC */
  char *creationTimeReadable; /* ProcessCreationTime_Readable */
  char *appIdentifier;        /* AppIdentifier */
  char *osType;               /* OSType */
} LockStakeHeader;

typedef struct LockStakeTrailer {
  char *reason;       /* ReasonForPlacingEditLock */
  char *filePathUsed; /* FilePathUsedToEditLock */
  char *timeLocked;   /* TimeEditLocked */
} LockStakeTrailer;

/* One owner section; the chain starts with the current owner, former owners follow. */
typedef struct LockStake {
  LockStakeHeader *header;
  LockStakeTrailer *trailer;
  struct LockStake *next;
} LockStake;

typedef struct LockStakeInfo {
  char *lockStakeFilePath;
  LockStake *lockStake;
} LockStakeInfo;

/* Environment settings, read once at initialisation. */
typedef struct VakEnvironment {
  int32_t lockingMode;   /* VAK_NATIVE_LOCKING or VAK_COMPAT_LOCKING */
  int32_t lockHardLinks; /* VAK_LOCK_HARD_LINKS is "YES" in any case */
  int32_t recordLockPreTest;
  char **dontQueryHosts;    /* VAK_DONT_QUERY_REMOTE_HOSTS words, NULL-terminated; NULL if unset */
  int32_t bdConnectTimeout; /* VAK_VAKBD_CONNECT_TIMEOUT seconds, >= 1; -1 if unset */
} VakEnvironment;

/* ".orvlck" and its length. */
VAK_API extern const char VAK_LOCK_STAKE_FILE_SUFFIX[];
VAK_API extern const int VAK_LOCK_STAKE_FILE_SUFFIX_LENGTH;

/* Process-wide state built by vakInit; valid after a successful initialisation. */
VAK_API extern LockStakeHeader *vakInitInfo;
VAK_API extern VakEnvironment *vakEnv;
VAK_API extern int vakDefaultLockingMode;

/* ---- Status messages ------------------------------------------------------------------------ */
VAK_API int vakAllocErrorMsg(int status, const char *text, char **errMsg);
VAK_API int vakGetStrErrorMsg(int status, char **errMsg);
VAK_API int vakGetBdErrorMsg(int exitStatus, char **errMsg);
/* The shared "Out of memory" text; never free it. */
VAK_API char *vakGetOutOfMemMsg(void);

/* ---- Initialisation and process utilities -----------------------------------------------------
 */
VAK_API int vakInit(const char *appName, int lockingMode, char **errMsg);
VAK_API void *vakMalloc(size_t size);
VAK_API void vakFree(void *ptr);

/* ---- Advisory record locks on a whole open file (never wait) ----------------------------------
 */
VAK_API int vakGetReadLock_fd(int fd, char **errMsg);
VAK_API int vakGetReadLock_FILE(FILE *stream, char **errMsg);
VAK_API int vakGetWriteLock_fd(int fd, char **errMsg);
VAK_API int vakGetWriteLock_FILE(FILE *stream, char **errMsg);
VAK_API int vakReleaseReadLock_fd(int fd, char **errMsg);
VAK_API int vakReleaseReadLock_FILE(FILE *stream, char **errMsg);
VAK_API int vakReleaseWriteLock_fd(int fd, char **errMsg);
VAK_API int vakReleaseWriteLock_FILE(FILE *stream, char **errMsg);

/* ---- Lock-stake records ------------------------------------------------------------------------
 */
VAK_API void vakFreeLockStake(LockStake *chain);
VAK_API void vakFreeHeader(LockStakeHeader *header);
VAK_API void vakFreeProcId(ProcessIdentity *processId);
VAK_API void vakFreeTrailer(LockStakeTrailer *trailer);
VAK_API void vakFreeLockStakeInfo(LockStakeInfo *info);
/* 1 when the name ends in ".orvlck". */
VAK_API int vakIsLockStakeFileName(const char *name);

/* ---- Edit lock control engine ------------------------------------------------------------------
 */
VAK_API int vakEditLockControl(const char *filePath, const char *reason, unsigned int action,
                               int noFollow, ProcessIdentity *ownerFilter, LockStake **details,
                               char **errMsg);
VAK_API int vakGetEditLockDetails(const char *filePath, LockStake **details, char **errMsg);
VAK_API int vakGetEditLockDetailsEx(const char *filePath, LockStake **details, int noFollow,
                                    char **errMsg);
VAK_API int vakLockStakeDetails(const char *filePath, LockStakeInfo **info, char **errMsg);

/* ---- Edit locks for applications ----------------------------------------------------------------
 */
VAK_API int vakGetEditLock(const char *filePath, const char *reason, char **errMsg);
VAK_API int vakGetEditLockEx(const char *filePath, const char *reason, int noFollow, char **errMsg);
VAK_API int vakStealEditLock(const char *filePath, const char *reason, char **errMsg);
VAK_API int vakStealEditLockEx(const char *filePath, const char *reason, int noFollow,
                               char **errMsg);
VAK_API int vakReleaseEditLock(const char *filePath, char **errMsg);
VAK_API int vakReleaseEditLockEx(const char *filePath, int noFollow, char **errMsg);
VAK_API int vakConfirmEditLock(const char *filePath, char **errMsg);
VAK_API int vakConfirmEditLockEx(const char *filePath, int noFollow, char **errMsg);
/* Waits until the lock can be taken and takes it, as vakGetEditLockEx does, for at most timeoutMs
 * milliseconds (0: one try; negative: no end). A change of the lock-stake file on this host wakes
 * the wait at once; changes made by other hosts are seen by tries repeated at most a second apart.
 * A time-out returns VAK_FILE_ALREADY_LOCKED with the last try's message. */
VAK_API int vakWaitEditLock(const char *filePath, const char *reason, int noFollow, long timeoutMs,
                            char **errMsg);
VAK_API int vakListAllMyEditLocks(void *ignored, char **errMsg);
VAK_API int vakReleaseAllMyEditLocks(char **errMsg);

/* ---- Directory-hierarchy sweeps (reports on standard output) --------------------------------- */
VAK_API int vakSweepDirHier(const char *dirPath, unsigned int action, ProcessIdentity *ownerFilter,
                            char **errMsg);
VAK_API int vakListEditLocksInDirHier(const char *dirPath, char **errMsg);
VAK_API int vakListEditLocksOfProcessInDirHier(const char *dirPath, ProcessIdentity *ownerFilter,
                                               char **errMsg);
VAK_API int vakReleaseEditLocksInDirHier(const char *dirPath, unsigned int action, char **errMsg);
VAK_API int vakReleaseEditLocksOfProcessInDirHier(const char *dirPath, ProcessIdentity *ownerFilter,
                                                  unsigned int action, char **errMsg);
VAK_API int vakReleaseOneEditLock(const char *filePath, unsigned int action, char **errMsg);
VAK_API int vakListProcessesHavingEditLocksInDirHier(const char *dirPath, char **errMsg);

/* One lock met by vakVisitEditLocksInDirHier: the locked file's path and, with status VAK_OK, its
 * chain of owners; otherwise why its lock-stake file could not be read (status and message, which
 * may be NULL; owners is NULL). Everything pointed to is valid only during the call. Returning
 * non-zero ends the walk. */
typedef int (*VakEditLockVisitor)(const char *lockedPath, int status, const LockStake *owners,
                                  const char *message, void *context);
/* The walk of vakListEditLocksInDirHier, in the same order and with the same clean-up, handing
 * each lock it would list to the visitor instead of printing; relies on an earlier
 * initialisation. */
VAK_API int vakVisitEditLocksInDirHier(const char *dirPath, VakEditLockVisitor visitor,
                                       void *context, char **errMsg);

/* How far a walk has come: directories walked, entries met, locks handed to the visitor. */
typedef struct VakSweepProgress {
  unsigned long directories, entries, locks;
} VakSweepProgress;
typedef void (*VakSweepProgressFn)(const VakSweepProgress *progress, void *context);
/* Options of vakVisitEditLocksInDirHierWith; a record of zeros (or NULL) means the defaults. */
typedef struct VakVisitOptions {
  int oneFileSystem; /* nonzero: do not descend into directories on another file system */
  int workers;       /* 0: default (VAK_SWEEP_WORKERS or built-in); 1: no read-ahead */
  VakSweepProgressFn progress;
  void *progressContext; /* may be NULL; called on the calling thread after each directory */
} VakVisitOptions;
/* vakVisitEditLocksInDirHier with options: the same visits in the same order, whatever the
 * number of workers reading ahead. Every worker has ended when it returns. */
VAK_API int vakVisitEditLocksInDirHierWith(const char *dirPath, const VakVisitOptions *options,
                                           VakEditLockVisitor visitor, void *context,
                                           char **errMsg);

/* ---- Process liveness
 * ----------------------------------------------------------------------------- */
/* On VAK_OK *procStatus holds VAK_PROC_ALIVE, VAK_PROC_INDETERMINATE or VAK_PROC_NOT_ALIVE. */
VAK_API int vakIsProcessAlive(const ProcessIdentity *owner, int *procStatus, char **errMsg);

/* How a liveness question was settled (the method of VakLivenessEvidence). */
enum {
  VAK_LIVENESS_NOT_PUT = -1,     /* the question was not put (no owner, library not ready) */
  VAK_LIVENESS_LOCAL_PROBE = 0,  /* an owner of this host: probed with signal 0 */
  VAK_LIVENESS_NOT_QUERIED = 1,  /* another host that VAK_DONT_QUERY_REMOTE_HOSTS names */
  VAK_LIVENESS_DAEMON_ASKED = 2  /* another host: its vakbd was asked "ProcAlive" */
};

/* The evidence behind one liveness verdict, gathered by the very code that decides it for every
 * operation. Texts are malloc'ed and owned by the record; NULL where the step was not reached. */
typedef struct VakLivenessEvidence {
  int status;       /* what vakIsProcessAlive returns: VAK_OK, or why the question failed */
  int procStatus;   /* with VAK_OK: VAK_PROC_ALIVE, VAK_PROC_INDETERMINATE or VAK_PROC_NOT_ALIVE */
  char *message;    /* the failure's message; NULL with VAK_OK */
  int method;       /* VAK_LIVENESS_... */
  /* VAK_LIVENESS_LOCAL_PROBE */
  int probeErrno;           /* 0 when the probe found the process, else the probe's errno */
  int64_t processStartTime; /* that process's start, seconds since the epoch; -1 if unknown.
                               The probe's verdict does not weigh it; it is for the reader. */
  /* VAK_LIVENESS_NOT_QUERIED */
  char *dontQueryEntry; /* the list entry that matched; "" for an empty list (ask no host) */
  /* VAK_LIVENESS_DAEMON_ASKED */
  char *address;     /* the daemon's IPv4 address, dotted; NULL if the name was not found */
  int port;          /* the port asked; 0 if the name was not found */
  char *answer;      /* the reply's first word ("Alive", "NotAlive", ...); NULL if none came */
  int64_t elapsedMs; /* from the lookup of the host to the reply or the failure */
} VakLivenessEvidence;

/* Decides the owner's liveness exactly as vakIsProcessAlive does and hands back how: on VAK_OK
 * *evidence is a new record (free it with vakFreeLivenessEvidence) whose status, procStatus and
 * message are vakIsProcessAlive's outcome. Other statuses (no owner or no record pointer, out of
 * memory, the library could not be started) leave *evidence alone. */
VAK_API int vakExplainProcessLiveness(const ProcessIdentity *owner,
                                      VakLivenessEvidence **evidence, char **errMsg);
VAK_API void vakFreeLivenessEvidence(VakLivenessEvidence *evidence);

/* ---- Boolean Daemon control requests
 * ---------------------------------------------------------------- */
VAK_API int vakDaemonCheck(const char *hostName, char **errMsg);
VAK_API int vakDaemonTerminate(const char *hostName, char **errMsg);
VAK_API int vakDaemonStartLog(const char *hostName, const char *logFileName, char **errMsg);
VAK_API int vakDaemonStopLog(const char *hostName, char **errMsg);
/* On VAK_OK *logInfo is a malloc'ed text that the caller frees. */
VAK_API int vakDaemonReportLog(const char *hostName, char **logInfo, char **errMsg);
VAK_API int vakDaemonSetDebugMode(const char *hostName, char **errMsg);

/* ---- Compatibility Daemon control requests
 * ---------------------------------------------------------- */
VAK_API int vakCompatDTerminate(char **errMsg);
VAK_API int vakCompatDStartLog(const char *logFileName, char **errMsg);
VAK_API int vakCompatDStopLog(char **errMsg);
VAK_API int vakCompatDReportLog(char **logInfo, char **errMsg);
VAK_API int vakCompatDSetDebugMode(char **errMsg);

#ifdef __cplusplus
}
#endif

#endif /* VAK_H_ */
