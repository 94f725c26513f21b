// Runs the C-compiled API client: the public headers must stay callable from C.
#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

TEST(CApiTest, TakesConfirmsAndReleasesFromC) {
  vaktest::DaemonGuard daemon;
  vaktest::TempDir dir;
  vaktest::RunResult r = vaktest::RunProgram({VAK_BINARY_DIR "/tests/c_api_client", dir.path()});
  EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
  EXPECT_FALSE(vaktest::Exists(dir.Sub("report.txt.orvlck")));
}

}  // namespace
