// sweep.h - the directory-hierarchy sweeps (their C entry points are in c_api.cc).
#ifndef VAK_SWEEP_H_
#define VAK_SWEEP_H_

#include "vak.h"

// The depth-first walk of dirPath with action (GET_DETAILS or a release) and an optional owner
// filter: prints the lock lines, neither framing nor resetting the count (vakSweepDirHier).
int SweepHierarchy(const char *dirPath, unsigned int action, ProcessIdentity *filter,
                   char **errMsg);

namespace vak {

// The frame of a report, and whose locks it covers; together they choose the SUMMARY line. A
// report by owner names as much of the filter as it uses (a listing: the host, then the process
// identifier, then the creation time, as far as they are given).
enum class Report { kList, kRelease };
enum class Owners { kAll, kByOwner };

// The walk framed by BEGIN, END and SUMMARY lines on standard output.
int SweepReport(Report report, const char *dirPath, unsigned int action, Owners owners,
                ProcessIdentity *filter, char **errMsg);
// vakVisitEditLocksInDirHier: the walk of a listing, handing each lock it would list to visitor.
// options may be NULL (the defaults).
int VisitHierarchy(const char *dirPath, const VakVisitOptions *options, VakEditLockVisitor visitor,
                   void *context, char **errMsg);
// vakReleaseOneEditLock: the engine's release of one file's lock, framed the same way.
int ReleaseOneReport(const char *filePath, unsigned int action, char **errMsg);

}  // namespace vak

#endif  // VAK_SWEEP_H_
