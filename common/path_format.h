// path_format.h - bounded formatting into the library's fixed path buffers (internal).
#ifndef ORV_PATH_FORMAT_H_
#define ORV_PATH_FORMAT_H_

#include <errno.h>
#include <stddef.h>
#include <stdio.h>

#include "orv.h"

namespace orv {

// Formats into buf of size bytes. False, with errno ENAMETOOLONG, when the whole result would not
// fit: a cut path would name another file, so callers refuse or skip it instead.
template <typename... Args>
bool FormatPath(char *buf, size_t size, const char *format, Args... args) {
  int n = snprintf(buf, size, format, args...);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

// The same for a buffer of ORV_PATH_BUF_SIZE bytes.
template <typename... Args>
bool FormatPath(char (&buf)[ORV_PATH_BUF_SIZE], const char *format, Args... args) {
  return FormatPath(&buf[0], sizeof buf, format, args...);
}

}  // namespace orv

#endif  // ORV_PATH_FORMAT_H_
