// STUB: replaced by the record-lock work.
#include "record_lock.h"

#include "vak.h"

int vakGenericLockFunc(int, int, char **) {
  return VAK_NOT_OK;
}
int vakUnixLockFunc(int, int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetReadLock_fd(int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetReadLock_FILE(FILE *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetWriteLock_fd(int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakGetWriteLock_FILE(FILE *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseReadLock_fd(int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseReadLock_FILE(FILE *, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseWriteLock_fd(int, char **) {
  return VAK_NOT_OK;
}
extern "C" int vakReleaseWriteLock_FILE(FILE *, char **) {
  return VAK_NOT_OK;
}
