// fault_inject.cc - a preload library that makes one chosen call fail, stops or kills the process
// at an exact call, or pauses at random before the calls that make and remove lock names: the lock
// library's failure paths and races without test code in the product.
//
// Failing a call. While armed (vakFaultArm(1) around the operation examined), the calls of each
// family are numbered from 1. Configured by the environment:
//   VAK_FAULT_FAMILY  open link unlink write alloc readlink opendir stat read close rename
//                     (creat counts as open, linkat as link, unlinkat as unlink, renameat and
//                     renameat2 as rename)
//   VAK_FAULT_NTH     number of the faulted call within its family
//   VAK_FAULT_MODE    an errno name (EIO ENOSPC EINTR ENOMEM EACCES ESTALE): the call fails with
//                     it, doing nothing (a close is made all the same, as the kernel does);
//                     "kill": SIGKILL in place of the call; "linkeio": the call is made, then
//                     reported as failed with EIO (a network file system that lost the reply of
//                     a successful link)
//   VAK_FAULT_LOG     gets "injected FAMILY N MODE" and, at disarm, "calls FAMILY COUNT" lines
//
// Stopping and dying at a call. Armed or not, every call made outside this library is matched:
//   VAK_FAULT_STOP    "CALL:SUFFIX:N[:before|after]" entries separated by ';' (at most 16). The Nth
//                     call named CALL (open openat creat link linkat unlink unlinkat remove rename
//                     renameat renameat2 read close fstat stat lstat fstatat statx; "*" for any
//                     of them) whose path ends in SUFFIX (empty: any path) raises SIGSTOP, before
//                     the call (the default) or after it. For link and rename either path may
//                     match; for read, close and fstat the path is the descriptor's
//                     (/proc/self/fd). The process first appends "stopped CALL PATH\n" (two paths
//                     for link and rename: "FROM TO") to VAK_FAULT_STOP_NOTIFY. A test waits for
//                     that line and for the stopped state (waitpid with WUNTRACED), then sends
//                     SIGCONT or SIGKILL.
//   VAK_FAULT_DIE     the same entries; the process appends "died CALL PATH\n" and raises SIGKILL
//                     there: a crash at an exact step.
//   VAK_FAULT_STOP_NOTIFY  a file (created, appended to) or a descriptor number.
//
// Random pauses, for races. Before link, linkat, unlink, unlinkat, remove, rename, renameat,
// renameat2, creat and open or openat with O_CREAT on a path that contains ".orvlck":
//   VAK_FAULT_PAUSE   "PROBABILITY:MAX_MICROSECONDS": with that probability (0 to 1) the process
//                     sleeps for a uniformly random time below the maximum. The generator is
//                     seeded from the process identifier and the clock, or from VAK_FAULT_SEED
//                     combined with the process identifier (reproducible per process).
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
#include <time.h>
#include <unistd.h>

#include <utility>

namespace {

// clang-format off
enum Family { kOpen, kLink, kUnlink, kWrite, kAlloc, kReadlink, kOpendir, kStat, kRead, kClose,
              kRename };
// clang-format on
const char *const kFamilies[] = {"open",    "link", "unlink", "write", "alloc", "readlink",
                                 "opendir", "stat", "read",   "close", "rename"};
const int kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];
const std::pair<const char *, int> kErrnos[] = {
    {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EINTR", EINTR}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES},
    {"ESTALE", ESTALE}};

// One stop or death point: the Nth call named call whose path ends in suffix.
struct Point {
  char call[16], suffix[256];
  unsigned long nth, seen;
  bool after, die;
};
const int kMaxPoints = 16;

// Constant-initialised: calls come in before the library's own initialisers run.
struct Config {
  bool loaded = false, armed = false;
  int family = -1, error = 0;
  unsigned long nth = 0, counts[kFamilyCount] = {};
  const char *mode = "", *log = nullptr, *notify = nullptr;
  Point points[kMaxPoints] = {};
  int pointCount = 0;
  double pauseChance = 0;
  unsigned long pauseMax = 0, random = 0;
} gConfig;
int gInside = 0;  // set while this library itself works, so its own calls are not counted

// Adds the entries of text ("CALL:SUFFIX:N[:before|after]" separated by ';'); no allocation,
// since this runs inside the first wrapped call.
void ParsePoints(const char *text, bool die) {
  while (text != nullptr && *text != '\0' && gConfig.pointCount < kMaxPoints) {
    const char *end = strchr(text, ';');
    if (end == nullptr) end = text + strlen(text);
    Point &p = gConfig.points[gConfig.pointCount];
    memset(&p, 0, sizeof p);  // an entry refused before may have left parts behind
    const char *field = text;
    for (int i = 0; i < 4; ++i) {
      const char *stop = static_cast<const char *>(memchr(field, ':', end - field));
      if (stop == nullptr) stop = end;
      const size_t length = static_cast<size_t>(stop - field);
      if (i == 0 && length < sizeof p.call) memcpy(p.call, field, length);
      if (i == 1 && length < sizeof p.suffix) memcpy(p.suffix, field, length);
      if (i == 2) p.nth = strtoul(field, nullptr, 10);
      if (i == 3) p.after = length == 5 && strncmp(field, "after", 5) == 0;
      field = stop < end ? stop + 1 : end;
    }
    p.die = die;
    gConfig.pointCount += p.call[0] != '\0' && p.nth > 0;
    text = *end == ';' ? end + 1 : end;
  }
}

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
  ParsePoints(getenv("VAK_FAULT_STOP"), false);
  ParsePoints(getenv("VAK_FAULT_DIE"), true);
  gConfig.notify = getenv("VAK_FAULT_STOP_NOTIFY");
  if (const char *pause = getenv("VAK_FAULT_PAUSE")) {
    gConfig.pauseChance = strtod(pause, nullptr);
    const char *colon = strchr(pause, ':');
    gConfig.pauseMax = colon != nullptr ? strtoul(colon + 1, nullptr, 10) : 0;
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char *seed = getenv("VAK_FAULT_SEED");
    gConfig.random = (seed != nullptr ? strtoul(seed, nullptr, 10)
                                      : static_cast<unsigned long>(now.tv_nsec) * 2654435761ul) ^
                     (static_cast<unsigned long>(getpid()) << 20) ^ 0x9e3779b97f4a7c15ul;
  }
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

// What a call is made on, for stop points and pauses.
struct Where {
  const char *call;
  const char *path, *path2;  // the second path of a link or rename
  int fd;                    // for calls on a descriptor: its path is looked up when needed
  bool names;                // makes or removes a name (pauses come before these)
};

bool EndsWith(const char *path, const char *suffix) {
  if (path == nullptr) return false;
  const size_t length = strlen(path), tail = strlen(suffix);
  return length >= tail && strcmp(path + length - tail, suffix) == 0;
}

// The path of a call on a descriptor, into buffer ("" when unknown).
const char *FdPath(int fd, char *buffer, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ++gInside;
  ssize_t n = readlink(link, buffer, size - 1);
  --gInside;
  buffer[n > 0 ? n : 0] = '\0';
  return buffer;
}

bool Named(const Point &p, const char *call) {
  return strcmp(p.call, call) == 0 || strcmp(p.call, "*") == 0;
}

// Stops or kills the process at the points that match this call (after: the call was made).
void AtPoints(const Where &w, bool after) {
  for (int i = 0; i < gConfig.pointCount; ++i) {
    Point &p = gConfig.points[i];
    if (p.after != after || !Named(p, w.call)) continue;
    if (!EndsWith(w.path, p.suffix) && !EndsWith(w.path2, p.suffix)) continue;
    if (++p.seen != p.nth) continue;
    int saved = errno;
    ++gInside;
    const bool number =
        gConfig.notify != nullptr && gConfig.notify[0] >= '0' && gConfig.notify[0] <= '9';
    int fd = number ? atoi(gConfig.notify) : -1;
    if (gConfig.notify != nullptr && !number) {
      fd = open(gConfig.notify, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd >= 0) {
      dprintf(fd, "%s %s %s%s%s\n", p.die ? "died" : "stopped", w.call, w.path ? w.path : "",
              w.path2 ? " " : "", w.path2 ? w.path2 : "");
      if (!number) close(fd);
    }
    --gInside;
    raise(p.die ? SIGKILL : SIGSTOP);
    errno = saved;
  }
}

// A random pause before a call that makes or removes a lock name.
void MaybePause(const Where &w) {
  if (gConfig.pauseMax == 0 || !w.names) return;
  if (strstr(w.path ? w.path : "", ".orvlck") == nullptr &&
      strstr(w.path2 ? w.path2 : "", ".orvlck") == nullptr) {
    return;
  }
  // xorshift64*: no lock, no allocation, a stream of its own per process.
  unsigned long &x = gConfig.random;
  x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
  const unsigned long r = x * 2685821657736338717ul;
  if (static_cast<double>(r >> 11) / 9007199254740992.0 >= gConfig.pauseChance) return;
  int saved = errno;
  usleep(static_cast<useconds_t>((r >> 3) % gConfig.pauseMax));
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
// it is reported as failed: retrying it would be wrong, so the descriptor must be gone. Stop
// points and pauses come first, then the verdict; "after" points follow the call.
template <typename T, typename Call>
T Apply(Family family, const Where &where, T failure, Call call) {
  const bool outside = gInside == 0;
  Where w = where;
  char fdPath[4096];
  if (outside) {
    LoadConfig();
    // A descriptor's path is looked up before the call: a close takes it away.
    for (int i = 0; w.path == nullptr && w.fd >= 0 && i < gConfig.pointCount; ++i) {
      if (Named(gConfig.points[i], w.call)) w.path = FdPath(w.fd, fdPath, sizeof fdPath);
    }
    AtPoints(w, false);
    MaybePause(w);
  }
  Verdict verdict = Judge(family);
  if (verdict == kFail && family != kClose) return failure;
  int saved = errno;
  gInside += family == kClose;  // what a close does inside (fclose's flush) is not counted
  T result = call();
  gInside -= family == kClose;
  if (outside && gConfig.pointCount > 0) {
    int made = errno;
    AtPoints(w, true);
    errno = made;
  }
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
// verdict; FAILURE is what the call returns when it fails; WHERE (path, second path, descriptor,
// whether a name is made or removed) is what stop points and pauses look at.
#define WRAP(ret, name, family, failure, params, args, ...) \
  extern "C" ret name params {                              \
    static ret(*real) params = nullptr;                     \
    const Where where = {#name, __VA_ARGS__};               \
    return Apply(family, where, static_cast<ret>(failure),  \
                 [&] { return Real(&real, #name) args; });  \
  }
#define WRAP_OPEN(name, params, args)                                                         \
  extern "C" int name params {                                                                \
    va_list list;                                                                             \
    va_start(list, flags);                                                                    \
    mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(list, int)) : 0; \
    va_end(list);                                                                             \
    static int(*real) params = nullptr;                                                       \
    const Where where = {#name, path, nullptr, -1, (flags & O_CREAT) != 0};                   \
    return Apply(kOpen, where, -1, [&] { return Real(&real, #name) args; });                  \
  }

#define NO_PATH nullptr, nullptr
WRAP_OPEN(open, (const char *path, int flags, ...), (path, flags, mode))
WRAP_OPEN(openat, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))
WRAP(int, creat, kOpen, -1, (const char *path, mode_t mode), (path, mode), path, nullptr, -1, true)
WRAP(FILE *, fopen, kOpen, nullptr, (const char *path, const char *mode), (path, mode), path,
     nullptr, -1, false)
WRAP(FILE *, fdopen, kOpen, nullptr, (int fd, const char *mode), (fd, mode), NO_PATH, fd, false)
WRAP(int, link, kLink, -1, (const char *from, const char *to), (from, to), from, to, -1, true)
WRAP(int, linkat, kLink, -1, (int fromDir, const char *from, int toDir, const char *to, int flags),
     (fromDir, from, toDir, to, flags), from, to, -1, true)
WRAP(int, unlink, kUnlink, -1, (const char *path), (path), path, nullptr, -1, true)
WRAP(int, unlinkat, kUnlink, -1, (int dir, const char *path, int flags), (dir, path, flags), path,
     nullptr, -1, true)
WRAP(int, remove, kUnlink, -1, (const char *path), (path), path, nullptr, -1, true)
WRAP(int, rename, kRename, -1, (const char *from, const char *to), (from, to), from, to, -1, true)
WRAP(int, renameat, kRename, -1, (int fromDir, const char *from, int toDir, const char *to),
     (fromDir, from, toDir, to), from, to, -1, true)
WRAP(int, renameat2, kRename, -1,
     (int fromDir, const char *from, int toDir, const char *to, unsigned int flags),
     (fromDir, from, toDir, to, flags), from, to, -1, true)
WRAP(ssize_t, write, kWrite, -1, (int fd, const void *buf, size_t n), (fd, buf, n), NO_PATH, fd,
     false)
WRAP(ssize_t, writev, kWrite, -1, (int fd, const struct iovec *iov, int n), (fd, iov, n), NO_PATH,
     fd, false)
WRAP(int, fflush, kWrite, EOF, (FILE * stream), (stream), NO_PATH, -1, false)
WRAP(ssize_t, readlink, kReadlink, -1, (const char *path, char *buf, size_t n), (path, buf, n),
     path, nullptr, -1, false)
WRAP(DIR *, opendir, kOpendir, nullptr, (const char *path), (path), path, nullptr, -1, false)
WRAP(DIR *, fdopendir, kOpendir, nullptr, (int fd), (fd), NO_PATH, fd, false)
WRAP(int, fstat, kStat, -1, (int fd, struct stat *st), (fd, st), NO_PATH, fd, false)
WRAP(int, stat, kStat, -1, (const char *path, struct stat *st), (path, st), path, nullptr, -1,
     false)
WRAP(int, lstat, kStat, -1, (const char *path, struct stat *st), (path, st), path, nullptr, -1,
     false)
WRAP(int, fstatat, kStat, -1, (int dir, const char *path, struct stat *st, int flags),
     (dir, path, st, flags), path, nullptr, -1, false)
WRAP(int, statx, kStat, -1,
     (int dir, const char *path, int flags, unsigned int mask, struct statx *sx),
     (dir, path, flags, mask, sx), path, nullptr, -1, false)
WRAP(ssize_t, read, kRead, -1, (int fd, void *buf, size_t n), (fd, buf, n), NO_PATH, fd, false)
WRAP(int, close, kClose, -1, (int fd), (fd), NO_PATH, fd, false)
WRAP(int, fclose, kClose, EOF, (FILE * stream), (stream), NO_PATH, -1, false)
WRAP(int, closedir, kClose, -1, (DIR * dir), (dir), NO_PATH, -1, false)
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
