// compat_daemon.cc - the Compatibility Daemon's keyword table and request forms.
#include "compat_daemon.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace protocol {

namespace {

// Tested in this order; a keyword matches when the message begins with it.
const Keyword kKeywords[] = {
    {"Lock", kCdLock},
    {"Unlock", kCdUnlock},
    {"VersionReq", kCdVersionReq},
    {"Die", kCdDie},
    {"StartLog", kCdStartLog},
    {"StopLog", kCdStopLog},
    {"ReportLog", kCdReportLog},
    {"Debug", kCdDebug},
    {"VakCompatDVersion", kCdVersion},
    {"LogInfo", kCdLogInfo},
    {"GotLock", kCdGotLock},
    {"DidUnLock", kCdDidUnLock},
};

// The text of a request "<keyword> "<path>"<middle><pid>" with its exact size, from malloc.
char *NewPathRequest(const char *keyword, const char *filePath, const char *middle,
                     unsigned long processId) {
  const char *format = "%s \"%s\"%s%lu";
  int length = snprintf(nullptr, 0, format, keyword, filePath, middle, processId);
  if (length < 0) return nullptr;
  size_t size = static_cast<size_t>(length) + 1;
  char *text = static_cast<char *>(malloc(size));
  if (text != nullptr) snprintf(text, size, format, keyword, filePath, middle, processId);
  return text;
}

}  // namespace

const Dialect kCompatDaemon = {kKeywords, sizeof kKeywords / sizeof kKeywords[0], kCdVersion,
                               kCompatProtocolVersion, kCdLogInfo};
const char kCdAlreadyLockedMarker[] = "Requested lock";

char *NewLockRequest(const char *filePath, const char *reason, unsigned long processId) {
  // The reason rides between the path's closing quote and the number: ` "<reason>" `.
  size_t length = strlen(reason);
  char *middle = static_cast<char *>(malloc(length + 5));
  if (middle == nullptr) return nullptr;
  snprintf(middle, length + 5, " \"%s\" ", reason);
  char *text = NewPathRequest(KeywordOf(kCompatDaemon, kCdLock), filePath, middle, processId);
  free(middle);
  return text;
}

char *NewUnlockRequest(const char *filePath, unsigned long processId) {
  return NewPathRequest(KeywordOf(kCompatDaemon, kCdUnlock), filePath, " ", processId);
}

}  // namespace protocol

const char *vakCompatDParseMsg(const char *message, int *kind) {
  return protocol::ParseMessage(protocol::kCompatDaemon, message, kind);
}
