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

// The staged vakbd with args, given 15 s to start or refuse.
RunResult RunVakbd(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {StagedProgram("vakbd")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 15;
  return RunProgram(argv, options);
}

const char kLocal[] = "127.0.0.1";

// Polls until done() holds, for up to five seconds.
bool Eventually(const std::function<bool()> &done) {
  for (int i = 0; i < 250; ++i) {
    if (done()) return true;
    usleep(20 * 1000);
  }
  return done();
}

// Runs the staged vakbd with args in a child whose standard error goes to errFile, with the
// environment changes given; returns its pid once it serves the port (-1 if it does not).
pid_t StartVakbd(const std::vector<std::string> &args, const std::string &errFile, int port,
                 const std::vector<std::pair<std::string, std::string>> &env = {},
                 const std::string &at = kLocal) {
  const std::string program = StagedProgram("vakbd");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0) _exit(100);
    for (const auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(101);
  }
  if (pid > 0 && Eventually([&] { return VakbdPid(at, port) == pid; })) return pid;
  if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  return -1;
}

void StopByPid(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

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

namespace settings_tests {

using namespace vaktest;

// Whether this machine has an IPv6 loopback to listen on.
bool HaveIPv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// The service unit's ExecStart as systemd runs it: "${NAME}" is one word, the variable's value
// or empty; the program is the staged one.
std::vector<std::string> UnitCommand(const std::string &program) {
  std::ifstream unit(VAK_SOURCE_DIR "/packaging/systemd/vakbd.service");
  std::string line;
  while (std::getline(unit, line) && line.rfind("ExecStart=", 0) != 0) {
  }
  std::istringstream words(line.substr(line.find('=') + 1));
  std::vector<std::string> argv;
  for (std::string word; words >> word;) {
    if (word.rfind("${", 0) == 0 && word.back() == '}') {
      const char *value = getenv(word.substr(2, word.size() - 3).c_str());
      argv.push_back(value != nullptr ? value : "");
    } else {
      argv.push_back(argv.empty() && word == "vakbd" ? program : word);
    }
  }
  return argv;
}

// The unit's command line, run as the unprivileged uid 65534 on a test host, answers for a root
// process and another user's as alive, also when /proc hides them (hidepid=2): it cannot read
// their start, but never calls a process it cannot see dead. Only the reuse check is lost then.
TEST(VakbdServiceTest, UnitCommandAsNobodyAnswersForEveryUsersProcesses) {
  TempDir stage(TempDir::kEveryone);
  TestHosts hosts({"svc.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << "NOT TESTED: " << hosts.error();
  unsetenv("VAKBD_BIND");
  // Its log on standard error (-foreground) would only clutter the test's output.
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh"};
  argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  const std::vector<std::string> unit = UnitCommand(CopyStageTo(stage.path()) + "/tools/bin/vakbd");
  ASSERT_GE(unit.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(unit.begin() + 1, unit.end()),
            (std::vector<std::string>{"-foreground", "-bind", ""}));
  argv.insert(argv.end(), unit.begin(), unit.end());
  const pid_t other = hosts.Start(0, {"/usr/bin/setpriv", "--reuid=1000", "--regid=1000",
                                      "--clear-groups", "/bin/sleep", "60"});
  ASSERT_GT(other, 0);
  const std::string otherPid = std::to_string(TestHosts::HostPid(other));
  const std::string now = std::to_string(time(nullptr) + 5);
  // Not the hosts' port: the host already has a vakbd of root's there.
  const int port = hosts.port() == 17100 ? 17101 : 17100;
  const struct {
    const char *proc;  // mount options of the host's /proc
    std::string question, reply;
  } cases[] = {
      {"", "1 " + now, "Alive"},
      {"", otherPid + " " + now, "Alive"},
      {"", otherPid + " 1", "NotAlive"},  // started long after: the identifier was reused
      {"", "99999 " + now, "NotAlive"},
      {"hidepid=2", "1 " + now, "Alive"},
      {"hidepid=2", otherPid + " " + now, "Alive"},
      {"hidepid=2", otherPid + " 1", "Alive"},
      {"hidepid=2", "99999 " + now, "NotAlive"},
  };
  RunOptions options;
  options.env = {{"VAK_PORTNUM", std::to_string(port)}, {"VAK_SETTINGS_FILE", ""}};
  ASSERT_GT(hosts.Start(0, argv, options), 0);
  std::string user;
  auto daemonUser = [&] {
    const pid_t pid = VakbdPid("127.0.0.1", port);
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t uid = status.find("\nUid:\t");
    return pid < 0 || uid == std::string::npos ? "no daemon" : status.substr(uid + 6, 5);
  };
  for (int i = 0; i < 250 && hosts.Call(0, daemonUser, &user) && user == "no daemon"; ++i) {
    usleep(20 * 1000);
  }
  ASSERT_EQ(user, "65534");
  for (const auto &c : cases) {
    auto remount = [&] {
      const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | MS_NOEXEC;
      return std::string(mount("proc", "/proc", "proc", flags, c.proc) == 0 ? "ok"
                                                                            : strerror(errno));
    };
    std::string said, reply;
    ASSERT_TRUE(hosts.Call(0, remount, &said) && said == "ok") << c.proc << ": " << said;
    auto ask = [&] {
      std::string r;
      return AskDaemon("127.0.0.1", port, "ProcAlive " + c.question, &r) ? r : "no answer";
    };
    ASSERT_TRUE(hosts.Call(0, ask, &reply));
    EXPECT_EQ(reply, c.reply) << c.proc << " ProcAlive " << c.question;
  }
}

// The port and the library's other settings come from the settings file where the environment is
// silent, for the library and for the vakbd it starts alike (had they disagreed, the library's
// ReportLog would find no daemon); the environment wins; lines that need a shell are ignored; no
// file gives the built-in defaults. Run on a test host, whose network is its own, so that the
// default port is free.
TEST(VakbdServiceTest, SettingsFileFillsInWhereTheEnvironmentIsSilent) {
  TempDir dir(TempDir::kEveryone);
  TestHosts hosts({"settings.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << "NOT TESTED: " << hosts.error();
  const std::string full = dir.Sub("full"), odd = dir.Sub("odd");
  WriteFile(full,
            "# all of them\nVAK_PORTNUM=17001\nVAK_VAKBD_CONNECT_TIMEOUT='7'\n"
            "VAK_DONT_QUERY_REMOTE_HOSTS=\"alpha .lab\"\n");
  WriteFile(odd,
            "VAK_PORTNUM=17003\nVAK_PORTNUM=$(echo 17004)\nVAK_PORTNUM=17005 # later\n"
            "export VAK_PORTNUM=17006\nVAK_PORTNUM=17007;\nVAKBD_BIND=::1\n"
            "VAK_VAKBD_CONNECT_TIMEOUT=\"$T\"\nVAK_DONT_QUERY_REMOTE_HOSTS=\n");
  const struct {
    std::string file;     // VAK_SETTINGS_FILE; "-": unset (the real file, which tests cannot own)
    const char *envPort;  // nullptr: unset
    std::string want;
  } cases[] = {
      {dir.Sub("none"), nullptr, "port=16723 timeout=-1 hosts=-"},
      {"", nullptr, "port=16723 timeout=-1 hosts=-"},
      {full, nullptr, "port=17001 timeout=7 hosts=alpha,.lab,"},
      {full, "17002", "port=17002 timeout=7 hosts=alpha,.lab,"},
      {odd, nullptr, "port=17003 timeout=-1 hosts="},
  };
  const std::string path = StagedProgram("vakbd").substr(0, StagedProgram("vakbd").rfind('/'));
  for (const auto &c : cases) {
    auto probe = [&] {
      setenv("PATH", (path + ":/usr/bin:/bin").c_str(), 1);
      setenv("VAK_SETTINGS_FILE", c.file.c_str(), 1);
      for (const char *name :
           {"VAK_PORTNUM", "VAK_VAKBD_CONNECT_TIMEOUT", "VAK_DONT_QUERY_REMOTE_HOSTS"}) {
        unsetenv(name);
      }
      if (c.envPort != nullptr) setenv("VAK_PORTNUM", c.envPort, 1);
      char *msg = nullptr, *info = nullptr;
      orvInitNonORVApp("settings");
      if (vakInit("settings", 1, &msg) != VAK_OK) return std::string("init: ") + (msg ? msg : "");
      if (vakDaemonReportLog("127.0.0.1", &info, &msg) != VAK_OK) {
        return std::string("no daemon on the library's port: ") + (msg ? msg : "");
      }
      const char *port = strstr(info, "port=");
      std::string got = std::string("port=") + (port ? std::to_string(atoi(port + 5)) : "?") +
                        " timeout=" + std::to_string(vakEnv->bdConnectTimeout) + " hosts=";
      if (vakEnv->dontQueryHosts == nullptr) got += "-";
      for (char **h = vakEnv->dontQueryHosts; h != nullptr && *h != nullptr; ++h)
        got += *h + std::string(",");
      // Gone before the next row, which may want the same port.
      const int served = atoi(got.c_str() + 5);
      vakDaemonTerminate("127.0.0.1", &msg);
      for (int i = 0; i < 250 && VakbdPid("127.0.0.1", served) > 0; ++i) usleep(20 * 1000);
      return got;
    };
    std::string got;
    ASSERT_TRUE(hosts.Call(0, probe, &got)) << c.file;
    EXPECT_EQ(got, c.want) << c.file << " VAK_PORTNUM=" << (c.envPort ? c.envPort : "(unset)");
  }
}

// -bind: the daemon answers at that address only; by default at both loopbacks. The library's
// start (no arguments) finds it serving wherever it listens, also on an address it cannot guess.
TEST(VakbdServiceTest, BindListensOnOneAddressOfEitherFamily) {
  const bool ipv6 = HaveIPv6Loopback();
  if (!ipv6) printf("[ NOT TESTED ] no IPv6 loopback here: -bind ::1 and IPv6 by default\n");
  TempDir dir;
  const struct {
    std::string bind;  // "-": no -bind
    bool at4, at6;
  } cases[] = {{"127.0.0.1", true, false},
               {"127.0.0.2", false, false},
               {"::1", false, true},
               {"[::1]", false, true},
               {"-", true, true}};
  for (const auto &c : cases) {
    if (!ipv6 && c.bind.find('.') == std::string::npos) continue;
    DaemonGuard guard;
    std::vector<std::string> args = {"-foreground"};
    if (c.bind != "-") args.insert(args.end(), {"-bind", c.bind});
    const std::string at = c.at4 ? kLocal : c.at6 ? "::1" : c.bind;
    const pid_t pid = StartVakbd(args, dir.Sub("err"), guard.port(), {}, at);
    ASSERT_GT(pid, 0) << c.bind << ": " << ReadFile(dir.Sub("err"));
    std::string reply;
    EXPECT_EQ(AskDaemon(kLocal, guard.port(), "ProcAlive 1 0", &reply), c.at4) << c.bind;
    EXPECT_EQ(AskDaemon("::1", guard.port(), "ProcAlive 1 0", &reply), c.at6) << c.bind;
    RunResult start = RunProgram({StagedProgram("vakbd")});
    EXPECT_EQ(start.exitStatus, 0) << c.bind << ": " << start.err;
    EXPECT_EQ(VakbdPid(at, guard.port()), pid) << c.bind;
    StopByPid(pid);
  }
}

// A daemon listening over IPv6 holds the port against a second service instance of any family,
// which names it; the library's start finds it serving.
TEST(VakbdServiceTest, SecondInstanceIsRefusedByAnIPv6Holder) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "NOT TESTED: no IPv6 loopback here";
  TempDir dir;
  const struct {
    std::vector<std::string> holder;
    std::string at;
  } holders[] = {{{"-bind", "::1"}, "::1"}, {{}, "::1"}, {{}, kLocal}};
  for (const auto &h : holders) {
    DaemonGuard guard;
    std::vector<std::string> args = {"-foreground"};
    args.insert(args.end(), h.holder.begin(), h.holder.end());
    const pid_t first = StartVakbd(args, dir.Sub("err"), guard.port(), {}, h.at);
    ASSERT_GT(first, 0) << ReadFile(dir.Sub("err"));
    const std::string byFirst = "port " + guard.portText() + " is already served by process " +
                                std::to_string(first) + " (vakbd)";
    const struct {
      std::vector<std::string> args;
      int status;
      std::string err;
    } cases[] = {
        {{"-foreground"}, 3, byFirst},
        {{"-foreground", "-bind", "::1"}, 3, byFirst},
        {{"-log", dir.Sub("second.log"), "-bind", "::"}, 3, byFirst},
        {{}, 0, ""},
    };
    for (const auto &c : cases) {
      RunResult r = RunVakbd(c.args);
      const std::string what = testing::PrintToString(h.holder) + testing::PrintToString(c.args);
      EXPECT_EQ(r.exitStatus, c.status) << what << ": " << r.err;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
    }
    EXPECT_EQ(VakbdPid(h.at, guard.port()), first) << "the first daemon still serves";
    StopByPid(first);
  }
}

}  // namespace settings_tests
