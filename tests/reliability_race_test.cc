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
#include "temp_dir.h"
#include "test_host.h"
#include "vak.h"

namespace {

using namespace vaktest;

const std::string kDriver = VAK_BINARY_DIR "/tests/fault/lock_driver";
const int kWorkersPerHost = 2;

struct Worker {
  size_t host = 0;
  pid_t pid = -1;
  int cmd = -1, res = -1;  // both FIFO ends opened read-write here: opening never blocks
  std::string id;          // "HOST PID", as details reports an owner
};

struct Reply {
  int status = -1;
  std::string text;
};

struct Mix {
  const char *name;
  int files;
  int get, steal, release, idle;  // weights of what a worker does in a round
  int killEvery;                  // a kill in one round of this many, 0: none
};

class Race {
 public:
  Race(TestHosts *hosts, const std::string &dir) : hosts_(hosts), dir_(dir) {}
  ~Race() {
    for (Worker &w : workers_) Stop(&w);
  }

  bool Spawn(Worker *w) {
    const std::string base = dir_ + "/.w" + std::to_string(serial_++);
    if (mkfifo((base + ".cmd").c_str(), 0600) != 0 || mkfifo((base + ".res").c_str(), 0600) != 0) {
      return false;
    }
    w->cmd = open((base + ".cmd").c_str(), O_RDWR | O_CLOEXEC);
    w->res = open((base + ".res").c_str(), O_RDWR | O_CLOEXEC);
    RunOptions options;
    options.env = {{"PATH", "/usr/bin:/bin"}};  // the hosts' own vakbd already serve
    w->pid = hosts_->Start(w->host, {kDriver, "serve", base + ".cmd", base + ".res"}, options);
    w->id = hosts_->name(w->host) + " " + std::to_string(w->pid);
    return w->cmd >= 0 && w->res >= 0 && w->pid > 0;
  }

  void Stop(Worker *w) {
    if (w->pid > 0) hosts_->Kill(w->pid);
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
    Reply r;
    size_t tab = line.find('\t');
    if (tab != std::string::npos) r = {atoi(line.c_str()), line.substr(tab + 1)};
    return r;
  }

  Reply Do(const Worker &w, const std::string &op, const std::string &path) {
    return Send(w, op, path) ? Receive(w) : Reply();
  }

  std::vector<Worker> workers_;

 private:
  TestHosts *hosts_;
  std::string dir_;
  int serial_ = 0;
};

// Side files and dirlocks: anything whose name goes on after ".orvlck".
std::vector<std::string> Leftovers(const std::string &dir) {
  std::vector<std::string> found;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strstr(e->d_name, ".orvlck.") != nullptr) found.push_back(e->d_name);
    }
    closedir(d);
  }
  return found;
}

bool Allowed(const std::string &op, int status) {
  static const std::map<std::string, std::set<int>> kAllowed = {
      // MALFORMED: a first lock read between its create and its write. Never taken for free.
      {"get", {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE}},
      {"steal", {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE}},
      // A release takes the lock first; a steal may come between the two.
      {"release",
       {VAK_OK, VAK_FILE_ALREADY_LOCKED, VAK_MALFORMED_LOCK_STAKE_FILE, VAK_NOT_EDIT_LOCK_OWNER}},
  };
  return kAllowed.at(op).count(status) != 0;
}

int Rounds(int normal) {
  const char *env = getenv("VAK_RELIABILITY_ROUNDS");
  return env != nullptr ? atoi(env) : normal;
}

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
  int rounds = 0, kills = 0, takeOvers = 0, successes = 0;
  for (const Mix &mix : mixes) {
    SCOPED_TRACE(mix.name);
    TempDir tmp;
    Race race(&hosts, tmp.path());
    std::vector<std::string> files;
    for (int f = 0; f < mix.files; ++f) {
      files.push_back(tmp.Sub("f" + std::to_string(f)));
      WriteFile(files.back(), "x");
    }
    race.workers_.resize(hosts.size() * kWorkersPerHost);
    for (size_t i = 0; i < race.workers_.size(); ++i) {
      race.workers_[i].host = i % hosts.size();
      ASSERT_TRUE(race.Spawn(&race.workers_[i]));
    }
    std::map<std::string, std::string> owner;  // file -> owner id after the last round
    const int total = mix.get + mix.steal + mix.release + mix.idle;
    for (int round = 0; round < Rounds(25); ++round, ++rounds) {
      // The victim, an owner, stays idle and dies at a random moment while the others work.
      int victim = -1;
      for (size_t i = 0;
           mix.killEvery > 0 && round % mix.killEvery == 0 && i < race.workers_.size(); ++i) {
        for (const auto &fo : owner) {
          if (victim < 0 && fo.second == race.workers_[i].id) victim = static_cast<int>(i);
        }
      }
      std::vector<std::string> ops(race.workers_.size());
      std::vector<int> on(race.workers_.size());
      for (size_t i = 0; i < ops.size(); ++i) {
        int pick = static_cast<int>(rng() % total);
        ops[i] = static_cast<int>(i) == victim              ? ""
                 : pick < mix.get                           ? "get"
                 : pick < mix.get + mix.steal               ? "steal"
                 : pick < mix.get + mix.steal + mix.release ? "release"
                                                            : "";
        on[i] = static_cast<int>(rng() % files.size());
        ASSERT_TRUE(ops[i].empty() || race.Send(race.workers_[i], ops[i], files[on[i]]));
      }
      if (victim >= 0) {
        usleep(rng() % 20000);
        race.Stop(&race.workers_[victim]);  // killed and reaped: no process at all
        ++kills;
      }
      std::map<int, std::set<std::string>> won;  // file -> workers whose get or steal succeeded
      std::set<int> stolen;
      for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].empty()) continue;
        Reply r = race.Receive(race.workers_[i]);
        ASSERT_TRUE(Allowed(ops[i], r.status))
            << "round " << round << ": " << ops[i] << " gave " << r.status << ": " << r.text;
        if (r.status == VAK_OK && ops[i] != "release") {
          won[on[i]].insert(race.workers_[i].id);
          ++successes;
        }
        if (r.status == VAK_OK && ops[i] == "steal") stolen.insert(on[i]);
      }
      ASSERT_EQ(Leftovers(tmp.path()), std::vector<std::string>()) << "round " << round;
      const std::string dead = victim >= 0 ? race.workers_[victim].id : "";
      for (int f = 0; f < mix.files; ++f) {
        std::set<std::string> seen;
        for (size_t h = 0; h < hosts.size(); ++h) {
          const size_t reader = static_cast<int>(h) == victim ? h + hosts.size() : h;
          Reply r = race.Do(race.workers_[reader], "details", files[f]);
          ASSERT_TRUE(r.status == VAK_OK || r.status == VAK_FILE_NOT_LOCKED)
              << "round " << round << ": file " << f << " from " << hosts.name(h) << ": "
              << r.status << " " << r.text;
          seen.insert(r.status == VAK_OK ? r.text : "");
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
      const Worker &heir = race.workers_[(victim + 1) % hosts.size()];
      for (auto &fo : owner) {
        if (fo.second != dead) continue;
        Reply r = race.Do(heir, "get", fo.first);
        ASSERT_EQ(r.status, VAK_OK) << "take-over from a killed owner: " << r.text;
        fo.second = heir.id;
        ++takeOvers;
      }
      ASSERT_TRUE(race.Spawn(&race.workers_[victim]));
    }
  }
  EXPECT_GT(successes, 0);
  EXPECT_TRUE(takeOvers > 0 || Rounds(25) < 25);
  printf("[ figures  ] %d rounds, %d successful gets and steals, %d owners killed, %d take-overs\n",
         rounds, successes, kills, takeOvers);
}

TEST(ReliabilityRace, UnreachableDaemonIsNeverATakeOver) {
  TestHosts hosts({"hosta.test", "hostb.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);
  TempDir tmp;
  const std::string file = tmp.Sub("f");
  WriteFile(file, "x");
  Race race(&hosts, tmp.path());
  race.workers_.resize(2);
  race.workers_[1].host = 1;
  for (Worker &w : race.workers_) ASSERT_TRUE(race.Spawn(&w));
  ASSERT_EQ(race.Do(race.workers_[0], "get", file).status, VAK_OK);
  const pid_t daemon = hosts.VakbdPid(0);
  ASSERT_GT(daemon, 0);
  kill(daemon, SIGKILL);
  for (int i = 0; i < 100 && hosts.VakbdPid(0) > 0; ++i) usleep(20 * 1000);
  race.Stop(&race.workers_[0]);  // the owner is dead, but nobody on host B can know it
  Reply r = race.Do(race.workers_[1], "get", file);
  EXPECT_TRUE(r.status == VAK_SYS_ERROR || r.status == VAK_NOT_OK) << r.status << " " << r.text;
  EXPECT_NE(ReadFile(file + ".orvlck").find("hosta.test"), std::string::npos);
  RunOptions options;
  options.env = {{"PATH", "/usr/bin:/bin"}, {"VAK_DONT_QUERY_REMOTE_HOSTS", "HOSTA"}};
  RunResult run = hosts.Run(1, {kDriver, "get", file}, options);
  EXPECT_NE(run.out.find("status " + std::to_string(VAK_PROCESS_STATUS_INDETERMINATE)),
            std::string::npos)
      << run.out << run.err;
}

}  // namespace
