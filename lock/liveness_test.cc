#include "liveness.h"

#include <ctype.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "bd_client.h"
#include "child_process.h"
#include "daemon_guard.h"
#include "fake_vakbd.h"
#include "init.h"
#include "status.h"

namespace {

using vaktest::FakeStep;

pid_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST(LivenessTest, StrCaseStr) {
  const char *text = "build7.Example.COM";
  struct Case {
    const char *text;
    const char *fragment;
    int wantAt;  // -1: no match
  } cases[] = {
      {text, "example.com", 7}, {text, "BUILD", 0}, {text, "com", 15},  {text, "", 0},
      {text, "comx", -1},       {"", "", -1},       {nullptr, "a", -1}, {text, nullptr, -1},
  };
  for (const Case &c : cases) {
    const char *at = vakStrCaseStr(c.text, c.fragment);
    EXPECT_EQ(c.wantAt, at == nullptr ? -1 : int(at - c.text)) << c.fragment;
  }
}

TEST(LivenessTest, LocalProbe) {
  struct Case {
    uint64_t pid;
    int want;
  } cases[] = {
      {uint64_t(getpid()), VAK_PROC_ALIVE},
      {uint64_t(DeadPid()), VAK_PROC_NOT_ALIVE},
      {0, VAK_PROC_NOT_ALIVE},               // would probe the own process group
      {0xFFFFFFFFull, VAK_PROC_NOT_ALIVE},   // would turn into -1: every process
      {0x1FFFFFFFFull, VAK_PROC_NOT_ALIVE},  // beyond pid_t
  };
  for (const Case &c : cases) EXPECT_EQ(c.want, vakGetProcessStatus(c.pid, 0)) << c.pid;
  // A process of another user is alive: the probe fails with EPERM.
  EXPECT_EQ(std::to_string(VAK_PROC_ALIVE), vaktest::InChild([] {
              pid_t root = getppid();
              if (getuid() != 0 || setuid(65534) != 0) return std::string("needs root");
              return std::to_string(vakGetProcessStatus(uint64_t(root), 0));
            }));
}

TEST(LivenessTest, Decision) {
  vaktest::DaemonGuard guard;
  const FakeStep hello = {FakeStep::kSend, "VakBoolVersion 1"};
  const FakeStep request = {FakeStep::kReadRequest, ""};
  const char *const kOwn = "<own>", *const kOwnUpper = "<OWN>";
  const char *const kUnset = "<unset>";
  const std::string badReply =
      "vak: Could not recognize response from Boolean Daemon to ProcAlive message.";
  struct Case {
    const char *host;
    bool dead;
    const char *dontQuery;
    const char *reply;  // nullptr: the daemon closes without one
    std::string want;   // status, process status, message
    int questions;      // connections the daemon must have served
  } cases[] = {
      {kOwn, false, kUnset, "Alive", "0 0 <none>", 0},
      {kOwn, true, kUnset, "Alive", "0 2 <none>", 0},
      {kOwn, false, kOwn, "NotAlive", "0 0 <none>", 0},
      {kOwnUpper, false, kUnset, "NotAlive", "0 2 <none>", 1},
      {"127.0.0.1", false, "", "Alive", "0 1 <none>", 0},
      {"127.0.0.1", false, " \t", "Alive", "0 1 <none>", 0},
      {"LOCALHOST", false, "elsewhere calh", "Alive", "0 1 <none>", 0},
      {"127.0.0.1", false, "elsewhere", "NotAlive", "0 2 <none>", 1},
      {"127.0.0.1", true, kUnset, "Alive", "0 0 <none>", 1},
      {"127.0.0.1", false, kUnset, "ProcAlive", "20 -1 " + badReply, 1},
      {"127.0.0.1", false, kUnset, "LogInfo x", "20 -1 " + badReply, 1},
      {"127.0.0.1", false, kUnset, nullptr, "18 -1 " + std::string(strerror(ECONNRESET)), 1},
  };
  for (const Case &c : cases) {
    std::vector<FakeStep> script = {hello, request};
    if (c.reply != nullptr) script.push_back({FakeStep::kSend, c.reply});
    vaktest::FakeVakbd fake(script);
    const pid_t pid = c.dead ? DeadPid() : getpid();
    std::string got = vaktest::InChild([&] {
      if (c.dontQuery != kUnset) setenv("VAK_DONT_QUERY_REMOTE_HOSTS", c.dontQuery, 1);
      if (vakInit("test", 1, nullptr) != VAK_OK) return std::string("init failed");
      std::string own = vakInitInfo->processId->hostName, upper = own;
      for (char &ch : upper) ch = char(toupper(static_cast<unsigned char>(ch)));
      if (c.dontQuery == kOwn) setenv("VAK_DONT_QUERY_REMOTE_HOSTS", own.c_str(), 1);
      vakInitEnvStructures(0, nullptr);  // with the own host name known
      vakBdInit();
      vakBdPort = fake.port();
      std::string host = c.host == kOwn ? own : c.host == kOwnUpper ? upper : c.host;
      ProcessIdentity owner = {&host[0], uint64_t(pid), -7};
      int procStatus = -1;
      char *msg = nullptr;
      int status = vakIsProcessAlive(&owner, &procStatus, &msg);
      std::string verdict = std::to_string(status) + " " + std::to_string(procStatus) + " " +
                            (msg != nullptr ? msg : "<none>");
      vakReleaseErrorMsg(&msg);
      return verdict;
    });
    EXPECT_EQ(c.want, got) << c.host << " / " << c.dontQuery;
    std::vector<std::string> asked(c.questions, "ProcAlive " + std::to_string(pid) + " -7");
    EXPECT_EQ(asked, fake.Requests(c.questions)) << c.host << " / " << c.dontQuery;
  }
}

}  // namespace
