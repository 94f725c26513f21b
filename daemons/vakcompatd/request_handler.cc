// request_handler.cc - parses and answers the client's requests. Requests are untrusted: a
// malformed one is refused with a FALSE reply of its kind, never trusted further.
#include "request_handler.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "compat_daemon.h"

namespace vakcompatd {

namespace {

const char kMalformedReason[] = "Malformed request.";

// A process identifier in unsigned decimal that names a possible process.
bool ParsePid(const char *text, unsigned long *pid) {
  if (!isdigit(static_cast<unsigned char>(*text))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || value > static_cast<unsigned long>(INT_MAX)) {
    return false;
  }
  *pid = value;
  return true;
}

// Splits ` "<quoted>" <pid>` into the quoted text and the number. The quoted text runs to the last
// double quote, since paths and reasons are sent unescaped and may contain quotes themselves.
bool SplitQuotedAndPid(const char *args, std::string *quoted, unsigned long *pid) {
  if (strncmp(args, " \"", 2) != 0) return false;
  const char *lastBlank = strrchr(args, ' ');
  if (lastBlank < args + 3 || lastBlank[-1] != '"' || !ParsePid(lastBlank + 1, pid)) return false;
  quoted->assign(args + 2, lastBlank - 1);
  return true;
}

std::string Keyword(int kind) {
  return protocol::KeywordOf(protocol::kCompatDaemon, kind);
}

std::string Answer(int kind, const Outcome &outcome) {
  return Keyword(kind) + (outcome.granted ? " TRUE" : " FALSE \"" + outcome.reason + "\"");
}

}  // namespace

std::string RequestHandler::LockReply(const char *args) {
  // "<path>" "<reason>" <pid>: the path ends at the first `" "`, as nothing else marks its end.
  std::string both;
  unsigned long pid = 0;
  size_t split = std::string::npos;
  if (SplitQuotedAndPid(args, &both, &pid)) split = both.find("\" \"");
  if (split == std::string::npos || split == 0) {
    log_->Write("refused a malformed Lock request");
    return Answer(kCdGotLock, {false, kMalformedReason});
  }
  return Answer(kCdGotLock, locks_->Lock(both.substr(0, split), pid));
}

std::string RequestHandler::UnlockReply(const char *args) {
  std::string path;
  unsigned long pid = 0;
  if (!SplitQuotedAndPid(args, &path, &pid) || path.empty()) {
    log_->Write("refused a malformed Unlock request");
    return Answer(kCdDidUnLock, {false, kMalformedReason});
  }
  return Answer(kCdDidUnLock, locks_->Unlock(path, pid));
}

bool RequestHandler::Handle(const char *request, std::string *reply) {
  reply->clear();
  int kind = -1;
  const char *args = vakCompatDParseMsg(request, &kind);
  // A keyword counts only as a whole word: "Lockout" is no Lock request.
  if (args != nullptr && *args != '\0' && *args != ' ') args = nullptr;
  log_->Debug("request: %.200s", request);
  if (args == nullptr) {
    log_->Write("ignored an unknown request: %.200s", request);
    return true;
  }
  switch (kind) {
    case kCdVersionReq:
      *reply = Keyword(kCdVersion) + " " + std::to_string(static_cast<int>(kCompatProtocolVersion));
      break;
    case kCdLock:
      *reply = LockReply(args);
      break;
    case kCdUnlock:
      *reply = UnlockReply(args);
      break;
    case kCdReportLog:
      *reply = Keyword(kCdLogInfo) + " " + log_->path();
      break;
    case kCdStartLog:
      if (*args == ' ' && args[1] != '\0') {
        // A file that cannot be opened is reported in the current log, which stays in use.
        if (!log_->Open(args + 1)) {
          int err = errno;
          log_->Write("cannot open log file %s: %s", args + 1, strerror(err));
        }
      } else {
        log_->Write("ignored StartLog without a file name");
      }
      break;
    case kCdStopLog:
      log_->Close();
      break;
    case kCdDebug:
      log_->SetDebug(true);
      break;
    case kCdDie:
      return false;
    default:
      log_->Write("ignored a message that only a daemon sends: %.200s", request);
      break;
  }
  if (!reply->empty()) log_->Debug("reply: %.200s", reply->c_str());
  return true;
}

}  // namespace vakcompatd
