#include "bd_client.h"

#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_vakbd.h"
#include "status.h"

namespace {

// Each case runs in a child of its own: the connect time-out and the network namespace stay there.
TEST(BdClientTest, AgainstScriptedDaemon) {
  enum Op { kCheck, kStartLog, kReport, kFullQueue, kNoNetwork };
  const std::string hi = "VakBoolVersion 1", sys = "18 ", longName(5000, 'n'),
                    bad = "20 vak: Could not recognize response from Boolean Daemon to ",
                    timedOut = "19 " + std::string(strerror(ETIMEDOUT)),
                    tooLong =
                        "19 vak: Log file name is too long to send to vakbd (at most 4102 "
                        "characters).";
  const struct {
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
      {{"<read>"}, kCheck, "", timedOut, ""},
      // A greeting that begins and stalls fails as one that never begins.
      {{"<len>VakBoolVersion 1", "<stall>"}, kCheck, "", timedOut, ""},
      {{hi, "<read>"}, kStartLog, longName, tooLong, ""},
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
  for (const auto &c : cases) {
    vaktest::FakeVakbd fake(c.script);
    auto start = std::chrono::steady_clock::now();
    vaktest::ChildResult got = vaktest::RunInChild([&] {
      VakEnvironment env = {0, 0, 0, nullptr, 1};
      if (c.op == kFullQueue) vakEnv = &env;
      if (c.op == kNoNetwork && unshare(CLONE_NEWNET) != 0) return 1;
      vakBdInit();
      vakBdPort = c.op == kFullQueue ? ntohs(addr.sin_port) : fake.port();
      char *msg = nullptr, *log = nullptr;
      const char *host = c.op == kNoNetwork ? "no.such.invalid" : "127.0.0.1";
      int status = c.op == kStartLog ? vakDaemonStartLog(host, c.logName.c_str(), &msg)
                   : c.op == kReport ? vakDaemonReportLog(host, &log, &msg)
                                     : vakDaemonCheck(host, &msg);
      printf("%d %s", status, log ? log : msg ? msg : "");
      return 0;
    });
    EXPECT_EQ(c.want, got.out);
    EXPECT_EQ(c.wantRequests, fake.Requests()) << c.want;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.want;
  }
  for (int fd : {fillers[0], fillers[1], full}) close(fd);
}

// Questions asked from several threads at once: the SIGPIPE disposition is the whole process's,
// so a client that set it aside while writing and put it back afterwards could put the default
// back while another thread was still writing to a daemon that had gone. The client must never
// change it.
TEST(BdClientTest, WritesNeverTouchTheProcesssSigpipeDisposition) {
  vaktest::FakeVakbd fake({"VakBoolVersion 1", "<read>"});
  vaktest::ChildResult got = vaktest::RunInChild([&] {
    static std::atomic<int> raised{0};
    struct sigaction count = {};
    count.sa_handler = [](int) { ++raised; };
    sigaction(SIGPIPE, &count, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> changed{0};
    std::thread watcher([&] {
      while (!done) {
        struct sigaction now;
        if (sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler != count.sa_handler) ++changed;
      }
    });
    vakBdInit();
    vakBdPort = fake.port();
    int failed = 0;
    for (int i = 0; i < 200; ++i) {
      char *msg = nullptr;
      if (vakDaemonCheck("127.0.0.1", &msg) != VAK_OK) ++failed;
      free(msg);
    }
    done = true;
    watcher.join();
    printf("failed %d changed %d raised %d", failed, changed.load(), raised.load());
    return 0;
  });
  EXPECT_EQ("failed 0 changed 0 raised 0", got.out);
}

}  // namespace
