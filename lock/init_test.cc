#include "init.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "daemon_guard.h"
#include "orv.h"
#include "status.h"
#include "temp_dir.h"

namespace {

// The text that body returns in a forked child.
std::string InChild(const std::function<std::string()> &body) {
  return vaktest::RunInChild([&] { return fputs(body().c_str(), stdout) < 0 ? 1 : 0; }).out;
}

// Variable=value -> hard-links flag, connect time-out, host list ("#" count) or "null".
TEST(InitTest, EnvironmentSettings) {
  std::string many;
  for (int i = 1; i <= 150; ++i) many += "h" + std::to_string(i) + " ";
  const char *T = "VAK_VAKBD_CONNECT_TIMEOUT", *L = "VAK_LOCK_HARD_LINKS",
             *H = "VAK_DONT_QUERY_REMOTE_HOSTS";
  const std::pair<const char *, std::string> cases[] = {
      {T, "-"},     {T, "30"},  {T, "0"},    {T, "-5"}, {T, "abc"},
      {T, "12abc"}, {L, "yes"}, {L, "Yes"},  {L, "Y"},  {L, "TRUE"},
      {L, ""},      {H, ""},    {H, " \t "}, {H, many}, {H, "\talpha beta\tgamma "}};
  EXPECT_EQ(
      "0 -1 null|0 30 null|0 1 null|0 1 null|0 1 null|0 12 null|1 -1 null|1 -1 null|"
      "0 -1 null|0 -1 null|0 -1 null|0 -1 #0|0 -1 #0|0 -1 h1,h2,h3,h99,#99|"
      "0 -1 alpha,beta,gamma,#3|",
      InChild([&] {
        std::string text;
        for (const auto &c : cases) {
          for (const char *name : {T, L, H}) unsetenv(name);
          if (c.second != "-") setenv(c.first, c.second.c_str(), 1);
          if (vakInitEnvStructures(VAK_COMPAT_LOCKING, nullptr) != VAK_OK) return text;
          text += std::to_string(vakEnv->lockHardLinks) + " " +
                  std::to_string(vakEnv->bdConnectTimeout) + " ";
          if (vakEnv->lockingMode != 0 || vakEnv->recordLockPreTest != 0) text += "mode";
          int n = 0;
          for (char **h = vakEnv->dontQueryHosts; h != nullptr && *h != nullptr; ++h, ++n) {
            if (n < 3 || h[1] == nullptr) text += std::string(*h) + ",";
          }
          text += (vakEnv->dontQueryHosts ? "#" + std::to_string(n) : "null") + "|";
        }
        return text;
      }));
}

TEST(InitTest, OnceOnlyIdentity) {
  vaktest::DaemonGuard guard;
  for (const char *first : {static_cast<const char *>(nullptr), "editor"}) {
    EXPECT_EQ(std::string("1.1 lnx86 self 1 0 ") + (first ? first : "Unknown Application"),
              InChild([first] {
                // Without a name, an entry point of the library initialises it.
                int status = first != nullptr ? vakInit(first, 1, nullptr)
                                              : vakListAllMyEditLocks(nullptr, nullptr);
                if (status != VAK_OK || vakInit("second", 1, nullptr) != VAK_OK)
                  return std::string();
                const ProcessIdentity *id = vakInitInfo->processId;
                bool self = id->processId == uint64_t(getpid()) && *id->hostName != '\0' &&
                            vakInitInfo->loginName == std::string(getpwuid(getuid())->pw_name) &&
                            *vakInitInfo->creationTimeReadable != '\0' &&
                            llabs(id->creationTime - time(nullptr)) < 5;
                return std::string(vakInitInfo->lockStakeVersion) + " " + vakInitInfo->osType +
                       (self ? " self " : " other ") + std::to_string(vakInited) + " " +
                       std::to_string(vakEnv->lockingMode) + " " + vakInitInfo->appIdentifier;
              }));
  }
}

// A stand-in daemon in an install tree whose path needs quoting for the shell. The verdict: the
// launch status and message, whether it ran, and what initialisation reports on standard error.
TEST(InitTest, DaemonStartContract) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  const std::string bin = tmp.Sub("it's an install/tools/bin");
  vaktest::WriteFile(bin + "/orv_root", "");
  chmod((bin + "/orv_root").c_str(), 0755);
  for (int exitStatus : {0, 1, 2, 3, -1}) {  // -1: no daemon anywhere
    char *msg = nullptr;
    std::string text =
        exitStatus < 0 ? "Could not locate the vakbd binary. Please locate and execute it manually."
        : vakGetBdErrorMsg(exitStatus, &msg) ? msg
                                             : "";
    std::string want = std::to_string(exitStatus < 0 ? 19
                                      : exitStatus   ? 22
                                                     : 0) +
                       " " + text + (exitStatus < 0 ? " |" : " ran|") + text +
                       (text.empty() ? "" : "\n");
    vakReleaseErrorMsg(&msg);
    unlink((bin + "/vakbd").c_str());
    unlink(tmp.Sub("ran").c_str());
    if (exitStatus >= 0) {
      vaktest::WriteFile(bin + "/vakbd", "#!/bin/sh\n: >'" + tmp.Sub("ran") + "'\nexit " +
                                             std::to_string(exitStatus) + "\n");
      chmod((bin + "/vakbd").c_str(), 0755);
    }
    vaktest::ChildResult got = vaktest::RunInChild([&] {
      orvInitNonORVApp((bin + "/prog").c_str());
      setenv("PATH", tmp.path().c_str(), 1);
      int status = vakLaunchBooleanDaemon(&msg);
      printf("%d %s%s", status, msg ? msg : "", vaktest::Exists(tmp.Sub("ran")) ? " ran|" : " |");
      return vakInit("app", 1, nullptr);
    });
    EXPECT_EQ(want, got.out + got.err);
    EXPECT_EQ(0, got.exitStatus) << "a failed start never fails initialisation";
  }
}

}  // namespace
