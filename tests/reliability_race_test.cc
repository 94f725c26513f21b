// Edit Locks raced from three hosts over one shared directory, with owners killed at random.
//
// Workers (lock_driver serve) on every host take operations from a FIFO. Each round hands some of
// them a get, steal or release on one of a few files at once; after the round every host must see
// the same complete lock-stake file, nothing of a replacement may be left, and a get that
// succeeded must be what every host sees, unless a steal came in the same round. An idle owner is
// killed at a random moment of some rounds; a worker on another host must then take its locks
// over through the owner host's vakbd. VAK_RELIABILITY_ROUNDS scales the run.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "frame_client.h"
#include "temp_dir.h"
#include "test_host.h"
#include "vak.h"

namespace {

using namespace vaktest;

const std::string kDriver = VAK_BINARY_DIR "/tests/fault/lock_driver";

// A lock_driver worker on a host; both FIFO ends are opened read-write here, so no open blocks.
struct Worker {
  size_t host = 0;
  pid_t pid = -1;
  int cmd = -1, res = -1;
  std::string id;  // "HOST PID", as details reports an owner
};
using Reply = std::pair<int, std::string>;  // status, message or owner

struct Mix {
  const char *name;
  int files, get, steal, release, idle;  // weights of what a worker does in a round
  int killEvery;                         // a kill in one round of this many, 0: none
};

bool Spawn(TestHosts *hosts, const std::string &dir, Worker *w) {
  static int serial = 0;
  const std::string cmd = dir + "/.w" + std::to_string(++serial), res = cmd + "r";
  if (mkfifo(cmd.c_str(), 0600) != 0 || mkfifo(res.c_str(), 0600) != 0) return false;
  w->cmd = open(cmd.c_str(), O_RDWR | O_CLOEXEC);
  w->res = open(res.c_str(), O_RDWR | O_CLOEXEC);
  RunOptions options;
  options.env = {{"PATH", "/usr/bin:/bin"}};  // the hosts' own vakbd already serve
  w->pid = hosts->Start(w->host, {kDriver, "serve", cmd, res}, options);
  w->id = hosts->name(w->host) + " " + std::to_string(w->pid);
  return w->cmd >= 0 && w->res >= 0 && w->pid > 0;
}

void Stop(TestHosts *hosts, Worker *w) {  // killed and reaped: no process at all
  if (w->pid > 0) hosts->Kill(w->pid);
  for (int fd : {w->cmd, w->res}) close(fd);
  w->pid = w->cmd = w->res = -1;
}

bool Send(const Worker &w, const std::string &op, const std::string &path) {
  const std::string line = op + " " + path + "\n";
  return write(w.cmd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// One answer line, within 30 seconds (a remote question waits at most 6 + 6).
Reply Receive(const Worker &w) {
  std::string line;
  char c;
  struct pollfd p = {w.res, POLLIN, 0};
  while (poll(&p, 1, 30000) == 1 && read(w.res, &c, 1) == 1 && c != '\n') line += c;
  size_t tab = line.find('\t');
  return tab == std::string::npos ? Reply(-1, line)
                                  : Reply(atoi(line.c_str()), line.substr(tab + 1));
}

Reply Do(const Worker &w, const std::string &op, const std::string &path) {
  return Send(w, op, path) ? Receive(w) : Reply(-1, "");
}

// Side files and dirlocks: anything whose name goes on after ".orvlck".
std::vector<std::string> Leftovers(const std::string &dir) {
  std::vector<std::string> found;
  DIR *d = opendir(dir.c_str());
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
    if (strstr(e->d_name, ".orvlck.") != nullptr) found.push_back(e->d_name);
  }
  if (d != nullptr) closedir(d);
  return found;
}

const std::map<std::string, std::set<int>> kAllowed = {
    // MALFORMED: a first lock read between its create and its write. Never taken for free.
    {"get", {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE}},
    {"steal", {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE}},
    // A release takes the lock first; a steal may come between the two.
    {"release",
     {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE, VAK_NOT_EDIT_LOCK_OWNER}},
};

TEST(ReliabilityRace, ThreeHostsRaceWithKilledOwners) {
  TestHosts hosts({"hosta.test", "hostb.test", "hostc.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);
  const Mix mixes[] = {
      {"gets and releases", 3, 4, 0, 3, 2, 0},
      {"steals among them, owners killed", 3, 4, 2, 2, 3, 3},
      {"everybody after a killed owner's lock", 1, 1, 0, 0, 0, 1},
  };
  std::mt19937 rng(static_cast<unsigned>(getpid()));
  const int rounds = getenv("VAK_RELIABILITY_ROUNDS") ? atoi(getenv("VAK_RELIABILITY_ROUNDS")) : 25;
  int kills = 0, takeOvers = 0, successes = 0;
  for (const Mix &mix : mixes) {
    SCOPED_TRACE(mix.name);
    TempDir tmp;
    std::vector<Worker> workers(hosts.size() * 2);
    std::vector<std::string> files;
    for (int f = 0; f < mix.files; ++f) {
      files.push_back(tmp.Sub("f" + std::to_string(f)));
      WriteFile(files.back(), "x");
    }
    for (size_t i = 0; i < workers.size(); ++i) {
      workers[i].host = i % hosts.size();
      ASSERT_TRUE(Spawn(&hosts, tmp.path(), &workers[i]));
    }
    std::map<std::string, std::string> owner;  // file -> owner id after the last round
    const int total = mix.get + mix.steal + mix.release + mix.idle;
    for (int round = 0; round < rounds; ++round) {
      // The victim, an owner, stays idle and dies at a random moment while the others work.
      int victim = -1;
      for (size_t i = 0; mix.killEvery > 0 && round % mix.killEvery == 0 && i < workers.size();
           ++i) {
        for (const auto &fo : owner) {
          if (victim < 0 && fo.second == workers[i].id) victim = static_cast<int>(i);
        }
      }
      std::vector<std::string> ops(workers.size());
      std::vector<int> on(workers.size());
      for (size_t i = 0; i < ops.size(); ++i) {
        int pick = static_cast<int>(rng() % total);
        ops[i] = static_cast<int>(i) == victim              ? ""
                 : pick < mix.get                           ? "get"
                 : pick < mix.get + mix.steal               ? "steal"
                 : pick < mix.get + mix.steal + mix.release ? "release"
                                                            : "";
        on[i] = static_cast<int>(rng() % files.size());
        ASSERT_TRUE(ops[i].empty() || Send(workers[i], ops[i], files[on[i]]));
      }
      if (victim >= 0) {
        usleep(rng() % 20000);
        Stop(&hosts, &workers[victim]);
        ++kills;
      }
      std::map<int, std::set<std::string>> won;  // file -> workers whose get or steal succeeded
      std::set<int> stolen;
      for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].empty()) continue;
        Reply r = Receive(workers[i]);
        ASSERT_EQ(kAllowed.at(ops[i]).count(r.first), 1u)
            << "round " << round << ": " << ops[i] << " gave " << r.first << ": " << r.second;
        if (r.first == VAK_OK && ops[i] != "release") {
          won[on[i]].insert(workers[i].id);
          ++successes;
        }
        if (r.first == VAK_OK && ops[i] == "steal") stolen.insert(on[i]);
      }
      ASSERT_EQ(Leftovers(tmp.path()), std::vector<std::string>()) << "round " << round;
      const std::string dead = victim >= 0 ? workers[victim].id : "";
      for (int f = 0; f < mix.files; ++f) {
        std::set<std::string> seen;
        for (size_t h = 0; h < hosts.size(); ++h) {
          const size_t reader = static_cast<int>(h) == victim ? h + hosts.size() : h;
          Reply r = Do(workers[reader], "details", files[f]);
          ASSERT_TRUE(r.first == VAK_OK || r.first == VAK_FILE_NOT_LOCKED)
              << "round " << round << ": file " << f << " from " << hosts.name(h) << ": " << r.first
              << " " << r.second;
          seen.insert(r.first == VAK_OK ? r.second : "");
        }
        ASSERT_EQ(seen.size(), 1u) << "round " << round << ": hosts disagree on file " << f;
        const std::string now = *seen.begin();
        if (won.count(f) != 0 && owner[files[f]] == dead) takeOvers += won[f].count(now);
        owner[files[f]] = now;
        if (won.count(f) == 0) continue;
        // Without a steal only one process can have got the lock, and it holds it now.
        if (stolen.count(f) == 0) {
          ASSERT_EQ(won[f], std::set<std::string>{now}) << "round " << round << ", file " << f;
        } else {
          ASSERT_EQ(won[f].count(now), 1u) << "round " << round << ", file " << f;
        }
      }
      if (victim < 0) continue;
      // What nobody took in the round goes to a worker on another host, which must ask the dead
      // owner's vakbd.
      const Worker &heir = workers[(victim + 1) % hosts.size()];
      for (auto &fo : owner) {
        if (fo.second != dead) continue;
        Reply r = Do(heir, "get", fo.first);
        ASSERT_EQ(r.first, VAK_OK) << "take-over from a killed owner: " << r.second;
        fo.second = heir.id;
        ++takeOvers;
      }
      ASSERT_TRUE(Spawn(&hosts, tmp.path(), &workers[victim]));
    }
    for (Worker &w : workers) Stop(&hosts, &w);
  }
  EXPECT_GT(successes, 0);
  EXPECT_TRUE(takeOvers > 0 || rounds < 25);
  printf("[ figures  ] %d rounds, %d successful gets and steals, %d owners killed, %d take-overs\n",
         rounds * 3, successes, kills, takeOvers);
}

// A dead owner whose host's vakbd does not answer keeps its lock: an error, never a take-over;
// the don't-query list turns it into an undecided owner. Host A's vakbd ignores control requests
// from host B.
TEST(ReliabilityRace, UnreachableDaemonIsNeverATakeOver) {
  TestHosts hosts({"hosta.test", "hostb.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);
  TempDir tmp;
  const std::string file = tmp.Sub("f");
  WriteFile(file, "x");
  Worker owner, other;
  other.host = 1;
  ASSERT_TRUE(Spawn(&hosts, tmp.path(), &owner) && Spawn(&hosts, tmp.path(), &other));
  ASSERT_EQ(Do(owner, "get", file).first, VAK_OK);
  const pid_t daemon = hosts.VakbdPid(0);
  std::string sent;
  ASSERT_TRUE(hosts.Call(
      1, [&] { return std::to_string(TellDaemon("hosta.test", hosts.port(), "Die")); }, &sent));
  EXPECT_EQ(sent, "1");
  usleep(200 * 1000);
  ASSERT_EQ(hosts.VakbdPid(0), daemon) << "a remote Die was obeyed";
  kill(daemon, SIGKILL);
  for (int i = 0; i < 100 && hosts.VakbdPid(0) > 0; ++i) usleep(20 * 1000);
  Stop(&hosts, &owner);
  Reply r = Do(other, "get", file);
  EXPECT_TRUE(r.first == VAK_SYS_ERROR || r.first == VAK_NOT_OK) << r.first << " " << r.second;
  EXPECT_NE(ReadFile(file + ".orvlck").find("hosta.test"), std::string::npos);
  RunOptions options;
  options.env = {{"PATH", "/usr/bin:/bin"}, {"VAK_DONT_QUERY_REMOTE_HOSTS", "HOSTA"}};
  RunResult run = hosts.Run(1, {kDriver, "get", file}, options);
  EXPECT_NE(run.out.find("status " + std::to_string(VAK_PROCESS_STATUS_INDETERMINATE)),
            std::string::npos)
      << run.out << run.err;
  Stop(&hosts, &other);
}

}  // namespace
