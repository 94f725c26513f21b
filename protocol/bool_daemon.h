// bool_daemon.h - the Boolean Daemon protocol (vakbd, TCP): message kinds and keywords, the
// greeting, the port, and the form of the requests.
//
// A client connects, reads the greeting "VakBoolVersion 1", sends one request and, for ProcAlive
// and ReportLog, reads one reply; then the connection ends.
//   "ProcAlive <pid> <creation time>" -> "Alive" | "NotAlive"
//   "ReportLog"                       -> "LogInfo <text>"
//   "Null", "Die", "StartLog <file>", "StopLog", "Debug" -> no reply
#ifndef VAK_PROTOCOL_BOOL_DAEMON_H_
#define VAK_PROTOCOL_BOOL_DAEMON_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "messages.h"

// Message kinds of the Boolean Daemon protocol (kind 10 has no keyword).
enum {
  kBdProcAlive = 0,
  kBdDie = 1,
  kBdStartLog = 2,
  kBdStopLog = 3,
  kBdReportLog = 4,
  kBdDebug = 5,
  kBdNull = 6,
  kBdVersion = 7,
  kBdAlive = 8,
  kBdNotAlive = 9,
  kBdIndeterminate = 10,
  kBdLogInfo = 11
};

enum { kVakBdDefaultPort = 16723, kVakBdProtocolVersion = 1 };

// Position just after the keyword, or NULL (kind untouched).
const char *vakBdParseMsg(const char *message, int *kind);

namespace protocol {

extern const Dialect kBoolDaemon;
// The greeting every connection begins with: "VakBoolVersion 1".
extern const char kBdGreeting[];
// The environment variable that names the port, for the daemon and its clients alike.
extern const char kBdPortVariable[];  // "VAK_PORTNUM"

// Applies a port text to *port: a decimal long integer (leading white space and a sign allowed),
// accepted when at least one character was converted and nothing follows. A rejected text leaves
// *port as it was and prints "Warning (vakbd): bad -portnum value "<text>" ignored" on warnings
// (none when NULL). A null text is ignored. Returns whether the text was accepted.
bool ApplyPortText(const char *text, int32_t *port, FILE *warnings);
// The port actually used: the low 16 bits of the configured value, on both sides.
uint16_t EffectivePort(int32_t configured);

// "ProcAlive <pid> <creation time>". A buffer of kProcAliveRequestSize always suffices: a 20-digit
// identifier and a signed 19-digit time fit with room to spare.
enum { kProcAliveRequestSize = 64 };
void FormatProcAlive(uint64_t processId, int64_t creationTime, char *request, size_t size);

}  // namespace protocol

#endif  // VAK_PROTOCOL_BOOL_DAEMON_H_
