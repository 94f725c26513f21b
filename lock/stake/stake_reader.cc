// stake_reader.cc - reading the lock-stake file text: eleven "%-30s value" key lines per owner
// section, each section behind its banner, current owner first. The reader parses the whole file
// in place and accepts files from any writer that keeps this layout (any key case, CR LF line
// ends); stake_writer.cc writes it.
#include "stake/stake_file.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_io.h"
#include "stake/stake_records.h"
#include "status.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A failed fstat or read, with errno kept: the caller tells a file that vanished under it from
// other failures.
int ReadFailed(char **errMsg) {
  int err = errno;
  int status = vak::SysError(errMsg);
  errno = err;
  return status;
}

// Reads the rest of a file into text (capacity size + 1) through readSome, which behaves like
// read(2), turning a CR LF pair that ends a line into LF as the line reader of the common library
// does. Returns the text length, or -1 with errno set when reading fails, -2 when the file is not
// text (a NUL byte), or -3 when it grew beyond the size it had when it was measured (the reader
// must not take a partial file for a complete one).
//
// Every read asks for one byte more than the size measured: a read of a regular file stops short
// only at its end, so a read that stops at the size has also found the end, and a complete file
// costs one read instead of a read and a probe for more.
template <typename ReadSome>
ssize_t ReadWholeText(ReadSome readSome, char *text, size_t size) {
  size_t got = 0;
  for (ssize_t n = 1; n > 0 && got < size; got += static_cast<size_t>(n)) {
    n = readSome(text + got, size + 1 - got);
    if (n < 0) return -1;
  }
  if (got > size) return -3;
  if (memchr(text, '\0', got) != nullptr) return -2;
  // Files written on this system have no CR at all: they need no copy.
  const char *firstCr = static_cast<const char *>(memchr(text, '\r', got));
  size_t kept = firstCr != nullptr ? static_cast<size_t>(firstCr - text) : got;
  for (size_t i = kept; i < got; ++i) {
    if (text[i] == '\r' && i + 1 < got && text[i + 1] == '\n') continue;
    text[kept++] = text[i];
  }
  text[kept] = '\0';
  return static_cast<ssize_t>(kept);
}

// Parses the sections of a whole text, in place; on VAK_OK *chain is the whole chain.
int ParseSections(char *text, LockStake **chain, char **errMsg) {
  *chain = nullptr;
  LockStake *head = nullptr;
  LockStake **tail = &head;
  char *pos = text;
  int status = VAK_OK;
  for (;;) {
    LockStake *section = static_cast<LockStake *>(calloc(1, sizeof *section));
    if (section == nullptr) {
      status = vak::OutOfMemory(errMsg);
      break;
    }
    *tail = section;
    tail = &section->next;
    status = vakReadHeaderInfo(pos, &pos, &section->header, errMsg);
    if (status == VAK_OK) status = vakReadTrailerInfo(pos, &pos, &section->trailer, errMsg);
    // Anything after a section, even a blank line, must be a further section.
    if (status != VAK_OK || *pos == '\0') break;
  }
  vakReturnStatusValue = static_cast<signed char>(status);
  if (status != VAK_OK) {
    vak::FreeLockStake(head);
    return status;
  }
  *chain = head;
  return VAK_OK;
}

// The whole reader over an open file descriptor fd, read through readSome.
template <typename ReadSome>
int ReadStake(int fd, ReadSome readSome, LockStake **chain, char **errMsg,
              struct stat *seen = nullptr, char **textCopy = nullptr,
              size_t *textLength = nullptr) {
  *chain = nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return ReadFailed(errMsg);
  if (seen != nullptr) *seen = st;
  if (st.st_size <= 0 || st.st_size > static_cast<off_t>(kMaxStakeFileSize)) {
    return vak::Malformed(errMsg);
  }
  size_t size = static_cast<size_t>(st.st_size);
  orv::MallocPtr<char> text(static_cast<char *>(malloc(size + 1)));
  if (text == nullptr) return vak::OutOfMemory(errMsg);
  ssize_t length = ReadWholeText(readSome, text.get(), size);
  if (length == -1) return ReadFailed(errMsg);
  if (length == -3) {
    // Longer than the size measured: the file changed under the reader (a writer at work, or a
    // file system that measured another file: sshfs measures by name, and the name may lead to a
    // new file by now). Reported as a file that went stale, so that the caller reads it again.
    errno = ESTALE;
    return ReadFailed(errMsg);
  }
  if (length <= 0) return vak::Malformed(errMsg);
  // The parse below cuts the text in place: a caller that compares texts later gets a copy.
  if (textCopy != nullptr) {
    *textCopy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (*textCopy == nullptr) return vak::OutOfMemory(errMsg);
    memcpy(*textCopy, text.get(), static_cast<size_t>(length) + 1);
    *textLength = static_cast<size_t>(length);
  }

  int status = ParseSections(text.get(), chain, errMsg);
  if (status != VAK_OK && textCopy != nullptr) {
    free(*textCopy);
    *textCopy = nullptr;
  }
  return status;
}

// vakGetValue without the copy: *value points into the text, which is cut after the value.
int FindValue(char *pos, char **next, const char *key, char **value, char **errMsg) {
  *value = nullptr;
  for (;;) {
    while (IsBlank(*pos)) ++pos;
    if (*pos != '#') break;
    char *end = strchr(pos, '\n');
    if (end == nullptr) return vak::Malformed(errMsg);
    pos = end + 1;
  }
  char *lineEnd = strchr(pos, '\n');
  if (lineEnd == nullptr) return vak::Malformed(errMsg);
  *lineEnd = '\0';
  size_t keyLength = strlen(key);
  if (strncasecmp(pos, key, keyLength) != 0) return vak::Malformed(errMsg);
  char *v = pos + keyLength;
  if (!IsBlank(*v)) return vak::Malformed(errMsg);
  while (IsBlank(*v)) ++v;
  *value = v;
  *next = lineEnd + 1;
  return VAK_OK;
}

}  // namespace

int vakGetValue(char *pos, char **next, const char *key, char **value, char **errMsg) {
  char *found = nullptr;
  int status = FindValue(pos, next, key, &found, errMsg);
  *value = nullptr;
  if (status != VAK_OK) return status;
  *value = strdup(found);
  if (*value == nullptr) return vak::OutOfMemory(errMsg);
  return VAK_OK;
}

namespace {

// Allocates a record, fills it from the key lines at pos through parse(record, &pos) and hands it
// out only whole (with *next after its lines); a record that fails to parse is freed.
template <typename Record, typename Parse>
int ReadRecord(char *pos, char **next, Record **out, Parse parse, void (*freeRecord)(Record *),
               char **errMsg) {
  Record *record = static_cast<Record *>(calloc(1, sizeof *record));
  *out = nullptr;
  if (record == nullptr) return vak::OutOfMemory(errMsg);
  int status = parse(record, &pos);
  if (status != VAK_OK) {
    freeRecord(record);
    return status;
  }
  *out = record;
  *next = pos;
  return VAK_OK;
}

}  // namespace

int vakReadProcIdInfo(char *pos, char **next, ProcessIdentity **processId, char **errMsg) {
  auto parse = [errMsg](ProcessIdentity *id, char **at) {
    char *number = nullptr;
    int status = vakGetValue(*at, at, "HostName", &id->hostName, errMsg);
    if (status == VAK_OK) status = FindValue(*at, at, "ProcessIdentifier", &number, errMsg);
    if (status == VAK_OK) {
      // Text that is not a number reads as 0; that is not an error.
      id->processId = strtoull(number, nullptr, 10);
      status = FindValue(*at, at, "ProcessCreationTime_UTC", &number, errMsg);
    }
    if (status == VAK_OK) id->creationTime = strtoll(number, nullptr, 10);
    return status;
  };
  return ReadRecord(pos, next, processId, parse, vak::FreeProcId, errMsg);
}

int vakReadHeaderInfo(char *pos, char **next, LockStakeHeader **header, char **errMsg) {
  auto parse = [errMsg](LockStakeHeader *h, char **at) {
    int status = vakGetValue(*at, at, "LockStakeVersion", &h->lockStakeVersion, errMsg);
    if (status == VAK_OK) status = vakGetValue(*at, at, "LoginName", &h->loginName, errMsg);
    if (status == VAK_OK) status = vakReadProcIdInfo(*at, at, &h->processId, errMsg);
    if (status == VAK_OK) {
      status =
          vakGetValue(*at, at, "ProcessCreationTime_Readable", &h->creationTimeReadable, errMsg);
    }
    if (status == VAK_OK) status = vakGetValue(*at, at, "AppIdentifier", &h->appIdentifier, errMsg);
    if (status == VAK_OK) status = vakGetValue(*at, at, "OSType", &h->osType, errMsg);
    return status;
  };
  return ReadRecord(pos, next, header, parse, vak::FreeHeader, errMsg);
}

int vakReadTrailerInfo(char *pos, char **next, LockStakeTrailer **trailer, char **errMsg) {
  auto parse = [errMsg](LockStakeTrailer *t, char **at) {
    int status = vakGetValue(*at, at, "ReasonForPlacingEditLock", &t->reason, errMsg);
    if (status == VAK_OK) {
      status = vakGetValue(*at, at, "FilePathUsedToEditLock", &t->filePathUsed, errMsg);
    }
    if (status == VAK_OK) status = vakGetValue(*at, at, "TimeEditLocked", &t->timeLocked, errMsg);
    return status;
  };
  return ReadRecord(pos, next, trailer, parse, vak::FreeTrailer, errMsg);
}

int vakReadLockStakeInfo(FILE *in, LockStake **chain, char **errMsg) {
  auto readSome = [in](char *buffer, size_t n) -> ssize_t {
    size_t got = fread(buffer, 1, n, in);
    return got == 0 && ferror(in) ? -1 : static_cast<ssize_t>(got);
  };
  return ReadStake(fileno(in), readSome, chain, errMsg);
}

bool vak::Vanished(int status, int err) {
  return status == VAK_SYS_ERROR && (err == ENOENT || err == ESTALE);
}

int vak::ReadLockStakeFd(int fd, LockStake **chain, char **errMsg, struct stat *seen, char **text,
                         size_t *length) {
  auto readSome = [fd](char *buffer, size_t n) { return read(fd, buffer, n); };
  return ReadStake(fd, readSome, chain, errMsg, seen, text, length);
}
