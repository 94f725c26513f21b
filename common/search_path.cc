// search_path.cc - finding an executable along the search path. An element, or an element joined
// with a name, that does not fit a path buffer is skipped.
#include "search_path.h"

#include <stdio.h>
#include <stdlib.h>

#include "alloc.h"
#include "file_probes.h"
#include "path_clean.h"
#include "path_format.h"

namespace orv {

const char kNoSearchPathMsg[] = "ERROR! unable to determine search path - check PATH setting\n";

bool SearchExecutable(const char *list, const char *name, char (&out)[ORV_PATH_BUF_SIZE]) {
  return WalkSearchList(list, [&](const char *element) {
    return FormatPath(out, "%s%s%s", element, "/", name) && FileExistsExecutable(out);
  });
}

char *FindExecInPath(const char *name) {
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
  CleanupRootedPath(result);
  return CopyString(result);
}

}  // namespace orv
