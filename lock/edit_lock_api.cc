// STUB: replaced by the application API work.
#include "vak.h"

extern "C" int vakGetEditLock(const char *, const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetEditLockEx(const char *, const char *, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakStealEditLock(const char *, const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakStealEditLockEx(const char *, const char *, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseEditLock(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseEditLockEx(const char *, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakConfirmEditLock(const char *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakConfirmEditLockEx(const char *, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakListAllMyEditLocks(void *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseAllMyEditLocks(char **) {
  return VAK_NOT_OK;
}
