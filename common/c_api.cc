// c_api.cc - the C entry points of orv.h. Each only hands over to the C++ code behind it; nothing
// inside the library calls them.
#include "alloc.h"
#include "file_probes.h"
#include "hash_table.h"
#include "install_root.h"
#include "line_reader.h"
#include "orv.h"
#include "path_clean.h"
#include "search_path.h"
#include "init_state.h"
#include "string_hash.h"
#include "temp_names.h"
#include "version.h"

extern "C" {

// ---- 1. Generic hash table
void orvHashAllocTable(OrvHashTable *table, int initialSize, int loadFactor, int linkOffset,
                       OrvHashCompareFunc compare, OrvHashFunc hash) {
  orv::HashAllocTable(table, initialSize, loadFactor, linkOffset, compare, hash);
}
void orvHashFreeTable(OrvHashTable *table) {
  orv::HashFreeTable(table);
}
void *orvHashCreate(OrvHashTable *table, void *record) {
  return orv::HashCreate(table, record);
}
void *orvHashReplace(OrvHashTable *table, void *record) {
  return orv::HashReplace(table, record);
}
void *orvHashDelete(OrvHashTable *table, const void *key) {
  return orv::HashDelete(table, key);
}
void *orvHashProbe(OrvHashTable *table, const void *key) {
  return orv::HashProbe(table, key);
}
void *orvHashCreateAfterProbe(OrvHashTable *table, void *record) {
  return orv::HashCreateAfterProbe(table, record);
}
OrvHashGenerator *orvHashStartGen(OrvHashTable *table) {
  return orv::HashStartGen(table);
}
int orvHashGen(OrvHashGenerator *gen, void **record) {
  return orv::HashGen(gen, record);
}
void orvHashStopGen(OrvHashGenerator *gen) {
  orv::HashStopGen(gen);
}
int32_t orvHashDouble(double value) {
  return orv::HashDouble(value);
}

// ---- 2. String hash
uint32_t orvHashStringLen(const void *key, uint64_t length) {
  return orv::HashStringLen(key, length);
}
uint32_t orvHashString(const char *key) {
  return orv::HashString(key);
}
uint32_t orvHashString32(const char *key) {
  return orv::HashString(key);
}

// ---- 3. Install root and tools path discovery
int orvInit(int *argc, char **argv) {
  return orv::Init(argc, argv);
}
int orvInitNonORVApp(const char *executableName) {
  return orv::InitNonORVApp(executableName);
}
int orvInitDone(void) {
  return orv::InitDone();
}
void cmnNoInstallRootRequired(void) {
  orv::NoInstallRootRequired();
}
int cmnGetInstallRootRequired(void) {
  return orv::GetInstallRootRequired();
}
void cmnSetInstallRootRequired(int required) {
  orv::SetInstallRootRequired(required);
}
const char *orvPlat(void) {
  return orv::Plat();
}
int orvIsHalvernHier(void) {
  return orv::IsHalvernHier();
}
char *orvGetInstallRoot(void) {
  return orv::GetInstallRoot();
}
int orvGetInstallRootInBuf(char *buf, size_t size) {
  return orv::GetInstallRootInBuf(buf, size);
}
char *orvGetInstallRootFromPath(const char *path) {
  return orv::GetInstallRootFromPath(path);
}
char *orvGetInstallRootFromFilePath(const char *path) {
  return orv::GetInstallRootFromFilePath(path);
}
char *orvGetInstallRootWithPath(const char *relative) {
  return orv::GetInstallRootWithPath(relative);
}
char **orvGetAllInstallRoots(void) {
  return orv::GetAllInstallRoots();
}
int orvGetInstPathInBuf(char *buf, size_t size, const char *relative) {
  return orv::GetInstPathInBuf(buf, size, relative);
}
char *orvGetInstPath(const char *relative) {
  return orv::GetInstPath(relative);
}
int orvGetToolsPathInBuf(char *buf, size_t size, const char *relative) {
  return orv::GetToolsPathInBuf(buf, size, relative);
}
char *orvGetToolsPath(const char *relative) {
  return orv::GetToolsPath(relative);
}
char *orvFindExecInPath(const char *name) {
  return orv::FindExecInPath(name);
}
char *orvMkRootedPath(const char *path, char *buf) {
  return orv::MkRootedPath(path, buf);
}
void orviCleanupRootedPath(char *path) {
  orv::CleanupRootedPath(path);
}
int orvIsRooted(const char *path) {
  return orv::IsRooted(path);
}
int orvIsRoot(const char *path) {
  return orv::IsRoot(path);
}
int orvIsUNCRoot(const char *path) {
  return orv::IsUNCRoot(path);
}
void orvCanonicalizeDirSep(char *pathOrList) {
  orv::CanonicalizeDirSep(pathOrList);
}
char *orv_fgets(char *buf, int size, FILE *stream) {
  return orv::Fgets(buf, size, stream);
}
void orvNtToUnixLine(char *text) {
  orv::NtToUnixLine(text);
}
void *orviMalloc(size_t size) {
  return orv::Malloc(size);
}
char *orviCopyString(const char *text) {
  return orv::CopyString(text);
}
int orviFileExistsExecutable(const char *path) {
  return orv::FileExistsExecutable(path);
}
int orviPathExists(const char *path) {
  return orv::PathExists(path);
}

// ---- 4. Temporary names, writability, case probes
int orv_mkstemp(char *templ) {
  return orv::MkStemp(templ);
}
char *orv_mktemp(char *templ) {
  return orv::MkTemp(templ);
}
char *orv_tempnam(const char *dir, const char *prefix) {
  return orv::TempNam(dir, prefix);
}
char *orvMkUniqueFilePath(const char *dir, const char *prefix, char *buf) {
  return orv::MkUniqueFilePath(dir, prefix, buf);
}
char *orvGetTmpDir(char *buf) {
  return orv::GetTmpDir(buf);
}
int orvFileWritable(const char *path) {
  return orv::FileWritable(path);
}
int orvGetFilesysCaseSensitivity(const char *path) {
  return orv::GetFilesysCaseSensitivity(path);
}

// ---- 5. Version markers
void orviPrintVersion(const char *versionText) {
  orv::PrintVersion(versionText);
}
void orvProcMinusVersionArg(int argc, char **argv, const char *versionText) {
  orv::ProcMinusVersionArg(argc, argv, versionText);
}

}  // extern "C"
