// Fault injection: every call that an Edit Lock operation makes fails in turn (or the process is
// killed there), and each time the operation must end with a defined status and message, and a
// fresh process must find the file in a state it can work with.
//
// The preload library (tests/fault) numbers the calls of each family while the driver runs the
// operation; a first, fault-free run counts them. VAK_RELIABILITY_LONG=1 tries every fault mode
// at every call; otherwise each call gets one mode, taken in turn from the family's list.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "run_program.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

using namespace vaktest;

struct Fault {
  std::string family, mode;
  unsigned long nth = 0;
};

struct Outcome {
  int exitStatus, status;
  std::string message, log, err;
};

Outcome Drive(const std::string &op, const std::string &path, const std::string &log,
              const Fault &fault = Fault()) {
  unlink(log.c_str());
  const char *asan = getenv("ASAN_OPTIONS");
  RunOptions options;
  options.env = {{"LD_PRELOAD", VAK_BINARY_DIR "/tests/fault/libvak_fault.so"},
                 {"VAK_FAULT_FAMILY", fault.family},
                 {"VAK_FAULT_NTH", std::to_string(fault.nth)},
                 {"VAK_FAULT_MODE", fault.mode},
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

std::string StakeText(const std::string &host, unsigned long pid) {
  const char *keys[] = {"LockStakeVersion 1.1",
                        "LoginName tester",
                        "HostName ",
                        "ProcessIdentifier ",
                        "ProcessCreationTime_UTC 1",
                        "ProcessCreationTime_Readable long ago",
                        "AppIdentifier reliability",
                        "OSType lnx86",
                        "ReasonForPlacingEditLock planted",
                        "FilePathUsedToEditLock f",
                        "TimeEditLocked long ago"};
  std::string text =
      "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
      "# Information about current Edit Lock Owner.\n#\n";
  for (std::string line : keys) {
    size_t blank = line.find(' ');
    line.insert(blank, 30 - blank, ' ');  // values start in column 32
    text += line + (line.find("HostName") == 0 ? host : "") +
            (line.find("ProcessIdentifier") == 0 ? std::to_string(pid) : "") + "\n";
  }
  return text;
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
const std::map<std::string, std::vector<std::string>> kModes = {
    {"alloc", {"ENOMEM", "kill"}},
    {"open", {"EIO", "EACCES", "EINTR", "ENOSPC", "kill"}},
    {"link", {"EIO", "linkeio", "EINTR", "ENOSPC", "kill"}},
    {"unlink", {"EIO", "EACCES", "EINTR", "kill"}},
    {"write", {"EIO", "ENOSPC", "EINTR", "kill"}},
    {"readlink", {"EIO", "EINTR", "kill"}},
    {"opendir", {"EACCES", "ENOMEM", "kill"}},
    {"stat", {"EIO", "EACCES", "EINTR", "kill"}},
    {"read", {"EIO", "EINTR", "kill"}},
    {"close", {"EIO", "EINTR", "kill"}},
};
const std::map<std::string, int> kErrnos = {
    {"EIO", EIO}, {"EACCES", EACCES}, {"EINTR", EINTR}, {"ENOSPC", ENOSPC}, {"ENOMEM", ENOMEM}};

// One operation on a prepared directory: on the file f in it, or (sweep) on the directory.
struct Scenario {
  const char *name, *op;
  std::function<void(const std::string &dir)> setup;
  bool sweep, liveOwner;
};

// The result of a run that was not killed: the fault-free result, or a defined failure.
void CheckStatus(const Outcome &o, const Fault &fault, int baseline, bool injected, bool sweep,
                 const std::string &what) {
  if (!injected || o.status == baseline || fault.mode == "linkeio") {
    // A link that was made but reported as failed is recognised by what the new name leads to.
    EXPECT_EQ(baseline, o.status) << what;
  } else if (o.status == VAK_OUT_OF_MEMORY) {
    // Also the close of a memory stream, which fails only for lack of memory.
    EXPECT_EQ("Out of memory", o.message) << what;
    EXPECT_TRUE(fault.mode == "ENOMEM" || fault.family == "close") << what;
  } else if (o.status == VAK_SYS_ERROR) {
    // The engine's callers retry after EINTR: only the sweeps' own walk reports one.
    EXPECT_TRUE(fault.mode != "EINTR" || sweep) << what;
    EXPECT_EQ(strerror(kErrnos.at(fault.mode)), o.message) << what;
  } else {
    EXPECT_EQ(VAK_NOT_OK, o.status) << what;  // a failed write of lock-stake text
    EXPECT_NE(o.message.find("failed"), std::string::npos) << what;
  }
}

// Checks one faulted run and a fresh process's recovery; true when the fault was injected.
bool CheckOne(const Scenario &s, const Fault &fault, int baseline) {
  TempDir tmp;
  s.setup(tmp.path());
  Outcome o = Drive(s.op, s.sweep ? tmp.path() : tmp.Sub("f"), tmp.Sub("fault.log"), fault);
  const bool injected = o.log.find("injected ") != std::string::npos;
  const std::string what = std::string(s.name) + ": " + fault.family + " #" +
                           std::to_string(fault.nth) + " " + fault.mode + ": " + o.message;
  EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << what << "\n" << o.err;
  EXPECT_EQ(o.err.find("runtime error"), std::string::npos) << what << "\n" << o.err;
  if (fault.mode == "kill" && injected) {
    EXPECT_EQ(128 + SIGKILL, o.exitStatus) << what;
  } else {
    EXPECT_EQ(0, o.exitStatus) << what << "\n" << o.err;
    CheckStatus(o, fault, baseline, injected, s.sweep, what);
  }
  // A fresh process takes the lock (or finds its live owner); nothing is left that the engine
  // would not clear by itself.
  const std::string log = tmp.Sub("fresh.log");
  if (s.sweep) {
    EXPECT_EQ(VAK_OK, Drive("are", tmp.path(), log).status) << what;
  } else {
    Outcome fresh = Drive("get", tmp.Sub("f"), log);
    // A process killed between the exclusive create of a first lock and its write leaves an
    // empty lock-stake file; only the administrative release clears it.
    if (fresh.status == VAK_MALFORMED_LOCK_STAKE_FILE && fault.mode == "kill" &&
        ReadFile(tmp.Sub("f.orvlck")).empty()) {
      EXPECT_EQ(VAK_OK, Drive("are", tmp.path(), log).status) << what;
      fresh = Drive("get", tmp.Sub("f"), log);
    }
    EXPECT_TRUE(fresh.status == VAK_OK || (s.liveOwner && fresh.status == VAK_FILE_ALREADY_LOCKED))
        << what << ": fresh get: " << fresh.status << " " << fresh.message;
  }
  std::vector<std::string> leftovers;
  FindLeftovers(tmp.path(), &leftovers);
  for (const std::string &path : leftovers) {
    // A dirlock left by a killed process, or one whose removal failed, names its holder, so the
    // next replacement can clear it; an incomplete one would block every replacement.
    if (path.size() > 8 && path.compare(path.size() - 8, 8, ".dirlock") == 0) {
      EXPECT_NE(ReadFile(path).find("TimeEditLocked"), std::string::npos) << what << ": " << path;
    } else {  // a side file stays only when the process died or its removal was what failed
      EXPECT_TRUE(fault.mode == "kill" || fault.family == "unlink") << what << ": " << path;
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
  auto plain = [](const std::string &dir) { WriteFile(dir + "/f", "x"); };
  auto owned = [=](unsigned long pid, bool dirlock) {
    return [=](const std::string &dir) {
      WriteFile(dir + "/f", "x");
      WriteFile(dir + "/f.orvlck", StakeText(host, pid));
      if (dirlock) WriteFile(dir + "/f.orvlck.dirlock", StakeText(host, pid));
    };
  };
  auto tree = [=](const std::string &dir) {
    for (const char *name : {"a", "sub/b", "c"}) WriteFile(dir + "/" + name, "x");
    WriteFile(dir + "/a.orvlck", StakeText(host, live));
    WriteFile(dir + "/sub/b.orvlck", StakeText(host, dead));
    WriteFile(dir + "/c.orvlck", "not a lock stake\n");
  };
  const Scenario scenarios[] = {
      {"first get", "get", plain, false, false},
      {"take-over over a stale dirlock", "get", owned(dead, true), false, false},
      {"steal", "steal", owned(live, false), false, true},
      {"release", "release", plain, false, false},
      {"sweep -are", "are", tree, true, false},
      {"sweep -ale", "ale", tree, true, false},
  };
  const bool longRun = getenv("VAK_RELIABILITY_LONG") != nullptr;
  for (const Scenario &s : scenarios) {
    TempDir base;
    s.setup(base.path());
    Outcome clean = Drive(s.op, s.sweep ? base.path() : base.Sub("f"), base.Sub("count.log"));
    ASSERT_EQ(0, clean.exitStatus) << clean.err;
    int runs = 0, injected = 0;
    unsigned long turn = 0;
    for (size_t at = 0; (at = clean.log.find("calls ", at)) != std::string::npos; at += 6) {
      char family[32];
      unsigned long calls = 0;
      ASSERT_EQ(2, sscanf(clean.log.c_str() + at, "calls %31s %lu", family, &calls));
      const std::vector<std::string> &modes = kModes.at(family);
      for (unsigned long n = 1; n <= calls; ++n, ++turn) {
        for (size_t m = 0; m < modes.size(); ++m) {
          if (!longRun && m != turn % modes.size()) continue;
          injected += CheckOne(s, {family, modes[m], n}, clean.status);
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
