// list.cc - `editlock list`: every Edit Lock below some directories with all its owners, as text
// for people or as JSON Lines, in the walk order of the library's listing.
#include <getopt.h>
#include <inttypes.h>
#include <stdio.h>

#include <string>

#include "cli.h"
#include "owner_text.h"
#include "text_escape.h"
#include "vak.h"

namespace {

// What a visitor needs; failed is set once standard output no longer takes the listing.
struct Listing {
  bool failed = false;
};

int Emit(Listing *listing, const std::string &text) {
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) listing->failed = true;
  return listing->failed ? 1 : 0;
}

// The text listing: the locked file on a line of its own, then one indented line per owner.
int VisitText(const char *lockedPath, int status, const LockStake *owners, const char *message,
              void *context) {
  std::string text;
  AppendDisplay(&text, lockedPath);
  if (owners == nullptr) {
    text += status == VAK_MALFORMED_LOCK_STAKE_FILE ? "\n  malformed lock-stake file\n"
                                                     : "\n  unreadable: ";
    if (status != VAK_MALFORMED_LOCK_STAKE_FILE) AppendDisplay(&text, MessageText(message));
  }
  for (const LockStake *owner = owners; owner != nullptr; owner = owner->next) {
    text += owner == owners ? "\n  owner: " : "\n  former owner: ";
    AppendOwner(&text, owner);
  }
  if (text.back() != '\n') text += '\n';
  return Emit(static_cast<Listing *>(context), text);
}

// A JSON object's members, with the names of those whose texts were written byte by byte.
class JsonObject {
 public:
  void Text(const char *name, const char *value) {
    Name(name);
    if (AppendJsonString(&body_, value)) {
      escaped_ += escaped_.empty() ? "\"" : ",\"";
      escaped_ += name + std::string("\"");
    }
  }
  void Number(const char *name, const char *digits) {
    Name(name);
    body_ += digits;
  }
  void Raw(const char *name, const std::string &json) {
    Name(name);
    body_ += json;
  }
  std::string Close() {
    if (!escaped_.empty()) Raw("bytes_escaped", "[" + escaped_ + "]");
    return "{" + body_ + "}";
  }

 private:
  void Name(const char *name) {
    if (!body_.empty()) body_ += ',';
    body_ += std::string("\"") + name + "\":";
  }
  std::string body_, escaped_;
};

std::string OwnerJson(const LockStake *owner) {
  const OwnerParts parts = PartsOf(owner);
  const LockStakeHeader *h = parts.header;
  const ProcessIdentity *p = parts.process;
  const LockStakeTrailer *t = parts.trailer;
  char pid[32], created[32];
  snprintf(pid, sizeof pid, "%" PRIu64, p->processId);
  snprintf(created, sizeof created, "%" PRId64, p->creationTime);
  JsonObject o;
  o.Text("login", h->loginName);
  o.Text("host", p->hostName);
  o.Number("pid", pid);
  o.Number("process_created", created);
  o.Text("process_created_text", h->creationTimeReadable);
  o.Text("application", h->appIdentifier);
  o.Text("os", h->osType);
  o.Text("stake_version", h->lockStakeVersion);
  o.Text("reason", t->reason);
  o.Text("locked_at", t->timeLocked);
  o.Text("path_used", t->filePathUsed);
  return o.Close();
}

// One JSON object per lock: "path", then "owner" and "former_owners", or "error".
int VisitJson(const char *lockedPath, int status, const LockStake *owners, const char *message,
              void *context) {
  JsonObject o;
  o.Text("path", lockedPath);
  if (owners == nullptr) {
    o.Text("error", status == VAK_MALFORMED_LOCK_STAKE_FILE ? "malformed lock-stake file"
                                                            : MessageText(message));
  } else {
    o.Raw("owner", OwnerJson(owners));
    std::string former = "[";
    for (const LockStake *owner = owners->next; owner != nullptr; owner = owner->next) {
      if (former.size() > 1) former += ',';
      former += OwnerJson(owner);
    }
    o.Raw("former_owners", former + "]");
  }
  return Emit(static_cast<Listing *>(context), o.Close() + "\n");
}

}  // namespace

int ListMain(int argc, char **argv) {
  static const struct option kOptions[] = {
      {"json", no_argument, nullptr, 'j'}, {"help", no_argument, nullptr, 'h'}, {}};
  bool json = false;
  int c;
  while ((c = getopt_long(argc, argv, ":jh", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    if (c != 'j') return BadOption(c, argv);
    json = true;
  }
  if (optind >= argc) return UsageError("list: missing DIR");
  if (!StartLibrary()) return kExitError;

  Listing listing;
  int result = kExitOk;
  for (int i = optind; i < argc && !listing.failed; ++i) {
    char *msg = nullptr;
    if (vakVisitEditLocksInDirHier(argv[i], json ? VisitJson : VisitText, &listing, &msg) !=
        VAK_OK) {
      Complain("cannot list %s: %s", argv[i], MessageText(msg));
      result = kExitError;
    }
    FreeMessage(msg);
  }
  if (fflush(stdout) != 0 || listing.failed) {
    Complain("cannot write the listing");
    result = kExitError;
  }
  return result;
}
