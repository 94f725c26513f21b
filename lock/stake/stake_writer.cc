// stake_writer.cc - writing the lock-stake file text (stake_reader.cc reads it).
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "stake/stake_file.h"
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

}  // namespace

int vakWriteProcIdInfo(FILE *out, const ProcessIdentity *processId, char **errMsg) {
  KeyLines lines(out);
  PutProcId(&lines, processId);
  return lines.Finish() ? VAK_OK : vak::SysError(errMsg);
}

int vakWriteHeaderInfo(FILE *out, const LockStakeHeader *header, char **errMsg) {
  KeyLines lines(out);
  PutHeader(&lines, header);
  return lines.Finish() ? VAK_OK : vak::SysError(errMsg);
}

int vakWriteTrailerInfo(FILE *out, const LockStakeTrailer *trailer, char **errMsg) {
  KeyLines lines(out);
  PutTrailer(&lines, trailer);
  return lines.Finish() ? VAK_OK : vak::SysError(errMsg);
}

int vakWriteLockStakeInfo(const char *lockedPath, FILE *out, const LockStake *chain,
                          char **errMsg) {
  (void)lockedPath;
  for (const LockStake *s = chain; s != nullptr; s = s->next) {
    const char *banner = s == chain ? kCurrentOwnerBanner : kFormerOwnerBanner;
    if (fputs(banner, out) == EOF) return vak::AllocErrorMsg(VAK_NOT_OK, "fprintf failed.", errMsg);
    KeyLines lines(out);
    PutHeader(&lines, s->header);
    PutTrailer(&lines, s->trailer);
    if (!lines.Finish()) return vak::SysError(errMsg);
  }
  if (fflush(out) != 0) return vak::FlushFailed(errMsg);
  return VAK_OK;
}

int vak::FlushFailed(char **errMsg) {
  int err = errno;
  int status = vak::FormatErrorMsg(VAK_NOT_OK, errMsg, "fflush failed. %s", strerror(err));
  errno = err;
  return status;
}
