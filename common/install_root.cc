// STUB: replaced by the install-root work.
#include "orv.h"

extern "C" {
int orvInit(int *, char **) {
  return 0;
}
int orvInitNonORVApp(const char *) {
  return 0;
}
int orvInitDone(void) {
  return 0;
}
void cmnNoInstallRootRequired(void) {}
int cmnGetInstallRootRequired(void) {
  return 1;
}
void cmnSetInstallRootRequired(int) {}
const char *orvPlat(void) {
  return "lnx86";
}
int orvIsHalvernHier(void) {
  return 0;
}
char *orvGetInstallRoot(void) {
  return nullptr;
}
int orvGetInstallRootInBuf(char *, size_t) {
  return 0;
}
char *orvGetInstallRootFromPath(const char *) {
  return nullptr;
}
char *orvGetInstallRootFromFilePath(const char *) {
  return nullptr;
}
char *orvGetInstallRootWithPath(const char *) {
  return nullptr;
}
char **orvGetAllInstallRoots(void) {
  return nullptr;
}
int orvGetInstPathInBuf(char *, size_t, const char *) {
  return 0;
}
char *orvGetInstPath(const char *) {
  return nullptr;
}
int orvGetToolsPathInBuf(char *, size_t, const char *) {
  return 0;
}
char *orvGetToolsPath(const char *) {
  return nullptr;
}
char *orvFindExecInPath(const char *) {
  return nullptr;
}
char *orvMkRootedPath(const char *, char *) {
  return nullptr;
}
void orviCleanupRootedPath(char *) {}
int orvIsRooted(const char *path) {
  return path != nullptr && path[0] == '/';
}
int orvIsRoot(const char *) {
  return 0;
}
int orvIsUNCRoot(const char *) {
  return 0;
}
void orvCanonicalizeDirSep(char *) {}
char *orv_fgets(char *buf, int size, FILE *stream) {
  return fgets(buf, size, stream);
}
void orvNtToUnixLine(char *) {}
void *orviMalloc(size_t) {
  return nullptr;
}
char *orviCopyString(const char *) {
  return nullptr;
}
int orviFileExistsExecutable(const char *) {
  return 0;
}
int orviPathExists(const char *) {
  return 0;
}
}
