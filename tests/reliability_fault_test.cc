// Fault injection: every call that an Edit Lock operation makes fails in turn (or the process is
// killed there); each time the operation must end with a defined status and message, and a fresh
// process must find the file in a state it can work with. A fault-free run of the driver counts
// the calls of each family. VAK_RELIABILITY_LONG=1 tries every mode of the family at every call;
// otherwise each call gets one, taken in turn.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "fault_driver.h"
#include "run_program.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

using namespace vaktest;

struct Outcome {
  int exitStatus, status;
  std::string message, log, err;
};

Outcome Drive(const std::string &op, const std::string &path, const std::string &log,
              const std::string &family = "", const std::string &mode = "", unsigned long nth = 0) {
  unlink(log.c_str());
  const char *asan = getenv("ASAN_OPTIONS");
  RunOptions options;
  // Preloaded by name along the library path: LD_PRELOAD would split a build path with blanks.
  options.env = {{"LD_PRELOAD", "libvak_fault.so"},
                 {"LD_LIBRARY_PATH", VAK_BINARY_DIR "/tests/fault"},
                 {"VAK_FAULT_FAMILY", family},
                 {"VAK_FAULT_NTH", std::to_string(nth)},
                 {"VAK_FAULT_MODE", mode},
                 {"VAK_FAULT_LOG", log},
                 {"PATH", "/usr/bin:/bin"},  // no daemon start: every owner here is local
                 {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  options.timeoutSeconds = 30;
  RunResult r = RunProgram({VAK_BINARY_DIR "/tests/fault/lock_driver", op, path}, options);
  const size_t at = r.out.rfind("status "), m = r.out.find("\nmessage ", at);
  return {r.exitStatus, at != std::string::npos ? atoi(r.out.c_str() + at + 7) : -1,
          m != std::string::npos ? r.out.substr(m + 9, r.out.find('\n', m + 1) - m - 9) : "",
          ReadFile(log), r.err};
}

// Side files and dirlocks anywhere below dir.
void FindLeftovers(const std::string &dir, std::vector<std::string> *found) {
  DIR *d = opendir(dir.c_str());
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
    const std::string name = e->d_name, path = dir + "/" + name;
    if (e->d_type == DT_DIR && name != "." && name != "..") FindLeftovers(path, found);
    if (name.find(".orvlck.") != std::string::npos) found->push_back(path);
  }
  if (d != nullptr) closedir(d);
}

// Fault modes worth trying per family. ENOMEM is what a failed allocation reports.
const std::map<std::string, std::string> kModes = {{"alloc", "ENOMEM kill"},
                                                   {"open", "EIO EACCES EINTR ENOSPC kill"},
                                                   {"link", "EIO linkeio EINTR ENOSPC kill"},
                                                   {"unlink", "EIO EACCES EINTR kill"},
                                                   {"write", "EIO ENOSPC EINTR kill"},
                                                   {"readlink", "EIO EINTR kill"},
                                                   {"opendir", "EACCES ENOMEM kill"},
                                                   {"stat", "EIO EACCES EINTR kill"},
                                                   {"read", "EIO EINTR kill"},
                                                   {"close", "EIO EINTR kill"},
                                                   {"rename", "EIO EINTR kill"}};
const std::map<std::string, int> kErrnos = {
    {"EIO", EIO}, {"EACCES", EACCES}, {"EINTR", EINTR}, {"ENOSPC", ENOSPC}, {"ENOMEM", ENOMEM}};

// One operation on a prepared directory: on the file f in it, or (sweep) on the directory.
struct Scenario {
  const char *name, *op;
  std::function<void(const std::string &dir)> setup;
  bool sweep, liveOwner;
};

// Checks one faulted run and a fresh process's recovery; true when the fault was injected.
bool CheckOne(const Scenario &s, const std::string &family, const std::string &mode,
              unsigned long nth, int baseline) {
  TempDir tmp;
  s.setup(tmp.path());
  Outcome o = Drive(s.op, s.sweep ? tmp.path() : tmp.Sub("f"), tmp.Sub("log"), family, mode, nth);
  const bool injected = o.log.find("injected ") != std::string::npos;
  const std::string what = std::string(s.name) + ": " + family + " #" + std::to_string(nth) + " " +
                           mode + ": " + o.message + "\n" + o.err;
  EXPECT_TRUE(o.err.find("Sanitizer") == std::string::npos &&
              o.err.find("runtime error") == std::string::npos)
      << what;
  const bool killed = mode == "kill" && injected;
  EXPECT_EQ(killed ? 128 + SIGKILL : 0, o.exitStatus) << what;
  if (killed || !injected || o.status == baseline || mode == "linkeio") {
    // A link that was made but reported as failed is recognised by what the new name leads to.
    EXPECT_TRUE(killed || o.status == baseline) << what;
  } else if (o.status == VAK_OUT_OF_MEMORY) {
    // Also the close of a memory stream, which fails only for lack of memory.
    EXPECT_TRUE(o.message == "Out of memory" && (mode == "ENOMEM" || family == "close")) << what;
  } else if (o.status == VAK_SYS_ERROR) {
    // The engine's callers retry after EINTR: only the sweeps' own walk reports one.
    EXPECT_TRUE(mode != "EINTR" || s.sweep) << what;
    EXPECT_EQ(strerror(kErrnos.at(mode)), o.message) << what;
  } else {  // a failed write of lock-stake text
    EXPECT_TRUE(o.status == VAK_NOT_OK && o.message.find("failed") != std::string::npos) << what;
  }
  // A fresh process takes the lock (or finds its live owner); nothing is left that the engine
  // would not clear by itself.
  Outcome fresh = Drive(s.sweep ? "are" : "get", s.sweep ? tmp.path() : tmp.Sub("f"), tmp.Sub("l"));
  EXPECT_TRUE(fresh.status == VAK_OK || (s.liveOwner && fresh.status == VAK_FILE_ALREADY_LOCKED))
      << what << "fresh: " << fresh.status << " " << fresh.message;
  std::vector<std::string> leftovers;
  FindLeftovers(tmp.path(), &leftovers);
  for (const std::string &path : leftovers) {
    // A dirlock left by a killed process, or one whose removal failed, names its holder, so the
    // next replacement can clear it; an incomplete one would block every replacement.
    if (path.size() > 8 && path.compare(path.size() - 8, 8, ".dirlock") == 0) {
      EXPECT_NE(ReadFile(path).find("TimeEditLocked"), std::string::npos) << what << path;
    } else {  // a side file stays only when the process died or its removal was what failed
      EXPECT_TRUE(mode == "kill" || family == "unlink") << what << path;
    }
  }
  return injected;
}

TEST(FaultSweep, EveryCallOfEveryOperationFailsInTurn) {
  DaemonGuard daemon;
  char *msg = nullptr;
  ASSERT_EQ(VAK_OK, vakInit("reliability-fault", vakDefaultLockingMode, &msg));
  const std::string host = vakInitInfo->processId->hostName;
  const unsigned long live = static_cast<unsigned long>(getpid()), dead = 999999999;
  auto owned = [=](unsigned long pid, bool dirlock) {
    return [=](const std::string &dir) {
      WriteFile(dir + "/f", "x");
      if (pid != 0) WriteFile(dir + "/f.orvlck", StakeText(host, pid));
      if (dirlock) WriteFile(dir + "/f.orvlck.dirlock", StakeText(host, pid));
    };
  };
  auto tree = [=](const std::string &dir) {  // a live owner, a dead one below, a malformed one
    for (const char *name : {"a", "sub/b", "c"}) WriteFile(dir + "/" + name, "x");
    WriteFile(dir + "/a.orvlck", StakeText(host, live));
    WriteFile(dir + "/sub/b.orvlck", StakeText(host, dead));
    WriteFile(dir + "/c.orvlck", "not a lock stake\n");
  };
  const Scenario scenarios[] = {
      {"first get", "get", owned(0, false), false, false},
      {"take-over over a stale dirlock", "get", owned(dead, true), false, false},
      {"steal", "steal", owned(live, false), false, true},
      {"release", "release", owned(0, false), false, false},
      {"sweep -are", "are", tree, true, false},
      {"sweep -ale", "ale", tree, true, false},
  };
  for (const Scenario &s : scenarios) {
    TempDir base;
    s.setup(base.path());
    Outcome clean = Drive(s.op, s.sweep ? base.path() : base.Sub("f"), base.Sub("count.log"));
    ASSERT_EQ(0, clean.exitStatus) << clean.err;
    int runs = 0, injected = 0;
    unsigned long turn = 0, calls = 0;
    char family[32];
    for (size_t at = 0; (at = clean.log.find("calls ", at)) != std::string::npos; at += 6) {
      ASSERT_EQ(2, sscanf(clean.log.c_str() + at, "calls %31s %lu", family, &calls));
      std::istringstream words(kModes.at(family));
      std::vector<std::string> modes;
      for (std::string w; words >> w;) modes.push_back(w);
      for (unsigned long n = 1; n <= calls; ++n, ++turn) {
        for (size_t m = 0; m < modes.size(); ++m) {
          if (getenv("VAK_RELIABILITY_LONG") == nullptr && m != turn % modes.size()) continue;
          injected += CheckOne(s, family, modes[m], n, clean.status);
          ++runs;
          if (HasFailure()) return;
        }
      }
    }
    printf("[ figures  ] %s: %d faulted runs, %d faults injected\n", s.name, runs, injected);
    EXPECT_GT(injected, 0) << s.name;
  }
}

}  // namespace
