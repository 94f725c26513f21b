// request_handler.h - answers one request of the client, in the order the client sent them, as
// the protocol says (compat_daemon.h). Anything else is logged and gets no reply: its kind, and so the reply it would expect, is
// unknown.
#ifndef VAKCOMPATD_REQUEST_HANDLER_H_
#define VAKCOMPATD_REQUEST_HANDLER_H_

#include <string>

#include "daemon_log.h"
#include "old_style_lock.h"

namespace vakcompatd {

class RequestHandler {
 public:
  RequestHandler(OldStyleLocks *locks, daemons::DaemonLog *log) : locks_(locks), log_(log) {}

  // Sets *reply (empty: none is sent). Returns false when the daemon is to end.
  bool Handle(const char *request, std::string *reply);

 private:
  std::string LockReply(const char *args);
  std::string UnlockReply(const char *args);

  OldStyleLocks *locks_;
  daemons::DaemonLog *log_;
};

}  // namespace vakcompatd

#endif  // VAKCOMPATD_REQUEST_HANDLER_H_
