#include "init.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "daemon_guard.h"
#include "orv.h"
#include "temp_dir.h"

namespace {

// Variable=value -> hard-links flag, connect time-out, host list ("#" count) or "null".
TEST(InitTest, EnvironmentSettings) {
  std::string many;
  for (int i = 1; i <= 150; ++i) many += "h" + std::to_string(i) + " ";
  const char *T = "VAK_VAKBD_CONNECT_TIMEOUT", *L = "VAK_LOCK_HARD_LINKS",
             *H = "VAK_DONT_QUERY_REMOTE_HOSTS";
  const std::pair<const char *, std::string> cases[] = {
      {T, "-"},   {T, "30"}, {T, "0"}, {T, "-5"},   {T, "12abc"}, {T, "99999999999"},
      {L, "Yes"}, {L, "Y"},  {H, ""},  {H, " \t "}, {H, many},    {H, "\talpha beta\tgamma "}};
  vaktest::ChildResult got = vaktest::RunInChild([&] {
    for (const auto &c : cases) {
      for (const char *name : {T, L, H}) unsetenv(name);
      if (c.second != "-") setenv(c.first, c.second.c_str(), 1);
      if (vakInitEnvStructures(VAK_COMPAT_LOCKING, nullptr) != VAK_OK) return 1;
      printf("%d %d %s", vakEnv->lockHardLinks, vakEnv->bdConnectTimeout,
             vakEnv->lockingMode != VAK_NATIVE_LOCKING ? "compat " : "");
      int n = 0;
      for (char **h = vakEnv->dontQueryHosts; h != nullptr && *h != nullptr; ++h, ++n) {
        if (n < 3 || h[1] == nullptr) printf("%s,", *h);
      }
      printf("%s|", vakEnv->dontQueryHosts ? ("#" + std::to_string(n)).c_str() : "null");
    }
    return 0;
  });
  EXPECT_EQ(
      "0 -1 null|0 30 null|0 1 null|0 1 null|0 12 null|0 2147483647 null|1 -1 null|0 -1 null|"
      "0 -1 #0|0 -1 #0|0 -1 h1,h2,h3,h99,#99|0 -1 alpha,beta,gamma,#3|",
      got.out);
}

// A stand-in daemon in an install tree whose path needs quoting for the shell. A failed start is
// reported on standard error and never fails initialisation.
TEST(InitTest, DaemonStartReportsWithoutFailingInitialisation) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  const std::string bin = tmp.Sub("it's an install/tools/bin"), ran = tmp.Sub("ran");
  vaktest::WriteFile(bin + "/orv_root", "");
  chmod((bin + "/orv_root").c_str(), 0755);
  const struct {
    int exitStatus;    // -1: no daemon anywhere
    std::string text;  // reported on standard error
  } cases[] = {
      {0, ""},
      {3,
       "The vakbd could not open the default portnumber.\nYou may need to change the default "
       "portnumber by\nsetting the VAK_PORTNUM environment variable.\n\n"},
      {7, ""},
      {-1, "Could not locate the vakbd binary. Please locate and execute it manually.\n"},
  };
  for (const auto &c : cases) {
    unlink((bin + "/vakbd").c_str());
    unlink(ran.c_str());
    if (c.exitStatus >= 0) {
      vaktest::WriteFile(bin + "/vakbd", "#!/bin/sh\n: >'" + ran + "'\nexit " +
                                             std::to_string(c.exitStatus) + "\n");
      chmod((bin + "/vakbd").c_str(), 0755);
    }
    vaktest::ChildResult got = vaktest::RunInChild([&] {
      orvInitNonORVApp((bin + "/prog").c_str());
      setenv("PATH", tmp.path().c_str(), 1);
      return vakInit("app", 1, nullptr);
    });
    EXPECT_EQ(0, got.exitStatus);
    EXPECT_EQ(c.text, got.err);
    EXPECT_EQ(c.exitStatus >= 0, vaktest::Exists(ran)) << c.exitStatus;
  }
}

}  // namespace
