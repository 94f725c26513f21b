// request.cc - request recognition and argument parsing.
#include "request.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace vakbd {

namespace {

struct Keyword {
  const char *text;
  RequestKind kind;
};

// The client tests the keywords in exactly this order, and so must we: "Die" is tested before
// "Debug", and a reply keyword sent as a request is recognised (and refused) rather than being
// mistaken for a prefix of something else.
const Keyword kKeywords[] = {
    {"ProcAlive", RequestKind::kProcAlive}, {"Die", RequestKind::kDie},
    {"StartLog", RequestKind::kStartLog},   {"StopLog", RequestKind::kStopLog},
    {"ReportLog", RequestKind::kReportLog}, {"Debug", RequestKind::kDebug},
    {"Null", RequestKind::kNull},           {"VakBoolVersion", RequestKind::kInvalid},
    {"Alive", RequestKind::kInvalid},       {"NotAlive", RequestKind::kInvalid},
    {"LogInfo", RequestKind::kInvalid},
};

const char *SkipBlanks(const char *p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// A number ends at the end of the text or at white space; "12x" is not a number.
bool EndsNumber(const char *p) {
  return *p == '\0' || isspace(static_cast<unsigned char>(*p));
}

bool ParseProcAlive(const char *rest, Request *request) {
  const char *p = SkipBlanks(rest);
  // The identifier is unsigned: a sign ("-1" would address every process) is refused.
  if (p == rest || !isdigit(static_cast<unsigned char>(*p))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long pid = strtoull(p, &end, 10);
  if (errno == ERANGE || !EndsNumber(end)) return false;
  // Process 0 would make kill() address our own process group: that is never a lock owner.
  if (pid == 0) return false;
  const char *q = SkipBlanks(end);
  if (q == end) return false;
  const char *digits = (*q == '-' || *q == '+') ? q + 1 : q;
  if (!isdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  long long creation = strtoll(q, &end, 10);
  if (errno == ERANGE || !EndsNumber(end)) return false;
  request->pid = pid;
  request->creationTime = creation;
  return true;
}

}  // namespace

Request ParseRequest(const char *text) {
  Request request;
  if (text == nullptr) return request;
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  const Keyword *match = nullptr;
  for (const Keyword &keyword : kKeywords) {
    if (strncmp(text, keyword.text, strlen(keyword.text)) == 0) {
      match = &keyword;
      break;
    }
  }
  if (match == nullptr || match->kind == RequestKind::kInvalid) return request;
  const char *rest = text + strlen(match->text);
  switch (match->kind) {
    case RequestKind::kProcAlive:
      if (!ParseProcAlive(rest, &request)) return request;
      break;
    case RequestKind::kStartLog:
      // The client sends "StartLog" and the name after exactly one blank; the name itself may
      // hold blanks, so everything after that blank is the name.
      if (rest[0] != ' ' || rest[1] == '\0') return request;
      request.logFile = rest + 1;
      break;
    default:
      break;
  }
  request.kind = match->kind;
  return request;
}

const char *RequestName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kProcAlive:
      return "ProcAlive";
    case RequestKind::kDie:
      return "Die";
    case RequestKind::kStartLog:
      return "StartLog";
    case RequestKind::kStopLog:
      return "StopLog";
    case RequestKind::kReportLog:
      return "ReportLog";
    case RequestKind::kDebug:
      return "Debug";
    case RequestKind::kNull:
      return "Null";
    case RequestKind::kInvalid:
      break;
  }
  return "invalid";
}

}  // namespace vakbd
