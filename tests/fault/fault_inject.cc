// fault_inject.cc - a preload library that makes one chosen call fail: the lock library's failure
// paths without test code in the product. While armed (vakFaultArm(1) around the operation
// examined), the calls of each family are numbered from 1. Configured by the environment:
//   VAK_FAULT_FAMILY  open link unlink write alloc readlink opendir stat read close
//   VAK_FAULT_NTH     number of the faulted call within its family
//   VAK_FAULT_MODE    an errno name (EIO ENOSPC EINTR ENOMEM EACCES): the call fails with it, doing
//                     nothing (a close is made all the same, as the kernel does); "kill": SIGKILL
//                     in place of the call; "linkeio": the call is made, then reported as failed
//                     with EIO (a network file system that lost the reply of a successful link)
//   VAK_FAULT_LOG     gets "injected FAMILY N MODE" and, at disarm, "calls FAMILY COUNT" lines
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <utility>

namespace {

enum Family { kOpen, kLink, kUnlink, kWrite, kAlloc, kReadlink, kOpendir, kStat, kRead, kClose };
const char *const kFamilies[] = {"open",     "link",    "unlink", "write", "alloc",
                                 "readlink", "opendir", "stat",   "read",  "close"};
const int kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];
const std::pair<const char *, int> kErrnos[] = {
    {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EINTR", EINTR}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES}};

// Constant-initialised: calls come in before the library's own initialisers run.
struct Config {
  bool loaded = false, armed = false;
  int family = -1, error = 0;
  unsigned long nth = 0, counts[kFamilyCount] = {};
  const char *mode = "", *log = nullptr;
} gConfig;
int gInside = 0;  // set while this library itself works, so its own calls are not counted

// Not before the environment is set up: a sanitizer runtime allocates before the C library starts.
void LoadConfig() {
  if (gConfig.loaded || environ == nullptr) return;
  gConfig.loaded = true;
  const char *family = getenv("VAK_FAULT_FAMILY"), *nth = getenv("VAK_FAULT_NTH");
  for (int f = 0; family != nullptr && f < kFamilyCount; ++f) {
    if (strcmp(family, kFamilies[f]) == 0) gConfig.family = f;
  }
  gConfig.nth = nth != nullptr ? strtoul(nth, nullptr, 10) : 0;
  if (const char *mode = getenv("VAK_FAULT_MODE")) gConfig.mode = mode;
  for (const auto &e : kErrnos) {
    if (strcmp(gConfig.mode, e.first) == 0) gConfig.error = e.second;
  }
  gConfig.log = getenv("VAK_FAULT_LOG");
}

// Appends "WHAT FAMILY N MODE" to the log; the wrappers pass this library's own calls.
void LogLine(const char *what, int family, unsigned long n, const char *mode) {
  int saved = errno;
  ++gInside;
  int fd = gConfig.log != nullptr ? open(gConfig.log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
  if (fd >= 0) {
    dprintf(fd, "%s %s %lu %s\n", what, kFamilies[family], n, mode);
    close(fd);
  }
  --gInside;
  errno = saved;
}

enum Verdict { kPass, kFail, kPassThenEio };

Verdict Judge(Family family) {
  if (gInside > 0) return kPass;
  LoadConfig();
  if (!gConfig.armed) return kPass;
  unsigned long n = ++gConfig.counts[family];
  if (family != gConfig.family || n != gConfig.nth) return kPass;
  const bool linkEio = strcmp(gConfig.mode, "linkeio") == 0;
  if (!linkEio && gConfig.error == 0 && strcmp(gConfig.mode, "kill") != 0) return kPass;
  LogLine("injected", family, n, gConfig.mode);
  if (!linkEio && gConfig.error == 0) raise(SIGKILL);
  errno = gConfig.error;
  return linkEio ? kPassThenEio : kFail;
}

// Applies the verdict to a call that reports failure as -1 or NULL. A close is made even when
// it is reported as failed: retrying it would be wrong, so the descriptor must be gone.
template <typename T, typename Call>
T Apply(Family family, T failure, Call call) {
  Verdict verdict = Judge(family);
  if (verdict == kFail && family != kClose) return failure;
  int saved = errno;
  gInside += family == kClose;  // what a close does inside (fclose's flush) is not counted
  T result = call();
  gInside -= family == kClose;
  if (verdict != kPass) {
    errno = verdict == kPassThenEio ? EIO : gConfig.error;
    return failure;
  }
  if (result != failure) errno = saved;
  return result;
}

template <typename F>
F Real(F *slot, const char *name) {
  if (*slot == nullptr) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

alignas(16) char gBootstrap[4096];
size_t gBootstrapUsed = 0;
bool FromBootstrap(const void *p) {
  return p >= gBootstrap && p < gBootstrap + sizeof gBootstrap;
}
void *Bootstrap(size_t size) {
  size_t rounded = (size + 15) & ~static_cast<size_t>(15);
  if (gBootstrapUsed + rounded > sizeof gBootstrap) return nullptr;
  gBootstrapUsed += rounded;
  return gBootstrap + gBootstrapUsed - rounded;  // zero-filled, never reused
}

}  // namespace

// One wrapper per call: RET NAME(PARAMS) forwards ARGS to the real call under the family's
// verdict; FAILURE is what the call returns when it fails.
#define WRAP(ret, name, family, failure, params, args)                                        \
  extern "C" ret name params {                                                                \
    static ret(*real) params = nullptr;                                                       \
    return Apply(family, static_cast<ret>(failure), [&] { return Real(&real, #name) args; }); \
  }
#define WRAP_OPEN(name, params, args)                                                         \
  extern "C" int name params {                                                                \
    va_list list;                                                                             \
    va_start(list, flags);                                                                    \
    mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(list, int)) : 0; \
    va_end(list);                                                                             \
    static int(*real) params = nullptr;                                                       \
    return Apply(kOpen, -1, [&] { return Real(&real, #name) args; });                         \
  }

WRAP_OPEN(open, (const char *path, int flags, ...), (path, flags, mode))
WRAP_OPEN(openat, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))
WRAP(FILE *, fopen, kOpen, nullptr, (const char *path, const char *mode), (path, mode))
WRAP(FILE *, fdopen, kOpen, nullptr, (int fd, const char *mode), (fd, mode))
WRAP(int, link, kLink, -1, (const char *from, const char *to), (from, to))
WRAP(int, unlink, kUnlink, -1, (const char *path), (path))
WRAP(int, remove, kUnlink, -1, (const char *path), (path))
WRAP(ssize_t, write, kWrite, -1, (int fd, const void *buf, size_t n), (fd, buf, n))
WRAP(ssize_t, writev, kWrite, -1, (int fd, const struct iovec *iov, int n), (fd, iov, n))
WRAP(int, fflush, kWrite, EOF, (FILE * stream), (stream))
WRAP(ssize_t, readlink, kReadlink, -1, (const char *path, char *buf, size_t n), (path, buf, n))
WRAP(DIR *, opendir, kOpendir, nullptr, (const char *path), (path))
WRAP(DIR *, fdopendir, kOpendir, nullptr, (int fd), (fd))
WRAP(int, fstat, kStat, -1, (int fd, struct stat *st), (fd, st))
WRAP(int, stat, kStat, -1, (const char *path, struct stat *st), (path, st))
WRAP(int, lstat, kStat, -1, (const char *path, struct stat *st), (path, st))
WRAP(int, fstatat, kStat, -1, (int dir, const char *path, struct stat *st, int flags),
     (dir, path, st, flags))
WRAP(ssize_t, read, kRead, -1, (int fd, void *buf, size_t n), (fd, buf, n))
WRAP(int, close, kClose, -1, (int fd), (fd))
WRAP(int, fclose, kClose, EOF, (FILE * stream), (stream))
WRAP(int, closedir, kClose, -1, (DIR * dir), (dir))

// The allocator: before the real one is known (dlsym may allocate), from the bootstrap area.
#define WRAP_ALLOC(name, params, args, bytes)                    \
  extern "C" void *name params {                                 \
    static void *(*real)params = nullptr;                        \
    if (real == nullptr && gInside > 0) return Bootstrap(bytes); \
    ++gInside;                                                   \
    Real(&real, #name);                                          \
    --gInside;                                                   \
    return Judge(kAlloc) == kFail ? nullptr : real args;         \
  }
WRAP_ALLOC(malloc, (size_t size), (size), size)
WRAP_ALLOC(calloc, (size_t count, size_t size), (count, size), count *size)

extern "C" {

// Starts (1) or stops (0) counting. Stopping appends the counts of every family to the log.
__attribute__((visibility("default"))) void vakFaultArm(int on) {
  LoadConfig();
  gConfig.armed = on != 0;
  for (int f = 0; f < kFamilyCount; ++f) {
    if (!on) LogLine("calls", f, gConfig.counts[f], "");
    gConfig.counts[f] = 0;
  }
}

void free(void *p) {
  static void (*real)(void *) = nullptr;
  if (p == nullptr || FromBootstrap(p)) return;
  if (real == nullptr && gInside > 0) return;  // dlsym frees while free is looked up: leaked
  ++gInside;
  Real(&real, "free");
  --gInside;
  real(p);
}

}  // extern "C"
