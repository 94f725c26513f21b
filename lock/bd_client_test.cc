#include "bd_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_vakbd.h"
#include "status.h"

namespace {

using vaktest::FakeStep;

std::string Take(char **slot) {
  std::string text = *slot != nullptr ? *slot : "<none>";
  vakReleaseErrorMsg(slot);
  return text;
}

TEST(BdClientTest, PortNumberText) {
  struct Case {
    const char *text;
    int wantPort;
    bool warns;
  } cases[] = {
      {"12345", 12345, false}, {"70000", 4464, false}, {" 8000", 8000, false},
      {"123abc", 16723, true}, {"", 16723, true},      {"abc", 16723, true},
  };
  for (const Case &c : cases) {
    vakBdPort = kVakBdDefaultPort;
    testing::internal::CaptureStderr();
    vakBdProcessPortNum(c.text);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.wantPort, vakBdGetServerPort(0)) << c.text;
    EXPECT_EQ(c.warns
                  ? "Warning (vakbd): bad -portnum value \"" + std::string(c.text) + "\" ignored\n"
                  : "",
              err);
  }
  EXPECT_EQ(16724, vakBdGetServerPort(1));
  EXPECT_EQ(16725, vakBdGetServerPort(2));
  EXPECT_EQ(16723, vakBdGetServerPort(7));
}

TEST(BdClientTest, PortIsReadOncePerProcess) {
  EXPECT_EQ("5555", vaktest::InChild([] {
              setenv("VAK_PORTNUM", "5555", 1);
              vakBdInit();
              setenv("VAK_PORTNUM", "6666", 1);
              vakBdInit();
              return std::to_string(vakBdGetServerPort(0));
            }));
}

TEST(BdClientTest, ParseMsg) {
  struct Case {
    const char *text;
    int wantKind;  // -1: no keyword, kind untouched
    const char *wantRest;
  } cases[] = {
      {"ProcAlive 12 34", kBdProcAlive, " 12 34"},
      {"Dietary", kBdDie, "tary"},
      {"StartLog /tmp/l", kBdStartLog, " /tmp/l"},
      {"StopLog", kBdStopLog, ""},
      {"ReportLog", kBdReportLog, ""},
      {"Debug", kBdDebug, ""},
      {"Null", kBdNull, ""},
      {" \t\nVakBoolVersion 1", kBdVersion, " 1"},
      {"Alive", kBdAlive, ""},
      {"NotAlive", kBdNotAlive, ""},
      {"LogInfo x", kBdLogInfo, " x"},
      {"alive", -1, nullptr},
      {"", -1, nullptr},
  };
  for (const Case &c : cases) {
    int kind = -1;
    const char *rest = vakBdParseMsg(c.text, &kind);
    EXPECT_EQ(c.wantKind, kind) << c.text;
    EXPECT_STREQ(c.wantRest, rest) << c.text;
  }
  EXPECT_EQ(nullptr, vakBdParseMsg(nullptr, nullptr));
}

TEST(BdClientTest, ClientAgainstScriptedDaemon) {
  enum Op { kCheck, kTerminate, kStartLog, kStopLog, kDebug, kReportLog };
  const FakeStep hello = {FakeStep::kSend, "VakBoolVersion 1"};
  const FakeStep request = {FakeStep::kReadRequest, ""};
  const std::string longName(5000, 'n');
  struct Case {
    std::vector<FakeStep> script;
    Op op;
    std::string logName;
    int wantStatus;
    std::string want;  // the message, or the ReportLog text on success
    std::vector<std::string> wantRequests;
  } cases[] = {
      {{hello, request}, kCheck, "", VAK_OK, "<none>", {"Null"}},
      {{hello, request}, kTerminate, "", VAK_OK, "<none>", {"Die"}},
      {{hello, request}, kStartLog, "a b.log", VAK_OK, "<none>", {"StartLog a b.log"}},
      {{hello, request}, kStopLog, "", VAK_OK, "<none>", {"StopLog"}},
      {{hello, request}, kDebug, "", VAK_OK, "<none>", {"Debug"}},
      {{hello, request, {FakeStep::kSend, "LogInfo /var/log/bd"}},
       kReportLog,
       "",
       VAK_OK,
       " /var/log/bd",
       {"ReportLog"}},
      {{hello, request, {FakeStep::kSend, "Alive"}},
       kReportLog,
       "",
       VAK_BOOLEAN_DAEMON_BAD_RESPONSE,
       "vak: Could not recognize response from Boolean Daemon to ReportLog message.",
       {"ReportLog"}},
      {{hello, request, {FakeStep::kSendLengthOnly, "LogInfo x"}},
       kReportLog,
       "",
       VAK_SYS_ERROR,
       strerror(ECONNRESET),
       {"ReportLog"}},
      {{{FakeStep::kSend, "VakBoolVersion 2"}},
       kCheck,
       "",
       VAK_BOOLEAN_DAEMON_BAD_RESPONSE,
       "vak: Invalid Boolean Daemon version 2.",
       {}},
      {{{FakeStep::kSend, "NotAlive"}},
       kCheck,
       "",
       VAK_BOOLEAN_DAEMON_BAD_RESPONSE,
       "vak: Could not recognize response from Boolean Daemon to VakBoolVersion message.",
       {}},
      {{{FakeStep::kSend, "Hello"}}, kCheck, "", VAK_SYS_ERROR, strerror(EPROTO), {}},
      {{{FakeStep::kWaitMs, "8000"}}, kCheck, "", VAK_NOT_OK, strerror(ETIMEDOUT), {}},
      {{hello}, kStartLog, "", VAK_NOT_OK, "<none>", {}},
      {{hello},
       kStartLog,
       longName,
       VAK_NOT_OK,
       "vak: Log file name is too long to send to vakbd (at most 4102 characters).",
       {}},
  };
  vakBdInit();  // read VAK_PORTNUM now, so that it cannot override the fake's port later
  for (const Case &c : cases) {
    vaktest::FakeVakbd fake(c.script);
    vakBdPort = fake.port();
    char *msg = nullptr, *log = nullptr;
    int status = -1;
    switch (c.op) {
      case kCheck:
        status = vakDaemonCheck("127.0.0.1", &msg);
        break;
      case kTerminate:
        status = vakDaemonTerminate("127.0.0.1", &msg);
        break;
      case kStartLog:
        status = vakDaemonStartLog("127.0.0.1", c.logName.c_str(), &msg);
        break;
      case kStopLog:
        status = vakDaemonStopLog("127.0.0.1", &msg);
        break;
      case kDebug:
        status = vakDaemonSetDebugMode("127.0.0.1", &msg);
        break;
      case kReportLog:
        status = vakDaemonReportLog("127.0.0.1", &log, &msg);
        break;
    }
    EXPECT_EQ(c.wantStatus, status) << c.want;
    EXPECT_EQ(c.want, status == VAK_OK && log != nullptr ? Take(&log) : Take(&msg));
    EXPECT_EQ(c.wantRequests, fake.Requests(c.wantRequests.empty() ? 0 : 1)) << c.want;
    if (c.logName.empty() && c.op == kStartLog) {
      EXPECT_EQ(0, fake.served()) << "an empty log name must not reach the daemon";
    }
  }
  vakBdPort = kVakBdDefaultPort;
}

TEST(BdClientTest, HostNameAndConnectFailures) {
  vakBdInit();
  // A listener that never accepts, with its one-place queue filled: the next connect hangs.
  int full = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(full, reinterpret_cast<sockaddr *>(&addr), len));
  ASSERT_EQ(0, listen(full, 0));
  ASSERT_EQ(0, getsockname(full, reinterpret_cast<sockaddr *>(&addr), &len));
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr *>(&addr), len);
  }
  VakEnvironment env = {0, 0, 0, nullptr, 1};
  VakEnvironment *saved = vakEnv;
  vakEnv = &env;
  vakBdPort = ntohs(addr.sin_port);
  struct Case {
    const char *host;
    int wantStatus;
    std::string wantMsg;
  } cases[] = {
      {"", VAK_NOT_OK, "vak: No host name specified when connecting to vakbd.\n"},
      {nullptr, VAK_NOT_OK, "vak: No host name specified when connecting to vakbd.\n"},
      {"127.0.0.1", VAK_NOT_OK, "vak: Unable to connect to host \"127.0.0.1\".\n"},
  };
  for (const Case &c : cases) {
    char *msg = nullptr;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.wantStatus, vakDaemonCheck(c.host, &msg)) << c.wantMsg;
    EXPECT_EQ(c.wantMsg, Take(&msg));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.wantMsg;
  }
  vakEnv = saved;
  vakBdPort = kVakBdDefaultPort;
  for (int fd : fillers) close(fd);
  close(full);
  // In a network namespace of its own the lookup fails without a query leaving the machine.
  EXPECT_EQ("19 vak: Unable to look up host name \"no-such-host.invalid\".\n", vaktest::InChild([] {
              char *msg = nullptr;
              if (unshare(CLONE_NEWNET) != 0) return std::string("unshare failed");
              int status = vakDaemonCheck("no-such-host.invalid", &msg);
              return std::to_string(status) + " " + Take(&msg);
            }));
}

}  // namespace
