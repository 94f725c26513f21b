// own_text.cc - the caller's own lock-stake text: composed as a record chain (vakWriteEditLock) and
// formatted into memory.
#include "stake/own_text.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "init.h"
#include "stake/stake_file.h"
#include "status.h"

namespace {

// Size of the buffer for the readable time of locking.
constexpr size_t kTimeBufferSize = 2047;

// The readable time of the last locking, kept for the rest of its second: an application that
// locks many files in a burst formats the time once.
struct {
  time_t second = -1;
  char readable[kTimeBufferSize];
} lastTimeLocked;

// Formats into buffer; false if it does not fit or anything else fails.
bool FormatInto(char *buffer, size_t capacity, const char *filePath, const char *reason,
                LockStake *formerOwners, size_t *length) {
  FILE *out = fmemopen(buffer, capacity, "w");
  if (out == nullptr) return false;
  // A stream buffer of our own, so that none is allocated.
  char streamBuffer[4096];
  setvbuf(out, streamBuffer, _IOFBF, sizeof streamBuffer);
  char *msg = nullptr;
  bool made = vakWriteEditLock(out, formerOwners, filePath, reason, &msg) == VAK_OK;
  vakReleaseErrorMsg(&msg);
  long end = made ? ftell(out) : -1;
  // fmemopen ends the text with a NUL if there is room: a text that fills buffer may be cut.
  made = fclose(out) == 0 && end >= 0 && static_cast<size_t>(end) < capacity;
  *length = made ? static_cast<size_t>(end) : 0;
  return made;
}

}  // namespace

int vakWriteEditLock(FILE *out, LockStake *formerOwners, const char *lockedPath, const char *reason,
                     char **errMsg) {
  if (vakInitInfo == nullptr || vakInitInfo->processId == nullptr) return vak::Invariant(errMsg);
  orv::MallocPtr<LockStake> stake(static_cast<LockStake *>(calloc(1, sizeof(LockStake))));
  orv::MallocPtr<LockStakeTrailer> trailer(
      static_cast<LockStakeTrailer *>(calloc(1, sizeof(LockStakeTrailer))));
  if (stake == nullptr || trailer == nullptr) return vak::OutOfMemory(errMsg);
  errno = 0;
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) return vak::SysError(errMsg);
  if (now != lastTimeLocked.second) {
    struct tm local;
    lastTimeLocked.second = -1;
    if (localtime_r(&now, &local) == nullptr ||
        strftime(lastTimeLocked.readable, sizeof lastTimeLocked.readable, "%c %Z", &local) == 0) {
      return vak::SysError(errMsg);
    }
    lastTimeLocked.second = now;
  }
  orv::MallocPtr<char> timeLocked(strdup(lastTimeLocked.readable));
  if (timeLocked == nullptr) return vak::OutOfMemory(errMsg);

  // Borrowed parts: the caller's reason and path, the process's own identity, the former owners.
  // They are only pointed at, never freed here.
  trailer->reason = const_cast<char *>(reason != nullptr ? reason : unspecifiedReasonMsg);
  trailer->filePathUsed = const_cast<char *>(lockedPath != nullptr ? lockedPath : "");
  trailer->timeLocked = timeLocked.get();
  stake->header = vakInitInfo;
  stake->trailer = trailer.get();
  stake->next = formerOwners;
  return vakWriteLockStakeInfo(lockedPath, out, stake.get(), errMsg);
}

// A get or steal that wrote what no reader accepts would leave a lock that its own owner could
// neither confirm nor release, and others could not judge. The writer puts every line break of a
// value as a blank, so the reader parses whatever it writes; only the size can part them, and a
// text too large is refused here, before anything reaches the disk.
int OwnText::CheckSize(char **errMsg) const {
  if (length_ <= kMaxStakeFileSize) return VAK_OK;
  return vak::FormatErrorMsg(VAK_MALFORMED_REQUEST, errMsg,
                             "The lock-stake file would be %zu bytes, more than the %zu that a "
                             "reader accepts: the reason or the history of owners is too long",
                             length_, kMaxStakeFileSize);
}

int OwnText::Format(const char *filePath, const char *reason, LockStake *formerOwners,
                    char **errMsg) {
  // On the stack when it fits, as it does unless the path, the reason or the history is long;
  // else (and for the messages of any failure) into a buffer that grows.
  if (FormatInto(fixed_, sizeof fixed_, filePath, reason, formerOwners, &length_)) {
    data_ = fixed_;  // far below the size a reader accepts
    return VAK_OK;
  }
  char *buffer = nullptr;
  size_t length = 0;
  FILE *out = open_memstream(&buffer, &length);
  if (out == nullptr) return vak::OutOfMemory(errMsg);
  int status = vakWriteEditLock(out, formerOwners, filePath, reason, errMsg);
  bool closed = fclose(out) == 0;  // a memory stream fails to close only for lack of memory
  grown_.reset(buffer);
  if (status != VAK_OK) return status;
  if (!closed) return vak::OutOfMemory(errMsg);
  data_ = grown_.get();
  length_ = length;
  return CheckSize(errMsg);
}

int OwnText::Assign(const char *text, size_t length, char **errMsg) {
  grown_.reset(static_cast<char *>(malloc(length + 1)));
  if (grown_ == nullptr) return vak::OutOfMemory(errMsg);
  memcpy(grown_.get(), text, length);
  grown_.get()[length] = '\0';
  data_ = grown_.get();
  length_ = length;
  return VAK_OK;
}
