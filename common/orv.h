/*
 * orv.h - the common runtime library of the Edit Lock system.
 *
 * Conventions
 *   - Plain C interface, usable from C99 and C++.
 *   - Single-threaded by design: all state is process-wide and unlocked.
 *   - Texts and arrays returned as "new heap" memory come from malloc and belong to the caller, who
 *     releases them with free(). Everything else returned stays owned by the library.
 *   - Path buffers hold ORV_PATH_BUF_SIZE bytes (paths of at most 4095 characters); operations that
 *     take a buffer and a size report 0 when the result does not fit.
 *
 * Contents
 *   1. Generic chained hash table with caller-owned, intrusively linked records.
 *   2. 32-bit string hash (64-bit lookup8 at level 0, low 32 bits).
 *   3. Install-root and tools-directory discovery from the program's own path, PATH search,
 *      path rooting and clean-up, and a line reader that accepts CR LF line ends.
 *   4. Temporary names and files, temporary directory choice, writability and case probes.
 *   5. Version markers.
 */
#ifndef ORV_H_
#define ORV_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ORV_PATH_BUF_SIZE 4096

/* ---- 1. Generic hash table ----------------------------------------------------------------
 *
 * The caller allocates the OrvHashTable record; the table allocates only its bucket array. Every
 * stored record carries a pointer-sized next link at byte offset linkOffset. Lookups take a key
 * record of the same layout in which only the fields read by the call-backs are filled.
 * Callers may read buckets, size and linkOffset directly to walk the table.
 */
struct OrvHashTable;

/* Nonzero when the stored record and the key record are equal. */
typedef int (*OrvHashCompareFunc)(const void *stored, const void *key);
/* Hash of a record's key fields; receives the table as second argument. */
typedef uint32_t (*OrvHashFunc)(const void *record, const struct OrvHashTable *table);

typedef struct OrvHashTable {
  void **buckets;    /* chain heads, one per bucket; NULL when not allocated */
  int32_t size;      /* number of buckets: a power of two >= 2, or 0 after orvHashFreeTable */
  int32_t threshold; /* record count at which the table grows fourfold */
  int32_t count;     /* records stored */
  int32_t linkOffset;
  OrvHashCompareFunc compare;
  OrvHashFunc hash;
  int32_t mask;     /* size - 1 */
  void **probeSlot; /* bucket head remembered by a missed orvHashProbe, else NULL */
} OrvHashTable;

typedef struct OrvHashGenerator {
  OrvHashTable *table;
  void *next;     /* record to return next; NULL when the current bucket is used up */
  int32_t bucket; /* current bucket index */
} OrvHashGenerator;

ORV_API void orvHashAllocTable(OrvHashTable *table, int initialSize, int loadFactor, int linkOffset,
                               OrvHashCompareFunc compare, OrvHashFunc hash);
ORV_API void orvHashFreeTable(OrvHashTable *table);
/* NULL when inserted; the argument itself when an equal record is already stored. */
ORV_API void *orvHashCreate(OrvHashTable *table, void *record);
/* The displaced equal record, or NULL when the record was inserted as new. */
ORV_API void *orvHashReplace(OrvHashTable *table, void *record);
ORV_API void *orvHashDelete(OrvHashTable *table, const void *key);
ORV_API void *orvHashProbe(OrvHashTable *table, const void *key);
/* Inserts at the bucket remembered by the last missed probe; returns the argument if none. */
ORV_API void *orvHashCreateAfterProbe(OrvHashTable *table, void *record);
ORV_API OrvHashGenerator *orvHashStartGen(OrvHashTable *table);
ORV_API int orvHashGen(OrvHashGenerator *gen, void **record);
ORV_API void orvHashStopGen(OrvHashGenerator *gen);
ORV_API int32_t orvHashDouble(double value);

/* ---- 2. String hash ------------------------------------------------------------------------ */
ORV_API uint32_t orvHashStringLen(const void *key, uint64_t length);
ORV_API uint32_t orvHashString(const char *key);
ORV_API uint32_t orvHashString32(const char *key);

/* ---- 3. Install root and tools path discovery ---------------------------------------------- */
ORV_API int orvInit(int *argc, char **argv);
ORV_API int orvInitNonORVApp(const char *executableName);
ORV_API int orvInitDone(void);
ORV_API void cmnNoInstallRootRequired(void);
ORV_API int cmnGetInstallRootRequired(void);
ORV_API void cmnSetInstallRootRequired(int required);
ORV_API const char *orvPlat(void);
ORV_API int orvIsHalvernHier(void);
ORV_API char *orvGetInstallRoot(void);
ORV_API int orvGetInstallRootInBuf(char *buf, size_t size);
ORV_API char *orvGetInstallRootFromPath(const char *path);
ORV_API char *orvGetInstallRootFromFilePath(const char *path);
ORV_API char *orvGetInstallRootWithPath(const char *relative);
ORV_API char **orvGetAllInstallRoots(void);
ORV_API int orvGetInstPathInBuf(char *buf, size_t size, const char *relative);
ORV_API char *orvGetInstPath(const char *relative);
ORV_API int orvGetToolsPathInBuf(char *buf, size_t size, const char *relative);
ORV_API char *orvGetToolsPath(const char *relative);
ORV_API char *orvFindExecInPath(const char *name);
ORV_API char *orvMkRootedPath(const char *path, char *buf);
ORV_API void orviCleanupRootedPath(char *path);
ORV_API int orvIsRooted(const char *path);
ORV_API int orvIsRoot(const char *path);
ORV_API int orvIsUNCRoot(const char *path);
ORV_API void orvCanonicalizeDirSep(char *pathOrList);
/* fgets that turns a CR LF line end into LF. */
ORV_API char *orv_fgets(char *buf, int size, FILE *stream);
ORV_API void orvNtToUnixLine(char *text);
ORV_API void *orviMalloc(size_t size);
ORV_API char *orviCopyString(const char *text);
ORV_API int orviFileExistsExecutable(const char *path);
ORV_API int orviPathExists(const char *path);

/* ---- 4. Temporary names, writability, case probes ------------------------------------------ */
#define FS_CASE_INDETERMINATE 1
#define FS_CASE_SENSITIVE 2
#define FS_CASE_INSENSITIVE 3

ORV_API int orv_mkstemp(char *templ);
ORV_API char *orv_mktemp(char *templ);
ORV_API char *orv_tempnam(const char *dir, const char *prefix);
ORV_API char *orvMkUniqueFilePath(const char *dir, const char *prefix, char *buf);
ORV_API char *orvGetTmpDir(char *buf);
ORV_API int orvFileWritable(const char *path);
ORV_API int orvGetFilesysCaseSensitivity(const char *path);

/* ---- 5. Version markers --------------------------------------------------------------------- */
ORV_API void orviPrintVersion(const char *versionText);
ORV_API void orvProcMinusVersionArg(int argc, char **argv, const char *versionText);

#ifdef __cplusplus
}
#endif

#endif /* ORV_H_ */
