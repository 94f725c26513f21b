// status.cc - the error-message slot and the shared message texts.
#include "status.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "posix_io.h"

std::atomic<signed char> vakReturnStatusValue{VAK_OK};

// Writable storage only so that it can sit in a `char *` slot; nothing ever writes to it.
char outOfMemMsg[] = "Out of memory";
const char unspecifiedReasonMsg[] = "Not specified";
const char vakAlreadyLockedMsg[] = "File is already locked by some other process.";
const char vakNoEditLockMsg[] = "There is no Edit Lock on the file.";
const char vakNotOwnerMsg[] = "Edit Lock is owned by some other process.";
const char vakMalformedMsg[] =
    "Malformed Lock-Stake file. Close this program, remove Lock-Stake file manually or using "
    "vakAdminTool and restart application.";
const char vakInvariantMsg[] =
    "INVARIANT failed. Action type is not the correct type or else actiontype is correct, but we "
    "should never have reached this stage.";
const char vakTooManyLinksMsg[] =
    "Number of symbolic links encountered during path name traversal exceeds MAXSYMLINKS";

namespace {

int Store(int status, char **errMsg, char *text) {
  vakReturnStatusValue = static_cast<signed char>(status);
  *errMsg = text;
  return status;
}

}  // namespace

void vakReleaseErrorMsg(char **errMsg) {
  if (errMsg == nullptr || *errMsg == nullptr) return;
  if (*errMsg != outOfMemMsg) free(*errMsg);
  *errMsg = nullptr;
}

int vak::SysError(char **errMsg) {
  return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
}

void vak::PassMessage(char **from, char **errMsg) {
  if (*from == nullptr) return;
  if (errMsg != nullptr) {
    *errMsg = *from;
    *from = nullptr;
  } else {
    vakReleaseErrorMsg(from);
  }
}

namespace vak {

int AllocErrorMsg(int status, const char *text, char **errMsg) {
  if (text == nullptr || errMsg == nullptr) return status;
  if (status == VAK_OUT_OF_MEMORY) return Store(VAK_OUT_OF_MEMORY, errMsg, outOfMemMsg);
  char *copy = strdup(text);
  if (copy == nullptr) return Store(VAK_OUT_OF_MEMORY, errMsg, outOfMemMsg);
  return Store(status, errMsg, copy);
}

int StrErrorMsg(int status, char **errMsg) {
  int err = errno;
  // A call that failed for want of memory (fdopen, opendir, a stream's buffer) is an allocation
  // failure like any other, and is reported as one.
  if (err == ENOMEM) {
    if (errMsg == nullptr) return VAK_OUT_OF_MEMORY;
    return Store(VAK_OUT_OF_MEMORY, errMsg, outOfMemMsg);
  }
  if (errMsg == nullptr) return status;
  // strerror never returns NULL on glibc, but an errno of 0 means the failing call did not set it.
  const char *text = err != 0 ? strerror(err) : nullptr;
  if (text == nullptr || *text == '\0') {
    text = "Unknown error. Perhaps errno is not set by the failed syscall";
    status = VAK_SYS_ERROR;
  }
  return AllocErrorMsg(status, text, errMsg);
}

int BdErrorMsg(int exitStatus, char **errMsg) {
  if (exitStatus == 0) return VAK_OK;
  static const char *const kMessages[] = {
      nullptr,
      "The vakbd had a problem initializing.\n",
      "The vakbd could no initialize the socket interface.\n",
      "The vakbd could not open the default portnumber.\nYou may need to change the default "
      "portnumber by\nsetting the VAK_PORTNUM environment variable.\n",
  };
  if (exitStatus >= 1 && exitStatus <= 3) {
    return AllocErrorMsg(VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, kMessages[exitStatus], errMsg);
  }
  return VAK_BOOLEAN_DAEMON_LAUNCH_ERROR;
}

int FormatErrorMsg(int status, char **errMsg, const char *format, ...) {
  if (errMsg == nullptr) return status;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return AllocErrorMsg(status, format, errMsg);
  }
  orv::MallocPtr<char> text(static_cast<char *>(malloc(static_cast<size_t>(length) + 1)));
  if (text == nullptr) {
    va_end(again);
    return Store(VAK_OUT_OF_MEMORY, errMsg, outOfMemMsg);
  }
  vsnprintf(text.get(), static_cast<size_t>(length) + 1, format, again);
  va_end(again);
  if (status == VAK_OUT_OF_MEMORY) return Store(VAK_OUT_OF_MEMORY, errMsg, outOfMemMsg);
  return Store(status, errMsg, text.release());
}

int OutOfMemory(char **errMsg) {
  return AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
}

int AlreadyLocked(char **errMsg) {
  return AllocErrorMsg(VAK_FILE_ALREADY_LOCKED, vakAlreadyLockedMsg, errMsg);
}

int NotOwner(char **errMsg) {
  return AllocErrorMsg(VAK_NOT_EDIT_LOCK_OWNER, vakNotOwnerMsg, errMsg);
}

int NotLocked(char **errMsg) {
  return AllocErrorMsg(VAK_FILE_NOT_LOCKED, vakNoEditLockMsg, errMsg);
}

int Malformed(char **errMsg) {
  return AllocErrorMsg(VAK_MALFORMED_LOCK_STAKE_FILE, vakMalformedMsg, errMsg);
}

int Invariant(char **errMsg) {
  return AllocErrorMsg(VAK_NOT_OK, vakInvariantMsg, errMsg);
}

void KeepOneMessage(char **keep, char **drop, char **errMsg) {
  vakReleaseErrorMsg(drop);
  if (*keep == nullptr && errMsg != nullptr) *errMsg = nullptr;
  vak::PassMessage(keep, errMsg);
}

}  // namespace vak
