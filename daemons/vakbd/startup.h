// startup.h - everything between the command line and the service (but the listening socket,
// listener.h): the descriptor limit, and detaching into the background with a start-up report
// that makes the exit status true.
#ifndef VAKBD_STARTUP_H_
#define VAKBD_STARTUP_H_

#include <stdint.h>

namespace vakbd {

// Exit statuses of a start, as the lock library interprets them.
enum ExitStatus {
  kExitServing = 0,
  kExitInitFailed = 1,    // any other problem initialising
  kExitSocketFailed = 2,  // no socket could be created
  kExitPortFailed = 3,    // the port could not be bound or listened on
};

// Milliseconds the starting process waits for the daemon to report that it serves.
enum { kStartReportTimeoutMs = 5000 };

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no socket or pipe of
// ours can land there and later be mistaken for a standard stream.
void EnsureStandardDescriptors();

// Raises the soft descriptor limit as far as allowed and returns how many connections fit in it.
int ConnectionLimit();

// Forks the daemon and detaches it: new session, working directory "/", standard streams on
// /dev/null, every descriptor but listenFd, logFd (-1: none) and the report pipe closed. Returns
// only in the daemon, with the descriptor for ReportStarted (or -1 when the fork itself failed,
// errno set). The starting process waits up to kStartReportTimeoutMs for the report and exits with
// its status.
int Detach(int listenFd, int logFd);

// Tells the starting process the outcome (an ExitStatus) and closes the report descriptor.
// A reportFd of -1 (no starting process waits) is ignored.
void ReportStarted(int reportFd, int status);

}  // namespace vakbd

#endif  // VAKBD_STARTUP_H_
