// install_root.cc - finds the install hierarchy from the program's own arg0 and derives the tools
// directory from it.
//
// Long input never overruns the 4096-byte path buffers:
//   - arg0 is recorded up to 4096 characters and cut beyond; a recorded arg0 that does not fit a
//     path buffer (4096 characters) finds no root;
//   - a path whose rooted or joined form does not fit gives no result (NULL or 0), never a cut
//     path, which would name another file.
#include "install_root.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "command_table.h"
#include "file_probes.h"
#include "line_reader.h"
#include "orv.h"
#include "path_clean.h"
#include "path_format.h"
#include "posix_io.h"
#include "search_path.h"
#include "init_state.h"
#include "install_root_system.h"

namespace orv {

namespace {

const char *const kMarkerToolsDirs[] = {"tools/bin", "tools.lnx86/bin"};
const char kMarkerName[] = "orv_root";
const char kCommandTable[] = ".command_table.dat";
const int kPlatNameSize = 16;  // platform names of up to 15 characters
const size_t kMaxRoots = 100;

const char kNotInitializedMsg[] = "ERROR! orvInit has not been called\n";
const char kNoSearchListMsg[] =
    "ERROR! unable to determine search path or stream list - check PATH or ORV_STRM_DIR_LIST "
    "setting\n";

// Process-wide state, one instance per process.
char *orviRootPath = nullptr;
char exePath[ORV_PATH_BUF_SIZE];
const char *sFullExePath = "";
char *cachedToolsPath = nullptr;
char cachedToolsBuf[ORV_PATH_BUF_SIZE];
// Set when the root is the compiled-in one of a distribution package rather than one found by the
// walk; its tools directory is then the compiled-in one too.
bool rootFromSystemLayout = false;

bool HasMarker(const char *dir) {
  char marker[ORV_PATH_BUF_SIZE];
  for (const char *toolsDir : kMarkerToolsDirs) {
    if (FormatPath(marker, "%s%s%s%s%s", dir, "/", toolsDir, "/", kMarkerName) &&
        FileExistsExecutable(marker)) {
      return true;
    }
  }
  return false;
}

// The first directory carrying the marker, as a new heap string: the path itself when testWhole,
// then each parent up to the empty text left by the leading "/". The path is cut in the process.
char *FindRootUpwards(char *path, bool testWhole) {
  if (testWhole && HasMarker(path)) return CopyString(path);
  for (size_t i = strlen(path); i-- > 0;) {
    if (path[i] != '/') continue;
    path[i] = '\0';
    if (HasMarker(path)) return CopyString(path);
  }
  return nullptr;
}

// The install root found by walking up from the recorded arg0, as a new heap string, or NULL.
char *WalkFromExecutable() {
  sFullExePath = "";
  const char *arg0 = RecordedExecutableName();
  if (arg0[0] == '\0' || !FormatPath(exePath, "%s", arg0)) return nullptr;
  if (strchr(arg0, '/') == nullptr) {
    const char *path = getenv("PATH");
    if (path == nullptr) {
      fputs(kNoSearchPathMsg, stderr);
    } else {
      char found[ORV_PATH_BUF_SIZE];
      if (!SearchExecutable(path, arg0, found)) return nullptr;
      memcpy(exePath, found, strlen(found) + 1);
    }
  }
  if (!RootOrUnknown(exePath)) return nullptr;
  CleanupRootedPath(exePath);
  sFullExePath = exePath;

  if (getenv("ORV_STRM_ACTIVE") != nullptr) {
    char table[ORV_PATH_BUF_SIZE];
    int dirLength = static_cast<int>(strrchr(exePath, '/') - exePath);
    if (FormatPath(table, "%.*s/%s", dirLength, static_cast<const char *>(exePath),
                   kCommandTable) &&
        PathExists(table)) {
      MallocPtr<char> real(RealPathFromCommandTable(arg0, table));
      if (real != nullptr && strlen(real.get()) < sizeof exePath) {
        memcpy(exePath, real.get(), strlen(real.get()) + 1);
      }
    }
  }
  char work[ORV_PATH_BUF_SIZE];
  memcpy(work, exePath, strlen(exePath) + 1);
  return FindRootUpwards(work, false);
}

// Finds the install root from the recorded arg0 and stores it in orviRootPath (NULL when none).
// Where the walk finds no marker, the program's own discovery (not a question about another
// executable) takes an installed distribution package's root: an application anywhere on the
// system then still finds the packaged daemons.
void FindInstallRoot(bool ownProgram) {
  orviRootPath = nullptr;
  rootFromSystemLayout = false;
  if (!InitDone()) {
    fputs(kNotInitializedMsg, stderr);
    return;
  }
  orviRootPath = WalkFromExecutable();
  SystemLayout layout = BuiltInSystemLayout();
  if (orviRootPath == nullptr && ownProgram && SystemLayoutPresent(layout)) {
    orviRootPath = CopyString(layout.root);
    rootFromSystemLayout = orviRootPath != nullptr;
  }
}

const char *KnownRoot() {
  if (orviRootPath == nullptr) FindInstallRoot(true);
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
  UniqueFile f(fopen(path, "re"));
  if (f == nullptr || Fgets(name, sizeof name, f.get()) == nullptr) return false;
  name[strcspn(name, "\n")] = '\0';
  return name[0] != '\0';
}

// Copies text into buf when it fits size bytes with its terminator.
int CopyIfFits(char *buf, size_t size, const char *text) {
  size_t length = strlen(text);
  if (buf == nullptr || length + 1 > size) return 0;
  memcpy(buf, text, length + 1);
  return 1;
}

// Determines the tools directory once; later calls reuse it. A failure caches nothing.
const char *ToolsDir() {
  if (cachedToolsPath != nullptr) return cachedToolsPath;
  const char *root = KnownRoot();
  if (root == nullptr) return nullptr;
  if (rootFromSystemLayout) {
    if (!CopyIfFits(cachedToolsBuf, sizeof cachedToolsBuf, BuiltInSystemLayout().toolsDir)) {
      return nullptr;
    }
    cachedToolsPath = cachedToolsBuf;
    return cachedToolsPath;
  }
  char candidate[ORV_PATH_BUF_SIZE];
  if (!FormatPath(candidate, "%s/tools", root)) return nullptr;
  char platform[kPlatNameSize];
  bool named = sReadOrvPlatDat(candidate, platform);
  if (!named || strcmp(platform, Plat()) != 0) {
    char platformDir[ORV_PATH_BUF_SIZE];
    if (FormatPath(platformDir, "%s.%s", static_cast<const char *>(candidate), Plat()) &&
        PathExists(platformDir)) {
      memcpy(candidate, platformDir, strlen(platformDir) + 1);
    }
    if (!PathExists(candidate) || named) return nullptr;
  }
  memcpy(cachedToolsBuf, candidate, strlen(candidate) + 1);
  cachedToolsPath = cachedToolsBuf;
  return cachedToolsPath;
}

void ReportNoInstallRoot() {
  const char *arg0 = RecordedExecutableName();
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

int IsHalvernHier() {
  if (!GetInstallRootRequired() || !InitDone()) return 0;
  return KnownRoot() != nullptr ? 1 : 0;
}

char *GetInstallRoot() {
  if (!GetInstallRootRequired()) return nullptr;
  const char *root = KnownRoot();
  return root != nullptr ? CopyString(root) : nullptr;
}

int GetInstallRootInBuf(char *buf, size_t size) {
  if (!GetInstallRootRequired()) return 0;
  const char *root = KnownRoot();
  return root != nullptr ? CopyIfFits(buf, size, root) : 0;
}

char *GetInstallRootFromPath(const char *path) {
  if (!GetInstallRootRequired() || path == nullptr || path[0] == '\0') return nullptr;
  char savedName[ORV_PATH_BUF_SIZE + 1];
  memcpy(savedName, RecordedExecutableName(), strlen(RecordedExecutableName()) + 1);
  char *savedRoot = orviRootPath;
  bool savedFromSystem = rootFromSystemLayout;
  RecordExecutableName(path);
  FindInstallRoot(false);
  char *root = orviRootPath;
  RecordExecutableName(savedName);
  orviRootPath = savedRoot;
  rootFromSystemLayout = savedFromSystem;
  return root;
}

char *GetInstallRootFromFilePath(const char *path) {
  if (!GetInstallRootRequired() || path == nullptr || path[0] == '\0') return nullptr;
  char work[ORV_PATH_BUF_SIZE];
  if (!FormatPath(work, "%s", path) || RootInPlace(work) != Rooting::kRooted) return nullptr;
  CleanupRootedPath(work);
  return FindRootUpwards(work, true);
}

char *GetInstallRootWithPath(const char *relative) {
  if (!GetInstallRootRequired() || relative == nullptr || relative[0] == '\0') return nullptr;
  const char *list = RootSearchList();
  if (list == nullptr) {
    fputs(kNoSearchPathMsg, stderr);
    return nullptr;
  }
  if (relative[0] == '/') ++relative;
  char *found = nullptr;
  WalkSearchList(list, [&](const char *element) {
    MallocPtr<char> root(GetInstallRootFromFilePath(element));
    char probe[ORV_PATH_BUF_SIZE];
    if (root == nullptr || !FormatPath(probe, "%s/%s", root.get(), relative) ||
        !PathExists(probe)) {
      return false;
    }
    found = root.release();
    return true;
  });
  return found;
}

// Collection stops at 100 distinct roots; later elements of the list are not examined.
char **GetAllInstallRoots() {
  if (!GetInstallRootRequired()) return nullptr;
  const char *list = RootSearchList();
  if (list == nullptr) {
    fputs(kNoSearchListMsg, stderr);
    return nullptr;
  }
  char *roots[kMaxRoots];
  size_t count = 0;
  WalkSearchList(list, [&](const char *element) {
    char *root = GetInstallRootFromFilePath(element);
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
  char **result = static_cast<char **>(Malloc((count + 1) * sizeof(char *)));
  if (result == nullptr) {
    for (size_t i = 0; i < count; ++i) free(roots[i]);
    return nullptr;
  }
  memcpy(result, roots, count * sizeof(char *));
  result[count] = nullptr;
  return result;
}

int GetInstPathInBuf(char *buf, size_t size, const char *relative) {
  if (!GetInstallRootRequired()) return 0;
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
  return FormatPath(buf, size, "%s%s%s", root, sep, relative) ? 1 : 0;
}

char *GetInstPath(const char *relative) {
  char buf[ORV_PATH_BUF_SIZE + 1];
  return GetInstPathInBuf(buf, sizeof buf, relative) ? CopyString(buf) : nullptr;
}

int GetToolsPathInBuf(char *buf, size_t size, const char *relative) {
  const char *tools = ToolsDir();
  if (tools == nullptr || buf == nullptr) return 0;
  if (relative == nullptr) return CopyIfFits(buf, size, tools);
  if (strlen(tools) + strlen(relative) + 2 > size) return 0;
  return FormatPath(buf, size, "%s/%s", tools, relative) ? 1 : 0;
}

char *GetToolsPath(const char *relative) {
  char buf[ORV_PATH_BUF_SIZE + 1];
  return GetToolsPathInBuf(buf, sizeof buf, relative) ? CopyString(buf) : nullptr;
}

}  // namespace orv
