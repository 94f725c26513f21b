// fault_inject.cc - a preload library (LD_PRELOAD) that makes one chosen system or library call
// fail, so that tests can drive the lock library down every failure path without a line of test
// code in the product.
//
// Calls are grouped in families; while counting is armed, every call of a family is numbered from
// 1. Configuration, from the environment:
//   VAK_FAULT_FAMILY  family whose call is faulted: open link unlink write alloc readlink opendir
//                     stat read close
//   VAK_FAULT_NTH     number of the faulted call within its family (0 or unset: none)
//   VAK_FAULT_MODE    an errno name (EIO ENOSPC EINTR ENOMEM EACCES): the call fails with it, doing
//                     nothing; "kill": the process is killed (SIGKILL) in place of the call;
//                     "linkeio": the call is made, then reported as failed with EIO (a network
//                     file system that lost the reply of a link that succeeded)
//   VAK_FAULT_LOG     file to which "injected FAMILY N MODE" and, at disarm, "calls FAMILY COUNT"
//                     lines are appended
//   VAK_FAULT_ARMED   "1": counting starts at once; otherwise the program under test arms it with
//                     vakFaultArm(1) around the operation it wants to examine.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <dirent.h>

namespace {

enum Family {
  kOpen,
  kLink,
  kUnlink,
  kWrite,
  kAlloc,
  kReadlink,
  kOpendir,
  kStat,
  kRead,
  kClose,
  kFamilies
};
const char *const kFamilyNames[kFamilies] = {"open",     "link",    "unlink", "write", "alloc",
                                             "readlink", "opendir", "stat",   "read",  "close"};

enum Mode { kNone, kErrno, kKill, kLinkEio };

struct Config {
  bool loaded = false;
  bool armed = false;
  int family = -1;
  unsigned long nth = 0;
  Mode mode = kNone;
  int error = 0;
  const char *modeName = "";
  const char *log = nullptr;
  unsigned long counts[kFamilies] = {};
};
Config gConfig;
int gInside = 0;  // set while this library itself works, so its own calls are not counted

// Allocation before the real allocator is known (dlsym may allocate) comes from here.
alignas(16) char gBootstrap[4096];
size_t gBootstrapUsed = 0;
bool FromBootstrap(const void *p) {
  return p >= gBootstrap && p < gBootstrap + sizeof gBootstrap;
}

template <typename F>
F Real(F *slot, const char *name) {
  if (*slot == nullptr) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

#define REAL(name) Real(&real_##name, #name)

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using FopenFn = FILE *(*)(const char *, const char *);
using FdopenFn = FILE *(*)(int, const char *);
using LinkFn = int (*)(const char *, const char *);
using PathFn = int (*)(const char *);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using WritevFn = ssize_t (*)(int, const struct iovec *, int);
using StreamFn = int (*)(FILE *);
using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);
using ReadlinkFn = ssize_t (*)(const char *, char *, size_t);
using OpendirFn = DIR *(*)(const char *);
using FdopendirFn = DIR *(*)(int);
using ClosedirFn = int (*)(DIR *);
using FstatFn = int (*)(int, struct stat *);
using StatFn = int (*)(const char *, struct stat *);
using FstatatFn = int (*)(int, const char *, struct stat *, int);
using ReadFn = ssize_t (*)(int, void *, size_t);
using CloseFn = int (*)(int);

OpenFn real_open, real_open64;
OpenatFn real_openat, real_openat64;
FopenFn real_fopen, real_fopen64;
FdopenFn real_fdopen;
LinkFn real_link;
PathFn real_unlink, real_remove;
WriteFn real_write;
WritevFn real_writev;
StreamFn real_fflush, real_fclose;
MallocFn real_malloc;
CallocFn real_calloc;
ReallocFn real_realloc;
FreeFn real_free;
ReadlinkFn real_readlink;
OpendirFn real_opendir;
FdopendirFn real_fdopendir;
ClosedirFn real_closedir;
FstatFn real_fstat;
StatFn real_stat, real_lstat;
FstatatFn real_fstatat;
ReadFn real_read;
CloseFn real_close;

struct ErrnoName {
  const char *name;
  int value;
};
const ErrnoName kErrnos[] = {
    {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EINTR", EINTR}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES}};

void LoadConfig() {
  if (gConfig.loaded) return;
  gConfig.loaded = true;
  const char *family = getenv("VAK_FAULT_FAMILY");
  for (int f = 0; family != nullptr && f < kFamilies; ++f) {
    if (strcmp(family, kFamilyNames[f]) == 0) gConfig.family = f;
  }
  const char *nth = getenv("VAK_FAULT_NTH");
  if (nth != nullptr) gConfig.nth = strtoul(nth, nullptr, 10);
  const char *mode = getenv("VAK_FAULT_MODE");
  if (mode != nullptr) {
    gConfig.modeName = mode;
    if (strcmp(mode, "kill") == 0) gConfig.mode = kKill;
    if (strcmp(mode, "linkeio") == 0) gConfig.mode = kLinkEio;
    for (const ErrnoName &e : kErrnos) {
      if (strcmp(mode, e.name) == 0) {
        gConfig.mode = kErrno;
        gConfig.error = e.value;
      }
    }
  }
  gConfig.log = getenv("VAK_FAULT_LOG");
  const char *armed = getenv("VAK_FAULT_ARMED");
  gConfig.armed = armed != nullptr && strcmp(armed, "1") == 0;
}

// Appends one line to the log with the real calls, leaving errno alone.
void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogLine(const char *format, ...) {
  if (gConfig.log == nullptr) return;
  int saved = errno;
  ++gInside;
  char line[256];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  int fd = REAL(open)(gConfig.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0 && length > 0) {
    if (REAL(write)(fd, line, static_cast<size_t>(length)) < 0) {
      // Nothing to do: the log is only a report.
    }
  }
  if (fd >= 0) REAL(close)(fd);
  --gInside;
  errno = saved;
}

// What the wrapper of a call in a family must do.
enum Verdict { kPass, kFail, kPassThenEio };

Verdict Judge(Family family) {
  if (gInside > 0) return kPass;
  LoadConfig();
  if (!gConfig.armed) return kPass;
  unsigned long n = ++gConfig.counts[family];
  if (family != gConfig.family || n != gConfig.nth || gConfig.mode == kNone) return kPass;
  LogLine("injected %s %lu %s\n", kFamilyNames[family], n, gConfig.modeName);
  switch (gConfig.mode) {
    case kKill:
      raise(SIGKILL);
      return kPass;  // not reached
    case kLinkEio:
      return kPassThenEio;
    case kErrno:
      errno = gConfig.error;
      return kFail;
    default:
      return kPass;
  }
}

// Applies a verdict to a call that reports failure as -1 (or NULL).
template <typename T, typename Call>
T Apply(Family family, T failure, Call call) {
  Verdict verdict = Judge(family);
  if (verdict == kFail) return failure;
  int saved = errno;
  T result = call();
  if (verdict == kPassThenEio) {
    errno = EIO;
    return failure;
  }
  if (result != failure) errno = saved;
  return result;
}

mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(args, int))
             : 0;
}

}  // namespace

extern "C" {

// Starts (1) or stops (0) counting. Stopping appends the counts of every family to the log.
__attribute__((visibility("default"))) void vakFaultArm(int on) {
  LoadConfig();
  if (on) {
    for (unsigned long &c : gConfig.counts) c = 0;
    gConfig.armed = true;
    return;
  }
  gConfig.armed = false;
  for (int f = 0; f < kFamilies; ++f) LogLine("calls %s %lu\n", kFamilyNames[f], gConfig.counts[f]);
}

int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Apply(kOpen, -1, [&] { return REAL(open)(path, flags, mode); });
}

int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Apply(kOpen, -1, [&] { return REAL(open64)(path, flags, mode); });
}

int openat(int dirFd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Apply(kOpen, -1, [&] { return REAL(openat)(dirFd, path, flags, mode); });
}

int openat64(int dirFd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Apply(kOpen, -1, [&] { return REAL(openat64)(dirFd, path, flags, mode); });
}

FILE *fopen(const char *path, const char *mode) {
  return Apply(kOpen, static_cast<FILE *>(nullptr), [&] { return REAL(fopen)(path, mode); });
}

FILE *fopen64(const char *path, const char *mode) {
  return Apply(kOpen, static_cast<FILE *>(nullptr), [&] { return REAL(fopen64)(path, mode); });
}

FILE *fdopen(int fd, const char *mode) {
  return Apply(kOpen, static_cast<FILE *>(nullptr), [&] { return REAL(fdopen)(fd, mode); });
}

int link(const char *from, const char *to) {
  return Apply(kLink, -1, [&] { return REAL(link)(from, to); });
}

int unlink(const char *path) {
  return Apply(kUnlink, -1, [&] { return REAL(unlink)(path); });
}

int remove(const char *path) {
  return Apply(kUnlink, -1, [&] { return REAL(remove)(path); });
}

ssize_t write(int fd, const void *buf, size_t count) {
  return Apply(kWrite, static_cast<ssize_t>(-1), [&] { return REAL(write)(fd, buf, count); });
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
  return Apply(kWrite, static_cast<ssize_t>(-1), [&] { return REAL(writev)(fd, iov, count); });
}

int fflush(FILE *stream) {
  return Apply(kWrite, EOF, [&] { return REAL(fflush)(stream); });
}

// A failed fclose still releases the stream, as the real one does after an error.
int fclose(FILE *stream) {
  Verdict verdict = Judge(kClose);
  int saved = errno;
  ++gInside;
  int result = REAL(fclose)(stream);
  --gInside;
  if (verdict == kFail) {
    errno = gConfig.error;
    return EOF;
  }
  if (result == 0) errno = saved;
  return result;
}

ssize_t readlink(const char *path, char *buf, size_t size) {
  return Apply(kReadlink, static_cast<ssize_t>(-1),
               [&] { return REAL(readlink)(path, buf, size); });
}

DIR *opendir(const char *path) {
  return Apply(kOpendir, static_cast<DIR *>(nullptr), [&] { return REAL(opendir)(path); });
}

DIR *fdopendir(int fd) {
  return Apply(kOpendir, static_cast<DIR *>(nullptr), [&] { return REAL(fdopendir)(fd); });
}

int closedir(DIR *dir) {
  Verdict verdict = Judge(kClose);
  ++gInside;
  int result = REAL(closedir)(dir);
  --gInside;
  if (verdict == kFail) {
    errno = gConfig.error;
    return -1;
  }
  return result;
}

int fstat(int fd, struct stat *st) {
  return Apply(kStat, -1, [&] { return REAL(fstat)(fd, st); });
}

int stat(const char *path, struct stat *st) {
  return Apply(kStat, -1, [&] { return REAL(stat)(path, st); });
}

int lstat(const char *path, struct stat *st) {
  return Apply(kStat, -1, [&] { return REAL(lstat)(path, st); });
}

int fstatat(int dirFd, const char *path, struct stat *st, int flags) {
  return Apply(kStat, -1, [&] { return REAL(fstatat)(dirFd, path, st, flags); });
}

ssize_t read(int fd, void *buf, size_t count) {
  return Apply(kRead, static_cast<ssize_t>(-1), [&] { return REAL(read)(fd, buf, count); });
}

// Closing after EINTR must not be retried (the descriptor is gone), so an injected failure
// closes the descriptor all the same, as the kernel does.
int close(int fd) {
  Verdict verdict = Judge(kClose);
  ++gInside;
  int result = REAL(close)(fd);
  --gInside;
  if (verdict == kFail) {
    errno = gConfig.error;
    return -1;
  }
  return result;
}

void *malloc(size_t size) {
  if (real_malloc == nullptr) {
    if (gInside > 0) {
      size_t rounded = (size + 15) & ~static_cast<size_t>(15);
      if (gBootstrapUsed + rounded > sizeof gBootstrap) return nullptr;
      void *p = gBootstrap + gBootstrapUsed;
      gBootstrapUsed += rounded;
      return p;
    }
    ++gInside;
    REAL(malloc);
    --gInside;
  }
  if (Judge(kAlloc) == kFail) return nullptr;
  return real_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (real_calloc == nullptr) {
    if (gInside > 0) {
      void *p = malloc(count * size);  // the bootstrap area is zero-filled and never reused
      return p;
    }
    ++gInside;
    REAL(calloc);
    --gInside;
  }
  if (Judge(kAlloc) == kFail) return nullptr;
  return real_calloc(count, size);
}

void *realloc(void *old, size_t size) {
  if (FromBootstrap(old)) {
    void *p = malloc(size);
    size_t room = static_cast<size_t>(gBootstrap + sizeof gBootstrap - static_cast<char *>(old));
    if (p != nullptr) memcpy(p, old, size < room ? size : room);
    return p;
  }
  if (Judge(kAlloc) == kFail) return nullptr;
  return REAL(realloc)(old, size);
}

void free(void *p) {
  if (p == nullptr || FromBootstrap(p)) return;
  REAL(free)(p);
}

}  // extern "C"
