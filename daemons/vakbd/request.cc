// request.cc - request recognition and argument parsing.
#include "request.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

namespace vakbd {

namespace {

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
  int kind = -1;
  const char *rest = vakBdParseMsg(text, &kind);
  // A reply keyword sent as a request is recognised, and refused.
  if (rest == nullptr || kind < kBdProcAlive || kind > kBdNull) return request;
  switch (kind) {
    case kBdProcAlive:
      if (!ParseProcAlive(rest, &request)) return request;
      break;
    case kBdStartLog:
      // The client sends "StartLog" and the name after exactly one blank; the name itself may
      // hold blanks, so everything after that blank is the name.
      if (rest[0] != ' ' || rest[1] == '\0') return request;
      request.logFile = rest + 1;
      break;
    default:
      break;
  }
  request.kind = static_cast<RequestKind>(kind);
  return request;
}

const char *RequestName(RequestKind kind) {
  const char *keyword = protocol::KeywordOf(protocol::kBoolDaemon, static_cast<int>(kind));
  return kind != RequestKind::kInvalid && keyword != nullptr ? keyword : "invalid";
}

}  // namespace vakbd
