// line_reader.cc - text lines that may end in CR LF, and whole lines that never arrive cut.
#include "line_reader.h"

#include <string.h>

namespace orv {

char *Fgets(char *buf, int size, FILE *stream) {
  if (buf == nullptr || size <= 0 || stream == nullptr) return nullptr;
  if (fgets(buf, size, stream) == nullptr) return nullptr;
  NtToUnixLine(buf);
  return buf;
}

void NtToUnixLine(char *text) {
  if (text == nullptr) return;
  char *cr = strrchr(text, '\r');
  if (cr != nullptr && cr[1] == '\n' && cr[2] == '\0') {
    cr[0] = '\n';
    cr[1] = '\0';
  }
}

bool ReadWholeLine(FILE *f, char *buf, int size) {
  while (Fgets(buf, size, f) != nullptr) {
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

}  // namespace orv
