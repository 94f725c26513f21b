// log_file.h - which file vakbd may log into, and its line style. StartLog names any file, and
// the daemon writes it with its user's rights (which may be root's), so a requested file is
// checked before the log takes it.
#ifndef VAKBD_LOG_FILE_H_
#define VAKBD_LOG_FILE_H_

#include "daemon_log.h"

namespace vakbd {

// "<date>T<time><offset> <text>", lines of at most 1024 bytes, a cut line marked.
extern const daemons::LogStyle kLogStyle;

// First line of every log file. An existing, non-empty file is appended to only when it begins
// with this line: a name given in error must not make the daemon append text to its user's other
// files.
extern const char kLogHeader[];

// Makes path the log: absolute paths only, a final symbolic link is not followed, a new file gets
// mode 0600 and the header, and only regular files are accepted. On failure the previous log stays
// and *why says what failed. Also reopens the log at its own name (after a rotation renamed it):
// StartLog(log, log->path(), &why).
bool StartLog(daemons::DaemonLog *log, const char *path, const char **why);

}  // namespace vakbd

#endif  // VAKBD_LOG_FILE_H_
