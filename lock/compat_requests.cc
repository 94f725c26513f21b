// compat_requests.cc - the requests to the Compatibility Daemon: old-style lock and unlock with the
// judgement of their replies, and the control requests.
#include "compat_requests.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "compat_process.h"
#include "log_requests.h"
#include "posix_io.h"
#include "status.h"
#include "vak.h"

namespace {

const char kIllegalLockReplyMsg[] =
    "vak: We tried to lock a file with the Compatibility Daemon but we did not get a legal "
    "response.";
// Request buffer size of StartLog.
const size_t kStartLogBufferSize = 4096;
const char kLogNameTooLongFormat[] =
    "vak: The log file name is too long for the Compatibility Daemon (at most %d characters).";
const vak::LogInfoErrors kReportLogErrors = {
    VAK_COMPAT_DAEMON_BAD_RESPONSE,
    "vak: Could not recognize response from Compatibility Daemon to ReportLog message.", false};

// Sends a lock or unlock request built by the caller and judges the reply of the expected kind.
int Exchange(char *request, int expectedKind, char **errMsg) {
  if (request == nullptr) return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  orv::MallocPtr<char> owner(request);
  int status = vakCompatDSendToDaemon(request, errMsg);
  if (status != VAK_OK) return status;
  return vakCompatDLockResponse(expectedKind, errMsg);
}

int SendControl(const char *message, char **errMsg) {
  int status = vakCompatDInit(errMsg);
  if (status != VAK_OK) return status;
  return vakCompatDSendToDaemon(message, errMsg);
}

}  // namespace

int vakCompatDWriteLock(const char *filePath, const char *reason, unsigned long processId,
                        char **errMsg) {
  if (filePath == nullptr) {
    return vak::AllocErrorMsg(
        VAK_NOT_OK,
        "vak: empty path specified when trying to use Compatibility Daemon to "
        "get orvd to lock\n",
        errMsg);
  }
  int status = vakCompatDInit(errMsg);
  if (status != VAK_OK) return status;
  char *request =
      protocol::NewLockRequest(filePath, reason != nullptr ? reason : "", processId);
  return Exchange(request, kCdGotLock, errMsg);
}

int vakCompatDUnLock(const char *filePath, unsigned long processId, char **errMsg) {
  if (filePath == nullptr) {
    return vak::AllocErrorMsg(
        VAK_NOT_OK,
        "vak: empty path specified when trying to use Compatibility Daemon to "
        "get orvd to unlock\n",
        errMsg);
  }
  int status = vakCompatDInit(errMsg);
  if (status != VAK_OK) return status;
  char *request = protocol::NewUnlockRequest(filePath, processId);
  return Exchange(request, kCdDidUnLock, errMsg);
}

int vakCompatDLockResponse(int expectedKind, char **errMsg) {
  char *received = nullptr;
  int status = vakCompatDReadFromDaemon(&received, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> reply(received);
  int kind = -1;
  const char *rest = vakCompatDParseMsg(reply.get(), &kind);
  if (rest == nullptr || kind != expectedKind) {
    return vak::AllocErrorMsg(VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegalLockReplyMsg, errMsg);
  }
  while (isspace(static_cast<unsigned char>(*rest))) ++rest;
  if (strncmp(rest, "TRUE", 4) == 0) return VAK_OK;
  if (strncmp(rest, "FALSE", 5) != 0) {
    return vak::AllocErrorMsg(VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegalLockReplyMsg, errMsg);
  }
  const char *open = strchr(rest + 5, '"');
  const char *start = open != nullptr ? open + 1 : nullptr;
  size_t length = start != nullptr ? strcspn(start, "\"") : 0;
  if (length == 0) {
    // A refusal without a reason (no quoted text, or an empty one) cannot say the file is held by
    // someone else, so it is an ordinary refusal; the message says that no reason came with it.
    return vak::AllocErrorMsg(
        VAK_NOT_OK,
        expectedKind == kCdGotLock
            ? "vak: The Compatibility Daemon refused the lock without a reason."
            : "vak: The Compatibility Daemon refused the unlock without a "
              "reason.",
        errMsg);
  }
  orv::MallocPtr<char> reason(strndup(start, length));
  if (reason == nullptr) return vak::AllocErrorMsg(VAK_OUT_OF_MEMORY, outOfMemMsg, errMsg);
  // Only the words from the last capital R on tell that the file is held by someone else; a
  // reason may mention them earlier in another sense.
  const char *lastR = strrchr(reason.get(), 'R');
  bool heldElsewhere = expectedKind == kCdGotLock && lastR != nullptr &&
                       strncmp(lastR, protocol::kCdAlreadyLockedMarker,
                               strlen(protocol::kCdAlreadyLockedMarker)) == 0;
  return vak::AllocErrorMsg(heldElsewhere ? VAK_FILE_ALREADY_LOCKED : VAK_NOT_OK, reason.get(),
                            errMsg);
}

namespace vak {

int CompatTerminate(char **errMsg) {
  return SendControl("Die", errMsg);
}

int CompatStartLog(const char *logFileName, char **errMsg) {
  char request[kStartLogBufferSize];
  int status =
      vak::StartLogRequest(logFileName, request, sizeof request, kLogNameTooLongFormat, errMsg);
  if (status != VAK_OK) return status;
  return SendControl(request, errMsg);
}

int CompatStopLog(char **errMsg) {
  return SendControl("StopLog", errMsg);
}

int CompatSetDebugMode(char **errMsg) {
  return SendControl("Debug", errMsg);
}

int CompatReportLog(char **logInfo, char **errMsg) {
  int status = SendControl("ReportLog", errMsg);
  if (status != VAK_OK) return status;
  char *received = nullptr;
  status = vakCompatDReadFromDaemon(&received, errMsg);
  if (status != VAK_OK) return status;
  orv::MallocPtr<char> reply(received);
  return vak::TakeLogInfo(protocol::kCompatDaemon, reply.get(), kReportLogErrors, logInfo, errMsg);
}

}  // namespace vak
