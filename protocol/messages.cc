// messages.cc - keyword recognition, the version check and the log requests of both protocols.
#include "messages.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace protocol {

namespace {

const char kStartLog[] = "StartLog";

}  // namespace

const char *ParseMessage(const Dialect &dialect, const char *message, int *kind) {
  if (message == nullptr) return nullptr;
  while (isspace(static_cast<unsigned char>(*message))) ++message;
  for (size_t i = 0; i < dialect.keywordCount; ++i) {
    const Keyword &keyword = dialect.keywords[i];
    size_t length = strlen(keyword.text);
    if (strncmp(message, keyword.text, length) == 0) {
      if (kind != nullptr) *kind = keyword.kind;
      return message + length;
    }
  }
  return nullptr;
}

const char *KeywordOf(const Dialect &dialect, int kind) {
  for (size_t i = 0; i < dialect.keywordCount; ++i) {
    if (dialect.keywords[i].kind == kind) return dialect.keywords[i].text;
  }
  return nullptr;
}

VersionCheck CheckVersion(const Dialect &dialect, const char *message, int *version) {
  int kind = -1;
  const char *rest = ParseMessage(dialect, message, &kind);
  if (rest == nullptr) return VersionCheck::kNoMessage;
  if (kind != dialect.versionKind) return VersionCheck::kOtherMessage;
  long number = strtol(rest, nullptr, 10);
  if (number == dialect.version) return VersionCheck::kAccepted;
  // Messages show an int; a wild value is shown clamped rather than wrapped.
  if (number > INT_MAX) number = INT_MAX;
  if (number < INT_MIN) number = INT_MIN;
  *version = static_cast<int>(number);
  return VersionCheck::kOtherVersion;
}

bool FormatStartLog(const char *logFileName, char *request, size_t size) {
  int length = snprintf(request, size, "%s %s", kStartLog, logFileName);
  return length >= 0 && static_cast<size_t>(length) < size;
}

int LongestLogName(size_t size) {
  return static_cast<int>(size - sizeof kStartLog - 1);
}

const char *LogInfoOf(const Dialect &dialect, const char *reply) {
  int kind = -1;
  const char *rest = ParseMessage(dialect, reply, &kind);
  return rest != nullptr && kind == dialect.logInfoKind ? rest : nullptr;
}

}  // namespace protocol
