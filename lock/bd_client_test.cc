#include "bd_client.h"

#include <arpa/inet.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_vakbd.h"
#include "status.h"

namespace {

// The text that body returns in a forked child.
std::string InChild(const std::function<std::string()> &body) {
  return vaktest::RunInChild([&] { return fputs(body().c_str(), stdout) < 0 ? 1 : 0; }).out;
}

// Port text -> port used, with "!" where the warning was printed and the port kept.
TEST(BdClientTest, PortNumberText) {
  std::string got;
  for (const char *text : {"12345", "70000", " 8000", "80x", "", "x"}) {
    vakBdPort = kVakBdDefaultPort;
    testing::internal::CaptureStderr();
    vakBdProcessPortNum(text);
    bool warned = testing::internal::GetCapturedStderr() ==
                  "Warning (vakbd): bad -portnum value \"" + std::string(text) + "\" ignored\n";
    got += std::to_string(vakBdGetServerPort(0)) + (warned ? "! " : " ");
  }
  EXPECT_EQ("12345 4464 8000 16723! 16723! 16723! ", got);
  EXPECT_EQ("5555 16725", InChild([] {  // read once per process
              setenv("VAK_PORTNUM", "5555", 1);
              vakBdInit();
              setenv("VAK_PORTNUM", "6666", 1);
              vakBdInit();
              return std::to_string(vakBdGetServerPort(0)) + " " +
                     std::to_string(vakBdGetServerPort(2));
            }));
}

// Message -> kind and the rest after the keyword ("#": no keyword, kind left at -1).
TEST(BdClientTest, ParseMsg) {
  std::string got;
  for (const char *text :
       {"ProcAlive 1 2", "Dietary", "StartLog x", "StopLog", "ReportLog", "Debug", "Null",
        " \tVakBoolVersion 1", "Alive", "NotAlive", "LogInfo x", "alive"}) {
    int kind = -1;
    const char *rest = vakBdParseMsg(text, &kind);
    got += std::to_string(kind) + (rest ? rest : "#") + ";";
  }
  EXPECT_EQ("0 1 2;1tary;2 x;3;4;5;6;7 1;8;9;11 x;-1#;", got);
}

// Each case runs in a child of its own: the connect time-out and the network namespace stay there.
TEST(BdClientTest, AgainstScriptedDaemon) {
  enum Op { kCheck, kStartLog, kReport, kFullQueue, kNoNetwork };
  const std::string hi = "VakBoolVersion 1",
                    bad =
                        "20 vak: Could not recognize response from "
                        "Boolean Daemon to ",
                    sys = "18 ", longName(5000, 'n');
  struct Case {
    std::vector<std::string> script;
    Op op;
    std::string logName, want, wantRequests;  // want: status, then message or ReportLog text
  } cases[] = {
      {{hi, "<read>"}, kCheck, "", "0 ", "Null"},
      {{hi, "<read>"}, kStartLog, "a b", "0 ", "StartLog a b"},
      {{hi, "<read>", "LogInfo /l"}, kReport, "", "0  /l", "ReportLog"},
      {{hi, "<read>", "Alive"}, kReport, "", bad + "ReportLog message.", "ReportLog"},
      {{hi, "<read>", "<len>LogInfo"}, kReport, "", sys + strerror(ECONNRESET), "ReportLog"},
      {{"VakBoolVersion 2"}, kCheck, "", "20 vak: Invalid Boolean Daemon version 2.", ""},
      {{"NotAlive"}, kCheck, "", bad + "VakBoolVersion message.", ""},
      {{"Hello"}, kCheck, "", sys + strerror(EPROTO), ""},
      {{"<read>"}, kCheck, "", "19 " + std::string(strerror(ETIMEDOUT)), ""},
      {{hi, "<read>"}, kStartLog, "", "19 ", ""},
      {{hi, "<read>"},
       kStartLog,
       longName,
       "19 vak: Log file name is too long to send to vakbd "
       "(at most 4102 characters).",
       ""},
      {{}, kFullQueue, "", "19 vak: Unable to connect to host \"127.0.0.1\".\n", ""},
      {{}, kNoNetwork, "", "19 vak: Unable to look up host name \"no.such.invalid\".\n", ""}};
  // A listener that never accepts, its queue filled: a further connect hangs until it times out.
  int full = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(full, reinterpret_cast<sockaddr *>(&addr), len) || listen(full, 0) ||
                   getsockname(full, reinterpret_cast<sockaddr *>(&addr), &len));
  int fillers[] = {socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0),
                   socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
  for (int fd : fillers) connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
  for (const Case &c : cases) {
    vaktest::FakeVakbd fake(c.script);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.want, InChild([&] {
                VakEnvironment env = {0, 0, 0, nullptr, 1};
                if (c.op == kFullQueue) vakEnv = &env;
                if (c.op == kNoNetwork && unshare(CLONE_NEWNET) != 0) return std::string("no ns");
                vakBdInit();
                vakBdPort = c.op == kFullQueue ? ntohs(addr.sin_port) : fake.port();
                char *msg = nullptr, *log = nullptr;
                const char *host = c.op == kNoNetwork ? "no.such.invalid" : "127.0.0.1";
                int status = c.op == kStartLog ? vakDaemonStartLog(host, c.logName.c_str(), &msg)
                             : c.op == kReport ? vakDaemonReportLog(host, &log, &msg)
                                               : vakDaemonCheck(host, &msg);
                return std::to_string(status) + " " + (log ? log : msg ? msg : "");
              }));
    EXPECT_EQ(c.wantRequests, fake.Requests()) << c.want;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.want;
  }
  for (int fd : {fillers[0], fillers[1], full}) close(fd);
}

}  // namespace
