// temp_names.cc - unique temporary names and files, the choice of a temporary directory, and the
// writability and case-sensitivity probes.
//
// Names, directories and templates are built in ORV_PATH_BUF_SIZE-byte buffers. Anything that would
// not fit (a template, directory or environment value of 4096 characters or more) is refused with
// errno ENAMETOOLONG, or skipped where a list of candidates is tried, rather than cut: a cut name
// would silently name a different file.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "temp_names.h"
#include "path_format.h"
#include "posix_io.h"

namespace orv {

namespace {

const char padchar[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const size_t kPadCount = sizeof padchar - 1;
const char *const orvTempSearch[] = {"$ORV_TMP_DIR", "$TMPDIR", "$TEMPDIR", "/tmp", nullptr};
const char testFile[] = "orvFileWritableTest";
const char kDefaultPrefix[] = "tmp.";
const char kCaseProbeLower[] = "orvfscasesensitivity";
const char kCaseProbeMixed[] = "orvFsCaseSensitivity";

// Fails with stat's errno, or ENOTDIR, when the directory part of the template (up to its last
// "/" after the first character and before the generated part) is not a directory.
bool DirectoryPartUsable(char *templ, size_t generatedStart) {
  char *slash = nullptr;
  for (size_t i = 1; i < generatedStart; ++i) {
    if (templ[i] == '/') slash = templ + i;
  }
  if (slash == nullptr) return true;
  *slash = '\0';
  struct stat st;
  int rc = stat(templ, &st);
  *slash = '/';
  if (rc != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

// Steps the generated part to the next name: the leftmost character moves fastest and a "z"
// carries into its right neighbour. False when every name has been tried.
bool NextName(char *templ, size_t generatedStart, size_t length) {
  for (size_t i = generatedStart; i < length; ++i) {
    const char *at = strchr(padchar, templ[i]);
    if (at != nullptr && static_cast<size_t>(at - padchar) + 1 < kPadCount) {
      templ[i] = at[1];
      return true;
    }
    templ[i] = '0';
  }
  return false;
}

// Replaces the template's trailing X's and looks for a free name: creates the file (fd non-null)
// or only finds a name that does not exist (fd null). On failure errno says why.
bool GetTemp(char *templ, int *fd) {
  if (templ == nullptr || templ[0] == '\0') {
    errno = EINVAL;
    return false;
  }
  size_t length = strlen(templ);
  if (length >= ORV_PATH_BUF_SIZE) {
    errno = ENAMETOOLONG;
    return false;
  }
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    fprintf(stderr, "Error: gettimeofday() failed. %s\n", strerror(errno));
    return false;
  }
  unsigned int seed = (static_cast<uint32_t>(now.tv_usec) << 7) ^
                      static_cast<uint32_t>(now.tv_sec) ^ static_cast<uint32_t>(getpid());
  size_t generatedStart = length;
  while (generatedStart > 0 && templ[generatedStart - 1] == 'X') {
    templ[--generatedStart] = padchar[static_cast<unsigned>(rand_r(&seed)) % kPadCount];
  }
  if (fd != nullptr && !DirectoryPartUsable(templ, generatedStart)) return false;

  for (;;) {
    if (fd != nullptr) {
      // The descriptor is the caller's, with mkstemp's inheritance: no O_CLOEXEC here.
      *fd = RetryOnEintr([&] { return open(templ, O_RDWR | O_CREAT | O_EXCL, 0600); });
      if (*fd >= 0) return true;
      if (errno != EEXIST) return false;
    } else {
      struct stat st;
      if (lstat(templ, &st) != 0) return errno == ENOENT;
    }
    if (!NextName(templ, generatedStart, length)) {
      errno = EEXIST;  // every name that the template allows is taken
      return false;
    }
  }
}

}  // namespace

int MkStemp(char *templ) {
  int fd = -1;
  return GetTemp(templ, &fd) ? fd : -1;
}

char *MkTemp(char *templ) {
  return GetTemp(templ, nullptr) ? templ : nullptr;
}

char *TempNam(const char *dir, const char *prefix) {
  char *name = static_cast<char *>(malloc(ORV_PATH_BUF_SIZE));
  if (name == nullptr) return nullptr;
  if (prefix == nullptr) prefix = kDefaultPrefix;
  // An empty directory text is treated like none: joining it with "/" would put the name in the
  // root directory, which the caller did not ask for.
  if (dir != nullptr && dir[0] != '\0') {
    const char *sep = dir[strlen(dir) - 1] == '/' ? "" : "/";
    if (FormatPath(name, ORV_PATH_BUF_SIZE, "%s%s%sXXXXXX", dir, sep, prefix) &&
        MkTemp(name) != nullptr) {
      return name;
    }
  }
  if (FormatPath(name, ORV_PATH_BUF_SIZE, "%s%s%sXXXXXX", "/tmp", "/", prefix) &&
      MkTemp(name) != nullptr) {
    return name;
  }
  if (FormatPath(name, ORV_PATH_BUF_SIZE, "%s%sXXXXXX", "/tmp/", prefix) &&
      MkTemp(name) != nullptr) {
    return name;
  }
  int saved = errno;
  free(name);
  errno = saved;
  return nullptr;
}

char *MkUniqueFilePath(const char *dir, const char *prefix, char *buf) {
  char *name = TempNam(dir, prefix);
  if (name == nullptr || buf == nullptr) return name;
  // The name was built in a buffer of the same size, so it fits.
  memcpy(buf, name, strlen(name) + 1);
  free(name);
  return buf;
}

char *GetTmpDir(char *buf) {
  MallocPtr<char> owned;
  if (buf == nullptr) {
    owned.reset(static_cast<char *>(malloc(ORV_PATH_BUF_SIZE)));
    if (owned == nullptr) return nullptr;
    buf = owned.get();
  }
  for (const char *const *candidate = orvTempSearch; *candidate != nullptr; ++candidate) {
    const char *dir = *candidate;
    if (dir[0] == '$') {
      dir = getenv(dir + 1);
      if (dir == nullptr) dir = "";
    }
    size_t length = strlen(dir);
    if (length >= ORV_PATH_BUF_SIZE || !FileWritable(dir)) continue;
    memcpy(buf, dir, length + 1);
    owned.release();
    return buf;
  }
  return nullptr;
}

int FileWritable(const char *path) {
  struct stat st;
  if (path == nullptr || path[0] == '\0' || stat(path, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) {
    char probe[ORV_PATH_BUF_SIZE];
    if (!FormatPath(probe, "%s/%s", path, testFile)) return 0;
    UniqueFd fd(RetryOnEintr([&] { return open(probe, O_WRONLY | O_CREAT | O_CLOEXEC, 0644); }));
    if (!fd.valid()) return 0;
    fd.reset();
    remove(probe);
    return 1;
  }
  // O_NONBLOCK keeps a FIFO without a reader from hanging the probe; O_NOCTTY keeps a terminal
  // from becoming the controlling one. Neither changes anything for a regular file.
  UniqueFd fd(
      RetryOnEintr([&] { return open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
  return fd.valid() ? 1 : 0;
}

int GetFilesysCaseSensitivity(const char *path) {
  char dir[ORV_PATH_BUF_SIZE];
  if (path == nullptr || !FormatPath(dir, "%s", path)) return FS_CASE_INDETERMINATE;
  for (;;) {
    struct stat st;
    if (dir[0] == '\0') return FS_CASE_INDETERMINATE;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) break;
    char *slash = strrchr(dir, '/');
    if (slash == nullptr) slash = dir;
    *slash = '\0';
  }
  if (access(dir, W_OK) != 0) return FS_CASE_INDETERMINATE;

  char lower[ORV_PATH_BUF_SIZE];
  char mixed[ORV_PATH_BUF_SIZE];
  int pid = static_cast<int>(getpid());
  if (!FormatPath(lower, "%s%s%s.%d", dir, "/", kCaseProbeLower, pid) ||
      !FormatPath(mixed, "%s%s%s.%d", dir, "/", kCaseProbeMixed, pid)) {
    return FS_CASE_INDETERMINATE;
  }
  // Writes the probe's own base name into it; false when the file cannot be created.
  auto writeProbe = [](const char *name, const char *content) {
    FILE *f = fopen(name, "we");
    if (f == nullptr) return false;
    fputs(content, f);
    fclose(f);
    return true;
  };
  if (!writeProbe(lower, kCaseProbeLower)) return FS_CASE_INDETERMINATE;
  if (!writeProbe(mixed, kCaseProbeMixed)) {
    remove(lower);
    return FS_CASE_INDETERMINATE;
  }
  char content[128] = "";
  {
    UniqueFile f(fopen(lower, "re"));
    if (f != nullptr && fgets(content, sizeof content, f.get()) == nullptr) content[0] = '\0';
  }
  remove(lower);
  remove(mixed);
  if (strcmp(content, kCaseProbeLower) == 0) return FS_CASE_SENSITIVE;
  if (strcmp(content, kCaseProbeMixed) == 0) return FS_CASE_INSENSITIVE;
  return FS_CASE_INDETERMINATE;
}

}  // namespace orv
