// ground_truth.h - what race workers were told, kept outside the shared directory, and the checks
// of a race's history against it. Workers (lock_driver serve with VAK_GROUND_TRUTH) record the
// start and end of every operation and a confirm after every VAK_OK; the harness adds kill times
// and what each host read at the end of each round. Check() then finds:
//   "two owners"    ownership intervals of two processes on one file overlap (once per pair). An
//                   interval runs from the end of a get or steal that told VAK_OK to the start of
//                   its owner's release, its owner's death, its owner's next VAK_OK on the file,
//                   or the start of a successful steal by another process that ended after the
//                   interval's own operation started (a steal legitimately ends it; a concurrent
//                   one may have come first, so the interval is empty and the lock may be either's;
//                   a steal whose thief was killed inside it may have replaced the lock or not)
//   "lost lock"     a host read, at a round's end, something else than the live owner's lock
//                   (after a steal or a forced release of the harness the owner is another, or
//                   none) (the owner's interval ends there, so that one loss is reported once)
//   "unowned lock"  a host read a lock naming a live worker that does not own the file (nor may,
//                   by a steal concurrent with its own get or steal); once per file and worker
//   "unconfirmed"   the confirm right after a VAK_OK failed, with no steal begun before it
//   "release"       an owner's release of its own lock did not give VAK_OK (VAK_NOT_EDIT_LOCK_OWNER
//                   is expected after a steal)
//   "status"        any status an operation or a read should not give (get and steal: VAK_OK or
//                   VAK_FILE_ALREADY_LOCKED; release: VAK_OK or VAK_NOT_EDIT_LOCK_OWNER)
//   "no answer"     an operation that neither ended nor was cut short by its process's death
// and the harness adds its own (leftover files, failed final take-overs) with Add().
#ifndef VAK_TESTS_GROUND_TRUTH_H_
#define VAK_TESTS_GROUND_TRUTH_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace vaktest {

// CLOCK_MONOTONIC in nanoseconds: the clock of the workers' records.
int64_t MonotonicNs();
// A status's short name ("OK", "NOT_OWNER"...) for reports.
std::string StatusName(int status);

struct TruthEvent {
  int64_t t = 0;
  char kind = 0;         // 'S' start, 'E' end, 'C' confirm
  std::string op, file;  // file: the name within the shared directory (views differ by host)
  int status = -1;       // of an end or a confirm
  std::string text;      // message of an end
};

struct Violation {
  std::string kind, file, what;
  int64_t from = 0, to = 0;  // the moments the timeline must show
};

struct Figures {
  long gets = 0, steals = 0, releases = 0, kills = 0, takeOvers = 0;
  long killsInside = 0;  // of a process in the middle of an operation
};

class GroundTruth {
 public:
  // A worker process; name is the harness's ("w3 on hostb.test"). Returns its number.
  int AddProcess(const std::string &name);
  // Takes the lines of a worker's record (only whole lines; call again with what follows).
  void AddRecord(int process, const std::string &lines);
  void AddEvent(int process, const TruthEvent &event);
  // The identity its locks name, "HOST PID" (the record's I line gives it too).
  void SetLabel(int process, const std::string &label);
  void Killed(int process, int64_t t);
  // What host read for file at t: an owner "HOST PID", "" for none, or "status N TEXT".
  void Read(int64_t t, const std::string &file, const std::string &host, const std::string &seen);
  // The harness removed file's lock-stake file at t (an administrator's forced release): it ends
  // any ownership, as a steal does.
  void ForcedRelease(const std::string &file, int64_t t);
  // Marks the start of a round, for the timelines.
  void Round(int64_t t, int round);
  void Add(const Violation &v) { extra_.push_back(v); }

  std::vector<Violation> Check() const;
  // The events around a violation, on its file, with kills and what the hosts read.
  std::string Timeline(const Violation &v, size_t maxLines = 60) const;
  Figures Count() const;
  // Owner by the ground truth at t ("HOST PID"), "" if none.
  std::string OwnerAt(const std::string &file, int64_t t) const;
  bool AliveAt(const std::string &label, int64_t t) const;

 private:
  struct Process {
    std::string name, label, partial;
    int64_t killed = INT64_MAX;
    std::vector<TruthEvent> events;
  };
  struct Claim {
    int process;
    int64_t opStart, since, end;
    bool byGet, stolen = false, died = false, lost = false;
    int64_t stolenAt = INT64_MAX;
    // A steal concurrent with the claim's own operation may have come first or last: the claim
    // may run on to here (its end is as if the steal came last).
    int64_t maybeEnd = INT64_MAX;
    size_t releaseEvent = SIZE_MAX;  // index of the start of the release that ended it
  };
  struct Reading {
    int64_t t;
    std::string file, host, seen;
  };
  struct Steal {
    int process;
    int64_t start, end;
    bool unfinished;  // its thief was killed in the middle: it may or may not have replaced
  };
  // Claims per file, by since, with steal truncation applied.
  std::map<std::string, std::vector<Claim>> Claims() const;
  std::map<std::string, std::vector<Steal>> Steals() const;
  std::string Describe(int process) const;

  std::vector<Process> processes_;
  std::vector<Reading> readings_;
  std::vector<std::pair<int64_t, int>> rounds_;
  std::multimap<std::string, int64_t> forced_;  // file -> time of a forced release
  std::vector<Violation> extra_;
  int64_t base_ = INT64_MAX;  // the first moment recorded: timelines count from it
};

}  // namespace vaktest

#endif  // VAK_TESTS_GROUND_TRUTH_H_
