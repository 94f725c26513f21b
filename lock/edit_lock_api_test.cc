// The application operations and the held-lock registry, through real processes: what a process
// leaves behind when it exits is the point of the registry.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "daemon_guard.h"
#include "fault_driver.h"
#include "orv.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

// Owner pid named by the lock-stake file of file, 0 when there is none.
uint64_t OwnerOf(const std::string &file) {
  std::string text = vaktest::ReadFile(file + ".orvlck");
  size_t at = text.find("\nProcessIdentifier");
  return at == std::string::npos ? 0 : strtoull(text.c_str() + at + 19, nullptr, 10);
}

// Names in dir that belong to the locking: lock-stake files, side files, dirlocks.
std::vector<std::string> LockFiles(const std::string &dir) {
  std::vector<std::string> found;
  DIR *d = opendir(dir.c_str());
  while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
    if (strstr(e->d_name, ".orvlck") != nullptr) found.push_back(e->d_name);
  }
  if (d != nullptr) closedir(d);
  return found;
}

// Writes until the file system of path is full, in ever smaller pieces and then in new files (a
// file system may still have room for a small one); false if it never says so.
bool Fill(const std::string &path) {
  static char block[65536];
  bool full = false;
  for (int i = 0; i < 1000 && !full; ++i) {
    const std::string name = path + std::to_string(i);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOSPC;
    for (size_t size : {sizeof block, size_t{4096}, size_t{1}}) {
      for (int n = 0; n < 100000 && write(fd, block, size) > 0; ++n) {
      }
    }
    full = errno == ENOSPC && i > 0 && lseek(fd, 0, SEEK_END) == 0;
    close(fd);
  }
  return full;
}

class EditLockApiTest : public ::testing::Test {
 protected:
  // In a child that ends with exit(), so that its exit handlers run; finds the staged daemons.
  static void Start() { orvInitNonORVApp(VAK_STAGE_ROOT "/tools/bin/vak_unit_tests"); }
  vaktest::DaemonGuard daemon_;
  vaktest::TempDir tmp_;
};

TEST_F(EditLockApiTest, ExitReleasesWhatTheProcessStillOwns) {
  const std::string a = tmp_.Sub("a"), b = tmp_.Sub("b");
  vaktest::ChildResult holder = vaktest::RunInChild([&] {
    Start();
    const uint64_t me = static_cast<uint64_t>(getpid());
    for (const std::string &file : {a, a, b}) {  // a taken twice is one registry entry
      if (vakGetEditLock(file.c_str(), nullptr, nullptr) != VAK_OK) return 1;
    }
    // A child owns none of its parent's locks, however it tries to release them before it has
    // initialised (the engine, everything "held", the lock itself), and its exit releases none.
    int refused = vaktest::RunInChild([&]() -> int {
                    int engine = vakEditLockControl(a.c_str(), nullptr, RELEASE_LOCK, 0, nullptr,
                                                    nullptr, nullptr);
                    vakReleaseAllMyEditLocks(nullptr);
                    if (engine != VAK_NOT_EDIT_LOCK_OWNER || OwnerOf(a) != me || OwnerOf(b) != me) exit(1);
                    exit(vakReleaseEditLock(a.c_str(), nullptr));
                  }).exitStatus;
    bool kept = OwnerOf(a) == me && OwnerOf(b) == me;
    // A thief that ends without running its exit handlers leaves b stolen.
    vaktest::ChildResult thief = vaktest::RunInChild([&] {
      printf("%d", getpid());
      return vakStealEditLock(b.c_str(), "mine now", nullptr);
    });
    printf("child's release %d, kept %d, thief %d: %s", refused, kept, thief.exitStatus,
           thief.out.c_str());
    exit(0);
  });
  EXPECT_EQ(0, holder.exitStatus);
  const std::string told = "child's release 15, kept 1, thief 0: ";  // 15: not the owner
  ASSERT_EQ(0u, holder.out.rfind(told, 0)) << holder.out;
  EXPECT_FALSE(vaktest::Exists(a + ".orvlck"));
  EXPECT_EQ(strtoull(holder.out.c_str() + told.size(), nullptr, 10), OwnerOf(b))
      << "stolen, not released";
}

// The exit releases a lock by what was recorded when it was taken: the link's own lock-stake file
// for a lock taken without following, and the file meant whatever the working directory is now.
TEST_F(EditLockApiTest, ExitReleasesEachLockAsItWasTaken) {
  struct Case {
    const char *name, *path;  // path relative to the test directory
    int noFollow;
    bool followToo;  // also taken following the link, and that one released by the application
  };
  const Case cases[] = {
      {"no-follow on a link", "link", 1, false},
      {"no-follow and follow on one link", "link", 1, true},
      {"relative path", "t", 0, false},
      {"relative path through a link", "link", 0, false},
      {"relative path with dot-dot", "sub/../t", 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vaktest::TempDir dir;
    vaktest::WriteFile(dir.Sub("t"), "x");
    vaktest::WriteFile(dir.Sub("sub/u"), "x");
    ASSERT_EQ(0, symlink("t", dir.Sub("link").c_str()));
    vaktest::ChildResult holder = vaktest::RunInChild([&]() -> int {
      Start();
      if (chdir(dir.path().c_str()) != 0) return 90;
      int status = vakGetEditLockEx(c.path, "held", c.noFollow, nullptr);
      if (status != VAK_OK) return status;
      if (c.followToo) {
        if ((status = vakGetEditLock(c.path, "held", nullptr)) != VAK_OK) return status;
        if ((status = vakReleaseEditLock(c.path, nullptr)) != VAK_OK) return status;
      }
      printf("%zu", LockFiles(dir.path()).size());
      // Elsewhere, the relative path names nothing, or another file.
      if (chdir("/") != 0) return 91;
      exit(0);
    });
    EXPECT_EQ(0, holder.exitStatus);
    EXPECT_EQ("1", holder.out) << "one lock held before the exit";
    EXPECT_EQ(std::vector<std::string>{}, LockFiles(dir.path()));
  }
}

// Releasing one's own lock needs no free space, at the exit or by the application, even when a
// stale dirlock left by a dead process must be cleared first. Run in a private mount namespace
// with a small tmpfs, so it needs root.
TEST_F(EditLockApiTest, ReleaseNeedsNoFreeSpace) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "SKIPPED: needs root to mount a small file system and fill it";
  }
  vaktest::ChildResult run = vaktest::RunInChild([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
      return 80;
    const std::string full = tmp_.Sub("full");
    if (mkdir(full.c_str(), 0755) != 0 ||
        mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0)
      return 81;
    vaktest::ChildResult owner = vaktest::RunInChild([&]() -> int {
      Start();
      const std::string f = full + "/f", g = full + "/g", h = full + "/h";
      for (const std::string &file : {f, g, h}) {
        if (vakGetEditLock(file.c_str(), "held", nullptr) != VAK_OK) return 82;
      }
      // A dirlock held by a dead process, on g and h.
      const std::string stale = vaktest::StakeText(vakInitInfo->processId->hostName,
                                                   static_cast<unsigned long>(vaktest::DeadPid()));
      vaktest::WriteFile(g + ".orvlck.dirlock", stale);
      vaktest::WriteFile(h + ".orvlck.dirlock", stale);
      // Each release finds the file system full: the one before it gave some space back.
      std::string said;
      for (const std::string &file : {g, f}) {
        if (!Fill(file + "-filler")) return 83;
        char *msg = nullptr;
        int status = vakReleaseEditLock(file.c_str(), &msg);
        said += std::to_string(status) + " " + (msg != nullptr ? msg : "-") + "|";
        free(msg);
      }
      printf("%s", said.c_str());
      if (!Fill(h + "-filler")) return 84;
      exit(0);  // h is released by the exit
    });
    printf("%s%d ", owner.out.c_str(), owner.exitStatus);
    for (const std::string &name : LockFiles(full)) printf("%s ", name.c_str());
    umount2(full.c_str(), MNT_DETACH);
    return 0;
  });
  EXPECT_EQ(0, run.exitStatus) << run.err;
  EXPECT_EQ("0 -|0 -|0 ", run.out) << "statuses, then what was left";
}

// Against the real vakcompatd: get takes the old-style lock too, and release, a failed get and the
// exit give it back. (That the old-style lock excludes other clients is the daemon's own test.)
TEST_F(EditLockApiTest, CompatibilityModeTakesOldStyleLocksToo) {
  const std::string f = tmp_.Sub("f"), planted = tmp_.Sub("planted");
  vaktest::WriteFile(planted + ".orvlck", "garbage\n");
  vaktest::ChildResult got = vaktest::RunInChild([&]() -> int {
    Start();
    vakInit(nullptr, 1, nullptr);
    vakEnv->lockingMode = VAK_COMPAT_LOCKING;
    // Each step's status, then whether the lock-stake file and the old-style lock exist.
    auto step = [](const char *name, int status, const std::string &p) {
      printf("%s: %d, stake %d, old-style %d\n", name, status, vaktest::Exists(p + ".orvlck"),
             vaktest::Exists(p + ".vakcdlck"));
    };
    step("get", vakGetEditLock(f.c_str(), nullptr, nullptr), f);
    char *msg = nullptr;
    int status = vakStealEditLock(f.c_str(), nullptr, &msg);
    printf("steal: %d %s\n", status, msg != nullptr ? msg : "");
    step("release", vakReleaseEditLock(f.c_str(), nullptr), f);
    step("get over a malformed stake", vakGetEditLock(planted.c_str(), nullptr, nullptr), planted);
    printf("get again: %d\n", vakGetEditLock(f.c_str(), nullptr, nullptr));
    free(msg);
    exit(0);
  });
  EXPECT_EQ(
      "get: 0, stake 1, old-style 1\n"
      "steal: 19 Stealing is not permitted in the Compatibility Mode\n"
      "release: 0, stake 0, old-style 0\n"
      "get over a malformed stake: 16, stake 1, old-style 0\n"
      "get again: 0\n",
      got.out);
  EXPECT_FALSE(vaktest::Exists(f + ".orvlck"));
  EXPECT_FALSE(vaktest::Exists(f + ".vakcdlck"));
}

// No descriptor of the library reaches a program that the process starts: not with locks held in
// either mode (the compatibility mode keeps a daemon's pipes open), nor after a sweep, a record
// lock or a release.
TEST_F(EditLockApiTest, NoDescriptorReachesAStartedProgram) {
  const std::string f = tmp_.Sub("f"), g = tmp_.Sub("g"), data = tmp_.Sub("data");
  vaktest::WriteFile(data, "x");
  for (int compat = 0; compat <= 1; ++compat) {
    SCOPED_TRACE(compat ? "compatibility mode" : "native mode");
    vaktest::ChildResult run = vaktest::RunInChild([&]() -> int {
      // What the test process had open is its own affair, not the library's.
      for (int fd = 3; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
      Start();
      if (vakInit(nullptr, 1, nullptr) != VAK_OK) return 90;
      if (compat) vakEnv->lockingMode = VAK_COMPAT_LOCKING;
      int fd = open(data.c_str(), O_RDWR | O_CLOEXEC);
      if (vakGetEditLock(f.c_str(), nullptr, nullptr) != VAK_OK ||
          vakGetEditLock(g.c_str(), nullptr, nullptr) != VAK_OK ||
          vakReleaseEditLock(g.c_str(), nullptr) != VAK_OK ||
          vakGetWriteLock_fd(fd, nullptr) != VAK_OK ||
          vakListEditLocksInDirHier(tmp_.path().c_str(), nullptr) != VAK_OK) {
        return 91;
      }
      // The shell's own descriptors, listed by a program of its own.
      fputs("descriptors:", stdout);
      fflush(stdout);
      return system("exec 2>/dev/null; cd /proc/$$/fd && ls -x; true");
    });
    EXPECT_EQ(0, run.exitStatus);
    const size_t at = run.out.find("descriptors:");
    ASSERT_NE(std::string::npos, at) << run.out;
    EXPECT_EQ("0  1  2\n", run.out.substr(at + 12));
  }
}

// The details of a file's lock, through each of the three calls that give them.
TEST_F(EditLockApiTest, DetailsOfALock) {
  const std::string locked = tmp_.Sub("locked"), link = tmp_.Sub("link"),
                    unlocked = tmp_.Sub("unlocked");
  vaktest::WriteFile(locked, "x");
  ASSERT_EQ(0, symlink("locked", link.c_str()));
  enum Call { kDetails, kDetailsNoFollow, kStakeDetails, kStakeDetailsNoRecord };
  const struct {
    const char *name;
    Call call;
    const std::string &path;
    int status;
    const char *message;  // nullptr: none stored
    bool withStakePath;   // the lock-stake file's path is given (vakLockStakeDetails)
  } cases[] = {
      {"locked file", kDetails, locked, VAK_OK, nullptr, false},
      {"through a link", kDetails, link, VAK_OK, nullptr, false},
      {"the link's own", kDetailsNoFollow, link, VAK_FILE_NOT_LOCKED,
       "There is no Edit Lock on the file.", false},
      {"unlocked file", kDetails, unlocked, VAK_FILE_NOT_LOCKED,
       "There is no Edit Lock on the file.", false},
      {"with the lock-stake path", kStakeDetails, link, VAK_OK, nullptr, true},
      {"lock-stake path of an unlocked file", kStakeDetails, unlocked, VAK_FILE_NOT_LOCKED,
       "There is no Edit Lock on the file.", false},
      {"no record to fill", kStakeDetailsNoRecord, locked, VAK_NOT_OK,
       "Internal error: a NULL lockStakeInfo has been passed.", false},
  };
  vaktest::ChildResult run = vaktest::RunInChild([&]() -> int {
    Start();
    if (vakGetEditLock(locked.c_str(), "reading", nullptr) != VAK_OK) return 90;
    const unsigned long me = static_cast<unsigned long>(getpid());
    for (const auto &c : cases) {
      LockStake *chain = nullptr;
      LockStakeInfo *info = nullptr;
      char *msg = nullptr;
      int status = c.call == kDetails ? vakGetEditLockDetails(c.path.c_str(), &chain, &msg)
                   : c.call == kDetailsNoFollow
                       ? vakGetEditLockDetailsEx(c.path.c_str(), &chain, 1, &msg)
                   : c.call == kStakeDetails ? vakLockStakeDetails(c.path.c_str(), &info, &msg)
                                             : vakLockStakeDetails(c.path.c_str(), nullptr, &msg);
      if (info != nullptr) chain = info->lockStake;
      // One line per case: what came back, then what the record says.
      printf("%s: %d %s", c.name, status, msg != nullptr ? msg : "-");
      if (chain != nullptr) {
        printf(" owner %s reason %s", chain->header->processId->processId == me ? "me" : "other",
               chain->trailer->reason);
      }
      if (info != nullptr) printf(" stake %s", info->lockStakeFilePath);
      printf("\n");
      if (info != nullptr) {
        vakFreeLockStakeInfo(info);
      } else {
        vakFreeLockStake(chain);
      }
      free(msg);
    }
    exit(0);
  });
  ASSERT_EQ(0, run.exitStatus) << run.err;
  std::string expected;
  for (const auto &c : cases) {
    expected += std::string(c.name) + ": " + std::to_string(c.status) + " " +
                (c.message != nullptr ? c.message : "-");
    if (c.status == VAK_OK) expected += " owner me reason reading";
    if (c.withStakePath) expected += " stake " + locked + ".orvlck";
    expected += "\n";
  }
  EXPECT_EQ(expected, run.out);
}

}  // namespace
