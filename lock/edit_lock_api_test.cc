// The application operations and the held-lock registry, through real processes: what a process
// leaves behind when it exits is the point of the registry.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "registry.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

// A process that runs steps on command: the parent writes one byte per step to run, the child
// answers each with the step's status. Ends with exit(0) (exit handlers run) or SIGKILL.
class Actor {
 public:
  using Step = std::function<int()>;
  explicit Actor(std::vector<Step> steps) {
    if (pipe(toChild_) != 0 || pipe(fromChild_) != 0) ADD_FAILURE() << "pipe";
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      // Lets the library find the staged daemons through its install hierarchy.
      orvInitNonORVApp(VAK_STAGE_ROOT "/tools/bin/vak_unit_tests");
      for (const Step &step : steps) {
        char go;
        if (read(toChild_[0], &go, 1) != 1) _exit(1);
        unsigned char status = static_cast<unsigned char>(step());
        if (write(fromChild_[1], &status, 1) != 1) _exit(1);
      }
      char go;
      if (read(toChild_[0], &go, 1) != 1) _exit(1);
      exit(0);
    }
  }
  ~Actor() {
    if (pid_ > 0) Kill();
  }
  int Next() {
    char go = 'g';
    unsigned char status = 255;
    if (write(toChild_[1], &go, 1) != 1 || read(fromChild_[0], &status, 1) != 1) return -1;
    return status;
  }
  // Lets the child exit normally and returns its exit status.
  int Exit() {
    char go = 'x';
    int status = -1;
    if (write(toChild_[1], &go, 1) == 1) waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  int toChild_[2], fromChild_[2];
  pid_t pid_ = -1;
};

// Owner pid named by a lock-stake file, 0 when there is none.
uint64_t OwnerOf(const std::string &file) {
  std::string text = vaktest::ReadFile(file + ".orvlck");
  size_t at = text.find("\nProcessIdentifier");
  return at == std::string::npos ? 0 : strtoull(text.c_str() + at + 19, nullptr, 10);
}

int Expect(int status, int want, const char *what) {
  if (status != want) fprintf(stderr, "%s: %d, wanted %d\n", what, status, want);
  return status == want ? 0 : 1;
}

class EditLockApiTest : public ::testing::Test {
 protected:
  void SetUp() override { orvInitNonORVApp(VAK_STAGE_ROOT "/tools/bin/vak_unit_tests"); }
  std::string Stake(const std::string &file) { return file + ".orvlck"; }
  vaktest::DaemonGuard daemon_;
  vaktest::TempDir tmp_;
};

TEST_F(EditLockApiTest, ExitReleasesWhatTheProcessStillHolds) {
  const std::string a = tmp_.Sub("a"), b = tmp_.Sub("b");
  {
    // Two locks, one taken twice (one registry entry), released by the exit handler.
    Actor holder({[&] { return vakGetEditLock(a.c_str(), "first", nullptr); },
                  [&] { return vakGetEditLock(b.c_str(), nullptr, nullptr); },
                  [&] { return vakGetEditLock(a.c_str(), "again", nullptr); },
                  [&] {
                    // A child forked by the holder owns none of its locks, and its exit
                    // releases none of them.
                    pid_t child = fork();
                    if (child == 0) exit(vakReleaseEditLock(b.c_str(), nullptr));
                    int status = -1;
                    waitpid(child, &status, 0);
                    bool kept = OwnerOf(a) == static_cast<uint64_t>(getpid()) &&
                                OwnerOf(b) == static_cast<uint64_t>(getpid());
                    return kept && WIFEXITED(status) ? WEXITSTATUS(status) : 255;
                  }});
    EXPECT_EQ(VAK_OK, holder.Next());
    EXPECT_EQ(VAK_OK, holder.Next());
    EXPECT_EQ(VAK_OK, holder.Next());
    EXPECT_EQ(VAK_NOT_EDIT_LOCK_OWNER, holder.Next());
    EXPECT_EQ(static_cast<uint64_t>(holder.pid()), OwnerOf(a));
    EXPECT_EQ(0, holder.Exit());
  }
  EXPECT_FALSE(vaktest::Exists(Stake(a)));
  EXPECT_FALSE(vaktest::Exists(Stake(b)));

  // A lock stolen from the process is not released by its exit: the thief keeps it.
  Actor victim({[&] { return vakGetEditLock(a.c_str(), nullptr, nullptr); }});
  Actor thief({[&] { return vakStealEditLock(a.c_str(), "mine now", nullptr); }});
  ASSERT_EQ(VAK_OK, victim.Next());
  ASSERT_EQ(VAK_OK, thief.Next());
  EXPECT_EQ(0, victim.Exit());
  EXPECT_EQ(static_cast<uint64_t>(thief.pid()), OwnerOf(a));

  // A lock held by a live process is refused and not recorded.
  Actor latecomer({[&] {
    int status = vakGetEditLock(a.c_str(), nullptr, nullptr);
    return status == VAK_FILE_ALREADY_LOCKED && vakHashDeleteEntry(a.c_str()) == 0 ? 0 : 1;
  }});
  EXPECT_EQ(0, latecomer.Next());
}

// The registry keeps paths as given: releasing report.txt as ./report.txt removes the lock but
// leaves the entry, whose release at exit then finds no lock and succeeds.
TEST_F(EditLockApiTest, RegistryKeysArePathsAsGiven) {
  ASSERT_EQ(0, chdir(tmp_.path().c_str()));
  ASSERT_EQ(VAK_OK, vakGetEditLock("report.txt", nullptr, nullptr));
  EXPECT_EQ(VAK_OK, vakReleaseEditLock("./report.txt", nullptr));
  EXPECT_FALSE(vaktest::Exists(Stake("report.txt")));
  EXPECT_EQ(0, vakHashDeleteEntry("./report.txt"));
  EXPECT_EQ(1, vakHashAddEntry("report.txt"));  // still recorded: adding again changes nothing
  EXPECT_EQ(VAK_OK, vakReleaseAllMyEditLocks(nullptr));
  EXPECT_EQ(0, vakHashDeleteEntry("report.txt"));  // its release found no lock and succeeded

  EXPECT_EQ(VAK_OK, vakReleaseEditLock("never-locked", nullptr));
  EXPECT_EQ(0, vakHashAddEntry(""));
  EXPECT_EQ(0, vakHashDeleteEntry(nullptr));
  EXPECT_EQ(VAK_OK, vakListAllMyEditLocks(nullptr, nullptr));
}

// Compatibility mode against the real vakcompatd: the old-style lock excludes a second client
// before the Edit Lock is even tried, stealing is refused, and a release gives both back.
TEST_F(EditLockApiTest, CompatibilityModeTakesOldStyleLocksToo) {
  const std::string f = tmp_.Sub("f");
  auto compat = [] {
    vakInit(nullptr, 1, nullptr);
    vakEnv->lockingMode = VAK_COMPAT_LOCKING;
    return 0;
  };
  std::string refusal;
  Actor first({compat, [&] { return vakGetEditLock(f.c_str(), "old style", nullptr); },
               [&] { return vakReleaseEditLock(f.c_str(), nullptr); }});
  Actor second({compat,
                [&] {
                  char *msg = nullptr;
                  int status = vakGetEditLock(f.c_str(), nullptr, &msg);
                  int bad = Expect(status, VAK_FILE_ALREADY_LOCKED, "get while held") +
                            Expect(msg != nullptr && strstr(msg, "Requested lock") != nullptr, 1,
                                   "reason names the refusal");
                  free(msg);
                  msg = nullptr;
                  status = vakStealEditLock(f.c_str(), nullptr, &msg);
                  bad += Expect(status, VAK_NOT_OK, "steal") +
                         Expect(msg != nullptr && strcmp(msg,
                                                         "Stealing is not permitted in the "
                                                         "Compatibility Mode") == 0,
                                1, "steal message");
                  free(msg);
                  return bad;
                },
                [&] { return vakGetEditLock(f.c_str(), nullptr, nullptr); }});
  ASSERT_EQ(0, first.Next());
  ASSERT_EQ(0, second.Next());
  ASSERT_EQ(VAK_OK, first.Next());
  EXPECT_TRUE(vaktest::Exists(f + ".vakcdlck"));
  EXPECT_EQ(0, second.Next());
  EXPECT_EQ(VAK_OK, first.Next());  // release: Edit Lock and old-style lock
  EXPECT_FALSE(vaktest::Exists(Stake(f)));
  EXPECT_EQ(VAK_OK, second.Next());
  EXPECT_EQ(static_cast<uint64_t>(second.pid()), OwnerOf(f));
  EXPECT_EQ(0, first.Exit());
  EXPECT_EQ(0, second.Exit());  // its exit handler gives both locks back
  EXPECT_FALSE(vaktest::Exists(Stake(f)));
  EXPECT_FALSE(vaktest::Exists(f + ".vakcdlck"));
}

}  // namespace
