// temp_names.h - temporary names and files, the temporary directory, writability and case probes
// (orv_mkstemp and the rest in orv.h).
#ifndef ORV_TEMP_NAMES_H_
#define ORV_TEMP_NAMES_H_

#include "orv.h"

namespace orv {

int MkStemp(char *templ);
char *MkTemp(char *templ);
char *TempNam(const char *dir, const char *prefix);
char *MkUniqueFilePath(const char *dir, const char *prefix, char *buf);
char *GetTmpDir(char *buf);
int FileWritable(const char *path);
int GetFilesysCaseSensitivity(const char *path);

}  // namespace orv

#endif  // ORV_TEMP_NAMES_H_
