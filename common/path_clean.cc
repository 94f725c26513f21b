// path_clean.cc - rooting a path at the working directory and lexical clean-up of rooted paths.
// A path whose rooted form does not fit a path buffer gives no result, never a cut path, which
// would name another file.
#include "path_clean.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "path_format.h"
#include "posix_io.h"

namespace orv {

namespace {
const char kNoWorkingDirMsg[] = "Unable to get working directory.\n";
}  // namespace

Rooting RootInPlace(char (&path)[ORV_PATH_BUF_SIZE]) {
  if (path[0] == '/') return Rooting::kRooted;
  char cwd[ORV_PATH_BUF_SIZE];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    fputs(kNoWorkingDirMsg, stderr);
    return Rooting::kNoWorkingDir;
  }
  char joined[ORV_PATH_BUF_SIZE];
  if (!FormatPath(joined, "%s/%s", cwd, static_cast<const char *>(path))) return Rooting::kTooLong;
  memcpy(path, joined, strlen(joined) + 1);
  return Rooting::kRooted;
}

bool RootOrUnknown(char (&path)[ORV_PATH_BUF_SIZE]) {
  switch (RootInPlace(path)) {
    case Rooting::kRooted:
      return true;
    case Rooting::kNoWorkingDir:
      strcpy(path, "/UNKNOWN");
      return true;
    case Rooting::kTooLong:
      break;
  }
  return false;
}

// A given buffer is taken to hold ORV_PATH_BUF_SIZE bytes; a path that would not fit it is refused
// with errno ENAMETOOLONG.
char *MkRootedPath(const char *path, char *buf) {
  if (path == nullptr) return nullptr;
  size_t length = strlen(path);
  if (path[0] == '/' && buf == nullptr) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy != nullptr) memcpy(copy, path, length + 1);
    return copy;
  }
  char rooted[ORV_PATH_BUF_SIZE];
  if (!FormatPath(rooted, "%s", path) || RootInPlace(rooted) != Rooting::kRooted) return nullptr;
  MallocPtr<char> owned;
  if (buf == nullptr) {
    owned.reset(static_cast<char *>(malloc(ORV_PATH_BUF_SIZE)));
    if (owned == nullptr) return nullptr;
    buf = owned.get();
  }
  memcpy(buf, rooted, strlen(rooted) + 1);
  owned.release();
  return buf;
}

void CleanupRootedPath(char *path) {
  if (path == nullptr) return;
  for (;;) {
    char *at = strstr(path, "//");
    if (at != nullptr) {
      memmove(at, at + 1, strlen(at + 1) + 1);
      continue;
    }
    at = strstr(path, "/./");
    if (at != nullptr) {
      memmove(at, at + 2, strlen(at + 2) + 1);
      continue;
    }
    at = strstr(path, "/../");
    if (at == nullptr) return;
    // The part before "/../" loses its last component, when it is not empty and has one.
    *at = '\0';
    char *cut = strrchr(path, '/');
    if (at == path || cut == nullptr) cut = at;
    memmove(cut, at + 3, strlen(at + 3) + 1);
  }
}

int IsRooted(const char *path) {
  return path != nullptr && path[0] == '/';
}

int IsRoot(const char *path) {
  if (!IsRooted(path)) return 0;
  const char *p = path + 1;
  for (;;) {
    if (*p == '/') {
      ++p;
    } else if (*p == '.' && (p[1] == '/' || (p[1] == '.' && p[2] == '/'))) {
      ++p;
    } else {
      return *p == '\0' ? 1 : 0;
    }
  }
}

int IsUNCRoot(const char *) {
  return 0;
}

void CanonicalizeDirSep(char *) {}

}  // namespace orv
