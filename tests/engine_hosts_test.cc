// An Edit Lock held on one host, seen from another host that shares the file system.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "temp_dir.h"
#include "test_host.h"
#include "vak.h"

namespace {

TEST(EngineHostsTest, RefusedWhileTheRemoteOwnerLivesTakenOverAfterItDies) {
  vaktest::TestHosts hosts({"hosta.test", "hostb.test"}, vaktest::FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);  // inherited by both hosts
  vaktest::TempDir tmp;
  const std::string file = tmp.Sub("f"), stake = file + ".orvlck";
  vaktest::WriteFile(file, "x");
  const pid_t owner =
      hosts.Start(0, {std::string(VAK_BINARY_DIR) + "/examples/vak-editor", "--hold", "60", file});
  ASSERT_GT(owner, 0);
  for (int i = 0; i < 250 && vaktest::ReadFile(stake).find("hosta.test") == std::string::npos;
       ++i) {
    usleep(20 * 1000);
  }
  ASSERT_NE(vaktest::ReadFile(stake).find("hosta.test"), std::string::npos);
  auto getOnB = [&] {
    std::string status;
    hosts.Call(
        1,
        [&] {
          vakInit("hosts-test", vakDefaultLockingMode, nullptr);
          return std::to_string(vakEditLockControl(file.c_str(), "", GET_LOCK, 0, 0, 0, 0));
        },
        &status);
    return status;
  };
  EXPECT_EQ(std::to_string(VAK_FILE_ALREADY_LOCKED), getOnB()) << "asked host A's daemon: alive";
  hosts.Kill(owner);
  EXPECT_EQ(std::to_string(VAK_OK), getOnB()) << "asked host A's daemon: not alive";
  const std::string text = vaktest::ReadFile(stake);
  EXPECT_NE(text.find("hostb.test"), std::string::npos) << text;
  EXPECT_EQ(text.find("hosta.test"), std::string::npos) << "a take-over starts a fresh history";
}

}  // namespace
