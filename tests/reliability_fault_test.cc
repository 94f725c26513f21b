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

const std::string kDriver = VAK_BINARY_DIR "/tests/fault/lock_driver";
const std::string kPreload = VAK_BINARY_DIR "/tests/fault/libvak_fault.so";
const char kOutOfMemory[] = "Out of memory";

struct Outcome {
  int exitStatus = -1;
  int status = -1;
  std::string message, log, err;
};

struct Fault {
  std::string family, mode;
  unsigned long nth = 0;
};

Outcome Drive(const std::string &op, const std::string &path, const Fault &fault,
              const std::string &logPath) {
  vaktest::RunOptions options;
  unlink(logPath.c_str());
  options.env = {{"LD_PRELOAD", kPreload},
                 {"VAK_FAULT_FAMILY", fault.family},
                 {"VAK_FAULT_NTH", std::to_string(fault.nth)},
                 {"VAK_FAULT_MODE", fault.mode},
                 {"VAK_FAULT_LOG", logPath},
                 // No daemon start: every owner here is on this host and probed locally.
                 {"PATH", "/usr/bin:/bin"}};
  const char *asan = getenv("ASAN_OPTIONS");
  options.env.push_back(
      {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"});
  options.timeoutSeconds = 30;
  vaktest::RunResult r = vaktest::RunProgram({kDriver, op, path}, options);
  Outcome o;
  o.exitStatus = r.exitStatus;
  o.err = r.err;
  o.log = vaktest::ReadFile(logPath);
  size_t at = r.out.rfind("status ");
  if (at != std::string::npos) {
    o.status = atoi(r.out.c_str() + at + 7);
    size_t m = r.out.find("message ", at);
    if (m != std::string::npos) {
      o.message = r.out.substr(m + 8);
      if (!o.message.empty() && o.message.back() == '\n') o.message.pop_back();
    }
  }
  return o;
}

Outcome DriveClean(const std::string &op, const std::string &path, const std::string &logPath) {
  return Drive(op, path, Fault(), logPath);
}

std::string StakeText(const std::string &host, unsigned long pid) {
  std::string text =
      "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
      "# Information about current Edit Lock Owner.\n#\n";
  auto line = [&](const char *key, const std::string &value) {
    char buf[512];
    snprintf(buf, sizeof buf, "%-30s %s\n", key, value.c_str());
    text += buf;
  };
  line("LockStakeVersion", "1.1");
  line("LoginName", "tester");
  line("HostName", host);
  line("ProcessIdentifier", std::to_string(pid));
  line("ProcessCreationTime_UTC", "1");
  line("ProcessCreationTime_Readable", "long ago");
  line("AppIdentifier", "reliability");
  line("OSType", "lnx86");
  line("ReasonForPlacingEditLock", "planted");
  line("FilePathUsedToEditLock", "f");
  line("TimeEditLocked", "long ago");
  return text;
}

// Names of side files and dirlocks anywhere below dir.
void FindLeftovers(const std::string &dir, std::vector<std::string> *found) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    if (e->d_type == DT_DIR) {
      FindLeftovers(path, found);
    } else if (name.find(".orvlck.") != std::string::npos) {
      found->push_back(path);
    }
  }
  closedir(d);
}

// One operation on a prepared directory. `file` is the file it works on (for the sweeps, the
// directory); `check` is the locked file a fresh process takes afterwards.
struct Scenario {
  const char *name;
  const char *op;
  std::function<void(const std::string &dir)> setup;
  bool sweep;
};

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

int ErrnoOf(const std::string &mode) {
  static const std::map<std::string, int> kValues = {
      {"EIO", EIO}, {"EACCES", EACCES}, {"EINTR", EINTR}, {"ENOSPC", ENOSPC}, {"ENOMEM", ENOMEM}};
  auto it = kValues.find(mode);
  return it == kValues.end() ? 0 : it->second;
}

std::map<std::string, unsigned long> CallCounts(const std::string &log) {
  std::map<std::string, unsigned long> counts;
  size_t at = 0;
  while ((at = log.find("calls ", at)) != std::string::npos) {
    char family[32];
    unsigned long n = 0;
    if (sscanf(log.c_str() + at, "calls %31s %lu", family, &n) == 2) counts[family] = n;
    at += 6;
  }
  return counts;
}

class FaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    char *msg = nullptr;
    ASSERT_EQ(VAK_OK, vakInit("reliability-fault", vakDefaultLockingMode, &msg));
    host_ = vakInitInfo->processId->hostName;
  }

  // Checks the result of a faulted run and that a fresh process recovers. Returns the number of
  // faults actually injected (0 or 1).
  int CheckOne(const Scenario &s, const Fault &fault, int baseline) {
    vaktest::TempDir tmp;
    s.setup(tmp.path());
    const std::string file = s.sweep ? tmp.path() : tmp.Sub("f");
    const std::string log = tmp.Sub("fault.log");
    Outcome o = Drive(s.op, file, fault, log);
    const bool injected = o.log.find("injected ") != std::string::npos;
    const std::string what = std::string(s.name) + ": " + fault.family + " #" +
                             std::to_string(fault.nth) + " " + fault.mode;
    EXPECT_EQ(std::string::npos, o.err.find("Sanitizer")) << what << "\n" << o.err;
    EXPECT_EQ(std::string::npos, o.err.find("runtime error")) << what << "\n" << o.err;
    if (fault.mode == "kill" && injected) {
      EXPECT_EQ(128 + SIGKILL, o.exitStatus) << what;
    } else {
      EXPECT_EQ(0, o.exitStatus) << what << "\n" << o.err;
      CheckStatus(o, fault, baseline, injected, s.sweep, what);
    }
    CheckRecovery(s, tmp, fault, what);
    return injected ? 1 : 0;
  }

  void CheckStatus(const Outcome &o, const Fault &fault, int baseline, bool injected, bool sweep,
                   const std::string &what) {
    if (!injected || o.status == baseline) {
      EXPECT_EQ(baseline, o.status) << what << ": " << o.message;
      return;
    }
    // A link that was made but reported as failed is recognised by what the new name leads to.
    if (fault.mode == "linkeio") {
      EXPECT_EQ(baseline, o.status) << what << ": " << o.message;
      return;
    }
    // An engine call that fails with EINTR is made again by its caller, so an interrupted system
    // call never comes back as such; only the sweeps' own walk reports one.
    if (fault.mode == "EINTR" && !sweep) {
      EXPECT_NE(VAK_SYS_ERROR, o.status) << what << ": " << o.message;
    }
    switch (o.status) {
      case VAK_OUT_OF_MEMORY:
        // Also the close of a memory stream, which fails only for lack of memory.
        EXPECT_EQ(kOutOfMemory, o.message) << what;
        EXPECT_TRUE(fault.mode == "ENOMEM" || fault.family == "close") << what;
        break;
      case VAK_SYS_ERROR: {
        int err = fault.mode == "linkeio" ? EIO : ErrnoOf(fault.mode);
        EXPECT_EQ(strerror(err), o.message) << what;
        break;
      }
      case VAK_NOT_OK:  // a failed write of lock-stake text
        EXPECT_NE(std::string::npos, o.message.find("failed")) << what << ": " << o.message;
        break;
      default:
        ADD_FAILURE() << what << ": unexpected status " << o.status << ": " << o.message;
    }
  }

  // A fresh process takes the lock (or finds its live owner); nothing is left that the engine
  // would not clear by itself.
  void CheckRecovery(const Scenario &s, const vaktest::TempDir &tmp, const Fault &fault,
                     const std::string &what) {
    const std::string log = tmp.Sub("fresh.log");
    if (s.sweep) {
      Outcome o = DriveClean("are", tmp.path(), log);
      EXPECT_EQ(VAK_OK, o.status) << what << ": " << o.message;
    } else {
      Outcome o = DriveClean("get", tmp.Sub("f"), log);
      // A process killed between the exclusive create of a first lock and its write leaves an
      // empty lock-stake file; only the administrative release clears it.
      if (o.status == VAK_MALFORMED_LOCK_STAKE_FILE && fault.mode == "kill" &&
          vaktest::ReadFile(tmp.Sub("f.orvlck")).empty()) {
        EXPECT_EQ(VAK_OK, DriveClean("are", tmp.path(), log).status) << what;
        o = DriveClean("get", tmp.Sub("f"), log);
      }
      const bool liveOwner = std::string(s.name) == "steal";
      if (!(liveOwner && o.status == VAK_FILE_ALREADY_LOCKED)) {
        EXPECT_EQ(VAK_OK, o.status) << what << ": fresh get: " << o.message;
      }
    }
    std::vector<std::string> leftovers;
    FindLeftovers(tmp.path(), &leftovers);
    for (const std::string &path : leftovers) {
      const bool dirlock = path.size() > 8 && path.compare(path.size() - 8, 8, ".dirlock") == 0;
      if (dirlock) {
        // A dirlock left by a killed process, or one whose removal failed, names its holder; the
        // next replacement asks whether that holder lives and removes it. An incomplete one would
        // block every replacement of the file.
        EXPECT_NE(std::string::npos, vaktest::ReadFile(path).find("TimeEditLocked"))
            << what << ": a dirlock that no replacement could clear: " << path;
        continue;
      }
      // A side file is read by nobody; it stays only when the process was killed or its removal
      // was the call that failed.
      if (fault.mode != "kill" && fault.family != "unlink") {
        ADD_FAILURE() << what << ": left behind: " << path;
      }
    }
  }

  void Sweep(const Scenario &s) {
    const bool longRun = getenv("VAK_RELIABILITY_LONG") != nullptr;
    vaktest::TempDir base;
    s.setup(base.path());
    Outcome clean = DriveClean(s.op, s.sweep ? base.path() : base.Sub("f"), base.Sub("count.log"));
    ASSERT_EQ(0, clean.exitStatus) << clean.err;
    const int baseline = clean.status;
    std::map<std::string, unsigned long> counts = CallCounts(clean.log);
    ASSERT_FALSE(counts.empty()) << "the preload library counted nothing: " << clean.err;
    int runs = 0, injected = 0;
    unsigned long turn = 0;
    for (const auto &entry : counts) {
      const std::vector<std::string> &modes = kModes.at(entry.first);
      for (unsigned long n = 1; n <= entry.second; ++n) {
        for (size_t m = 0; m < modes.size(); ++m) {
          if (!longRun && m != (turn % modes.size())) continue;
          injected += CheckOne(s, {entry.first, modes[m], n}, baseline);
          ++runs;
          if (HasFailure()) return;
        }
        ++turn;
      }
    }
    printf("[ figures  ] %s: %d faulted runs, %d faults injected\n", s.name, runs, injected);
    RecordProperty("faults_injected", injected);
    EXPECT_GT(injected, 0);
  }

  std::string host_;
  vaktest::DaemonGuard daemon_;
};

const unsigned long kDeadPid = 999999999;  // beyond any pid_max: kill() says ESRCH

TEST_F(FaultSweep, EveryCallOfEveryOperationFailsInTurn) {
  const std::string host = host_;
  const unsigned long live = static_cast<unsigned long>(getpid());
  auto plainFile = [](const std::string &dir) { vaktest::WriteFile(dir + "/f", "x"); };
  auto tree = [host, live](const std::string &dir) {
    vaktest::WriteFile(dir + "/a", "x");
    vaktest::WriteFile(dir + "/a.orvlck", StakeText(host, live));
    vaktest::WriteFile(dir + "/sub/b", "x");
    vaktest::WriteFile(dir + "/sub/b.orvlck", StakeText(host, kDeadPid));
    vaktest::WriteFile(dir + "/c", "x");
    vaktest::WriteFile(dir + "/c.orvlck", "not a lock stake\n");
  };
  const Scenario scenarios[] = {
      {"first get", "get", plainFile, false},
      {"take-over over a stale dirlock", "get",
       [host](const std::string &dir) {
         vaktest::WriteFile(dir + "/f", "x");
         vaktest::WriteFile(dir + "/f.orvlck", StakeText(host, kDeadPid));
         vaktest::WriteFile(dir + "/f.orvlck.dirlock", StakeText(host, kDeadPid));
       },
       false},
      {"steal", "steal",
       [host, live](const std::string &dir) {
         vaktest::WriteFile(dir + "/f", "x");
         vaktest::WriteFile(dir + "/f.orvlck", StakeText(host, live));
       },
       false},
      {"release", "release", plainFile, false},
      {"sweep -are", "are", tree, true},
      {"sweep -ale", "ale", tree, true},
  };
  for (const Scenario &s : scenarios) {
    SCOPED_TRACE(s.name);
    Sweep(s);
    if (HasFailure()) return;
  }
}

}  // namespace
