// liveness_checks.cc - owners' liveness asked concurrently, each distinct owner once.
//
// The library is single-threaded, but its liveness question is safe to ask from several threads
// once it is started: it reads the identity and environment that vakInit built, and what it writes
// is its caller's own (the verdict, the message), except
//   - the daemon port, read on first use: read once in the library (call_once);
//   - the status of the latest step: atomic in the library;
//   - the host lookup: the reentrant one in the library;
//   - SIGPIPE's disposition, which each question sets to "ignored" and restores afterwards. Two
//     questions interleaving could restore the default while a third writes, so it is set to
//     "ignored" here for the whole round: every question then saves and restores "ignored".
// The library is started before the threads (StartLibrary), so no question initialises it.
#include "liveness_checks.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <vector>

#include "cli.h"

namespace {

// The work of one round, shared by its threads: each takes the next owner not yet taken.
struct Round {
  std::vector<std::map<OwnerKey, Verdict>::iterator> owners;
  std::atomic<size_t> next{0};
};

void *AskInTurn(void *arg) {
  Round *round = static_cast<Round *>(arg);
  for (size_t i; (i = round->next++) < round->owners.size();) {
    round->owners[i]->second = AskOwner(round->owners[i]->first, nullptr);
  }
  return nullptr;
}

}  // namespace

const char *VerdictName(Verdict verdict) {
  return verdict == Verdict::kAlive ? "alive" : verdict == Verdict::kDead ? "dead" : "undecided";
}

const char *VerdictJson(Verdict verdict) {
  return verdict == Verdict::kAlive ? "true" : verdict == Verdict::kDead ? "false" : "null";
}

OwnerKey KeyOf(const LockStake *owner) {
  OwnerKey key;
  const ProcessIdentity *p = owner->header != nullptr ? owner->header->processId : nullptr;
  if (p == nullptr) return key;
  if (p->hostName != nullptr) key.host = p->hostName;
  key.pid = p->processId;
  key.created = p->creationTime;
  return key;
}

Verdict VerdictOf(int procStatus) {
  return procStatus == VAK_PROC_ALIVE       ? Verdict::kAlive
         : procStatus == VAK_PROC_NOT_ALIVE ? Verdict::kDead
                                            : Verdict::kUndecided;
}

ProcessIdentity IdentityOf(const OwnerKey &key) {
  // The library only reads the name.
  return {const_cast<char *>(key.host.c_str()), key.pid, key.created};
}

Verdict AskOwner(const OwnerKey &key, std::string *why) {
  const ProcessIdentity owner = IdentityOf(key);
  int alive = VAK_PROC_INDETERMINATE;
  char *msg = nullptr;
  const int status = vakIsProcessAlive(&owner, &alive, &msg);
  if (status != VAK_OK) {
    if (why != nullptr) *why = MessageText(msg);
    FreeMessage(msg);
    return Verdict::kUndecided;
  }
  return VerdictOf(alive);
}

void LivenessChecks::Run(unsigned threads) {
  Round round;
  for (auto it = verdicts_.begin(); it != verdicts_.end(); ++it) round.owners.push_back(it);
  if (round.owners.empty()) return;
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  const bool saved = sigaction(SIGPIPE, &ignore, &previous) == 0;

  std::vector<pthread_t> pool;
  while (pool.size() + 1 < threads && pool.size() + 1 < round.owners.size()) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, AskInTurn, &round) != 0) break;
    pool.push_back(thread);
  }
  AskInTurn(&round);  // this thread asks too, and alone when no thread could be started
  for (pthread_t thread : pool) pthread_join(thread, nullptr);
  if (saved) sigaction(SIGPIPE, &previous, nullptr);
}

Verdict LivenessChecks::Of(const OwnerKey &key) const {
  auto it = verdicts_.find(key);
  return it != verdicts_.end() ? it->second : Verdict::kUndecided;
}
