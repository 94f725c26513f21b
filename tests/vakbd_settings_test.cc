// Black-box test of vakbd's settings: the host settings file, the unit's command line, the
// address it binds and the families it serves.
#include <arpa/inet.h>
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

#include <fstream>
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

}  // namespace
