// explain.cc - `editlock explain`: who holds a file's Edit Lock, every field of every owner,
// whether the owner is alive and how the library decided it, and what a get would do now; nothing
// is changed.
//
// The prediction follows the get's row of the library's decision: a live owner refuses it, a dead
// owner's lock is taken over, an owner whose liveness the library cannot decide leaves the get
// undecided, and a question that fails makes the get fail with that message.
#include <getopt.h>
#include <stdio.h>

#include <string>

#include "cli.h"
#include "evidence_text.h"
#include "liveness_checks.h"
#include "owner_text.h"
#include "text_escape.h"
#include "vak.h"

namespace {

void AppendFields(std::string *out, const LockStake *owner) {
  for (const OwnerField &field : OwnerFields(owner)) {
    *out += std::string("  ") + field.label + ": ";
    if (field.number.empty()) {
      AppendDisplay(out, field.text);
    } else {
      *out += field.number;
    }
    *out += '\n';
  }
}

// The owners, the verdict on the current one and the get's outcome, as lines.
std::string Explain(const LockStakeInfo &info) {
  std::string out = "lock-stake file: ";
  AppendDisplay(&out, info.lockStakeFilePath);
  out += "\nowner:\n";
  AppendFields(&out, info.lockStake);
  int n = 0;
  for (const LockStake *former = info.lockStake->next; former != nullptr; former = former->next) {
    out += "former owner " + std::to_string(++n) + ":\n";
    AppendFields(&out, former);
  }
  // The library's own decision, with how it was reached.
  const OwnerKey key = KeyOf(info.lockStake);
  const ProcessIdentity owner = IdentityOf(key);
  VakLivenessEvidence *evidence = nullptr;
  char *msg = nullptr;
  std::string why;
  bool failed = true;
  Verdict verdict = Verdict::kUndecided;
  if (vakExplainProcessLiveness(&owner, &evidence, &msg) != VAK_OK) {
    why = MessageText(msg);
  } else if (evidence->status != VAK_OK) {
    why = MessageText(evidence->message);
  } else {
    failed = false;
    verdict = VerdictOf(evidence->procStatus);
  }
  FreeMessage(msg);
  // Some of the library's messages end with a line feed of their own.
  while (!why.empty() && why.back() == '\n') why.pop_back();
  out += std::string("owner is: ") + VerdictName(verdict);
  if (failed) {
    out += " (the question failed: ";
    AppendDisplay(&out, why.c_str());
    out += ")";
  }
  out += '\n';
  if (evidence != nullptr) AppendEvidence(&out, owner, *evidence);
  vakFreeLivenessEvidence(evidence);
  out += "a get now would: ";
  out += failed                           ? "fail, as the owner's host cannot be asked"
         : verdict == Verdict::kAlive     ? "refuse, the lock is held by a live process"
         : verdict == Verdict::kDead      ? "take over the dead owner's lock"
                                          : "be undecided, the owner's liveness cannot be decided";
  return out + "\n";
}

}  // namespace

int ExplainMain(int argc, char **argv) {
  static const struct option kOptions[] = {{"help", no_argument, nullptr, 'h'}, {}};
  int c;
  while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    return BadOption(c, argv);
  }
  if (optind >= argc) return UsageError("explain: missing FILE");
  if (optind + 1 < argc) return UsageError("explain: one FILE only");
  const char *file = argv[optind];
  if (!StartLibrary()) return kExitError;

  LockStakeInfo *info = nullptr;
  char *msg = nullptr;
  const int status = vakLockStakeDetails(file, &info, &msg);
  std::string out;
  AppendDisplay(&out, file);
  int result = kExitConflict;
  if (status == VAK_OK && info != nullptr && info->lockStake != nullptr) {
    out += ": locked\n" + Explain(*info);
  } else if (status == VAK_FILE_NOT_LOCKED) {
    out += ": not locked\na get now would: take it\n";
    result = kExitOk;
  } else {
    Complain("cannot read the lock of %s: %s", file, MessageText(msg));
    result = kExitError;
    out.clear();
  }
  vakFreeLockStakeInfo(info);
  FreeMessage(msg);
  if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
    Complain("cannot write the explanation");
    return kExitError;
  }
  return result;
}
