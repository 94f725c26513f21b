// The application operations and the held-lock registry, through real processes: what a process
// leaves behind when it exits is the point of the registry.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "daemon_guard.h"
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
    // A child owns none of its parent's locks, and its exit releases none of them.
    int refused = vaktest::RunInChild([&]() -> int {
                    exit(vakReleaseEditLock(a.c_str(), nullptr));
                  }).exitStatus;
    bool kept = OwnerOf(a) == me && OwnerOf(b) == me;
    // A thief that ends without running its exit handlers leaves b stolen.
    vaktest::ChildResult thief = vaktest::RunInChild([&] {
      printf("%d", getpid());
      return vakStealEditLock(b.c_str(), "mine now", nullptr);
    });
    printf("%d %d %d %s", refused, kept, thief.exitStatus, thief.out.c_str());
    exit(0);
  });
  EXPECT_EQ(0, holder.exitStatus);
  ASSERT_EQ(0u, holder.out.rfind("15 1 0 ", 0)) << holder.out;
  EXPECT_FALSE(vaktest::Exists(a + ".orvlck"));
  EXPECT_EQ(strtoull(holder.out.c_str() + 7, nullptr, 10), OwnerOf(b)) << "stolen, not released";
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
    auto held = [](const std::string &p) {
      return std::to_string(vaktest::Exists(p + ".orvlck")) +
             std::to_string(vaktest::Exists(p + ".vakcdlck"));
    };
    // Each step's status, then whether the lock-stake file and the old-style lock exist.
    int status = vakGetEditLock(f.c_str(), nullptr, nullptr);
    printf("%d%s ", status, held(f).c_str());
    char *msg = nullptr;
    status = vakStealEditLock(f.c_str(), nullptr, &msg);
    printf("%d %s ", status, msg != nullptr ? msg : "");
    status = vakReleaseEditLock(f.c_str(), nullptr);
    printf("%d%s ", status, held(f).c_str());
    status = vakGetEditLock(planted.c_str(), nullptr, nullptr);
    printf("%d%s %d", status, held(planted).c_str(), vakGetEditLock(f.c_str(), nullptr, nullptr));
    free(msg);
    exit(0);
  });
  EXPECT_EQ("011 19 Stealing is not permitted in the Compatibility Mode 000 1610 0", got.out);
  EXPECT_FALSE(vaktest::Exists(f + ".orvlck"));
  EXPECT_FALSE(vaktest::Exists(f + ".vakcdlck"));
}

}  // namespace
