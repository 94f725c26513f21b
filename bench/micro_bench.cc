// micro_bench.cc - the library's per-operation costs beside their bare baselines, in one run:
//   Lock/*      get + release of one Edit Lock through the public API; the bare protocol; the bare
//               exclusive-create cycle
//   Replace/*   a steal from another owner; the bare replace protocol; the bare link dance alone
//   Liveness/*  one remote question through vakIsProcessAlive, answered by vakbd or by the bare
//               server (same client, same framed messages)
// Environment: BENCH_DIR (scratch folder), VAK_PORTNUM (vakbd, already serving), BENCH_BARE_PORT.
// "vak_micro_bench --cycles N CASE" runs one case N times without timing, for strace -c; with
// BENCH_MARK=DIR it also looks up DIR/mark.get, mark.release, mark.steal, mark.end around each
// operation, so that a server log of a mount at DIR can be cut into operations.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bare.h"
#include "bd_client.h"
#include "init.h"
#include "orv.h"
#include "vak.h"

namespace {

std::string dir, locked, stake, stealLocked, stealStake, side, dirlock, templateStake;
std::string lockText, stealText;
const char *markDir = nullptr;
int32_t vakbdPort = 0, barePort = 0;
ProcessIdentity remoteSelf;

std::string Slurp(const std::string &path) {
  std::string text;
  FILE *in = fopen(path.c_str(), "r");
  if (in == nullptr) return text;
  char buffer[8192];
  size_t n = fread(buffer, 1, sizeof buffer, in);
  fclose(in);
  return std::string(buffer, n);
}

void Touch(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
}

// Puts back the other owner's lock that a steal replaces.
bool PlantOtherOwner() {
  unlink(stealStake.c_str());
  return link(templateStake.c_str(), stealStake.c_str()) == 0;
}

bool Setup() {
  const char *base = getenv("BENCH_DIR");
  dir = base != nullptr ? base : "/tmp/vak-bench";
  mkdir(dir.c_str(), 0755);
  locked = dir + "/lock.txt";
  stake = locked + ".orvlck";
  stealLocked = dir + "/steal.txt";
  stealStake = stealLocked + ".orvlck";
  side = stealStake + "." + std::to_string(getpid());
  dirlock = stealStake + ".dirlock";
  templateStake = dir + "/other.txt.orvlck";
  Touch(locked);
  Touch(stealLocked);
  Touch(dir + "/other.txt");
  for (const std::string &name : {stake, stealStake, templateStake, side, dirlock}) {
    unlink(name.c_str());
  }

  char *msg = nullptr;
  if (vakInit("vak_micro_bench", vakDefaultLockingMode, &msg) != VAK_OK) return false;
  // The lock that steals take: owned by process 1, which lives as long as the machine.
  uint64_t self = vakInitInfo->processId->processId;
  vakInitInfo->processId->processId = 1;
  int status = vakEditLockControl((dir + "/other.txt").c_str(), "bench", GET_LOCK, 0, nullptr,
                                  nullptr, &msg);
  vakInitInfo->processId->processId = self;
  if (status != VAK_OK) return false;

  // The texts the bare baselines write: what the library writes for the same operations.
  if (vakGetEditLock(locked.c_str(), "bench", &msg) != VAK_OK) return false;
  lockText = Slurp(stake);
  if (vakReleaseEditLock(locked.c_str(), &msg) != VAK_OK) return false;
  if (!PlantOtherOwner() || vakStealEditLock(stealLocked.c_str(), "bench", &msg) != VAK_OK) {
    return false;
  }
  stealText = Slurp(stealStake);

  vakBdInit();
  vakbdPort = vakBdPort;
  const char *bare = getenv("BENCH_BARE_PORT");
  barePort = bare != nullptr ? atoi(bare) : 0;
  // Another spelling of this host, asked over TCP like any other host: its address, which needs
  // no hosts file (a bare root file system has none, so not even localhost resolves there).
  remoteSelf.hostName = const_cast<char *>("127.0.0.1");
  remoteSelf.processId = static_cast<uint64_t>(getpid());
  remoteSelf.creationTime = vakInitInfo->processId->creationTime;
  return !lockText.empty() && !stealText.empty();
}

// A lookup of a name that does not exist, seen in the server's log as the border of an operation.
void Mark(const char *what) {
  if (markDir == nullptr) return;
  struct stat st;
  lstat((std::string(markDir) + "/mark." + what).c_str(), &st);
}

// One iteration of each case; false on failure.
bool Lock() {
  char *msg = nullptr;
  Mark("get");
  bool ok = vakGetEditLock(locked.c_str(), "bench", &msg) == VAK_OK;
  Mark("release");
  ok = ok && vakReleaseEditLock(locked.c_str(), &msg) == VAK_OK;
  Mark("end");
  free(msg);
  return ok;
}
bool BareLock() {
  if (markDir == nullptr) {
    return bare_lock_cycle(locked.c_str(), stake.c_str(), lockText.data(), lockText.size()) == 0;
  }
  Mark("get");
  bool ok = bare_get(locked.c_str(), stake.c_str(), lockText.data(), lockText.size()) == 0;
  Mark("release");
  ok = ok && bare_release(locked.c_str(), stake.c_str(), lockText.size()) == 0;
  Mark("end");
  return ok;
}
bool BareCreate() {
  return bare_create_cycle(stake.c_str(), lockText.data(), lockText.size()) == 0;
}
bool Steal() {
  char *msg = nullptr;
  Mark("steal");
  bool ok = vakStealEditLock(stealLocked.c_str(), "bench", &msg) == VAK_OK;
  Mark("end");
  free(msg);
  return ok;
}
bool BareReplace() {
  Mark("steal");
  bool ok = bare_replace_cycle(stealLocked.c_str(), stealStake.c_str(), side.c_str(),
                               dirlock.c_str(), stealText.data(), stealText.size()) == 0;
  Mark("end");
  return ok;
}
bool Dance() {
  return bare_link_dance(side.c_str(), dirlock.c_str(), stealStake.c_str()) == 0;
}
bool Ask(int32_t port) {
  vakBdPort = port;
  int alive = -1;
  char *msg = nullptr;
  bool ok = vakIsProcessAlive(&remoteSelf, &alive, &msg) == VAK_OK && alive == VAK_PROC_ALIVE;
  if (!ok) fprintf(stderr, "liveness question failed: %s\n", msg != nullptr ? msg : "");
  free(msg);
  return ok;
}

// What a replace case needs before each iteration: the other owner's lock back in place (and, for
// the dance alone, a side file).
void ResetSteal(bool withSide) {
  PlantOtherOwner();
  if (withSide) {
    // A file of its own, not a link to the template: renaming one name of a file over another
    // name of the same file does nothing.
    unlink(side.c_str());
    const std::string text = Slurp(templateStake);
    int fd = open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 && write(fd, text.data(), text.size()) >= 0) close(fd);
  }
}

void Run(benchmark::State &state, bool (*op)()) {
  for (auto _ : state) {
    if (!op()) {
      state.SkipWithError("operation failed");
      break;
    }
  }
}

void RunReplace(benchmark::State &state, bool (*op)(), bool withSide) {
  for (auto _ : state) {
    state.PauseTiming();
    ResetSteal(withSide);
    state.ResumeTiming();
    if (!op()) {
      state.SkipWithError("operation failed");
      break;
    }
  }
}

void Register() {
  benchmark::RegisterBenchmark("Lock/vak_get_release", Run, Lock);
  benchmark::RegisterBenchmark("Lock/bare_protocol", Run, BareLock);
  benchmark::RegisterBenchmark("Lock/bare_create_excl", Run, BareCreate);
  benchmark::RegisterBenchmark("Replace/vak_steal", RunReplace, Steal, false);
  benchmark::RegisterBenchmark("Replace/bare_replace", RunReplace, BareReplace, false);
  benchmark::RegisterBenchmark("Replace/bare_link_dance", RunReplace, Dance, true);
  benchmark::RegisterBenchmark("Liveness/vakbd", Run, [] { return Ask(vakbdPort); });
  if (barePort != 0) {
    benchmark::RegisterBenchmark("Liveness/bare_server", Run, [] { return Ask(barePort); });
  }
}

// Untimed mode for counting system calls: runs one case n times.
int Cycles(long n, const std::string &name) {
  struct Case {
    const char *name;
    bool (*op)();
    int reset;  // 0 none, 1 other owner, 2 other owner and side file
  } cases[] = {{"lock", Lock, 0},
               {"bare_lock", BareLock, 0},
               {"bare_create", BareCreate, 0},
               {"steal", Steal, 1},
               {"bare_replace", BareReplace, 1},
               {"dance", Dance, 2},
               {"liveness", [] { return Ask(vakbdPort); }, 0},
               {"liveness_bare", [] { return Ask(barePort); }, 0}};
  for (const Case &c : cases) {
    if (name != c.name) continue;
    for (long i = 0; i < n; ++i) {
      if (c.reset != 0) ResetSteal(c.reset == 2);
      if (!c.op()) return 1;
    }
    return 0;
  }
  fprintf(stderr, "unknown case %s\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  cmnNoInstallRootRequired();  // vakbd serves already; its launch says nothing either way
  orvInitNonORVApp(argv[0]);
  if (!Setup()) {
    fprintf(stderr, "vak_micro_bench: setup failed in %s\n", dir.c_str());
    return 1;
  }
  if (argc == 4 && strcmp(argv[1], "--cycles") == 0) {
    markDir = getenv("BENCH_MARK");
    return Cycles(atol(argv[2]), argv[3]);
  }
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
