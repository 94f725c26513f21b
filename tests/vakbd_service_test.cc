// Black-box test of vakbd run as a service: one daemon per port, who may control it, and its logs.
#include <arpa/inet.h>
#include <ctype.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "frame_client.h"
#include "run_program.h"
#include "temp_dir.h"
#include "test_host.h"
#include "vakbd_process.h"
#include "orv.h"
#include "vak.h"

namespace {

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

template <typename Pred>
bool AnyLine(const std::string &text, Pred pred) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (pred(text.substr(at, end - at))) return true;
    at = end + 1;
  }
  return false;
}

// Whether line begins with a time "YYYY-MM-DDTHH:MM:SS" followed by offset.
bool ZonedTime(const std::string &line, const std::string &offset) {
  const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  if (line.size() < sizeof kShape - 1 + offset.size()) return false;
  for (size_t i = 0; i < sizeof kShape - 1; ++i) {
    if (kShape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != kShape[i]) {
      return false;
    }
  }
  return line.compare(sizeof kShape - 1, offset.size(), offset) == 0;
}

using namespace vaktest;

// Sends request as uid (setuid in a child) and collects the reply. Returns 0 when a reply came
// (in *reply), 1 when the daemon closed the connection without one, 2 on any other failure.
int RequestAs(int uid, int port, const std::string &request, std::string *reply) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 2;
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    if (uid != static_cast<int>(geteuid()) && setuid(static_cast<uid_t>(uid)) != 0) _exit(2);
    FrameClient client;
    std::string greeting, text;
    if (!client.Connect(kLocal, port) || !client.ReadFrame(&greeting) ||
        !client.WriteFrame(request)) {
      _exit(2);
    }
    if (client.ReadFrame(&text)) {
      _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 2);
    }
    _exit(client.ClosedByPeer(2000) ? 1 : 2);
  }
  close(out[1]);
  reply->clear();
  char buf[512];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) reply->append(buf, n);
  close(out[0]);
  int status = -1;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 2;
  return WEXITSTATUS(status);
}

// A service start must not pass for a second daemon: it fails and names the process that holds the
// port, be it a vakbd or another program. The library's start (no options, or only a port) still
// finds a serving daemon a success.
TEST(VakbdServiceTest, SecondServiceInstanceIsRefusedAndNamesTheHolder) {
  TempDir dir;
  DaemonGuard guard;
  ASSERT_EQ(RunProgram({StagedProgram("vakbd")}).exitStatus, 0);
  const pid_t first = VakbdPid(kLocal, guard.port());
  ASSERT_GT(first, 0);
  // Another program listening: this test itself.
  const int otherPort = FreeTcpPort();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(otherPort));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const std::string other = std::to_string(otherPort);
  const std::string byFirst = "port " + guard.portText() + " is already served by process " +
                              std::to_string(first) + " (vakbd)";
  const std::string byUs =
      "port " + other + " is already in use by process " + std::to_string(getpid()) + " (";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of standard error
  } cases[] = {
      {{"-foreground"}, 3, byFirst},
      {{"-log", dir.Sub("second.log")}, 3, byFirst},
      {{"-foreground", "-log", dir.Sub("second.log")}, 3, byFirst},
      {{}, 0, ""},
      {{"-portnum", guard.portText()}, 0, ""},
      {{"-foreground", "-portnum", other}, 3, byUs},
      {{"-portnum", other}, 3, "cannot listen on port " + other},
  };
  for (const auto &c : cases) {
    RunResult r = RunVakbd(c.args);
    const std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
    EXPECT_TRUE(!c.err.empty() || r.err.empty()) << what << ": " << r.err;
  }
  close(listener);
  EXPECT_EQ(VakbdPid(kLocal, guard.port()), first) << "the first daemon still serves";
  EXPECT_FALSE(Exists(dir.Sub("second.log"))) << "a refused daemon opened its log";
}

// Die, StartLog, StopLog, Debug and ReportLog change or reveal the daemon: another local user's
// are refused (no effect, no reply but ReportLog's, which withholds the details; a line in the
// log); root's are obeyed. ProcAlive and Null stay
// open to everyone.
TEST(VakbdServiceTest, ControlRequestsOnlyFromRootOrTheDaemonsUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "NOT TESTED: needs root, to send control requests as uid 65534";
  }
  TempDir dir;
  DaemonGuard guard;
  const std::string log = dir.Sub("a.log");
  ASSERT_EQ(RunProgram({StagedProgram("vakbd"), "-log", log}).exitStatus, 0);
  const pid_t daemon = VakbdPid(kLocal, guard.port());
  ASSERT_GT(daemon, 0);
  const std::string self = std::to_string(getpid()) + " 0";
  const struct {
    int uid;
    std::string request;
    int answered;  // RequestAs's result
    std::string reply;
    std::string state;  // a part of root's ReportLog reply afterwards; "" when the daemon ended
  } cases[] = {
      // Every requester gets a LogInfo reply, but only root and the daemon's user its details.
      {65534, "ReportLog", 0,
       "LogInfo withheld: not asked by root or the daemon's user on its host",
       " log=" + log + " debug=off"},
      {65534, "Debug", 1, "", " log=" + log + " debug=off"},
      {65534, "StopLog", 1, "", " log=" + log + " "},
      {65534, "StartLog " + dir.Sub("b.log"), 1, "", " log=" + log + " "},
      {65534, "Die", 1, "", "pid=" + std::to_string(daemon) + " "},
      {65534, "ProcAlive " + self, 0, "Alive", " log=" + log + " "},
      {65534, "Null", 1, "", " log=" + log + " "},
      {0, "Debug", 1, "", " log=" + log + " debug=on"},
      {0, "StartLog " + dir.Sub("b.log"), 1, "", " log=" + dir.Sub("b.log") + " "},
      {0, "Die", 1, "", ""},
  };
  for (const auto &c : cases) {
    const std::string what = std::to_string(c.uid) + " " + c.request;
    std::string reply, state;
    EXPECT_EQ(RequestAs(c.uid, guard.port(), c.request, &reply), c.answered) << what;
    EXPECT_EQ(reply, c.reply) << what;
    if (c.state.empty()) {
      EXPECT_TRUE(Eventually([&] { return VakbdPid(kLocal, guard.port()) < 0; })) << what;
      continue;
    }
    ASSERT_TRUE(AskDaemon(kLocal, guard.port(), "ReportLog", &state)) << what;
    EXPECT_NE(state.find(c.state), std::string::npos) << what << ": " << state;
  }
  const std::string text = ReadFile(log);
  for (const char *refused : {"ReportLog", "Debug", "StopLog", "StartLog /", "Die"}) {
    const bool logged = AnyLine(text, [&](const std::string &l) {
      return l.find(std::string(" ") + refused) != std::string::npos &&
             l.find(" from 127.0.0.1:") != std::string::npos &&
             EndsWith(l, " refused: user 65534 is neither root nor the daemon's user 0");
    });
    EXPECT_TRUE(logged) << refused << " in:\n" << text;
  }
}

// Each event is one line on standard error of a foreground daemon, its time in ISO 8601 with the
// offset of the daemon's time zone.
TEST(VakbdServiceTest, ForegroundLogsEachRequestWithItsTimeZone) {
  TempDir dir;
  const struct {
    const char *tz;
    const char *offset;
  } zones[] = {{"UTC0", "+00:00"}, {"EST5", "-05:00"}, {"<+0530>-5:30", "+05:30"}};
  for (const auto &z : zones) {
    DaemonGuard guard;
    const std::string err = dir.Sub("err");
    const pid_t pid = StartVakbd({"-foreground"}, err, guard.port(), {{"TZ", z.tz}});
    ASSERT_GT(pid, 0) << z.tz << ": " << ReadFile(err);
    ASSERT_TRUE(TellDaemon(kLocal, guard.port(), "Null"));
    auto zoned = [&](const std::string &l) {
      return ZonedTime(l, z.offset) && l.find(" request from 127.0.0.1:") != std::string::npos &&
             EndsWith(l, ": Null");
    };
    EXPECT_TRUE(Eventually([&] { return AnyLine(ReadFile(err), zoned); }))
        << z.tz << ": " << ReadFile(err);
    StopByPid(pid);
  }
}

// A rotation renames the log file and sends SIGHUP: the daemon goes on in a new file at the
// original name (with the header, mode 0600), and writes nothing more into the renamed one.
TEST(VakbdServiceTest, HangupReopensTheLogFileAtItsName) {
  TempDir dir;
  DaemonGuard guard;
  const std::string log = dir.Sub("vakbd.log"), rotated = dir.Sub("vakbd.log.1");
  const pid_t pid = StartVakbd({"-foreground", "-log", log}, dir.Sub("err"), guard.port());
  ASSERT_GT(pid, 0) << ReadFile(dir.Sub("err"));
  std::string reply;
  ASSERT_TRUE(AskDaemon(kLocal, guard.port(), "ProcAlive 1 11111", &reply));
  ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  ASSERT_TRUE(Eventually([&] { return Exists(log); })) << "no new file after SIGHUP";
  ASSERT_TRUE(AskDaemon(kLocal, guard.port(), "ProcAlive 1 22222", &reply));
  EXPECT_TRUE(Eventually([&] { return ReadFile(log).find("1 22222") != std::string::npos; }));
  StopByPid(pid);
  const std::string fresh = ReadFile(log), old = ReadFile(rotated);
  EXPECT_EQ(fresh.rfind("# vakbd log\n", 0), 0u) << fresh;
  EXPECT_NE(fresh.find("log reopened on SIGHUP"), std::string::npos) << fresh;
  EXPECT_NE(old.find("1 11111"), std::string::npos) << old;
  EXPECT_EQ(old.find("1 22222"), std::string::npos) << old;
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
