// liveness_checks.h - owners' liveness as the library decides it: one question per distinct owner,
// the owners' hosts asked concurrently by a bounded pool of threads.
#ifndef EDITLOCK_LIVENESS_CHECKS_H_
#define EDITLOCK_LIVENESS_CHECKS_H_

#include <stdint.h>

#include <map>
#include <string>
#include <tuple>

#include "vak.h"

// Questions asked at once: enough to overlap hosts that are slow to connect to, few enough to
// stay polite to a network of many hosts.
constexpr unsigned kCheckThreads = 8;

enum class Verdict { kAlive, kDead, kUndecided };
// "alive", "dead", "undecided"; and the JSON value true, false, null.
const char *VerdictName(Verdict verdict);
const char *VerdictJson(Verdict verdict);

// An owner as the liveness check knows it: host, process identifier, creation time.
struct OwnerKey {
  std::string host;
  uint64_t pid = 0;
  int64_t created = 0;
  bool operator<(const OwnerKey &other) const {
    return std::tie(host, pid, created) < std::tie(other.host, other.pid, other.created);
  }
};
// The current owner of a chain (an owner without a host has the empty one).
OwnerKey KeyOf(const LockStake *owner);

// The verdict of a process status of vak.h (VAK_PROC_ALIVE...).
Verdict VerdictOf(int procStatus);
// The owner as the library's liveness question takes it; valid while key lives.
ProcessIdentity IdentityOf(const OwnerKey &key);

// One question through vakIsProcessAlive. A question that fails (a host that cannot be looked up
// or reached) is undecided, with the library's message in *why when why is not NULL.
Verdict AskOwner(const OwnerKey &key, std::string *why);

// The verdicts of a run: owners are added as the walk meets them, asked together by Run.
class LivenessChecks {
 public:
  void Add(const OwnerKey &key) { verdicts_.emplace(key, Verdict::kUndecided); }
  // Asks every owner added, at most `threads` questions at a time; returns once every thread has
  // ended. The library must be started (StartLibrary). Called once per run of the program.
  void Run(unsigned threads);
  // The verdict of an added owner; undecided before Run.
  Verdict Of(const OwnerKey &key) const;

 private:
  std::map<OwnerKey, Verdict> verdicts_;
};

#endif  // EDITLOCK_LIVENESS_CHECKS_H_
