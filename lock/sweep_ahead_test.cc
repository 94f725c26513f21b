// The sweep with read-ahead against the plain walk: the same report, visits, side effects and
// progress, whatever the number of workers, with every worker gone when the call returns.
#include "sweep_ahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "init.h"
#include "testdata/planted_stake.h"
#include "status.h"
#include "sweep.h"
#include "temp_dir.h"

namespace {

// A tree with every kind of entry the walk treats apart, nested, and a directory bigger than a
// read-ahead chunk.
void BuildTree(const std::string &root) {
  const uint64_t live = static_cast<uint64_t>(getppid());
  for (const char *dir : {"a/b/c", "a/empty", "big", "d"}) {
    vaktest::WriteFile(root + "/" + dir + "/plain", "x");
  }
  for (int i = 0; i < 700; ++i) {
    const std::string f = root + "/big/f" + std::to_string(i);
    vaktest::WriteFile(f, "x");
    if (i % 97 == 0) vaktest::PlantStake(f + ".orvlck", i % 2 == 0 ? live : vaktest::kDeadPid);
  }
  vaktest::WriteFile(root + "/a/live", "x");
  vaktest::PlantStake(root + "/a/live.orvlck", live);
  vaktest::WriteFile(root + "/a/b/dead", "x");
  vaktest::PlantStake(root + "/a/b/dead.orvlck", vaktest::kDeadPid);
  vaktest::PlantStake(root + "/a/b/c/gone.orvlck", live);  // no locked file
  vaktest::WriteFile(root + "/a/b/c/bad", "x");
  vaktest::WriteFile(root + "/a/b/c/bad.orvlck", "not a lock stake\n");
  vaktest::WriteFile(root + "/d/target", "x");
  ASSERT_EQ(0, symlink("target", (root + "/d/link").c_str()));
  vaktest::PlantStake(root + "/d/link.orvlck", live);  // beside a link: deleted silently
  ASSERT_EQ(0, symlink("../a", (root + "/d/dirlink").c_str()));
  vaktest::PlantStake(root + "/d/dirlink.orvlck", live);
  vaktest::WriteFile(root + "/d/h1", "x");
  ASSERT_EQ(0, link((root + "/d/h1").c_str(), (root + "/d/h2").c_str()));
  vaktest::PlantStake(root + "/d/h1.orvlck", live);
  ASSERT_EQ(0, mkdir((root + "/d/sub.orvlck").c_str(), 0755));  // a directory by a stake's name
  vaktest::PlantStake(root + "/d/sub.orvlck/in.orvlck", live);
  vaktest::WriteFile(root + "/d/x", "x");
  vaktest::PlantStake(root + "/d/x.orvlck.dirlock", vaktest::kDeadPid);
  vaktest::PlantStake(root + "/d/x.orvlck.4194305", vaktest::kDeadPid);
  ASSERT_EQ(0, mkfifo((root + "/d/fifo.orvlck").c_str(), 0644));
}

// Every path below root, sorted: what a walk left.
void ListTree(const std::string &dir, std::vector<std::string> *paths) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    paths->push_back(dir + "/" + name);
    if (e->d_type == DT_DIR) ListTree(dir + "/" + name, paths);
  }
  closedir(d);
  std::sort(paths->begin(), paths->end());
}

// What standard output and standard error received while run ran.
template <typename Run>
std::string Captured(const std::string &file, Run run) {
  fflush(stdout);
  fflush(stderr);
  const int saved[2] = {dup(1), dup(2)};
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  dup2(fd, 1);
  dup2(fd, 2);
  run();
  fflush(stdout);
  fflush(stderr);
  dup2(saved[0], 1);
  dup2(saved[1], 2);
  for (int f : {saved[0], saved[1], fd}) close(f);
  return vaktest::ReadFile(file);
}

size_t Threads() {
  size_t count = 0;
  DIR *d = opendir("/proc/self/task");
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) count += e->d_name[0] != '.';
  if (d != nullptr) closedir(d);
  return count;
}

struct Visits {
  std::string text;
  int stopAfter = -1;  // visits before the visitor ends the walk
  bool fork = false;
  VakSweepProgress last = {};
};

int Record(const char *path, int status, const LockStake *owners, const char *msg, void *ctx) {
  Visits *v = static_cast<Visits *>(ctx);
  v->text += std::string(path) + " " + std::to_string(status) + " " +
             (owners != nullptr ? std::to_string(owners->header->processId->processId)
                                : std::string(msg != nullptr ? msg : "-")) +
             "\n";
  if (v->fork) {
    // The child of a walk forked from a visitor leaves at once, as a forked helper would.
    pid_t child = fork();
    if (child == 0) _exit(std::getenv("PATH") != nullptr ? 0 : 1);
    int st = 0;
    waitpid(child, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) v->text += "child failed\n";
  }
  return --v->stopAfter == 0 ? 1 : 0;
}

void Progress(const VakSweepProgress *p, void *ctx) {
  static_cast<Visits *>(ctx)->last = *p;
}

class SweepAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VAK_OK, vakInit("sweep-ahead-test", vakDefaultLockingMode, nullptr));
    vakInited = 1;
    vakInitInfo->processId->processId = static_cast<uint64_t>(getpid());
    root_ = tmp_.Sub("t");
  }
  void TearDown() override { unsetenv("VAK_SWEEP_WORKERS"); }
  // The visitor walk of the tree with the workers given, into visits.
  int Visit(int workers, Visits *visits, int oneFileSystem = 0) {
    VakVisitOptions options = {oneFileSystem, workers, Progress, visits};
    char *msg = nullptr;
    int status = vak::VisitHierarchy(root_.c_str(), &options, Record, visits, &msg);
    vakReleaseErrorMsg(&msg);
    return status;
  }
  vaktest::DaemonGuard guard_;
  vaktest::TempDir tmp_;
  std::string root_;
};

// Each report, printed and with its side effects, is the plain walk's whatever the workers.
TEST_F(SweepAheadTest, ReportsAndSideEffectsMatchThePlainWalk) {
  ProcessIdentity filter = *vakInitInfo->processId;
  filter.processId = 0;
  const struct {
    const char *what;
    vak::Report report;
    unsigned int action;
    vak::Owners owners;
  } cases[] = {
      {"list", vak::Report::kList, GET_DETAILS, vak::Owners::kAll},
      {"list by host", vak::Report::kList, GET_DETAILS, vak::Owners::kByOwner},
      {"force release", vak::Report::kRelease, FORCE_RELEASE_LOCK, vak::Owners::kAll},
      {"release dead", vak::Report::kRelease, RELEASE_DEAD_LOCK, vak::Owners::kAll},
      {"bad action", vak::Report::kRelease, 99, vak::Owners::kAll},
  };
  for (const auto &c : cases) {
    std::string expected, expectedTree;
    for (const char *workers : {"1", "2", "16"}) {
      SCOPED_TRACE(std::string(c.what) + ", workers " + workers);
      vaktest::RemoveTree(root_);
      BuildTree(root_);
      setenv("VAK_SWEEP_WORKERS", workers, 1);
      const std::string out = Captured(tmp_.Sub("out"), [&] {
        char *msg = nullptr;
        vak::SweepReport(c.report, root_.c_str(), c.action, c.owners, &filter, &msg);
        vakReleaseErrorMsg(&msg);
      });
      std::vector<std::string> left;
      ListTree(root_, &left);
      std::string tree;  // what a walk may change: lock-stake names and their leftovers
      for (const std::string &p : left) {
        if (p.find(".orvlck") != std::string::npos) tree += p.substr(root_.size()) + "\n";
      }
      if (expected.empty()) {
        expected = out;
        expectedTree = tree;
        EXPECT_NE(std::string::npos, out.find("SUMMARY")) << out;
      } else {
        EXPECT_EQ(expected, out);
        EXPECT_EQ(expectedTree, tree);
      }
    }
  }
}

// The visits, where the visitor stops, the progress counts, and a fork from the visitor: all as
// the plain walk has them, and no worker left behind.
TEST_F(SweepAheadTest, VisitsStopsForksAndProgressMatchThePlainWalk) {
  const size_t threadsBefore = Threads();
  const struct {
    const char *what;
    int stopAfter;
    bool fork;
  } cases[] = {{"whole walk", -1, false}, {"stop at once", 1, false},
               {"stop midway", 9, false}, {"fork in the visitor", -1, true}};
  for (const auto &c : cases) {
    Visits plain;
    for (int workers : {1, 2, 16}) {
      SCOPED_TRACE(std::string(c.what) + ", workers " + std::to_string(workers));
      vaktest::RemoveTree(root_);
      BuildTree(root_);
      Visits v;
      v.stopAfter = c.stopAfter;
      v.fork = c.fork;
      EXPECT_EQ(VAK_OK, Visit(workers, &v));
      EXPECT_EQ(threadsBefore, Threads());
      EXPECT_EQ(std::string::npos, v.text.find("child failed"));
      if (workers == 1) {
        plain = v;
        continue;
      }
      EXPECT_EQ(plain.text, v.text);
      EXPECT_EQ(plain.last.directories, v.last.directories);
      EXPECT_EQ(plain.last.entries, v.last.entries);
      EXPECT_EQ(plain.last.locks, v.last.locks);
    }
    if (c.stopAfter < 0) {
      EXPECT_EQ(7ul, plain.last.directories);  // root, a, a/b, a/b/c, a/empty, big, d
      EXPECT_EQ(static_cast<unsigned long>(std::count(plain.text.begin(), plain.text.end(), '\n')),
                plain.last.locks);
    }
  }
}

// A file system mounted inside the tree is skipped with oneFileSystem, walked without. Mounting
// needs root and a private mount namespace, so it runs in a child.
TEST_F(SweepAheadTest, OneFileSystemSkipsAMountInsideTheTree) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: mounting a tmpfs needs root";
  vaktest::RemoveTree(root_);
  BuildTree(root_);
  ASSERT_EQ(0, mkdir((root_ + "/mnt").c_str(), 0755));
  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", (root_ + "/mnt").c_str(), "tmpfs", 0, nullptr) != 0) {
      _exit(77);
    }
    vaktest::PlantStake(root_ + "/mnt/inside.orvlck", vaktest::kDeadPid);
    int failures = 0;
    for (int workers : {1, 4}) {
      for (int one : {0, 1}) {
        Visits v;
        Visit(workers, &v, one);
        const bool seen = v.text.find("/mnt/inside ") != std::string::npos;
        const bool others = v.text.find("/a/live ") != std::string::npos;
        if (seen != (one == 0) || !others) ++failures;
      }
    }
    umount2((root_ + "/mnt").c_str(), MNT_DETACH);
    _exit(failures);
  }
  int st = 0;
  ASSERT_EQ(child, waitpid(child, &st, 0));
  ASSERT_TRUE(WIFEXITED(st));
  if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "SKIPPED LOUDLY: no private mount namespace here";
  EXPECT_EQ(0, WEXITSTATUS(st));
}

// The choice of workers: asked, from the environment, and bounded.
TEST_F(SweepAheadTest, WorkerCountIsAskedOrFromTheEnvironmentAndBounded) {
  const struct {
    int requested;
    const char *env;
    int expected;
  } cases[] = {{3, "9", 3},  {0, "9", 9},   {0, "0", 1},  {0, "1", 1},
               {0, "999", vak::kMaxSweepWorkers},          {99, nullptr, vak::kMaxSweepWorkers},
               {0, nullptr, 1} /* a local file system: the plain walk */};
  const int fd = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.requested) + " " + (c.env != nullptr ? c.env : "unset"));
    if (c.env != nullptr) {
      setenv("VAK_SWEEP_WORKERS", c.env, 1);
    } else {
      unsetenv("VAK_SWEEP_WORKERS");
    }
    EXPECT_EQ(c.expected, vak::SweepWorkers(c.requested, fd));
  }
  close(fd);
}

}  // namespace
