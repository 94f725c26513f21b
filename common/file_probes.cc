// file_probes.cc - whether a path exists, and whether it is an executable file.
#include "file_probes.h"

#include <sys/stat.h>

namespace orv {

int FileExistsExecutable(const char *path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return 0;
  // Only the regular-file bit and the owner-execute bit are looked at.
  return (st.st_mode & 0100100) == 0100100 ? 1 : 0;
}

int PathExists(const char *path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

}  // namespace orv
