// command_table.cc - reads the command table of a stream installation. A line longer than the line
// buffer is skipped whole.
#include "command_table.h"

#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "line_reader.h"
#include "orv.h"
#include "posix_io.h"

namespace orv {

namespace {
bool IsBlankOrTab(char ch) {
  return ch == ' ' || ch == '\t';
}
}  // namespace

// A matching line with fewer than five fields, or an empty fifth field, names no executable and is
// skipped.
char *RealPathFromCommandTable(const char *name, const char *table) {
  const char *slash = strrchr(name, '/');
  const char *base = slash != nullptr ? slash + 1 : name;
  size_t baseLength = strlen(base);
  UniqueFile f(fopen(table, "re"));
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
        char *real = static_cast<char *>(Malloc(length + 1));
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

}  // namespace orv
