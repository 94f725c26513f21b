// install_root.cc - finds the install hierarchy from the program's own arg0 and derives the tools
// directory from it; also the search along PATH, path rooting and clean-up, and the line reader
// that accepts CR LF line ends.
//
// Long input never overruns the 4096-byte path buffers:
//   - arg0 is recorded up to 4096 characters and cut beyond; a recorded arg0 that does not fit a
//     path buffer (4096 characters) finds no root;
//   - a search-list element, or an element joined with a name, that does not fit is skipped;
//   - a path whose rooted or joined form does not fit gives no result (NULL or 0), never a cut
//     path, which would name another file;
//   - a command-table line longer than the line buffer is skipped whole.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "orv.h"
#include "path_format.h"
#include "posix_io.h"

namespace {

using orv::FormatPath;

const char kPlatform[] = "lnx86";
const char *const kMarkerToolsDirs[] = {"tools/bin", "tools.lnx86/bin"};
const char kMarkerName[] = "orv_root";
const char kCommandTable[] = ".command_table.dat";
const int kPlatNameSize = 16;  // platform names of up to 15 characters
const size_t kMaxRoots = 100;

const char kNotInitializedMsg[] = "ERROR! orvInit has not been called\n";
const char kNoSearchPathMsg[] = "ERROR! unable to determine search path - check PATH setting\n";
const char kNoSearchListMsg[] =
    "ERROR! unable to determine search path or stream list - check PATH or ORV_STRM_DIR_LIST "
    "setting\n";
const char kNoWorkingDirMsg[] = "Unable to get working directory.\n";

// Process-wide state, one instance per process.
int alreadyInitialized = 0;
int cmnInstallRootRequired = 1;
char orviExecutableName[ORV_PATH_BUF_SIZE + 1];
char *orviRootPath = nullptr;
char exePath[ORV_PATH_BUF_SIZE];
const char *sFullExePath = "";
char *cachedToolsPath = nullptr;
char cachedToolsBuf[ORV_PATH_BUF_SIZE];

void RecordExecutableName(const char *name) {
  if (name == nullptr) name = "";
  snprintf(orviExecutableName, sizeof orviExecutableName, "%s", name);
}

bool IsBlankOrTab(char ch) {
  return ch == ' ' || ch == '\t';
}

// Calls visit on each element of a colon-separated search list from left to right, "." standing
// for an empty element, until visit returns true. Elements too long for a path buffer are skipped.
template <typename Visit>
bool WalkSearchList(const char *list, Visit visit) {
  char element[ORV_PATH_BUF_SIZE];
  for (const char *p = list;;) {
    const char *end = strchr(p, ':');
    size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (length < sizeof element) {
      if (length == 0) {
        element[0] = '.';
        length = 1;
      } else {
        memcpy(element, p, length);
      }
      element[length] = '\0';
      if (visit(static_cast<const char *>(element))) return true;
    }
    if (end == nullptr) return false;
    p = end + 1;
  }
}

// The first element e of the list for which e + "/" + name is an executable file, into out.
bool SearchExecutable(const char *list, const char *name, char (&out)[ORV_PATH_BUF_SIZE]) {
  return WalkSearchList(list, [&](const char *element) {
    return FormatPath(out, "%s%s%s", element, "/", name) && orviFileExistsExecutable(out);
  });
}

enum class Rooting { kRooted, kNoWorkingDir, kTooLong };

// Joins a relative path to the working directory, in place.
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

// Roots the path in place; an unknown working directory gives "/UNKNOWN". False when the rooted
// path does not fit.
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

bool HasMarker(const char *dir) {
  char marker[ORV_PATH_BUF_SIZE];
  for (const char *toolsDir : kMarkerToolsDirs) {
    if (FormatPath(marker, "%s%s%s%s%s", dir, "/", toolsDir, "/", kMarkerName) &&
        orviFileExistsExecutable(marker)) {
      return true;
    }
  }
  return false;
}

// The first directory carrying the marker, as a new heap string: the path itself when testWhole,
// then each parent up to the empty text left by the leading "/". The path is cut in the process.
char *FindRootUpwards(char *path, bool testWhole) {
  if (testWhole && HasMarker(path)) return orviCopyString(path);
  for (size_t i = strlen(path); i-- > 0;) {
    if (path[i] != '/') continue;
    path[i] = '\0';
    if (HasMarker(path)) return orviCopyString(path);
  }
  return nullptr;
}

// Reads one whole line into buf; a line longer than the buffer is consumed and skipped. False at
// the end of the file.
bool ReadWholeLine(FILE *f, char *buf, int size) {
  while (orv_fgets(buf, size, f) != nullptr) {
    size_t length = strlen(buf);
    if (length + 1 < static_cast<size_t>(size) || buf[length - 1] == '\n') return true;
    int ch = fgetc(f);
    if (ch == EOF) return true;
    if (ch == '\n') {
      // The line filled the buffer exactly; drop the CR of a CR LF end that got split off.
      if (buf[length - 1] == '\r') buf[length - 1] = '\0';
      return true;
    }
    while (ch != EOF && ch != '\n') ch = fgetc(f);
  }
  return false;
}

// Field 5 of the first line of the command table whose field 1 is the base name of name, as a new
// heap string. A matching line with fewer than five fields, or an empty fifth field, names no
// executable and is skipped.
char *orviGetRealPath(const char *name, const char *table) {
  const char *slash = strrchr(name, '/');
  const char *base = slash != nullptr ? slash + 1 : name;
  size_t baseLength = strlen(base);
  orv::UniqueFile f(fopen(table, "r"));
  if (f == nullptr) return nullptr;
  char line[ORV_PATH_BUF_SIZE];
  while (ReadWholeLine(f.get(), line, sizeof line)) {
    const char *p = line;
    for (int field = 1;; ++field) {
      const char *start = p;
      while (*p != '\0' && !IsBlankOrTab(*p) && *p != '\n') ++p;
      size_t length = static_cast<size_t>(p - start);
      if (field == 1 && (length != baseLength || memcmp(start, base, length) != 0)) break;
      if (field == 5) {
        if (length == 0) break;
        char *real = static_cast<char *>(orviMalloc(length + 1));
        if (real != nullptr) {
          memcpy(real, start, length);
          real[length] = '\0';
        }
        return real;
      }
      if (*p == '\0') break;
      ++p;
      while (IsBlankOrTab(*p)) ++p;
    }
  }
  return nullptr;
}

// Finds the install root from the recorded arg0 and stores it in orviRootPath (NULL when none).
void orviGetInstallRoot() {
  orviRootPath = nullptr;
  if (!alreadyInitialized) {
    fputs(kNotInitializedMsg, stderr);
    return;
  }
  sFullExePath = "";
  const char *arg0 = orviExecutableName;
  if (arg0[0] == '\0' || !FormatPath(exePath, "%s", arg0)) return;
  if (strchr(arg0, '/') == nullptr) {
    const char *path = getenv("PATH");
    if (path == nullptr) {
      fputs(kNoSearchPathMsg, stderr);
    } else {
      char found[ORV_PATH_BUF_SIZE];
      if (!SearchExecutable(path, arg0, found)) return;
      memcpy(exePath, found, strlen(found) + 1);
    }
  }
  if (!RootOrUnknown(exePath)) return;
  orviCleanupRootedPath(exePath);
  sFullExePath = exePath;

  if (getenv("ORV_STRM_ACTIVE") != nullptr) {
    char table[ORV_PATH_BUF_SIZE];
    int dirLength = static_cast<int>(strrchr(exePath, '/') - exePath);
    if (FormatPath(table, "%.*s/%s", dirLength, static_cast<const char *>(exePath),
                   kCommandTable) &&
        orviPathExists(table)) {
      orv::MallocPtr<char> real(orviGetRealPath(arg0, table));
      if (real != nullptr && strlen(real.get()) < sizeof exePath) {
        memcpy(exePath, real.get(), strlen(real.get()) + 1);
      }
    }
  }
  char work[ORV_PATH_BUF_SIZE];
  memcpy(work, exePath, strlen(exePath) + 1);
  orviRootPath = FindRootUpwards(work, false);
}

const char *KnownRoot() {
  if (orviRootPath == nullptr) orviGetInstallRoot();
  return orviRootPath;
}

// The list that root searches walk: the stream list in a stream installation, else PATH. NULL when
// that variable is not set.
const char *RootSearchList() {
  return getenv(getenv("ORV_STRM_ACTIVE") != nullptr ? "ORV_STRM_DIR_LIST" : "PATH");
}

// First line of the platform file of a tools directory, without its line end; false when the file
// is missing or its first line is empty.
bool sReadOrvPlatDat(const char *toolsDir, char (&name)[kPlatNameSize]) {
  char path[ORV_PATH_BUF_SIZE];
  if (!FormatPath(path, "%s/bin/orv_plat.dat", toolsDir)) return false;
  orv::UniqueFile f(fopen(path, "r"));
  if (f == nullptr || orv_fgets(name, sizeof name, f.get()) == nullptr) return false;
  name[strcspn(name, "\n")] = '\0';
  return name[0] != '\0';
}

// Determines the tools directory once; later calls reuse it. A failure caches nothing.
const char *ToolsDir() {
  if (cachedToolsPath != nullptr) return cachedToolsPath;
  const char *root = KnownRoot();
  if (root == nullptr) return nullptr;
  char candidate[ORV_PATH_BUF_SIZE];
  if (!FormatPath(candidate, "%s/tools", root)) return nullptr;
  char platform[kPlatNameSize];
  bool named = sReadOrvPlatDat(candidate, platform);
  if (!named || strcmp(platform, kPlatform) != 0) {
    char platformDir[ORV_PATH_BUF_SIZE];
    if (FormatPath(platformDir, "%s.%s", static_cast<const char *>(candidate), kPlatform) &&
        orviPathExists(platformDir)) {
      memcpy(candidate, platformDir, strlen(platformDir) + 1);
    }
    if (!orviPathExists(candidate) || named) return nullptr;
  }
  memcpy(cachedToolsBuf, candidate, strlen(candidate) + 1);
  cachedToolsPath = cachedToolsBuf;
  return cachedToolsPath;
}

// Copies text into buf when it fits size bytes with its terminator.
int CopyIfFits(char *buf, size_t size, const char *text) {
  size_t length = strlen(text);
  if (buf == nullptr || length + 1 > size) return 0;
  memcpy(buf, text, length + 1);
  return 1;
}

void ReportNoInstallRoot() {
  const char *arg0 = orviExecutableName;
  const char *path = getenv("PATH");
  if (path == nullptr) path = "<UNSET>";
  if (arg0[0] == '/') {
    fprintf(stderr,
            "ERROR: can't determine installation root.\n"
            "       can't find %s in any parent directory of %s\n",
            "tools/bin/orv_root", arg0);
  } else if (sFullExePath[0] != '\0') {
    fprintf(stderr,
            "ERROR: can't determine installation root.\n"
            "       can't find %s in any parent directory of executable %s\n"
            "       (found using arg0 \"%s\" and current working dir or\n"
            "        $PATH %s)\n",
            "tools/bin/orv_root", sFullExePath, arg0, path);
  } else {
    fprintf(stderr,
            "ERROR: can't determine installation root.\n"
            "       can't create rooted path to arg0 \"%s\"\n"
            "       using current working directory or $PATH: %s\n",
            arg0, path);
  }
}

}  // namespace

extern "C" {

// A 0 set by cmnNoInstallRootRequired before initialisation survives it: that call is only allowed
// before initialisation, and resetting the flag here would make it useless. The flag is 1 at
// start-up, so initialisation otherwise leaves it at 1.
int orvInit(int *argc, char **argv) {
  (void)argc;
  if (alreadyInitialized) return 0;
  RecordExecutableName(argv != nullptr ? argv[0] : nullptr);
  alreadyInitialized = 1;
  return 0;
}

int orvInitNonORVApp(const char *executableName) {
  if (alreadyInitialized) return 0;
  RecordExecutableName(executableName);
  alreadyInitialized = 1;
  return 0;
}

int orvInitDone(void) {
  return alreadyInitialized;
}

void cmnNoInstallRootRequired(void) {
  if (!alreadyInitialized) cmnInstallRootRequired = 0;
}

int cmnGetInstallRootRequired(void) {
  return cmnInstallRootRequired;
}

void cmnSetInstallRootRequired(int required) {
  cmnInstallRootRequired = required;
}

const char *orvPlat(void) {
  return kPlatform;
}

int orvIsHalvernHier(void) {
  if (!cmnInstallRootRequired || !alreadyInitialized) return 0;
  return KnownRoot() != nullptr ? 1 : 0;
}

char *orvGetInstallRoot(void) {
  if (!cmnInstallRootRequired) return nullptr;
  const char *root = KnownRoot();
  return root != nullptr ? orviCopyString(root) : nullptr;
}

int orvGetInstallRootInBuf(char *buf, size_t size) {
  if (!cmnInstallRootRequired) return 0;
  const char *root = KnownRoot();
  return root != nullptr ? CopyIfFits(buf, size, root) : 0;
}

char *orvGetInstallRootFromPath(const char *path) {
  if (!cmnInstallRootRequired || path == nullptr || path[0] == '\0') return nullptr;
  char savedName[sizeof orviExecutableName];
  memcpy(savedName, orviExecutableName, sizeof savedName);
  char *savedRoot = orviRootPath;
  RecordExecutableName(path);
  orviGetInstallRoot();
  char *root = orviRootPath;
  memcpy(orviExecutableName, savedName, sizeof savedName);
  orviRootPath = savedRoot;
  return root;
}

char *orvGetInstallRootFromFilePath(const char *path) {
  if (!cmnInstallRootRequired || path == nullptr || path[0] == '\0') return nullptr;
  char work[ORV_PATH_BUF_SIZE];
  if (!FormatPath(work, "%s", path) || RootInPlace(work) != Rooting::kRooted) return nullptr;
  orviCleanupRootedPath(work);
  return FindRootUpwards(work, true);
}

char *orvGetInstallRootWithPath(const char *relative) {
  if (!cmnInstallRootRequired || relative == nullptr || relative[0] == '\0') return nullptr;
  const char *list = RootSearchList();
  if (list == nullptr) {
    fputs(kNoSearchPathMsg, stderr);
    return nullptr;
  }
  if (relative[0] == '/') ++relative;
  char *found = nullptr;
  WalkSearchList(list, [&](const char *element) {
    orv::MallocPtr<char> root(orvGetInstallRootFromFilePath(element));
    char probe[ORV_PATH_BUF_SIZE];
    if (root == nullptr || !FormatPath(probe, "%s/%s", root.get(), relative) ||
        !orviPathExists(probe)) {
      return false;
    }
    found = root.release();
    return true;
  });
  return found;
}

// Collection stops at 100 distinct roots; later elements of the list are not examined.
char **orvGetAllInstallRoots(void) {
  if (!cmnInstallRootRequired) return nullptr;
  const char *list = RootSearchList();
  if (list == nullptr) {
    fputs(kNoSearchListMsg, stderr);
    return nullptr;
  }
  char *roots[kMaxRoots];
  size_t count = 0;
  WalkSearchList(list, [&](const char *element) {
    char *root = orvGetInstallRootFromFilePath(element);
    if (root == nullptr) return false;
    for (size_t i = 0; i < count; ++i) {
      if (strcmp(roots[i], root) == 0) {
        free(root);
        return false;
      }
    }
    roots[count++] = root;
    return count == kMaxRoots;
  });
  if (count == 0) return nullptr;
  char **result = static_cast<char **>(orviMalloc((count + 1) * sizeof(char *)));
  if (result == nullptr) {
    for (size_t i = 0; i < count; ++i) free(roots[i]);
    return nullptr;
  }
  memcpy(result, roots, count * sizeof(char *));
  result[count] = nullptr;
  return result;
}

int orvGetInstPathInBuf(char *buf, size_t size, const char *relative) {
  if (!cmnInstallRootRequired) return 0;
  if (relative != nullptr && strlen(relative) > ORV_PATH_BUF_SIZE) return 0;
  const char *root = KnownRoot();
  if (root == nullptr) {
    ReportNoInstallRoot();
    return 0;
  }
  if (buf == nullptr) return 0;
  if (relative == nullptr || relative[0] == '\0') return CopyIfFits(buf, size, root);
  const char *sep = relative[0] == '/' ? "" : "/";
  if (strlen(root) + strlen(sep) + strlen(relative) + 1 > size) return 0;
  snprintf(buf, size, "%s%s%s", root, sep, relative);
  return 1;
}

char *orvGetInstPath(const char *relative) {
  char buf[ORV_PATH_BUF_SIZE + 1];
  return orvGetInstPathInBuf(buf, sizeof buf, relative) ? orviCopyString(buf) : nullptr;
}

int orvGetToolsPathInBuf(char *buf, size_t size, const char *relative) {
  const char *tools = ToolsDir();
  if (tools == nullptr || buf == nullptr) return 0;
  if (relative == nullptr) return CopyIfFits(buf, size, tools);
  if (strlen(tools) + strlen(relative) + 2 > size) return 0;
  snprintf(buf, size, "%s%s%s", tools, "/", relative);
  return 1;
}

char *orvGetToolsPath(const char *relative) {
  char buf[ORV_PATH_BUF_SIZE + 1];
  return orvGetToolsPathInBuf(buf, sizeof buf, relative) ? orviCopyString(buf) : nullptr;
}

char *orvFindExecInPath(const char *name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  char result[ORV_PATH_BUF_SIZE];
  const char *path = getenv("PATH");
  if (strchr(name, '/') == nullptr && path != nullptr) {
    if (!SearchExecutable(path, name, result)) return nullptr;
  } else {
    if (strchr(name, '/') == nullptr) fputs(kNoSearchPathMsg, stderr);
    if (!FormatPath(result, "%s", name)) return nullptr;
  }
  if (!RootOrUnknown(result)) return nullptr;
  orviCleanupRootedPath(result);
  return orviCopyString(result);
}

// A given buffer is taken to hold ORV_PATH_BUF_SIZE bytes; a path that would not fit it is refused
// with errno ENAMETOOLONG.
char *orvMkRootedPath(const char *path, char *buf) {
  if (path == nullptr) return nullptr;
  size_t length = strlen(path);
  if (path[0] == '/' && buf == nullptr) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy != nullptr) memcpy(copy, path, length + 1);
    return copy;
  }
  char rooted[ORV_PATH_BUF_SIZE];
  if (!FormatPath(rooted, "%s", path) || RootInPlace(rooted) != Rooting::kRooted) return nullptr;
  orv::MallocPtr<char> owned;
  if (buf == nullptr) {
    owned.reset(static_cast<char *>(malloc(ORV_PATH_BUF_SIZE)));
    if (owned == nullptr) return nullptr;
    buf = owned.get();
  }
  memcpy(buf, rooted, strlen(rooted) + 1);
  owned.release();
  return buf;
}

void orviCleanupRootedPath(char *path) {
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

int orvIsRooted(const char *path) {
  return path != nullptr && path[0] == '/';
}

int orvIsRoot(const char *path) {
  if (!orvIsRooted(path)) return 0;
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

int orvIsUNCRoot(const char *path) {
  (void)path;
  return 0;
}

void orvCanonicalizeDirSep(char *pathOrList) {
  (void)pathOrList;
}

char *orv_fgets(char *buf, int size, FILE *stream) {
  if (buf == nullptr || size <= 0 || stream == nullptr) return nullptr;
  if (fgets(buf, size, stream) == nullptr) return nullptr;
  orvNtToUnixLine(buf);
  return buf;
}

void orvNtToUnixLine(char *text) {
  if (text == nullptr) return;
  char *cr = strrchr(text, '\r');
  if (cr != nullptr && cr[1] == '\n' && cr[2] == '\0') {
    cr[0] = '\n';
    cr[1] = '\0';
  }
}

void *orviMalloc(size_t size) {
  void *memory = malloc(size);
  if (memory == nullptr) {
    fprintf(stderr, "ERROR! Failed to allocate %ld bytes of space\n", static_cast<long>(size));
  }
  return memory;
}

char *orviCopyString(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  char *copy = static_cast<char *>(orviMalloc(length + 1));
  if (copy != nullptr) memcpy(copy, text, length + 1);
  return copy;
}

int orviFileExistsExecutable(const char *path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return 0;
  // Only the regular-file bit and the owner-execute bit are looked at.
  return (st.st_mode & 0100100) == 0100100 ? 1 : 0;
}

int orviPathExists(const char *path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

}  // extern "C"
