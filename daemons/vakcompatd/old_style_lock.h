// old_style_lock.h - old-style locks kept in the file system, so that they exclude processes on
// every host that shares it, whichever vakcompatd serves them.
//
// The lock on F is the marker file F.vakcdlck, created atomically (a complete temporary file
// hard-linked into place, so that nobody ever reads a half-written marker) and holding
// "<host> <pid>\n": the host of the serving daemon and the process identifier of the client.
// The name does not end in ".orvlck", so the Edit Lock machinery never takes a marker for a
// lock-stake file. Only the holder removes its marker, except that a marker whose holder ran on
// this host and is gone may be taken over. A relative path names a file below the daemon's working
// directory, which is the client's at the time the daemon was started.
#ifndef VAKCOMPATD_OLD_STYLE_LOCK_H_
#define VAKCOMPATD_OLD_STYLE_LOCK_H_

#include <string>

#include "daemon_log.h"

namespace vakcompatd {

extern const char kMarkerSuffix[];  // ".vakcdlck"

struct Outcome {
  bool granted;
  // Why not, for the reply. When another process holds the lock it ends with words starting at
  // its last capital R with "Requested lock"; no other reason does.
  std::string reason;
};

class OldStyleLocks {
 public:
  OldStyleLocks(std::string hostName, daemons::DaemonLog *log);

  // Granted too when the requester already holds it.
  Outcome Lock(const std::string &path, unsigned long pid);
  Outcome Unlock(const std::string &path, unsigned long pid);

 private:
  struct Holder {
    std::string host;
    unsigned long pid;
  };
  enum class Created { kYes, kExists, kFailed };

  Created Create(const std::string &marker, unsigned long pid, int *err);
  // Opens and parses a marker; on success *fd is the open marker. false with errno set.
  bool ReadHolder(const std::string &marker, Holder *holder, int *fd);
  bool IsStale(const Holder &holder) const;
  bool TooLong(const std::string &marker) const;
  void TakeOver(const std::string &marker, int fd, const Holder &stale);

  std::string host_;
  daemons::DaemonLog *log_;
};

}  // namespace vakcompatd

#endif  // VAKCOMPATD_OLD_STYLE_LOCK_H_
