// Three simulated hosts over each kind of shared directory: each host has its own processes (its
// /proc and its vakbd know only those), and what one host writes through its view the others read
// through theirs. A kind that this machine cannot provide is skipped, saying why.
#include <dirent.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "frame_client.h"
#include "shared_views.h"
#include "temp_dir.h"
#include "test_host.h"

namespace {

using namespace vaktest;

// The tags (the sleepers' arguments) of the sleepers that a host's /proc shows.
std::string SleepersSeen(TestHosts *hosts, size_t host) {
  std::string seen;
  auto scan = [] {
    std::string tags;
    DIR *d = opendir("/proc");
    while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
      const std::string cmd = ReadFile(std::string("/proc/") + e->d_name + "/cmdline");
      if (cmd.compare(0, 11, std::string("/bin/sleep\0", 11)) == 0) tags += cmd.substr(11, 5) + " ";
    }
    if (d != nullptr) closedir(d);
    return tags;
  };
  return hosts->Call(host, scan, &seen) ? seen : "call failed";
}

std::string AskAlive(TestHosts *hosts, size_t from, size_t to, pid_t hostPid) {
  const std::string address = hosts->address(to);
  const int port = hosts->port();
  const std::string question =
      "ProcAlive " + std::to_string(hostPid) + " " + std::to_string(time(nullptr));
  std::string reply;
  auto ask = [&] {
    std::string r;
    return AskDaemon(address, port, question, &r) ? r : "no answer";
  };
  return hosts->Call(from, ask, &reply) ? reply : "call failed";
}

class SharedViewsTest : public ::testing::TestWithParam<ViewKind> {};

TEST_P(SharedViewsTest, ThreeHostsShareFilesButNotProcesses) {
  TestHosts hosts({"hosta.test", "hostb.test", "hostc.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  SharedViews views(&hosts, GetParam());
  if (!views.ok()) GTEST_SKIP() << ViewKindName(GetParam()) << ": " << views.error();
  printf("[ figures  ] %s views for 3 hosts made in %.2f s\n", ViewKindName(GetParam()),
         views.setupSeconds());

  // Processes: a sleeper per host, told apart by its argument, all with the same pid.
  std::vector<pid_t> sleepers;
  for (size_t h = 0; h < hosts.size(); ++h) {
    ASSERT_TRUE(hosts.SetNextPid(h, 5000));
    sleepers.push_back(hosts.Start(h, {"/bin/sleep", "100" + std::to_string(h) + "1"}));
    ASSERT_GT(sleepers.back(), 0);
    EXPECT_EQ(TestHosts::HostPid(sleepers.back()), 5000);
    EXPECT_EQ(hosts.RootPid(h, 5000), sleepers.back());
    EXPECT_EQ(TestHosts::HostPid(hosts.InitPid(h)), 1);
  }
  for (size_t h = 0; h < hosts.size(); ++h) {
    const std::string mine = "100" + std::to_string(h) + "1 ";
    std::string seen;  // a sleeper just started may not have become one yet
    for (int i = 0; i < 50 && (seen = SleepersSeen(&hosts, h)) != mine; ++i) usleep(20 * 1000);
    EXPECT_EQ(seen, mine) << hosts.name(h);
  }
  // Each host's vakbd, asked from another host, knows its host's processes and no other's.
  ASSERT_TRUE(hosts.SetNextPid(1, 6000));
  sleepers.push_back(hosts.Start(1, {"/bin/sleep", "10099"}));
  ASSERT_EQ(TestHosts::HostPid(sleepers.back()), 6000);
  const struct {
    size_t asker, daemon;
    pid_t pid;
    const char *reply;
  } questions[] = {
      {1, 0, 5000, "Alive"},    {0, 1, 6000, "Alive"}, {2, 0, 6000, "NotAlive"},
      {1, 2, 6000, "NotAlive"}, {0, 2, 5000, "Alive"},
  };
  for (const auto &q : questions) {
    EXPECT_EQ(AskAlive(&hosts, q.asker, q.daemon, q.pid), q.reply)
        << "pid " << q.pid << " on " << hosts.name(q.daemon);
  }
  const pid_t daemon = hosts.VakbdPid(1);
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(hosts.RootPid(1, TestHosts::HostPid(daemon)), daemon);
  for (pid_t pid : sleepers) hosts.Kill(pid);
  EXPECT_EQ(SleepersSeen(&hosts, 0), "");

  // Files: written whole on one host, read on every other (which read the name before), new,
  // replaced and removed.
  const char kGone[] = "<gone>";
  const struct {
    const char *what, *name, *text;  // kGone: removed
    size_t writer;
  } files[] = {
      {"new file", "f1", "written on host a\n", 0},
      {"replaced by another host", "f1", "written on host c, longer than before\n", 2},
      {"removed by a third", "f1", kGone, 1},
      {"made again", "f1", "again\n", 0},
      {"in a new directory", "d/f2", "b\n", 1},
  };
  for (const auto &f : files) {
    SCOPED_TRACE(f.what);
    const std::string path = views.Sub(f.name), text = f.text;
    std::string said;
    auto write = [&] {
      if (text == kGone) return std::string(unlink(path.c_str()) == 0 ? "ok" : "failed");
      WriteFile(path + ".new", text);
      return std::string(rename((path + ".new").c_str(), path.c_str()) == 0 ? "ok" : "failed");
    };
    auto read = [&] { return Exists(path) ? ReadFile(path) : std::string(kGone); };
    ASSERT_TRUE(hosts.Call(f.writer, write, &said) && said == "ok");
    for (size_t h = 0; h < hosts.size(); ++h) {
      std::string seen;
      EXPECT_TRUE(hosts.Call(h, read, &seen) && seen == text)
          << "on " << hosts.name(h) << ": " << seen;
    }
    EXPECT_EQ(
        Exists(views.backing() + "/" + f.name) ? ReadFile(views.backing() + "/" + f.name) : kGone,
        text);
  }
}

const std::string kProbe = VAK_BINARY_DIR "/tests/fault/view_probe";

// The probe's lines that did not hold, but those of the checks named in expected.
std::string Unexpected(const std::string &out, const std::vector<std::string> &expected) {
  std::string left;
  for (size_t at = 0; at < out.size();) {
    const size_t end = std::min(out.find('\n', at), out.size());
    const std::string line = out.substr(at, end - at);
    bool known = line.compare(0, 2, "ok") == 0;
    for (const std::string &e : expected) known = known || line.find(e) != std::string::npos;
    left += known ? "" : line + "\n";
    at = end + 1;
  }
  return left;
}

// Two clients on one host, one changing and the other looking right after: everything a lock
// needs holds at once. sshfs numbers inodes per mount and always says one link.
TEST_P(SharedViewsTest, TwoClientsAgreeAtOnce) {
  TestHosts hosts({"hosta.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  SharedViews views(&hosts, GetParam());
  if (!views.ok()) GTEST_SKIP() << ViewKindName(GetParam()) << ": " << views.error();
  const std::string second = views.AddView(0);
  ASSERT_FALSE(second.empty()) << views.error();
  RunResult r = hosts.Run(0, {kProbe, views.path(), second, "20"});
  ASSERT_NE(r.out, "") << r.err;
  std::vector<std::string> expected;
  if (GetParam() == ViewKind::kSshfs) expected = {"st_ino", "st_nlink"};
  EXPECT_EQ(Unexpected(r.out, expected), "") << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedViewsTest,
                         ::testing::Values(ViewKind::kLocal, ViewKind::kSshfs, ViewKind::kGluster),
                         [](const ::testing::TestParamInfo<ViewKind> &info) {
                           return std::string(ViewKindName(info.param));
                         });

}  // namespace
