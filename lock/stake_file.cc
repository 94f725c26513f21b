// stake_file.cc - the lock-stake file text: eleven "%-30s value" key lines per owner section,
// each section behind its banner, current owner first. The reader parses the whole file in place
// and accepts files from any writer that keeps this layout (any key case, CR LF line ends).
#include "stake_file.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_io.h"
#include "status.h"

namespace {

const char kCurrentOwnerBanner[] =
    "#\n"
    "# Edit Lock-Stake file. CAUTION: Please do not change.\n"
    "#\n"
    "# Information about current Edit Lock Owner.\n"
    "#\n";
const char kFormerOwnerBanner[] =
    "#\n"
    "# Information about former Edit Lock Owner.\n"
    "#\n";

// A lock-stake file is a few hundred bytes per owner section. Anything this large is not one, and
// reading it whole would only exhaust memory; it is refused as malformed.
const off_t kMaxStakeFileSize = 16 * 1024 * 1024;

int Malformed(char **errMsg) {
  return vakAllocErrorMsg(VAK_MALFORMED_LOCK_STAKE_FILE, vakMalformedMsg, errMsg);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Key lines collected and handed to the stream in one call per section rather than one per line.
// A line feed inside a value would end the line early and make the file unreadable for everyone,
// so it is written as a blank; values are otherwise written as they are. After a failed write
// nothing more is written, and errno stays that of the failure.
class KeyLines {
 public:
  explicit KeyLines(FILE *out) : out_(out) {}

  // The key left-justified in 30 columns, then a blank (printf's "%-30s "), then the value.
  void Put(const char *key, const char *value) {
    static const char kBlanks[] = "                               ";  // 31
    size_t keyLength = strlen(key);
    Append(key, keyLength);
    Append(kBlanks, keyLength < 31 ? 31 - keyLength : 1);
    for (const char *p = value != nullptr ? value : ""; *p != '\0';) {
      size_t run = strcspn(p, "\n");
      Append(p, run);
      p += run;
      if (*p == '\n') {
        Append(" ", 1);
        ++p;
      }
    }
    Append("\n", 1);
  }

  // A key line whose value is a decimal number (negative when negative is set).
  void PutNumber(const char *key, uint64_t magnitude, bool negative = false) {
    char number[24];
    char *p = number + sizeof number;
    *--p = '\0';
    do {
      *--p = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    Put(key, p);
  }

  // Writes what is collected; false if this or an earlier write failed.
  bool Finish() {
    Flush();
    return ok_;
  }

 private:
  void Append(const char *text, size_t length) {
    while (length > 0 && ok_) {
      if (used_ == sizeof buffer_) Flush();
      size_t part = sizeof buffer_ - used_ < length ? sizeof buffer_ - used_ : length;
      memcpy(buffer_ + used_, text, part);
      used_ += part;
      text += part;
      length -= part;
    }
  }

  void Flush() {
    if (ok_ && used_ > 0) ok_ = fwrite(buffer_, 1, used_, out_) == used_;
    used_ = 0;
  }

  FILE *out_;
  char buffer_[2048];
  size_t used_ = 0;
  bool ok_ = true;
};

void PutProcId(KeyLines *lines, const ProcessIdentity *processId) {
  // A missing identity is written as empty values so that the file still parses.
  const ProcessIdentity none = {nullptr, 0, 0};
  const ProcessIdentity *id = processId != nullptr ? processId : &none;
  lines->Put("HostName", id->hostName);
  lines->PutNumber("ProcessIdentifier", id->processId);
  lines->PutNumber("ProcessCreationTime_UTC",
                   id->creationTime < 0 ? 0 - static_cast<uint64_t>(id->creationTime)
                                        : static_cast<uint64_t>(id->creationTime),
                   id->creationTime < 0);
}

void PutHeader(KeyLines *lines, const LockStakeHeader *header) {
  const LockStakeHeader none = {};
  const LockStakeHeader *h = header != nullptr ? header : &none;
  lines->Put("LockStakeVersion", h->lockStakeVersion);
  lines->Put("LoginName", h->loginName);
  PutProcId(lines, h->processId);
  lines->Put("ProcessCreationTime_Readable", h->creationTimeReadable);
  lines->Put("AppIdentifier", h->appIdentifier);
  lines->Put("OSType", h->osType);
}

void PutTrailer(KeyLines *lines, const LockStakeTrailer *trailer) {
  const LockStakeTrailer none = {};
  const LockStakeTrailer *t = trailer != nullptr ? trailer : &none;
  lines->Put("ReasonForPlacingEditLock", t->reason);
  lines->Put("FilePathUsedToEditLock", t->filePathUsed);
  lines->Put("TimeEditLocked", t->timeLocked);
}

int WriteFailed(char **errMsg) {
  return vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
}

// A failed fstat or read, with errno kept: the caller tells a file that vanished under it from
// other failures.
int ReadFailed(char **errMsg) {
  int err = errno;
  int status = vakGetStrErrorMsg(VAK_SYS_ERROR, errMsg);
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

// The whole reader over an open file descriptor fd, read through readSome.
template <typename ReadSome>
int ReadStake(int fd, ReadSome readSome, LockStake **chain, char **errMsg,
              struct stat *seen = nullptr, char **textCopy = nullptr,
              size_t *textLength = nullptr) {
  *chain = nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return ReadFailed(errMsg);
  if (seen != nullptr) *seen = st;
  if (st.st_size <= 0 || st.st_size > kMaxStakeFileSize) return Malformed(errMsg);
  size_t size = static_cast<size_t>(st.st_size);
  orv::MallocPtr<char> text(static_cast<char *>(malloc(size + 1)));
  if (text == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  ssize_t length = ReadWholeText(readSome, text.get(), size);
  if (length == -1) return ReadFailed(errMsg);
  if (length == -3) {
    // Longer than the size measured: the file changed under the reader (a writer at work, or a
    // file system that measured another file: sshfs measures by name, and the name may lead to a
    // new file by now). Reported as a file that went stale, so that the caller reads it again.
    errno = ESTALE;
    return ReadFailed(errMsg);
  }
  if (length <= 0) return Malformed(errMsg);
  // The parse below cuts the text in place: a caller that compares texts later gets a copy.
  if (textCopy != nullptr) {
    *textCopy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (*textCopy == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
    memcpy(*textCopy, text.get(), static_cast<size_t>(length) + 1);
    *textLength = static_cast<size_t>(length);
  }

  LockStake *head = nullptr;
  LockStake **tail = &head;
  char *pos = text.get();
  int status = VAK_OK;
  for (;;) {
    LockStake *section = static_cast<LockStake *>(calloc(1, sizeof *section));
    if (section == nullptr) {
      status = vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
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
    vakFreeLockStake(head);
    if (textCopy != nullptr) {
      free(*textCopy);
      *textCopy = nullptr;
    }
    return status;
  }
  *chain = head;
  return VAK_OK;
}

}  // namespace

int vakWriteProcIdInfo(FILE *out, const ProcessIdentity *processId, char **errMsg) {
  KeyLines lines(out);
  PutProcId(&lines, processId);
  return lines.Finish() ? VAK_OK : WriteFailed(errMsg);
}

int vakWriteHeaderInfo(FILE *out, const LockStakeHeader *header, char **errMsg) {
  KeyLines lines(out);
  PutHeader(&lines, header);
  return lines.Finish() ? VAK_OK : WriteFailed(errMsg);
}

int vakWriteTrailerInfo(FILE *out, const LockStakeTrailer *trailer, char **errMsg) {
  KeyLines lines(out);
  PutTrailer(&lines, trailer);
  return lines.Finish() ? VAK_OK : WriteFailed(errMsg);
}

// When the final flush fails, nothing is removed here: the file being written may be a side file,
// or the lock-stake file beside the target of a symbolic link, and neither is named by lockedPath.
// The caller that opened the file knows which one it is and removes it; errno is left at the
// flush's error so that it can tell a full disk (ENOSPC) from other failures.
int vakWriteLockStakeInfo(const char *lockedPath, FILE *out, const LockStake *chain,
                          char **errMsg) {
  (void)lockedPath;
  for (const LockStake *s = chain; s != nullptr; s = s->next) {
    const char *banner = s == chain ? kCurrentOwnerBanner : kFormerOwnerBanner;
    if (fputs(banner, out) == EOF) return vakAllocErrorMsg(VAK_NOT_OK, "fprintf failed.", errMsg);
    KeyLines lines(out);
    PutHeader(&lines, s->header);
    PutTrailer(&lines, s->trailer);
    if (!lines.Finish()) return WriteFailed(errMsg);
  }
  if (fflush(out) != 0) {
    int err = errno;
    int status = vakFormatErrorMsg(VAK_NOT_OK, errMsg, "fflush failed. %s", strerror(err));
    errno = err;
    return status;
  }
  return VAK_OK;
}

namespace {

// vakGetValue without the copy: *value points into the text, which is cut after the value.
int FindValue(char *pos, char **next, const char *key, char **value, char **errMsg) {
  *value = nullptr;
  for (;;) {
    while (IsBlank(*pos)) ++pos;
    if (*pos != '#') break;
    char *end = strchr(pos, '\n');
    if (end == nullptr) return Malformed(errMsg);
    pos = end + 1;
  }
  char *lineEnd = strchr(pos, '\n');
  if (lineEnd == nullptr) return Malformed(errMsg);
  *lineEnd = '\0';
  size_t keyLength = strlen(key);
  if (strncasecmp(pos, key, keyLength) != 0) return Malformed(errMsg);
  char *v = pos + keyLength;
  if (!IsBlank(*v)) return Malformed(errMsg);
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
  if (*value == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  return VAK_OK;
}

int vakReadProcIdInfo(char *pos, char **next, ProcessIdentity **processId, char **errMsg) {
  ProcessIdentity *id = static_cast<ProcessIdentity *>(calloc(1, sizeof *id));
  *processId = nullptr;
  if (id == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  char *number = nullptr;
  int status = vakGetValue(pos, &pos, "HostName", &id->hostName, errMsg);
  if (status == VAK_OK) status = FindValue(pos, &pos, "ProcessIdentifier", &number, errMsg);
  if (status == VAK_OK) {
    // Text that is not a number reads as 0; that is not an error.
    id->processId = strtoull(number, nullptr, 10);
    status = FindValue(pos, &pos, "ProcessCreationTime_UTC", &number, errMsg);
  }
  if (status == VAK_OK) id->creationTime = strtoll(number, nullptr, 10);
  if (status != VAK_OK) {
    vakFreeProcId(id);
    return status;
  }
  *processId = id;
  *next = pos;
  return VAK_OK;
}

int vakReadHeaderInfo(char *pos, char **next, LockStakeHeader **header, char **errMsg) {
  LockStakeHeader *h = static_cast<LockStakeHeader *>(calloc(1, sizeof *h));
  *header = nullptr;
  if (h == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  int status = vakGetValue(pos, &pos, "LockStakeVersion", &h->lockStakeVersion, errMsg);
  if (status == VAK_OK) status = vakGetValue(pos, &pos, "LoginName", &h->loginName, errMsg);
  if (status == VAK_OK) status = vakReadProcIdInfo(pos, &pos, &h->processId, errMsg);
  if (status == VAK_OK) {
    status =
        vakGetValue(pos, &pos, "ProcessCreationTime_Readable", &h->creationTimeReadable, errMsg);
  }
  if (status == VAK_OK) status = vakGetValue(pos, &pos, "AppIdentifier", &h->appIdentifier, errMsg);
  if (status == VAK_OK) status = vakGetValue(pos, &pos, "OSType", &h->osType, errMsg);
  if (status != VAK_OK) {
    vakFreeHeader(h);
    return status;
  }
  *header = h;
  *next = pos;
  return VAK_OK;
}

int vakReadTrailerInfo(char *pos, char **next, LockStakeTrailer **trailer, char **errMsg) {
  LockStakeTrailer *t = static_cast<LockStakeTrailer *>(calloc(1, sizeof *t));
  *trailer = nullptr;
  if (t == nullptr) return vakAllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  int status = vakGetValue(pos, &pos, "ReasonForPlacingEditLock", &t->reason, errMsg);
  if (status == VAK_OK) {
    status = vakGetValue(pos, &pos, "FilePathUsedToEditLock", &t->filePathUsed, errMsg);
  }
  if (status == VAK_OK) status = vakGetValue(pos, &pos, "TimeEditLocked", &t->timeLocked, errMsg);
  if (status != VAK_OK) {
    vakFreeTrailer(t);
    return status;
  }
  *trailer = t;
  *next = pos;
  return VAK_OK;
}

int vakReadLockStakeInfo(FILE *in, LockStake **chain, char **errMsg) {
  auto readSome = [in](char *buffer, size_t n) -> ssize_t {
    size_t got = fread(buffer, 1, n, in);
    return got == 0 && ferror(in) ? -1 : static_cast<ssize_t>(got);
  };
  return ReadStake(fileno(in), readSome, chain, errMsg);
}

bool vakiVanished(int status, int err) {
  return status == VAK_SYS_ERROR && (err == ENOENT || err == ESTALE);
}

int vakiReadLockStakeFd(int fd, LockStake **chain, char **errMsg, struct stat *seen, char **text,
                        size_t *length) {
  auto readSome = [fd](char *buffer, size_t n) { return read(fd, buffer, n); };
  return ReadStake(fd, readSome, chain, errMsg, seen, text, length);
}

extern "C" void vakFreeProcId(ProcessIdentity *processId) {
  if (processId == nullptr) return;
  free(processId->hostName);
  free(processId);
}

extern "C" void vakFreeHeader(LockStakeHeader *header) {
  if (header == nullptr) return;
  free(header->lockStakeVersion);
  free(header->loginName);
  vakFreeProcId(header->processId);
  free(header->creationTimeReadable);
  free(header->appIdentifier);
  free(header->osType);
  free(header);
}

extern "C" void vakFreeTrailer(LockStakeTrailer *trailer) {
  if (trailer == nullptr) return;
  free(trailer->reason);
  free(trailer->filePathUsed);
  free(trailer->timeLocked);
  free(trailer);
}

extern "C" void vakFreeLockStake(LockStake *chain) {
  // Iterative, so that a long history of steals cannot exhaust the stack.
  while (chain != nullptr) {
    LockStake *next = chain->next;
    vakFreeHeader(chain->header);
    vakFreeTrailer(chain->trailer);
    free(chain);
    chain = next;
  }
}

extern "C" void vakFreeLockStakeInfo(LockStakeInfo *info) {
  if (info == nullptr) return;
  free(info->lockStakeFilePath);
  vakFreeLockStake(info->lockStake);
  free(info);
}
