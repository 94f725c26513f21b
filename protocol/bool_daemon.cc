// bool_daemon.cc - the Boolean Daemon's keyword table, greeting, port and request forms.
#include "bool_daemon.h"

#include <stdlib.h>

namespace protocol {

namespace {

// Kind 10 has no keyword.
const Keyword kKeywords[] = {
    {"ProcAlive", kBdProcAlive}, {"Die", kBdDie},
    {"StartLog", kBdStartLog},   {"StopLog", kBdStopLog},
    {"ReportLog", kBdReportLog}, {"Debug", kBdDebug},
    {"Null", kBdNull},           {"VakBoolVersion", kBdVersion},
    {"Alive", kBdAlive},         {"NotAlive", kBdNotAlive},
    {"LogInfo", kBdLogInfo},
};

}  // namespace

const Dialect kBoolDaemon = {kKeywords, sizeof kKeywords / sizeof kKeywords[0], kBdVersion,
                             kVakBdProtocolVersion, kBdLogInfo};
const char kBdGreeting[] = "VakBoolVersion 1";
const char kBdPortVariable[] = "VAK_PORTNUM";

bool ApplyPortText(const char *text, int32_t *port, FILE *warnings) {
  if (text == nullptr) return false;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0') {
    if (warnings != nullptr) {
      fprintf(warnings, "Warning (vakbd): bad -portnum value \"%s\" ignored\n", text);
    }
    return false;
  }
  // Only the low 16 bits are ever used; the conversion keeps them whatever the value, so that a
  // value such as 70000 means port 4464 on both sides.
  *port = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
  return true;
}

uint16_t EffectivePort(int32_t configured) {
  return static_cast<uint16_t>(static_cast<uint32_t>(configured) & 0xffffu);
}

void FormatProcAlive(uint64_t processId, int64_t creationTime, char *request, size_t size) {
  snprintf(request, size, "%s %lu %ld", KeywordOf(kBoolDaemon, kBdProcAlive),
           static_cast<unsigned long>(processId), static_cast<long>(creationTime));
}

}  // namespace protocol

const char *vakBdParseMsg(const char *message, int *kind) {
  return protocol::ParseMessage(protocol::kBoolDaemon, message, kind);
}
