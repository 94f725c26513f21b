// messages.h - what the two daemon protocols have in common: keyword tables read the same way,
// the version exchange that opens every conversation, and the requests about a daemon's log.
//
// A message is a keyword and its arguments. Keywords are recognised after leading white space as
// the first one in table order that the text begins with, case-sensitively: so "Die" must come
// before "Debug", and a reply keyword sent as a request is recognised (and refused) rather than
// being mistaken for a prefix of something else.
#ifndef VAK_PROTOCOL_MESSAGES_H_
#define VAK_PROTOCOL_MESSAGES_H_

#include <stddef.h>

namespace protocol {

struct Keyword {
  const char *text;
  int kind;
};

// One daemon protocol: its keywords in the order they are tried, and its version exchange.
struct Dialect {
  const Keyword *keywords;
  size_t keywordCount;
  int versionKind;  // the kind of the message that carries the daemon's version
  int version;      // the one version spoken
  int logInfoKind;  // the kind of the reply to ReportLog
};

// Position just after the keyword, or NULL (kind untouched).
const char *ParseMessage(const Dialect &dialect, const char *message, int *kind);
// The keyword of a kind, or NULL for a kind that has none.
const char *KeywordOf(const Dialect &dialect, int kind);

enum class VersionCheck {
  kAccepted,
  kNoMessage,     // no keyword at all
  kOtherMessage,  // a message, but not the version message
  kOtherVersion,  // the version message with another version, in *version
};
// Judges the version message; *version gets the number it names, clamped to an int.
VersionCheck CheckVersion(const Dialect &dialect, const char *message, int *version);

// "StartLog <name>" in request[size]; false (nothing usable written) when it does not fit, since a
// cut name would start a log in the wrong file.
bool FormatStartLog(const char *logFileName, char *request, size_t size);
// The longest log file name that FormatStartLog fits in size bytes.
int LongestLogName(size_t size);
// What a ReportLog reply tells, from just after its keyword (so with the separating blank), or
// NULL when the message is no such reply.
const char *LogInfoOf(const Dialect &dialect, const char *reply);

}  // namespace protocol

#endif  // VAK_PROTOCOL_MESSAGES_H_
