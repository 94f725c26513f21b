// install_root.h - the install root found from the program's own arg0 and the tools directory
// derived from it (the orvGetInstallRoot*, orvGetInstPath* and orvGetToolsPath* of orv.h).
#ifndef ORV_INSTALL_ROOT_H_
#define ORV_INSTALL_ROOT_H_

#include <stddef.h>

namespace orv {

int IsHalvernHier();
char *GetInstallRoot();
int GetInstallRootInBuf(char *buf, size_t size);
char *GetInstallRootFromPath(const char *path);
char *GetInstallRootFromFilePath(const char *path);
char *GetInstallRootWithPath(const char *relative);
char **GetAllInstallRoots();
int GetInstPathInBuf(char *buf, size_t size, const char *relative);
char *GetInstPath(const char *relative);
int GetToolsPathInBuf(char *buf, size_t size, const char *relative);
char *GetToolsPath(const char *relative);

}  // namespace orv

#endif  // ORV_INSTALL_ROOT_H_
