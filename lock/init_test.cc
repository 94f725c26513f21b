#include "init.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
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

std::string Describe(const VakEnvironment *env) {
  std::string text = "mode=" + std::to_string(env->lockingMode) +
                     " links=" + std::to_string(env->lockHardLinks) +
                     " pretest=" + std::to_string(env->recordLockPreTest) +
                     " timeout=" + std::to_string(env->bdConnectTimeout) + " hosts=";
  if (env->dontQueryHosts == nullptr) return text + "null";
  int count = 0;
  for (char **h = env->dontQueryHosts; *h != nullptr; ++h, ++count) {
    if (count < 3 || h[1] == nullptr) text += std::string("[") + *h + "]";
  }
  return text + "#" + std::to_string(count);
}

TEST(InitTest, EnvironmentSettings) {
  std::string many;
  for (int i = 1; i <= 150; ++i) many += "h" + std::to_string(i) + " ";
  const std::string plain = "mode=0 links=0 pretest=0 timeout=";
  struct Case {
    const char *name;
    std::string value;  // "<unset>": not set
    std::string want;
  } cases[] = {
      {"VAK_VAKBD_CONNECT_TIMEOUT", "<unset>", plain + "-1 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "30", plain + "30 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "0", plain + "1 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "-5", plain + "1 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "abc", plain + "1 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "12abc", plain + "12 hosts=null"},
      {"VAK_VAKBD_CONNECT_TIMEOUT", "99999999999", plain + "2147483647 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "yes", "mode=0 links=1 pretest=0 timeout=-1 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "Yes", "mode=0 links=1 pretest=0 timeout=-1 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "YES", "mode=0 links=1 pretest=0 timeout=-1 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "Y", plain + "-1 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "TRUE", plain + "-1 hosts=null"},
      {"VAK_LOCK_HARD_LINKS", "", plain + "-1 hosts=null"},
      {"VAK_DONT_QUERY_REMOTE_HOSTS", "alpha beta\tgamma",
       plain + "-1 hosts=[alpha][beta][gamma]#3"},
      {"VAK_DONT_QUERY_REMOTE_HOSTS", "", plain + "-1 hosts=#0"},
      {"VAK_DONT_QUERY_REMOTE_HOSTS", " \t ", plain + "-1 hosts=#0"},
      {"VAK_DONT_QUERY_REMOTE_HOSTS", "\tone ", plain + "-1 hosts=[one]#1"},
      {"VAK_DONT_QUERY_REMOTE_HOSTS", many, plain + "-1 hosts=[h1][h2][h3][h99]#99"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.want, vaktest::InChild([&c] {
                for (const char *name : {"VAK_VAKBD_CONNECT_TIMEOUT", "VAK_LOCK_HARD_LINKS",
                                         "VAK_DONT_QUERY_REMOTE_HOSTS"}) {
                  unsetenv(name);
                }
                if (c.value != "<unset>") setenv(c.name, c.value.c_str(), 1);
                int status = vakInitEnvStructures(VAK_COMPAT_LOCKING, nullptr);
                return status != VAK_OK ? std::to_string(status) : Describe(vakEnv);
              }))
        << c.name << "=" << c.value;
  }
}

TEST(InitTest, OnceOnlyIdentity) {
  vaktest::DaemonGuard guard;
  struct Case {
    const char *firstApp;  // nullptr: an entry point initialises the library
    std::string want;
  } cases[] = {
      {nullptr, "app=Unknown Application version=1.1 os=lnx86 self inited=1 mode=0"},
      {"editor", "app=editor version=1.1 os=lnx86 self inited=1 mode=0"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.want, vaktest::InChild([&c] {
                int first = c.firstApp != nullptr ? vakInit(c.firstApp, 1, nullptr)
                                                  : vakListAllMyEditLocks(nullptr, nullptr);
                if (first != VAK_OK || vakInit("second", 1, nullptr) != VAK_OK) return std::string("failed");
                const LockStakeHeader *me = vakInitInfo;
                const ProcessIdentity *id = me->processId;
                bool self = id->processId == uint64_t(getpid()) &&
                            std::string(me->loginName) == getpwuid(getuid())->pw_name &&
                            *id->hostName != '\0' && *me->creationTimeReadable != '\0' &&
                            llabs(id->creationTime - time(nullptr)) < 5;
                return std::string("app=") + me->appIdentifier +
                       " version=" + me->lockStakeVersion + " os=" + me->osType +
                       (self ? " self" : " other") + " inited=" + std::to_string(vakInited) +
                       " mode=" + std::to_string(vakEnv->lockingMode);
              }));
  }
}

// A stand-in daemon in an install tree whose path needs quoting for the shell.
TEST(InitTest, DaemonStartContract) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  const std::string bin = tmp.Sub("it's an install/tools/bin");
  vaktest::WriteFile(bin + "/orv_root", "");
  chmod((bin + "/orv_root").c_str(), 0755);
  mkdir(tmp.Sub("empty").c_str(), 0755);
  const std::string notFound =
      "19 Could not locate the vakbd binary. Please locate and execute it manually.";
  struct Case {
    int exitStatus;  // -1: no stand-in
    std::string want;
  } cases[] = {
      {0, "0 <none> ran|"},
      {1,
       "22 The vakbd had a problem initializing.\n ran|The vakbd had a problem initializing.\n\n"},
      {2,
       "22 The vakbd could no initialize the socket interface.\n ran|"
       "The vakbd could no initialize the socket interface.\n\n"},
      {3, "22 The vakbd could not open the default portnumber.\n"},
      {-1, notFound + " |" + notFound.substr(3) + "\n"},
  };
  for (const Case &c : cases) {
    unlink((bin + "/vakbd").c_str());
    unlink(tmp.Sub("ran").c_str());
    if (c.exitStatus >= 0) {
      vaktest::WriteFile(bin + "/vakbd", "#!/bin/sh\n: > \"" + tmp.Sub("ran") + "\"\nexit " +
                                             std::to_string(c.exitStatus) + "\n");
      chmod((bin + "/vakbd").c_str(), 0755);
    }
    std::string got = vaktest::InChild([&] {
      orvInitNonORVApp((bin + "/prog").c_str());
      setenv("PATH", tmp.Sub("empty").c_str(), 1);
      char *msg = nullptr;
      int status = vakLaunchBooleanDaemon(&msg);
      std::string verdict = std::to_string(status) + " " + (msg != nullptr ? msg : "<none>") +
                            (vaktest::Exists(tmp.Sub("ran")) ? " ran|" : " |");
      vakReleaseErrorMsg(&msg);
      int err = open(tmp.Sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      if (vakInit("app", 1, nullptr) != VAK_OK) return verdict + "init failed";
      return verdict + vaktest::ReadFile(tmp.Sub("err"));
    });
    EXPECT_EQ(c.want, got.substr(0, c.want.size())) << got;
  }
}

}  // namespace
