#include "liveness.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bd_client.h"
#include "daemon_guard.h"
#include "fake_vakbd.h"
#include "init.h"
#include "status.h"

namespace {

// Every question is put twice, each time on a connection of its own with its own greeting.
TEST(LivenessTest, Decision) {
  vaktest::DaemonGuard guard;
  ASSERT_EQ(VAK_OK, vakInit("test", 1, nullptr));
  vakBdInit();
  const int32_t savedPort = vakBdPort;
  const std::string me = vakInitInfo->processId->hostName;
  std::string ME;
  for (char ch : me) ME += static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  // The daemon asked about ME is the one at the address this machine gives the name: 127.0.1.1
  // on an installed machine, a container's own address, 127.0.0.1 elsewhere, none at all when
  // the machine has no hosts file. The fake serves there when it can.
  struct hostent *entry = gethostbyname(ME.c_str());
  char meAddress[INET_ADDRSTRLEN] = "";
  if (entry != nullptr && entry->h_addrtype == AF_INET) {
    inet_ntop(AF_INET, entry->h_addr_list[0], meAddress, sizeof meAddress);
  }
  // Identifiers 0 and 2^32-1 stand for themselves: probed as given they would reach the own
  // process group or, as -1, every process. No process has an identifier above 2^22.
  enum Who : uint64_t { kGroup = 0, kSelf, kOtherUser, kDead = 4194305, kAll = 0xFFFFFFFF };
  const struct {
    std::string host;
    const char *dontQuery;  // nullptr: unset
    Who who;
    const char *reply;
    std::string want;  // status, process status, message
    bool asked;        // whether the fake daemon must have been asked
  } cases[] = {
      {me, nullptr, kSelf, "NotAlive", "0 0 ", false},
      {me, nullptr, kDead, "Alive", "0 2 ", false},
      {me, nullptr, kOtherUser, "NotAlive", "0 0 ", false},
      {me, nullptr, kGroup, "Alive", "0 2 ", false},
      {me, nullptr, kAll, "Alive", "0 2 ", false},
      {me, me.c_str(), kSelf, "NotAlive", "0 0 ", false},
      {ME, nullptr, kSelf, "NotAlive", "0 2 ", true},  // only the exact spelling is the own host
      {"127.0.0.1", " ", kSelf, "Alive", "0 1 ", false},
      {"LOCALHOST", "elsewhere calh", kSelf, "Alive", "0 1 ", false},
      {"127.0.0.1", "elsewhere", kSelf, "Alive", "0 0 ", true},
      {"127.0.0.1", nullptr, kSelf, "LogInfo x",
       "20 -1 vak: Could not recognize response from Boolean Daemon to ProcAlive message.", true},
  };
  for (const auto &c : cases) {
    vaktest::FakeVakbd fake({"VakBoolVersion 1", "<read>", c.reply},
                            c.host == ME ? meAddress : "127.0.0.1");
    if (fake.port() == 0) {
      printf("skipped %s: it resolves to no local address (\"%s\")\n", ME.c_str(), meAddress);
      continue;
    }
    pid_t other = c.who == kOtherUser ? fork() : -1;
    if (other == 0 && setuid(65534) == 0) sleep(60);  // bounded, should the test die
    if (other == 0) _exit(1);
    usleep(c.who == kOtherUser ? 100000 : 0);  // until the child has dropped its rights
    const uint64_t pid = c.who == kOtherUser ? uint64_t(other)
                         : c.who == kSelf    ? uint64_t(getpid())
                                             : c.who;
    if (c.dontQuery != nullptr) setenv("VAK_DONT_QUERY_REMOTE_HOSTS", c.dontQuery, 1);
    EXPECT_EQ(VAK_OK, vakInitEnvStructures(0, nullptr));
    unsetenv("VAK_DONT_QUERY_REMOTE_HOSTS");
    vakBdPort = fake.port();
    ProcessIdentity owner = {const_cast<char *>(c.host.c_str()), pid, -7};
    // Asked as yet another user, probing the other user's process fails with EPERM.
    EXPECT_EQ(0, seteuid(c.who == kOtherUser ? 65533 : 0));
    // Once plainly, once with the evidence, which must tell the same outcome and how it came.
    for (int ask = 0; ask < 2; ++ask) {
      int procStatus = -1;
      char *msg = nullptr;
      VakLivenessEvidence *evidence = nullptr;
      int status = ask == 0 ? vakIsProcessAlive(&owner, &procStatus, &msg)
                            : vakExplainProcessLiveness(&owner, &evidence, &msg);
      if (evidence != nullptr) {
        EXPECT_EQ(status, VAK_OK);
        status = evidence->status;
        procStatus = evidence->status == VAK_OK ? evidence->procStatus : -1;
        msg = evidence->message != nullptr ? strdup(evidence->message) : nullptr;
        const int method = c.asked ? VAK_LIVENESS_DAEMON_ASKED
                           : c.host == me ? VAK_LIVENESS_LOCAL_PROBE
                                          : VAK_LIVENESS_NOT_QUERIED;
        EXPECT_EQ(evidence->method, method) << c.host;
        if (method == VAK_LIVENESS_DAEMON_ASKED) {
          EXPECT_STREQ(evidence->address, c.host == ME ? meAddress : "127.0.0.1");
          EXPECT_EQ(evidence->port, fake.port());
          const std::string reply = c.reply;
          EXPECT_EQ(std::string(evidence->answer), reply.substr(0, reply.find(' ')));
        } else if (method == VAK_LIVENESS_NOT_QUERIED) {
          EXPECT_STREQ(evidence->dontQueryEntry, strcmp(c.dontQuery, " ") == 0 ? "" : "calh");
        } else {
          EXPECT_EQ(evidence->probeErrno, c.who == kOtherUser ? EPERM
                                          : c.who == kSelf    ? 0
                                                              : ESRCH);
        }
        vakFreeLivenessEvidence(evidence);
      }
      EXPECT_EQ(c.want,
                std::to_string(status) + " " + std::to_string(procStatus) + " " + (msg ? msg : ""))
          << c.host << " / " << (c.dontQuery ? c.dontQuery : "unset") << " / " << c.who << ask;
      vakReleaseErrorMsg(&msg);
    }
    EXPECT_EQ(0, seteuid(0));
    std::string request = "ProcAlive " + std::to_string(pid) + " -7";
    EXPECT_EQ(c.asked ? request + "|" + request : "", fake.Requests());
    if (other > 0 && kill(other, SIGKILL) == 0) waitpid(other, nullptr, 0);
  }
  vakBdPort = savedPort;
}

// A daemon whose reply never begins, or begins and stalls, or whose greeting stalls: the question
// is an error (the process status left alone) within the time a message has to begin and end,
// not a wait for as long as the daemon keeps the connection open.
TEST(LivenessTest, AStalledDaemonIsAnErrorNotAHang) {
  vaktest::DaemonGuard guard;
  ASSERT_EQ(VAK_OK, vakInit("test", 1, nullptr));
  unsetenv("VAK_DONT_QUERY_REMOTE_HOSTS");
  ASSERT_EQ(VAK_OK, vakInitEnvStructures(0, nullptr));
  vakBdInit();
  const int32_t savedPort = vakBdPort;
  const std::string timedOut = strerror(ETIMEDOUT);
  const struct {
    std::vector<std::string> script;
    std::string want;  // status, process status, message
  } cases[] = {
      {{"VakBoolVersion 1", "<read>", "<stall>"}, "18 -1 " + timedOut},
      {{"VakBoolVersion 1", "<read>", "<len>NotAlive", "<stall>"}, "18 -1 " + timedOut},
      {{"<len>VakBoolVersion 1", "<stall>"}, "19 -1 " + timedOut},
  };
  for (const auto &c : cases) {
    vaktest::FakeVakbd fake(c.script);
    vakBdPort = fake.port();
    ProcessIdentity owner = {const_cast<char *>("127.0.0.1"), uint64_t(getpid()), -7};
    int procStatus = -1;
    char *msg = nullptr;
    auto start = std::chrono::steady_clock::now();
    int status = vakIsProcessAlive(&owner, &procStatus, &msg);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(c.want,
              std::to_string(status) + " " + std::to_string(procStatus) + " " + (msg ? msg : ""));
    EXPECT_LT(took.count(), 10) << c.want;  // one message's 6 s, and a margin
    vakReleaseErrorMsg(&msg);
  }
  vakBdPort = savedPort;
}

}  // namespace
