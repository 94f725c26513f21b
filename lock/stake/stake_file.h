// stake_file.h - the lock-stake file text format: writer (stake_writer.cc), reader and key-line
// parsers (stake_reader.cc).
#ifndef VAK_STAKE_FILE_H_
#define VAK_STAKE_FILE_H_

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>

#include "vak.h"

// Writes the whole chain to the stream and flushes it. lockedPath names the locked file (not the
// lock-stake file) and is not used: the file being written may be a side file, or the lock-stake
// file beside the target of a symbolic link, so the caller that opened it removes it after a
// failed flush. errno is left at the flush's error (ENOSPC tells a full disk).
int vakWriteLockStakeInfo(const char *lockedPath, FILE *out, const LockStake *chain, char **errMsg);
int vakWriteHeaderInfo(FILE *out, const LockStakeHeader *header, char **errMsg);
int vakWriteProcIdInfo(FILE *out, const ProcessIdentity *processId, char **errMsg);
int vakWriteTrailerInfo(FILE *out, const LockStakeTrailer *trailer, char **errMsg);

// Reads a whole lock-stake file from the start of the stream. On VAK_OK *chain is a new chain
// (free with vak::FreeLockStake); on failure it is NULL. Never returns a partial chain.
int vakReadLockStakeInfo(FILE *in, LockStake **chain, char **errMsg);
// Parsers over the collected text, in place: each reads consecutive key lines from pos and sets
// *next to the text after them.
int vakReadHeaderInfo(char *pos, char **next, LockStakeHeader **header, char **errMsg);
int vakReadProcIdInfo(char *pos, char **next, ProcessIdentity **processId, char **errMsg);
int vakReadTrailerInfo(char *pos, char **next, LockStakeTrailer **trailer, char **errMsg);
int vakGetValue(char *pos, char **next, const char *key, char **value, char **errMsg);

// A lock-stake file is a few hundred bytes per owner section. Anything larger than this is not
// one, and reading it whole would only exhaust memory: the reader refuses it as malformed, and so
// nothing larger may be written.
constexpr size_t kMaxStakeFileSize = 16 * 1024 * 1024;

namespace vak {

// The failure of the final flush of a text, by errno: "fflush failed. <errno's text>" (errno kept).
// A text written by other means than a stream reports its failed write the same way.
int FlushFailed(char **errMsg);
// The reader of vakReadLockStakeInfo over an open descriptor positioned at the start of the file;
// it spares the engine a stdio stream and the system calls that set one up. *seen (when given)
// gets the file's status as the reader took it, whatever the outcome of the read; *text (when
// given) a copy of the text as read (from malloc, NUL-terminated, *length bytes), on VAK_OK only.
int ReadLockStakeFd(int fd, LockStake **chain, char **errMsg, struct stat *seen = nullptr,
                    char **text = nullptr, size_t *length = nullptr);
// Whether a read that failed with status and errno err found the file removed after it was opened:
// a network file system (sshfs asks by name; NFS answers ESTALE) can fail the fstat or the read of
// a file that another host has just released or replaced. Such a file counts as gone.
bool Vanished(int status, int err);

}  // namespace vak

#endif  // VAK_STAKE_FILE_H_
