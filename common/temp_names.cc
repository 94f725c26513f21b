// STUB: replaced by the temporary-names work.
#include "orv.h"

extern "C" {
int orv_mkstemp(char *) {
  return -1;
}
char *orv_mktemp(char *) {
  return nullptr;
}
char *orv_tempnam(const char *, const char *) {
  return nullptr;
}
char *orvMkUniqueFilePath(const char *, const char *, char *) {
  return nullptr;
}
char *orvGetTmpDir(char *) {
  return nullptr;
}
int orvFileWritable(const char *) {
  return 0;
}
int orvGetFilesysCaseSensitivity(const char *) {
  return FS_CASE_INDETERMINATE;
}
}
