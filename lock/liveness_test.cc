#include "liveness.h"

#include <ctype.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "bd_client.h"
#include "child_process.h"
#include "daemon_guard.h"
#include "fake_vakbd.h"
#include "init.h"
#include "orv.h"
#include "run_program.h"
#include "status.h"

namespace {

// The text that body returns in a forked child.
std::string InChild(const std::function<std::string()> &body) {
  return vaktest::RunInChild([&] { return fputs(body().c_str(), stdout) < 0 ? 1 : 0; }).out;
}

uint64_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return uint64_t(pid);
}

// Fragment -> match position in the text, or -1.
TEST(LivenessTest, StrCaseStr) {
  const char *text = "build7.Example.COM";
  std::string got;
  for (const char *fragment :
       {"example.com", "com", "", "comx", static_cast<const char *>(nullptr)}) {
    const char *at = vakStrCaseStr(text, fragment);
    got += std::to_string(at ? at - text : -1) + " ";
  }
  EXPECT_EQ("7 15 0 -1 -1 ", got);
  EXPECT_EQ(nullptr, vakStrCaseStr("", ""));
  EXPECT_EQ(nullptr, vakStrCaseStr(nullptr, ""));
}

TEST(LivenessTest, LocalProbe) {
  // 0 would probe the own process group; 2^32-1 would turn into -1, every process.
  const uint64_t pids[] = {uint64_t(getpid()), DeadPid(), 0, 0xFFFFFFFFull};
  const int want[] = {VAK_PROC_ALIVE, VAK_PROC_NOT_ALIVE, VAK_PROC_NOT_ALIVE, VAK_PROC_NOT_ALIVE};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(want[i], vakGetProcessStatus(pids[i], 0)) << pids[i];
  EXPECT_EQ("0", InChild([] {  // another user's process: EPERM, alive
              pid_t root = getppid();
              if (getuid() != 0 || setuid(65534) != 0) return std::string("needs root");
              return std::to_string(vakGetProcessStatus(uint64_t(root), 0));
            }));
}

// Every question is put twice, each time on a connection of its own with its own greeting. Rows
// with reply nullptr ask the real daemon that initialisation starts from the staged install.
TEST(LivenessTest, Decision) {
  vaktest::DaemonGuard guard;
  const std::string own = "<own>", upper = "<OWN>", unset = "<unset>";
  enum Who { kSelf, kDead, kOtherUser };
  struct Case {
    std::string host, dontQuery;
    Who who;
    const char *reply;
    std::string want;  // status, process status, message
    bool asked;        // whether the fake daemon must have been asked
  } cases[] = {
      {own, unset, kSelf, "NotAlive", "0 0 ", false},
      {own, unset, kDead, "Alive", "0 2 ", false},
      {own, own, kSelf, "NotAlive", "0 0 ", false},
      {upper, unset, kSelf, "NotAlive", "0 2 ", true},
      {"127.0.0.1", " ", kSelf, "Alive", "0 1 ", false},
      {"LOCALHOST", "elsewhere calh", kSelf, "Alive", "0 1 ", false},
      {"127.0.0.1", "elsewhere", kSelf, "Alive", "0 0 ", true},
      {"127.0.0.1", unset, kSelf, "LogInfo x",
       "20 -1 vak: Could not recognize response from Boolean Daemon to ProcAlive message.", true},
      {"127.0.0.1", unset, kSelf, nullptr, "0 0 ", false},
      {"127.0.0.1", unset, kDead, nullptr, "0 2 ", false},
      {"127.0.0.1", unset, kOtherUser, nullptr, "0 0 ", false},
  };
  for (const Case &c : cases) {
    vaktest::FakeVakbd fake({"VakBoolVersion 1", "<read>", c.reply ? c.reply : ""});
    pid_t other = c.who == kOtherUser ? fork() : -1;
    if (other == 0 && setuid(65534) == 0) pause();
    if (other == 0) _exit(1);
    usleep(c.who == kOtherUser ? 100000 : 0);  // until the child has dropped its rights
    const uint64_t pid = c.who == kDead ? DeadPid() : c.who == kOtherUser ? other : getpid();
    EXPECT_EQ(c.want, InChild([&] {
                std::string me = "?", ME, verdict[2];
                if (c.dontQuery != unset)
                  setenv("VAK_DONT_QUERY_REMOTE_HOSTS", c.dontQuery.c_str(), 1);
                if (c.reply == nullptr) orvInitNonORVApp(vaktest::StagedProgram("test").c_str());
                if (vakInit("test", 1, nullptr) == VAK_OK) me = vakInitInfo->processId->hostName;
                for (char ch : me) ME += char(toupper(static_cast<unsigned char>(ch)));
                if (c.dontQuery == own && !setenv("VAK_DONT_QUERY_REMOTE_HOSTS", me.c_str(), 1)) {
                  vakInitEnvStructures(0, nullptr);  // the own host name is known only now
                }
                vakBdInit();
                if (c.reply != nullptr) vakBdPort = fake.port();
                std::string host = c.host == own ? me : c.host == upper ? ME : c.host;
                ProcessIdentity owner = {&host[0], pid, -7};
                for (std::string &v : verdict) {
                  int procStatus = -1;
                  char *msg = nullptr;
                  int status = vakIsProcessAlive(&owner, &procStatus, &msg);
                  v = std::to_string(status) + " " + std::to_string(procStatus) + " " +
                      (msg ? msg : "");
                }
                return verdict[0] == verdict[1] ? verdict[0] : verdict[0] + " then " + verdict[1];
              }))
        << c.host << " / " << c.dontQuery << " / " << c.who;
    std::string request = "ProcAlive " + std::to_string(pid) + " -7";
    EXPECT_EQ(c.asked ? request + "|" + request : "", fake.Requests());
    if (other > 0) {
      kill(other, SIGKILL);
      waitpid(other, nullptr, 0);
    }
  }
}

}  // namespace
