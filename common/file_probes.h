// file_probes.h - the stat probes behind orviFileExistsExecutable and orviPathExists.
#ifndef ORV_FILE_PROBES_H_
#define ORV_FILE_PROBES_H_

namespace orv {

// 1 for a regular file that its owner may execute.
int FileExistsExecutable(const char *path);
// 1 when stat succeeds.
int PathExists(const char *path);

}  // namespace orv

#endif  // ORV_FILE_PROBES_H_
