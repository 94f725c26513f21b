// version.cc - the common library's identification marker and the "-version" handler for programs
// that leave that option to the library.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "version.h"

namespace {

// Found in the binary by identification tools; nothing reads it, hence "used".
__attribute__((used)) const char orvIdentString[] =
    "@(#)$ORV: ORVCOMMON version 06.01 09/07/2006 03:04 (" ORV_BUILD_TAG ") $";

const size_t kLineSize = 4096;

bool IsWhite(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

const char *SkipWhite(const char *p) {
  while (*p != '\0' && IsWhite(*p)) ++p;
  return p;
}

const char *SkipWord(const char *p) {
  while (*p != '\0' && !IsWhite(*p)) ++p;
  return p;
}

// Appends the word at p to line (of kLineSize bytes, holding used characters); returns the text
// after the word. A word that would overflow the line is cut: the summary line is informative
// only, and a marker is far shorter than the buffer.
const char *CopyWord(const char *p, char *line, size_t &used) {
  for (; *p != '\0' && !IsWhite(*p); ++p) {
    if (used + 1 < kLineSize) line[used++] = *p;
  }
  line[used] = '\0';
  return p;
}

}  // namespace

namespace orv {

void PrintVersion(const char *versionText) {
  if (versionText == nullptr) {
    printf("No Version string\n");
    return;
  }
  char line[kLineSize];
  size_t used = 0;
  line[0] = '\0';
  const char *p = SkipWord(SkipWhite(versionText));
  p = CopyWord(SkipWhite(p), line, used);
  if (used + 1 < kLineSize) line[used++] = '\t';
  line[used] = '\0';
  CopyWord(SkipWhite(p), line, used);
  printf("TOOL:\t%s\n", line);
}

void ProcMinusVersionArg(int argc, char **argv, const char *versionText) {
  if (argv == nullptr) return;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && strcmp(argv[i], "-version") == 0) {
      PrintVersion(versionText);
      exit(0);
    }
  }
}

}  // namespace orv
