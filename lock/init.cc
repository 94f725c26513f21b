// init.cc - once-only library initialisation: the identity of the calling process, the
// environment settings, the start of the local Boolean Daemon, the held-lock registry and the
// exit handler that releases what the process still holds.
#include "init.h"

#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host_settings.h"
#include "orv.h"
#include "posix_io.h"
#include "registry.h"
#include "status.h"

LockStakeHeader *vakInitInfo = nullptr;
VakEnvironment *vakEnv = nullptr;
// Passed by the library's own entry points; the locking mode it names is never stored.
int vakDefaultLockingMode = 1;
int vakInited = 0;

namespace {

const char kLockStakeVersion[] = "1.1";
const char kOsType[] = "lnx86";
const char kUnknownUser[] = "Unknown User";
const char kUnknownApplication[] = "Unknown Application";
const char kAtExitFailedMsg[] = "Initialization failed: atexit function failed";
const char kNotFoundFormat[] =
    "Could not locate the %s binary. Please locate and execute it manually.";
enum { kReadableTimeSize = 2047, kToolsPathSize = ORV_PATH_BUF_SIZE, kMaxDontQueryHosts = 99 };

void FreeIdentity(LockStakeHeader *header) {
  if (header == nullptr) return;
  free(header->lockStakeVersion);
  free(header->loginName);
  if (header->processId != nullptr) free(header->processId->hostName);
  free(header->processId);
  free(header->creationTimeReadable);
  free(header->appIdentifier);
  free(header->osType);
  free(header);
}

struct IdentityDeleter {
  void operator()(LockStakeHeader *header) const { FreeIdentity(header); }
};
using IdentityPtr = std::unique_ptr<LockStakeHeader, IdentityDeleter>;

void FreeHostList(char **hosts) {
  if (hosts == nullptr) return;
  for (char **h = hosts; *h != nullptr; ++h) free(*h);
  free(hosts);
}

void FreeEnvironment(VakEnvironment *env) {
  if (env == nullptr) return;
  FreeHostList(env->dontQueryHosts);
  free(env);
}

int OutOfMemory(char **errMsg) {
  return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
}

// Stores a copy of text in *field; false when out of memory.
bool CopyInto(char **field, const char *text) {
  *field = strdup(text);
  return *field != nullptr;
}

// The official name of the node in the host database, else the node name as it is.
bool StoreHostName(ProcessIdentity *identity, const char *nodeName) {
  struct hostent *entry = gethostbyname(nodeName);
  const char *name = entry != nullptr && entry->h_name != nullptr && *entry->h_name != '\0'
                         ? entry->h_name
                         : nodeName;
  return CopyInto(&identity->hostName, name);
}

// Splits value at blanks and tabs into a NULL-terminated array of word copies, at most
// kMaxDontQueryHosts words. A value without words gives an array holding only the NULL.
char **SplitHostList(const char *value) {
  const char *const kSeparators = " \t";
  size_t count = 0;
  for (const char *p = value + strspn(value, kSeparators); *p != '\0' && count < kMaxDontQueryHosts;
       p += strspn(p, kSeparators)) {
    p += strcspn(p, kSeparators);
    ++count;
  }
  char **hosts = static_cast<char **>(calloc(count + 1, sizeof(char *)));
  if (hosts == nullptr) return nullptr;
  const char *p = value + strspn(value, kSeparators);
  for (size_t i = 0; i < count; ++i) {
    size_t length = strcspn(p, kSeparators);
    hosts[i] = strndup(p, length);
    if (hosts[i] == nullptr) {
      FreeHostList(hosts);
      return nullptr;
    }
    p += length;
    p += strspn(p, kSeparators);
  }
  return hosts;
}

// strtol semantics; a value beyond 32 bits is clamped rather than wrapped, so that a long time-out
// never turns into a short or negative one.
int32_t ParseConnectTimeout(const char *value) {
  long seconds = strtol(value, nullptr, 10);
  if (seconds > INT32_MAX) seconds = INT32_MAX;
  return seconds <= 0 ? 1 : static_cast<int32_t>(seconds);
}

bool IsExecutableFile(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0;
}

// The shell command line that runs path: "exec", so that the shell becomes the program instead
// of starting it and waiting (one process less at every initialisation), then the path quoted:
// inside single quotes nothing is special, and an embedded single quote is closed, escaped and
// reopened ('\''). NULL when out of memory.
char *ShellCommand(const char *path) {
  static const char kExec[] = "exec ";
  size_t length = sizeof kExec - 1 + 2;
  for (const char *p = path; *p != '\0'; ++p) length += *p == '\'' ? 4 : 1;
  char *quoted = static_cast<char *>(malloc(length + 1));
  if (quoted == nullptr) return nullptr;
  char *out = quoted;
  memcpy(out, kExec, sizeof kExec - 1);
  out += sizeof kExec - 1;
  *out++ = '\'';
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '\'') {
      memcpy(out, "'\\''", 4);
      out += 4;
    } else {
      *out++ = *p;
    }
  }
  *out++ = '\'';
  *out = '\0';
  return quoted;
}

// Runs the executable through the shell and maps its exit status.
int RunDaemonStart(const char *path, char **errMsg) {
  orv::MallocPtr<char> command(ShellCommand(path));
  if (command == nullptr) return OutOfMemory(errMsg);
  errno = 0;
  int waitStatus = system(command.get());
  if (waitStatus == -1) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  // A start killed by a signal has no exit status to map; it is a failed start all the same, only
  // without one of the known messages.
  if (!WIFEXITED(waitStatus)) return VAK_BOOLEAN_DAEMON_LAUNCH_ERROR;
  return vak::BdErrorMsg(WEXITSTATUS(waitStatus), errMsg);
}

}  // namespace

int vakInitInitStructures(const char *appName, char **errMsg) {
  IdentityPtr header(static_cast<LockStakeHeader *>(calloc(1, sizeof(LockStakeHeader))));
  if (header == nullptr) return OutOfMemory(errMsg);
  header->processId = static_cast<ProcessIdentity *>(calloc(1, sizeof(ProcessIdentity)));
  if (header->processId == nullptr || !CopyInto(&header->lockStakeVersion, kLockStakeVersion)) {
    return OutOfMemory(errMsg);
  }
  ProcessIdentity *identity = header->processId;
  identity->processId = static_cast<uint64_t>(getpid());

  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  identity->creationTime = static_cast<int64_t>(now);
  char readable[kReadableTimeSize];
  struct tm local;
  errno = 0;
  if (localtime_r(&now, &local) == nullptr ||
      strftime(readable, sizeof readable, "%c %Z", &local) == 0) {
    return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  }
  if (!CopyInto(&header->creationTimeReadable, readable)) return OutOfMemory(errMsg);

  errno = 0;
  struct passwd *user = getpwuid(getuid());
  if (user == nullptr) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  const char *login =
      user->pw_name != nullptr && *user->pw_name != '\0' ? user->pw_name : kUnknownUser;
  if (!CopyInto(&header->loginName, login)) return OutOfMemory(errMsg);

  struct utsname node;
  if (uname(&node) != 0) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  if (!StoreHostName(identity, node.nodename) || !CopyInto(&header->osType, kOsType) ||
      !CopyInto(&header->appIdentifier, appName != nullptr ? appName : kUnknownApplication)) {
    return OutOfMemory(errMsg);
  }

  // Only a failed earlier attempt can have left a record here; nothing refers to it any more.
  FreeIdentity(vakInitInfo);
  vakInitInfo = header.release();
  return VAK_OK;
}

// The locking mode is not used: the library always starts in native mode.
int vakInitEnvStructures(int, char **errMsg) {
  VakEnvironment *env = static_cast<VakEnvironment *>(calloc(1, sizeof(VakEnvironment)));
  if (env == nullptr) return OutOfMemory(errMsg);
  env->lockingMode = VAK_NATIVE_LOCKING;

  const char *hardLinks = getenv("VAK_LOCK_HARD_LINKS");
  env->lockHardLinks = hardLinks != nullptr && strcasecmp(hardLinks, "YES") == 0 ? 1 : 0;

  // These two may also come from the host's settings file, where the environment is silent.
  const char *timeout = protocol::HostSetting("VAK_VAKBD_CONNECT_TIMEOUT");
  env->bdConnectTimeout = timeout == nullptr ? -1 : ParseConnectTimeout(timeout);

  const char *hosts = protocol::HostSetting("VAK_DONT_QUERY_REMOTE_HOSTS");
  if (hosts != nullptr) {
    env->dontQueryHosts = SplitHostList(hosts);
    if (env->dontQueryHosts == nullptr) {
      FreeEnvironment(env);
      return OutOfMemory(errMsg);
    }
  }
  env->recordLockPreTest = 0;

  FreeEnvironment(vakEnv);  // left by a failed earlier attempt, if any
  vakEnv = env;
  return VAK_OK;
}

int vakLaunchDaemon(const char *name, char **errMsg) {
  if (name == nullptr || *name == '\0') {
    return vak::AllocErrorMsg(VAK_NOT_OK, "No daemon executable name given.", errMsg);
  }
  char relative[kToolsPathSize];
  char path[kToolsPathSize];
  int length = snprintf(relative, sizeof relative, "bin%s%s", "/", name);
  // A tools tree without the daemon falls back to the search path as well, so that a partial
  // install still finds one on PATH, and a missing one is reported as such rather than as a
  // shell that could not run it.
  if (length > 0 && static_cast<size_t>(length) < sizeof relative &&
      orvGetToolsPathInBuf(path, sizeof path, relative) == 1 && IsExecutableFile(path)) {
    return RunDaemonStart(path, errMsg);
  }
  orv::MallocPtr<char> found(orvFindExecInPath(name));
  if (found == nullptr) return vak::FormatErrorMsg(VAK_NOT_OK, errMsg, kNotFoundFormat, name);
  return RunDaemonStart(found.get(), errMsg);
}

int vakLaunchBooleanDaemon(char **errMsg) {
  return vakLaunchDaemon("vakbd", errMsg);
}

namespace {

// Registered once per process image: a forked child that initialises again must not release twice.
bool exitHandlersRegistered = false;

// A forked child inherits its parent's identity, registry and exit handler, but the Edit Locks are
// the parent's. The child starts uninitialised: its next vakInit gives it an identity of its own,
// so the engine's owner check keeps it off its parent's locks, and its exit releases nothing
// unless it initialised.
void ForgetInitInChild() {
  vakInited = 0;
  // Until it initialises, a child that reaches the engine (a release of everything it "holds",
  // a release through the engine) must not pass the owner check as its parent: its identity
  // names its own process from here on, which no lock of the parent's names.
  if (vakInitInfo != nullptr && vakInitInfo->processId != nullptr) {
    vakInitInfo->processId->processId = static_cast<uint64_t>(getpid());
  }
}

// Set by the layer that records held locks, the first time it records one: before that the
// process holds nothing that its exit would release.
void (*exitRelease)() = nullptr;

}  // namespace

void vakAtExit(void) {
  if (vakInited != 1 || exitRelease == nullptr) return;
  exitRelease();
}

namespace vak {

void SetExitRelease(void (*release)()) {
  exitRelease = release;
}

int Init(const char *appName, int lockingMode, char **errMsg) {
  if (vakInited == 1) return VAK_OK;
  int status = vakInitInitStructures(appName, errMsg);
  vakReturnStatusValue = static_cast<signed char>(status);
  if (status != VAK_OK) return status;
  status = vakInitEnvStructures(lockingMode, errMsg);
  vakReturnStatusValue = static_cast<signed char>(status);
  if (status != VAK_OK) return status;

  // A slot of our own: the failure is only reported, and the caller's slot must not be left
  // pointing at a message released here.
  char *launchMsg = nullptr;
  if (vakLaunchBooleanDaemon(&launchMsg) != VAK_OK && launchMsg != nullptr &&
      cmnGetInstallRootRequired()) {
    fprintf(stderr, "%s\n", launchMsg);
  }
  vakReleaseErrorMsg(&launchMsg);

  // A registry that cannot be made now is made at the first registration instead.
  vakInitHashTable();

  if (!exitHandlersRegistered) {
    // The fork handler first: registering it twice after a failed atexit is harmless.
    if (pthread_atfork(nullptr, nullptr, ForgetInitInChild) != 0 || atexit(vakAtExit) != 0) {
      vakReturnStatusValue = VAK_SYS_ERROR;
      return vak::AllocErrorMsg(VAK_SYS_ERROR, kAtExitFailedMsg, errMsg);
    }
    exitHandlersRegistered = true;
  }
  vakReturnStatusValue = VAK_OK;
  vakInited = 1;
  return VAK_OK;
}

int EnsureInitialised(char **errMsg) {
  return Init(nullptr, vakDefaultLockingMode, errMsg);
}

}  // namespace vak
