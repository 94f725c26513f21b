// owner_text.cc - an owner section of a lock as one readable line.
#include "owner_text.h"

#include <inttypes.h>
#include <stdio.h>

#include "text_escape.h"

OwnerParts PartsOf(const LockStake *owner) {
  static const LockStakeHeader kNoHeader = {};
  static const ProcessIdentity kNoProcess = {};
  static const LockStakeTrailer kNoTrailer = {};
  const LockStakeHeader *h = owner->header != nullptr ? owner->header : &kNoHeader;
  return {h, h->processId != nullptr ? h->processId : &kNoProcess,
          owner->trailer != nullptr ? owner->trailer : &kNoTrailer};
}

void AppendOwner(std::string *out, const LockStake *owner) {
  const OwnerParts parts = PartsOf(owner);
  const LockStakeHeader *h = parts.header;
  const ProcessIdentity *p = parts.process;
  const LockStakeTrailer *t = parts.trailer;
  char pid[32];
  snprintf(pid, sizeof pid, "%" PRIu64, p->processId);
  AppendDisplay(out, h->loginName);
  *out += " on ";
  AppendDisplay(out, p->hostName);
  *out += std::string(", process ") + pid + " (started ";
  AppendDisplay(out, h->creationTimeReadable);
  *out += "), application ";
  AppendDisplay(out, h->appIdentifier);
  *out += ", since ";
  AppendDisplay(out, t->timeLocked);
  *out += ", path used ";
  AppendDisplay(out, t->filePathUsed);
  *out += ", reason: ";
  AppendDisplay(out, t->reason);
}

std::vector<OwnerField> OwnerFields(const LockStake *owner) {
  const OwnerParts parts = PartsOf(owner);
  const LockStakeHeader *h = parts.header;
  const ProcessIdentity *p = parts.process;
  const LockStakeTrailer *t = parts.trailer;
  char pid[32], created[32];
  snprintf(pid, sizeof pid, "%" PRIu64, p->processId);
  snprintf(created, sizeof created, "%" PRId64, p->creationTime);
  return {{"login", "login", "", h->loginName},
          {"host", "host", "", p->hostName},
          {"pid", "process", pid, nullptr},
          {"process_created", "process created", created, nullptr},
          {"process_created_text", "process created (as written)", "", h->creationTimeReadable},
          {"application", "application", "", h->appIdentifier},
          {"os", "os", "", h->osType},
          {"stake_version", "lock-stake version", "", h->lockStakeVersion},
          {"reason", "reason", "", t->reason},
          {"locked_at", "locked at", "", t->timeLocked},
          {"path_used", "path used", "", t->filePathUsed}};
}
