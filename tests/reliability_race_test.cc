// Edit Locks raced from three hosts over one directory, checked against a ground truth kept outside
// it. Workers (lock_driver serve, under the fault library's random pauses before every call that
// makes or removes a lock name) get one operation each per round, at once; some are killed by
// SIGKILL at random moments, idle or in the middle of an operation, and respawned. Half of them
// also park (SIGSTOP) at a random protocol step some time in their lives; the others go on
// meanwhile, then the parked one dies there or is resumed. Each worker records what it was told;
// at each round's end every host reads every file. The history is then checked (ground_truth.h):
// one owner at a time, no lost lock, every VAK_OK confirmable, releases of one's own lock succeed,
// no unexpected status. After the rounds, every lock of a dead worker must yield to a take-over,
// and no dirlock or side file may be left.
//   VAK_RELIABILITY_ROUNDS  rounds per mix (three mixes; by default 700 on the local directory, 150
//                           over sshfs); VAK_RACE_PAUSE  the workers' VAK_FAULT_PAUSE (0.3:3000)
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "fault_driver.h"
#include "frame_client.h"
#include "ground_truth.h"
#include "shared_views.h"
#include "temp_dir.h"
#include "test_host.h"
#include "vak.h"

namespace {

using namespace vaktest;

using Reply = std::pair<int, std::string>;  // status, and message or owner ("HOST PID")
const int64_t kSecond = 1000000000;

// A lock_driver worker on a host; both FIFO ends are opened read-write here, so no open blocks.
struct Worker {
  size_t host = 0;
  pid_t pid = -1;
  int cmd = -1, res = -1, truth = -1;  // truth: its process in the ground truth
  std::string record;                  // its ground-truth record, outside the shared directory
  size_t recordRead = 0;

  bool Spawn(TestHosts *hosts, const std::string &local, const Env &env) {
    static int serial = 0;
    const std::string in = local + "/w" + std::to_string(++serial), out = in + "r";
    if (mkfifo(in.c_str(), 0600) != 0 || mkfifo(out.c_str(), 0600) != 0) return false;
    cmd = open(in.c_str(), O_RDWR | O_CLOEXEC);
    res = open(out.c_str(), O_RDWR | O_CLOEXEC);
    RunOptions options;
    options.env = env;
    record.clear();
    if (!env.empty()) {
      record = in + ".truth", recordRead = 0;
      options.env.push_back({"VAK_GROUND_TRUTH", record});
    }
    pid = hosts->Start(host, {LockDriverPath(), "serve", in, out}, options);
    return cmd >= 0 && res >= 0 && pid > 0;
  }
  void Stop(TestHosts *hosts) {  // killed and reaped: no process at all
    hosts->Kill(pid);
    for (int fd : {cmd, res}) close(fd);
    pid = cmd = res = -1;
  }
  bool Send(const std::string &op, const std::string &path) const {
    return dprintf(cmd, "%s %s\n", op.c_str(), path.c_str()) > 0;
  }
  // One answer line, within 30 seconds (a remote question waits at most 6 + 6).
  Reply Receive() const {
    std::string line;
    char c;
    struct pollfd p = {res, POLLIN, 0};
    while (poll(&p, 1, 30000) == 1 && read(res, &c, 1) == 1 && c != '\n') line += c;
    size_t tab = line.find('\t');
    return {tab == std::string::npos ? -1 : atoi(line.c_str()), line.substr(tab + 1)};
  }
  Reply Do(const std::string &op, const std::string &path) const {
    return Send(op, path) ? Receive() : Reply(-1, "");
  }
  // Whether it is stopped (at its stop point). A worker on a test host is not this process's
  // child (the host's go-between started it), so its state is read from /proc.
  bool Parked() const {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'T';
  }
  // Size of its record: it grows when an operation starts or ends.
  off_t Recorded() const {
    struct stat st;
    return stat(record.c_str(), &st) == 0 ? st.st_size : 0;
  }
  // Hands what the worker recorded since the last call to the ground truth.
  void Collect(GroundTruth *gt) {
    const std::string text = ReadFile(record);
    if (text.size() > recordRead) gt->AddRecord(truth, text.substr(recordRead));
    recordRead = text.size();
  }
};

struct Mix {
  const char *name;
  size_t files;
  const char *ops;    // picked at random per worker and round: get steal release idle
  double killChance;  // of a kill in a round
  bool killOwner;     // the victim is an owner (when there is one)
};

// Runs fn (returning bool) on the first host, whose view of the shared directory is views[0]:
// files are made and removed through a view, never behind a network file system's back. fn runs
// in a child process on that host; its result comes back, nothing else does.
template <typename Fn>
bool OnHost(TestHosts *hosts, Fn fn) {
  std::string result;
  return hosts->Call(
             0, [&] { return std::string(fn() ? "1" : "0"); }, &result) &&
         result == "1";
}

// The race over one shared directory: backing is where it lives on this machine, views[h] the
// path by which host h reaches it. Returns the number of violations found.
int Race(TestHosts *hosts, const std::string &backing, const std::vector<std::string> &views,
         const std::string &label, int rounds) {
  TempDir local;  // FIFOs and the ground-truth records: never in the shared directory
  GroundTruth truth;
  const char *pause = getenv("VAK_RACE_PAUSE");
  const Env workerEnv = FaultEnv({{"VAK_FAULT_PAUSE", pause != nullptr ? pause : "0.3:3000"}});
  std::vector<Worker> workers(hosts->size() * 2), readers(hosts->size());
  std::mt19937 rng(static_cast<unsigned>(getpid()));
  // Half the workers park at a random step of the protocol some time in their lives: a call that
  // reads, makes or removes a lock name, before or after it.
  const char *const kSteps[] = {"open:.orvlck",   "lstat:.orvlck",   "link:.orvlck",
                                "linkat:.orvlck", "link:.dirlock",   "linkat:.dirlock",
                                "rename:.orvlck", "unlink:.dirlock", "unlink:.orvlck"};
  auto spawn = [&](size_t i) {
    workers[i].host = i % hosts->size();
    workers[i].truth = truth.AddProcess("w" + std::to_string(i));
    Env env = workerEnv;
    if (rng() % 2 == 0) {
      env.push_back({"VAK_FAULT_STOP", std::string(kSteps[rng() % 6]) + ":" +
                                           std::to_string(1 + rng() % 6) +
                                           (rng() % 2 ? ":before" : ":after")});
    }
    return workers[i].Spawn(hosts, local.path(), env);
  };
  for (size_t i = 0; i < workers.size(); ++i) EXPECT_TRUE(spawn(i));
  for (size_t h = 0; h < readers.size(); ++h) {
    readers[h].host = h;
    EXPECT_TRUE(readers[h].Spawn(hosts, local.path(), {}));
  }
  if (::testing::Test::HasFailure()) return 1;
  const Mix mixes[] = {
      {"gets and releases", 3, "ggggrrrii", 0.3, false},
      {"steals among them, owners killed", 3, "ggggssrrii", 0.5, true},
      {"everybody after a killed owner's lock", 1, "g", 1.0, true},
  };
  std::vector<std::string> allFiles;
  int roundNo = 0, parks = 0, cleared = 0;
  for (size_t m = 0; m < sizeof mixes / sizeof mixes[0]; ++m) {
    const Mix &mix = mixes[m];
    std::vector<std::string> files;
    for (size_t f = 0; f < mix.files; ++f) {
      files.push_back("m" + std::to_string(m) + "f" + std::to_string(f));
      OnHost(hosts, [&] {
        WriteFile(views[0] + "/" + files.back(), "x");
        return true;
      });
      allFiles.push_back(files.back());
    }
    std::vector<std::set<std::string>> holds(workers.size());  // what each was told it owns
    for (int round = 0; round < rounds; ++round, ++roundNo) {
      truth.Round(MonotonicNs(), roundNo);
      std::vector<std::string> ops(workers.size()), at(workers.size());
      std::vector<off_t> recorded(workers.size());
      for (size_t i = 0; i < workers.size(); ++i) {
        char pick = mix.ops[rng() % strlen(mix.ops)];
        at[i] = files[rng() % files.size()];
        if (pick == 'r' && holds[i].empty()) pick = 'g';
        if (pick == 'r') at[i] = *holds[i].begin();
        ops[i] = pick == 'g' ? "get" : pick == 's' ? "steal" : pick == 'r' ? "release" : "";
        recorded[i] = workers[i].Recorded();
        if (!ops[i].empty()) workers[i].Send(ops[i], views[workers[i].host] + "/" + at[i]);
      }
      std::set<size_t> victims;
      auto killed = [&](size_t v) {
        truth.Killed(workers[v].truth, MonotonicNs());
        workers[v].Stop(hosts);
        victims.insert(v);
      };
      if (std::uniform_real_distribution<double>(0, 1)(rng) < mix.killChance) {
        std::vector<size_t> owners;
        for (size_t i = 0; i < workers.size(); ++i) {
          if (!holds[i].empty()) owners.push_back(i);
        }
        const size_t v = mix.killOwner && !owners.empty() ? owners[rng() % owners.size()]
                                                          : rng() % workers.size();
        // Half the kills wait for the victim's operation to start (by its record) and land
        // soon after; the others at any moment: idle, busy or done.
        const bool inside = rng() % 2 == 0 && !ops[v].empty();
        for (int i = 0; inside && i < 1000 && workers[v].Recorded() == recorded[v]; ++i) {
          usleep(20);
        }
        usleep(inside ? rng() % 300 : rng() % 3000);
        killed(v);
      }
      // The answers. A worker parked at its stop point waits until the others have answered (or
      // for three seconds: another may be waiting for what the parked one holds, as a release
      // waits for a live holder of the dirlock), then dies there or goes on.
      std::map<size_t, Reply> replies;
      std::set<size_t> parked;
      const int64_t answersFrom = MonotonicNs();
      auto collect = [&](bool forParked) {
        for (int64_t end = answersFrom + 30 * kSecond; MonotonicNs() < end;) {
          std::vector<struct pollfd> fds;
          std::vector<size_t> who;
          for (size_t i = 0; i < workers.size(); ++i) {
            if (ops[i].empty() || victims.count(i) || replies.count(i)) continue;
            if (forParked && parked.count(i) == 0 && workers[i].Parked()) parked.insert(i);
            if (parked.count(i) == 0) fds.push_back({workers[i].res, POLLIN, 0}), who.push_back(i);
          }
          if (fds.empty()) break;
          if (forParked && !parked.empty() && MonotonicNs() > answersFrom + 3 * kSecond) break;
          poll(fds.data(), fds.size(), 2);
          for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents & POLLIN) replies[who[k]] = workers[who[k]].Receive();
          }
        }
      };
      collect(true);
      const std::set<size_t> wasParked = parked;
      for (size_t i : wasParked) {
        if (rng() % 2 == 0) {
          ++parks;
          kill(workers[i].pid, SIGCONT);
          replies[i] = workers[i].Receive();
        } else {
          killed(i);
        }
      }
      // Those that waited for a parked one answer once it has gone on or died.
      parked.clear();
      collect(false);
      for (size_t i = 0; i < workers.size(); ++i) {
        if (ops[i].empty() || victims.count(i)) continue;
        const Reply r = replies.count(i) ? replies[i] : Reply(-1, "");
        if (r.first == -1) {  // no answer in time: recorded, then the worker is replaced
          const int64_t t = MonotonicNs();
          truth.Add(
              {"no answer", at[i],
               "w" + std::to_string(i) + " " + ops[i] + " " + at[i] + " did not answer within 30 s",
               t, t});
          killed(i);
        } else if (r.first == VAK_OK && ops[i] != "release") {
          holds[i].insert(at[i]);
        } else if (ops[i] == "release") {
          holds[i].erase(at[i]);
        }
      }
      for (Worker &w : workers) w.Collect(&truth);
      for (const std::string &file : files) {
        bool malformed = true;
        for (size_t h = 0; h < readers.size(); ++h) {
          const Reply r = readers[h].Do("details", views[h] + "/" + file);
          truth.Read(MonotonicNs(), file, hosts->name(h),
                     r.first == VAK_OK ? r.second
                     : r.first == VAK_FILE_NOT_LOCKED
                         ? ""
                         : "status " + std::to_string(r.first) + " " + r.second);
          malformed &= r.first == VAK_MALFORMED_LOCK_STAKE_FILE;
        }
        // An empty lock-stake file (its creator died before writing it) blocks the file for
        // good; found and reported, it is removed as an administrator would, so the race goes on.
        const std::string stake = backing + "/" + file + ".orvlck";
        const bool removed =
            malformed && Exists(stake) && ReadFile(stake).empty() &&
            OnHost(hosts, [&] { return unlink((views[0] + "/" + file + ".orvlck").c_str()) == 0; });
        if (removed) {
          truth.ForcedRelease(file, MonotonicNs());
          ++cleared;
        }
      }
      for (size_t v : victims) {
        holds[v].clear();
        if (!spawn(v)) return 1;
      }
    }
  }
  // Every lock of a dead worker must yield to a take-over from another host.
  int takeOvers = 0;
  for (const std::string &file : allFiles) {
    const Reply owner = readers[0].Do("details", views[0] + "/" + file);
    if (owner.first != VAK_OK && owner.first != VAK_FILE_NOT_LOCKED) {
      const int64_t t = MonotonicNs();
      truth.Add({"take-over", file,
                 "no take-over can read the lock at the end: " + StatusName(owner.first) + " " +
                     owner.second,
                 t, t});
    }
    if (owner.first != VAK_OK || truth.AliveAt(owner.second, MonotonicNs())) continue;
    size_t h = 0;
    while (h + 1 < hosts->size() &&
           owner.second.compare(0, hosts->name(h).size() + 1, hosts->name(h) + " ") != 0) {
      ++h;
    }
    const Worker &heir = readers[(h + 1) % readers.size()];
    const Reply got = heir.Do("get", views[heir.host] + "/" + file);
    const Reply released = heir.Do("release", views[heir.host] + "/" + file);
    takeOvers += got.first == VAK_OK;
    if (got.first != VAK_OK || released.first != VAK_OK) {
      const int64_t t = MonotonicNs();
      truth.Add({"take-over", file,
                 "the final take-over of dead " + owner.second + "'s lock from " +
                     hosts->name(heir.host) + " gave " + std::to_string(got.first) + " " +
                     got.second + "; its release " + std::to_string(released.first),
                 t, t});
    }
  }
  // What killed workers left is cleared by a listing of the directory, as an administrator's
  // clears it; a side file left half-written counts as abandoned once it is ten seconds old.
  bool halfWritten = false;
  DIR *d = opendir(backing.c_str());
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
    halfWritten = halfWritten ||
                  (strstr(e->d_name, ".orvlck.") != nullptr &&
                   ReadFile(backing + "/" + e->d_name).find("TimeEditLocked") == std::string::npos);
  }
  if (d != nullptr) closedir(d);
  if (halfWritten) sleep(11);
  readers[0].Do("ale", views[0]);
  // Nothing may be left of a replacement: no dirlock, no side file.
  d = opendir(backing.c_str());
  while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
    const char *tail = strstr(e->d_name, ".orvlck.");
    if (tail == nullptr) continue;
    const std::string name(e->d_name, tail - e->d_name), path = backing + "/" + e->d_name;
    const std::string content = ReadFile(path);
    const size_t host = content.find("HostName"), pid = content.find("ProcessIdentifier");
    auto value = [&](size_t at) {
      return at == std::string::npos ? "?"
                                     : content.substr(at + 31, content.find('\n', at) - at - 31);
    };
    const int64_t t = MonotonicNs();
    truth.Add({"leftover", name,
               std::string(e->d_name) + " left, naming " + value(host) + " " + value(pid), t, t});
  }
  if (d != nullptr) closedir(d);
  for (Worker &w : workers) w.Stop(hosts);
  for (Worker &w : readers) w.Stop(hosts);

  const std::vector<Violation> found = truth.Check();
  std::map<std::string, int> byKind;
  for (const Violation &v : found) {
    if (++byKind[v.kind] <= 3) ADD_FAILURE() << label << ": " << truth.Timeline(v);
  }
  const Figures f = truth.Count();
  std::string kinds;
  for (const auto &k : byKind) kinds += ", " + k.first + " " + std::to_string(k.second);
  printf(
      "[ figures  ] %s: %d rounds, %ld gets, %ld steals, %ld releases, %ld kills (%ld inside an "
      "operation), %d parked and resumed, %ld take-overs (%d in the final pass), %d empty locks "
      "removed, %zu violations%s\n",
      label.c_str(), roundNo, f.gets, f.steals, f.releases, f.kills, f.killsInside, parks,
      f.takeOvers, takeOvers, cleared, found.size(), kinds.c_str());
  EXPECT_GT(f.gets, 0);
  return static_cast<int>(found.size());
}

// Three hosts with processes of the same identifiers, each reaching the directory through its
// own view of the kind given (a network file system: each host its own client).
void RaceThreeHosts(ViewKind kind) {
  TestHosts hosts({"hosta.test", "hostb.test", "hostc.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  SharedViews shared(&hosts, kind);
  // The suite's set-up installs every file system this needs: a missing one is a failure there.
  ASSERT_TRUE(shared.ok()) << "no " << ViewKindName(kind) << " view: " << shared.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);
  // Some 10 to 20 seconds each by default (rounds per mix; three mixes).
  const char *env = getenv("VAK_RELIABILITY_ROUNDS");
  const int rounds = env != nullptr ? atoi(env) : kind == ViewKind::kLocal ? 300 : 80;
  const std::vector<std::string> views(hosts.size(), shared.path());
  EXPECT_EQ(Race(&hosts, shared.backing(), views, ViewKindName(kind), rounds), 0);
}

TEST(ReliabilityRace, ThreeHostsOnALocalDisk) {
  RaceThreeHosts(ViewKind::kLocal);
}

TEST(ReliabilityRace, ThreeHostsOnTheirOwnSshfsMounts) {
  RaceThreeHosts(ViewKind::kSshfs);
}

TEST(ReliabilityRace, ThreeHostsOnTheirOwnGlusterfsMounts) {
  RaceThreeHosts(ViewKind::kGluster);
}

// A dead owner whose host's vakbd does not answer keeps its lock: an error, never a take-over;
// the don't-query list makes it undecided. Host A's vakbd ignores control from host B.
TEST(ReliabilityRace, ADeadOwnerWhoseDaemonIsGoneKeepsItsLock) {
  TempDir tmp, local;
  TestHosts hosts({"hosta.test", "hostb.test"}, FreeTcpPort());
  if (!hosts.ok()) GTEST_SKIP() << hosts.error();
  setenv("VAK_PORTNUM", std::to_string(hosts.port()).c_str(), 1);
  Worker workers[2];
  for (size_t i = 0; i < 2; ++i) {
    workers[i].host = i;
    ASSERT_TRUE(workers[i].Spawn(&hosts, local.path(), {}));
  }
  const std::string file = tmp.Sub("f");
  WriteFile(file, "x");
  ASSERT_EQ(workers[0].Do("get", file).first, VAK_OK);
  const pid_t daemon = hosts.VakbdPid(0);
  std::string sent;
  auto die = [&] { return std::to_string(TellDaemon("hosta.test", hosts.port(), "Die")); };
  ASSERT_TRUE(hosts.Call(1, die, &sent) && sent == "1");
  usleep(200 * 1000);
  ASSERT_EQ(hosts.VakbdPid(0), daemon) << "a remote Die was obeyed";
  kill(daemon, SIGKILL);
  for (int i = 0; i < 100 && hosts.VakbdPid(0) > 0; ++i) usleep(20 * 1000);
  workers[0].Stop(&hosts);
  Reply r = workers[1].Do("get", file);
  EXPECT_TRUE(r.first == VAK_SYS_ERROR || r.first == VAK_NOT_OK) << r.first << " " << r.second;
  EXPECT_NE(ReadFile(file + ".orvlck").find("hosta.test"), std::string::npos);
  RunOptions options;
  options.env = {{"PATH", "/usr/bin:/bin"}, {"VAK_DONT_QUERY_REMOTE_HOSTS", "HOSTA"}};
  RunResult run = hosts.Run(1, {LockDriverPath(), "get", file}, options);
  EXPECT_NE(run.out.find("status " + std::to_string(VAK_PROCESS_STATUS_INDETERMINATE)),
            std::string::npos)
      << run.out << run.err;
  workers[1].Stop(&hosts);
}

}  // namespace
