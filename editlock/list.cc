// list.cc - `editlock list`: every Edit Lock below some directories with all its owners, as text
// for people or as JSON Lines, in the walk order of the library's listing; optionally with each
// owner's liveness, and only the locks that pass the filters.
//
// Without --check each lock is printed as the walk meets it. With it, the locks are kept until the
// walk has ended, the owners are asked together (liveness_checks), and the locks are printed then,
// in the walk's order: the questions never run beside the library's walk.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "cli.h"
#include "liveness_checks.h"
#include "owner_json.h"
#include "owner_text.h"
#include "text_escape.h"
#include "vak.h"
#include "walk_options.h"

namespace {

// The verdicts --alive, --dead and --undecided keep, as bits.
unsigned Bit(Verdict verdict) {
  return 1u << static_cast<unsigned>(verdict);
}

struct Options {
  bool json = false;
  bool check = false;
  const char *host = nullptr;  // --host: the current owner's host, exactly
  bool byPid = false;          // --pid
  uint64_t pid = 0;
  unsigned verdicts = 0;  // 0: every verdict
};

// One lock as it will be printed: the text around the place of the verdict (the text listing),
// or the JSON object still open for "alive".
struct Entry {
  std::string head, tail;
  JsonObject json;
  bool owned = false;
  OwnerKey key;
};

// What the visitors need; failed is set once standard output no longer takes the listing.
struct Listing {
  Options options;
  std::vector<Entry> kept;  // with --check, until the owners have been asked
  LivenessChecks checks;
  bool failed = false;
  WalkOptions *walk = nullptr;  // its progress line is cleared before a lock is printed
};

int Emit(Listing *listing, const std::string &text) {
  if (listing->walk != nullptr) listing->walk->Finish();
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) listing->failed = true;
  return listing->failed ? 1 : 0;
}

// Prints an entry, with its owner's verdict when the owners were asked.
int Print(Listing *listing, Entry *entry, const Verdict *verdict) {
  if (listing->options.json) {
    if (verdict != nullptr) entry->json.Raw("alive", VerdictJson(*verdict));
    return Emit(listing, entry->json.Close() + "\n");
  }
  std::string mark = verdict != nullptr ? std::string(" (") + VerdictName(*verdict) + ")" : "";
  return Emit(listing, entry->head + mark + entry->tail);
}

// Whether --host and --pid keep the lock: a lock without a readable owner only when neither is
// given.
bool PassesOwnerFilters(const Options &options, const Entry &entry) {
  if (options.host == nullptr && !options.byPid) return true;
  if (!entry.owned) return false;
  if (options.host != nullptr && entry.key.host != options.host) return false;
  return !options.byPid || entry.key.pid == options.pid;
}

// The text listing: the locked file on a line of its own, then one indented line per owner; the
// verdict goes after "owner".
void RenderText(Entry *entry, const char *lockedPath, int status, const LockStake *owners,
                const char *message) {
  std::string text;
  AppendDisplay(&text, lockedPath);
  if (owners == nullptr) {
    text += status == VAK_MALFORMED_LOCK_STAKE_FILE ? "\n  malformed lock-stake file\n"
                                                     : "\n  unreadable: ";
    if (status != VAK_MALFORMED_LOCK_STAKE_FILE) AppendDisplay(&text, MessageText(message));
  }
  for (const LockStake *owner = owners; owner != nullptr; owner = owner->next) {
    if (owner == owners) {
      entry->head = text + "\n  owner";
      text = ": ";
    } else {
      text += "\n  former owner: ";
    }
    AppendOwner(&text, owner);
  }
  if (text.back() != '\n') text += '\n';
  entry->tail = text;
}

// One JSON object per lock: "path", then "owner" and "former_owners", or "error".
void RenderJson(Entry *entry, const char *lockedPath, int status, const LockStake *owners,
                const char *message) {
  JsonObject &o = entry->json;
  o.Text("path", lockedPath);
  if (owners == nullptr) {
    o.Text("error", status == VAK_MALFORMED_LOCK_STAKE_FILE ? "malformed lock-stake file"
                                                            : MessageText(message));
    return;
  }
  o.Raw("owner", OwnerJson(owners));
  std::string former = "[";
  for (const LockStake *owner = owners->next; owner != nullptr; owner = owner->next) {
    if (former.size() > 1) former += ',';
    former += OwnerJson(owner);
  }
  o.Raw("former_owners", former + "]");
}

int Visit(const char *lockedPath, int status, const LockStake *owners, const char *message,
          void *context) {
  Listing *listing = static_cast<Listing *>(context);
  Entry entry;
  entry.owned = owners != nullptr;
  if (entry.owned) entry.key = KeyOf(owners);
  if (!PassesOwnerFilters(listing->options, entry)) return 0;
  if (listing->options.json) {
    RenderJson(&entry, lockedPath, status, owners, message);
  } else {
    RenderText(&entry, lockedPath, status, owners, message);
  }
  if (!listing->options.check) return Print(listing, &entry, nullptr);
  if (entry.owned) listing->checks.Add(entry.key);
  listing->kept.push_back(std::move(entry));
  return 0;
}

// Asks the kept locks' owners and prints the locks that the verdict filters keep.
void PrintChecked(Listing *listing) {
  listing->checks.Run(kCheckThreads);
  const unsigned wanted = listing->options.verdicts;
  for (Entry &entry : listing->kept) {
    if (listing->failed) return;
    if (!entry.owned) {
      if (wanted == 0) Print(listing, &entry, nullptr);
      continue;
    }
    const Verdict verdict = listing->checks.Of(entry.key);
    if (wanted == 0 || (wanted & Bit(verdict)) != 0) Print(listing, &entry, &verdict);
  }
}

bool ParsePid(const char *text, uint64_t *pid) {
  char *end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || text[0] == '+') return false;
  *pid = value;
  return true;
}

}  // namespace

int ListMain(int argc, char **argv) {
  enum { kDead = 256, kAlive, kUndecided };
  static const struct option kOptions[] = {{"json", no_argument, nullptr, 'j'},
                                           {"check", no_argument, nullptr, 'c'},
                                           {"host", required_argument, nullptr, 'H'},
                                           {"pid", required_argument, nullptr, 'p'},
                                           {"dead", no_argument, nullptr, kDead},
                                           {"alive", no_argument, nullptr, kAlive},
                                           {"undecided", no_argument, nullptr, kUndecided},
                                           {"help", no_argument, nullptr, 'h'},
                                           {"one-file-system", no_argument, nullptr,
                                            kOneFileSystemOption},
                                           {"jobs", required_argument, nullptr, kJobsOption},
                                           {}};
  Listing listing;
  WalkOptions walk;
  listing.walk = &walk;
  int usage = kExitOk;
  Options &options = listing.options;
  int c;
  while ((c = getopt_long(argc, argv, ":jcH:p:h", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    if (walk.Take(c, optarg, &usage)) {
      if (usage != kExitOk) return usage;
    } else if (c == 'j') {
      options.json = true;
    } else if (c == 'c') {
      options.check = true;
    } else if (c == 'H') {
      options.host = optarg;
    } else if (c == 'p') {
      options.byPid = true;
      if (!ParsePid(optarg, &options.pid)) return UsageError("invalid --pid '%s'", optarg);
    } else if (c >= kDead && c <= kUndecided) {
      options.check = true;
      options.verdicts |= Bit(c == kDead ? Verdict::kDead
                              : c == kAlive ? Verdict::kAlive
                                            : Verdict::kUndecided);
    } else {
      return BadOption(c, argv);
    }
  }
  if (optind >= argc) return UsageError("list: missing DIR");
  if (!StartLibrary()) return kExitError;

  int result =
      walk.WalkEach(argv + optind, argc - optind, "list", Visit, &listing, &listing.failed);
  if (options.check && !listing.failed) PrintChecked(&listing);
  if (fflush(stdout) != 0 || listing.failed) {
    Complain("cannot write the listing");
    result = kExitError;
  }
  return result;
}
