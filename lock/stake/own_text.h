// own_text.h - the calling process's lock-stake text (its identity as current owner, the reason,
// the path used and the time, followed by former owners), formatted once and written whole: a
// side file is never seen half-written by a process that reads it after its writer linked it.
#ifndef VAK_OWN_TEXT_H_
#define VAK_OWN_TEXT_H_

#include <stddef.h>

#include <stdio.h>

#include "posix_io.h"
#include "vak.h"

// Writes the lock-stake text that makes the calling process the current owner, followed by the
// former owners (may be NULL). The caller's records are borrowed, not freed.
int vakWriteEditLock(FILE *out, LockStake *formerOwners, const char *lockedPath, const char *reason,
                     char **errMsg);

class OwnText {
 public:
  OwnText() = default;
  OwnText(const OwnText &) = delete;
  OwnText &operator=(const OwnText &) = delete;

  // Formats the text; VAK_OK, or the status and message of the failure. A text that the reader
  // would not accept back (larger than kMaxStakeFileSize) gives VAK_MALFORMED_REQUEST.
  int Format(const char *filePath, const char *reason, LockStake *formerOwners, char **errMsg);
  // Takes a text already formatted (a copy is kept).
  int Assign(const char *text, size_t length, char **errMsg);
  const char *data() const { return data_; }
  size_t length() const { return length_; }

 private:
  int CheckSize(char **errMsg) const;

  char fixed_[8192];
  orv::MallocPtr<char> grown_;
  const char *data_ = nullptr;
  size_t length_ = 0;
};

#endif  // VAK_OWN_TEXT_H_
