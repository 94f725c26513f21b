// vakAdminTool's listings and releases over real hierarchies, run as a program: the exact report,
// the messages, the exit status and the lock-stake files that remain.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "orv.h"
#include "run_program.h"
#include "temp_dir.h"
#include "test_host.h"
#include "vak.h"

namespace {

std::string Stake(const std::string &host, const std::string &pid, const std::string &time) {
  return "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\nLockStakeVersion 1.1\n"
         "LoginName u\nHostName " +
         host + "\nProcessIdentifier " + pid + "\nProcessCreationTime_UTC " + time +
         "\nProcessCreationTime_Readable x\nAppIdentifier t\nOSType lnx86\n"
         "ReasonForPlacingEditLock r\nFilePathUsedToEditLock p\nTimeEditLocked t\n";
}

std::string List(const std::string &lines, const std::string &summary, const std::string &dir) {
  return "BEGIN: Edit Locks List\n" + lines + "END: Edit Locks List\n\nSUMMARY: " + summary +
         " in the directory hierarchy: " + dir + "\n";
}

std::string Released(const std::string &lines, const std::string &summary, const std::string &dir) {
  return "BEGIN: Release Edit Locks.\n" + lines + "END: Release Edit Locks.\nSUMMARY: " + summary +
         " in the directory hierarchy: " + dir + "\n";
}

std::string ReleasedOne(const std::string &path) {
  return "BEGIN: Release One Edit Lock.\n " + path +
         "\nEND: Release One Edit Lock.\nSUMMARY: Successfully released the Edit Lock\n";
}

// The walk follows the directory's own order: sort each run of lock lines (they start with a
// blank) so that the comparison is exact yet independent of that order.
std::string SortLockLines(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::pair<int, std::string>> keyed;
  int run = 0;
  for (std::string line; std::getline(in, line);) {
    run += line[0] != ' ';
    keyed.emplace_back(run, line);
    run += line[0] != ' ';
  }
  std::sort(keyed.begin(), keyed.end());
  std::string sorted;
  for (const auto &k : keyed) sorted += k.second + "\n";
  return sorted;
}

// The lines of text in order, for output whose order follows the directory's.
std::string SortLines(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const std::string &line : lines) sorted += line;
  return sorted;
}

TEST(SweepTest, ReportsAndReleasesOverRealHierarchies) {
  // Trees live in memory where possible: creating 100,000 files on a busy disk takes far longer
  // than the walk under test.
  if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  vaktest::DaemonGuard guard;
  // The tree and a copy of the programs where the other user of the kNobody row can reach them.
  vaktest::TempDir tmp(vaktest::TempDir::kEveryone), tmpBig, stage(vaktest::TempDir::kEveryone);
  const std::string prog = vaktest::StagedProgram("vakAdminTool"), d = tmp.path();
  const std::string nobodyProg = vaktest::CopyStageTo(stage.path()) + "/tools/bin/vakAdminTool";
  orvInitNonORVApp((vaktest::StageRoot() + "/tools/bin/sweep_test").c_str());  // finds vakbd
  ASSERT_EQ(VAK_OK, vakInit("sweep-test", vakDefaultLockingMode, nullptr));
  auto lock = [&](const std::string &path) {
    vaktest::WriteFile(tmp.Sub(path), "x");
    ASSERT_EQ(VAK_OK, vakGetEditLock(tmp.Sub(path).c_str(), "test", nullptr)) << path;
  };
  auto stake = [&](const std::string &path, const std::string &text) {
    vaktest::WriteFile(tmp.Sub(path + ".orvlck"), text);
  };
  lock("mix/r/f");
  LockStake *chain = nullptr;
  ASSERT_EQ(VAK_OK, vakGetEditLockDetails(tmp.Sub("mix/r/f").c_str(), &chain, nullptr));
  const ProcessIdentity &id = *chain->header->processId;
  const std::string host = id.hostName, pid = std::to_string(id.processId),
                    ctime = std::to_string(id.creationTime), me = host + " " + pid + " " + ctime;
  vakFreeLockStake(chain);

  // A stake beside a link to a file, a link to a locked directory, a file with two hard links.
  vaktest::WriteFile(tmp.Sub("mix/t"), "x");
  ASSERT_EQ(0, symlink("t", tmp.Sub("mix/l").c_str()));
  stake("mix/l", Stake(host, pid, ctime));
  ASSERT_EQ(0, symlink("r", tmp.Sub("mix/ld").c_str()));
  vaktest::WriteFile(tmp.Sub("mix/h"), "x");
  ASSERT_EQ(0, link(tmp.Sub("mix/h").c_str(), tmp.Sub("mix/h2").c_str()));
  stake("mix/h", Stake(host, pid, ctime));

  lock("mal/k");
  vaktest::WriteFile(tmp.Sub("mal/m"), "x");
  stake("mal/m", "not a lock stake\n");
  stake("mal/gone", Stake("other.test", "7", "100"));

  stake("flt/a", Stake("h.test", "12", "100"));
  stake("flt/b", Stake("h.test", "12", "999"));
  stake("flt/c", Stake("h.test", "13", "100"));
  stake("flt/d", Stake("H.test", "12", "100"));

  lock("one/f");
  vaktest::WriteFile(tmp.Sub("one/u"), "x");  // neither locked nor a directory

  // An unreadable subdirectory, walked by an ordinary user (root reads everything).
  stake("ur/ok/f", Stake("h.test", "7", "100"));
  stake("ur/u/f", Stake("h.test", "8", "100"));
  ASSERT_EQ(0, vaktest::RunProgram({"/bin/chown", "-R", "65534:65534", tmp.Sub("ur")}).exitStatus);
  ASSERT_EQ(0, chmod(tmp.Sub("ur/u").c_str(), 0));

  stake("hst/x", Stake("hosta.test", "5", "50"));
  stake("hst/y", Stake("hosta", "6", "60"));
  vaktest::TestHosts hosts({"hosta.test"}, guard.port());

  // 101,000 entries in 100 directories, 1,000 of them Edit Locks.
  const std::string big = tmpBig.path(), meStake = Stake(host, pid, ctime);
  std::string bigLines;
  for (int k = 0; k < 100; ++k) {
    for (int i = 0; i < 1010; ++i) {
      const std::string name =
          big + "/d" + std::to_string(k) + (i < 10 ? "/f" : "/p") + std::to_string(i);
      if (i < 10) {
        vaktest::WriteFile(name + ".orvlck", meStake);  // also makes the directory
        bigLines += " " + name + " " + me + " \n";
      }
      close(open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
  }

  const std::string exit0 = "vakAdminTool exiting with status 0\n";
  const std::string mal3 =
      " mal/k " + me + " \n mal/m HAS MALFORMED LOCK STAKE!!! \n mal/gone other.test 7 100 \n";
  const std::string flt3 = " flt/a 12 100 \n flt/b 12 999 \n flt/c 13 100 \n";
  const std::string assume = "Assuming domain hosta.test. Use force mode to ";
  auto fltList = [](const std::string &lines, const std::string &summary) {
    return List(lines, summary, "flt");
  };
  auto fltReleased = [](const std::string &lines, const std::string &summary) {
    return Released(lines, summary, "flt");
  };
  enum Runner { kPlain, kNobody, kTestHost };
  struct Row {
    Runner runner;
    std::string args, input, out, err;
    int status;
  } rows[] = {
      {kPlain, "-ale mix/", "",
       List(" mix//r/f " + me + " \n", "Only one Edit Lock was found", "mix/"), "", 0},
      {kPlain, "-noprompt -force", "ale mal\naple mal " + host + "\nare mal\nexit\n",
       List(mal3, "A total of 3 Edit Locks were found", "mal") +
           List(" mal/k " + pid + " " + ctime + " \n",
                "Only one Edit Lock from the host \"" + host + "\" was found", "mal") +
           Released(mal3, "A total of 3 Edit Locks were released", "mal") + exit0,
       "", 0},
      {kPlain, "-noprompt",
       "aple flt h.test\naple flt H.test abc\naple flt h.test 12\naple flt h.test 13x\n"
       "aple flt h.test 12 100\naple flt h.test 12 4294967396\n"
       "apre flt h.test 0 0\napre flt h.test 12 100\napre flt h.test 12 100\nexit\n",
       fltList(flt3, "A total of 3 Edit Locks from the host \"h.test\" were found") +
           fltList(" flt/d 12 100 \n", "Only one Edit Lock from the host \"H.test\" was found") +
           fltList(" flt/a 100 \n flt/b 999 \n",
                   "A total of 2 Edit Locks, belonging to the processId \"12\" from host "
                   "\"h.test\" were found") +
           fltList(" flt/c 100 \n",
                   "Only one Edit Lock belonging to the processId \"13\" from host \"h.test\" "
                   "were found") +
           fltList(" flt/a\n",
                   "Only one Edit Lock, belonging to the process \"h.test 12 100\", was found") +
           fltList("", "No Edit Locks, belonging to the process \"h.test 12 100\",  were found") +
           fltReleased(flt3,
                       "A total of 3 Edit Locks, belonging to the process \"h.test 0 0\", "
                       "were released") +
           fltReleased(" flt/a\n",
                       "Only one Edit Lock, belonging to the process \"h.test 12 "
                       "100\", was released") +
           fltReleased("",
                       "No Edit Locks belonging to the process \"h.test 12 100\",  were "
                       "released") +
           exit0,
       "", 0},
      {kPlain, "-noprompt", "asre one/f\nasre one/u\nale one/u\nexit\n",
       ReleasedOne("one/f") + ReleasedOne("one/u") + List("", "No Edit Locks were found", "one/u") +
           "vakAdminTool exiting with status 1\n",
       "Not a directory\n", 1},
      {kNobody, "-ale ur", "",
       List(" ur/ok/f h.test 7 100 \n", "Only one Edit Lock was found", "ur"),
       "System error: ur/u Permission denied\n", 0},
      {kTestHost, "-aple hst hosta", "",
       List(" hst/x 5 50 \n", "Only one Edit Lock from the host \"hosta.test\" was found", "hst"),
       assume + "list old style locks with simple host names\n\n", 0},
      {kTestHost, "-force -aple hst hosta", "",
       List(" hst/y 6 60 \n", "Only one Edit Lock from the host \"hosta\" was found", "hst"), "",
       0},
      {kTestHost, "-aple hst nosuch", "",
       List("", "No Edit Locks from the host \"nosuch\" were found", "hst"),
       "Couldn't expand hostname to full domain. Using simple host name.\n\n", 0},
      {kTestHost, "-apre hst nosuch 6 60", "", "",
       "Couldn't expand hostname to full domain. Check hostname.\n", 0},
      {kTestHost, "-apre hst hosta 5 50", "",
       Released(" hst/x\n",
                "Only one Edit Lock, belonging to the process \"hosta.test 5 50\", "
                "was released",
                "hst"),
       assume + "remove old style locks with simple host names\n\n", 0},
      {kPlain, "-ale " + big, "", List(bigLines, "A total of 1000 Edit Locks were found", big), "",
       0},
  };
  for (const Row &r : rows) {
    if (r.runner == kTestHost && !hosts.ok()) {
      printf("skipped host-name expansion: %s\n", hosts.error().c_str());
      continue;
    }
    std::vector<std::string> argv = {prog};
    if (r.runner == kNobody) {
      argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", nobodyProg};
    }
    for (size_t p = 0, e; p < r.args.size(); p = e + 1) {
      e = std::min(r.args.find(' ', p), r.args.size());
      argv.push_back(r.args.substr(p, e - p));
    }
    vaktest::RunOptions options;
    options.input = r.input;
    options.workDir = d;
    options.unsetEnv = {"VAK_LOCK_HARD_LINKS"};
    vaktest::RunResult res =
        r.runner == kTestHost ? hosts.Run(0, argv, options) : vaktest::RunProgram(argv, options);
    const std::string label = r.args + " <<" + r.input.substr(0, 30);
    EXPECT_EQ(SortLockLines(r.out), SortLockLines(res.out)) << label;
    EXPECT_EQ(r.err, res.err) << label;
    EXPECT_EQ(r.status, res.exitStatus) << label;
  }
  // What the rows released, or deleted as stakes beside links, is gone; nothing else is.
  std::string left =
      "./flt/c.orvlck\n./flt/d.orvlck\n./hst/y.orvlck\n./mix/h.orvlck\n./mix/r/f.orvlck\n"
      "./ur/ok/f.orvlck\n./ur/u/f.orvlck\n";
  if (!hosts.ok()) left.replace(left.find("./hst/y"), 0, "./hst/x.orvlck\n");
  vaktest::RunOptions inTmp;
  inTmp.workDir = d;
  EXPECT_EQ(left,
            vaktest::RunProgram({"/bin/sh", "-c", "find . -name '*.orvlck' | sort"}, inTmp).out);
}

// The walk builds every path in a buffer of 2048 bytes: a directory or an entry whose path would
// not fit is left out and named on standard error, and the rest of the walk goes on.
TEST(SweepTest, PathsLongerThanTheBufferAreSkippedAndSaid) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  // A chain of directories below "deep" that ends in one whose path is 2047 characters long: its
  // entries would need 2049 and more. Its parent holds a lock of its own and a stake entry whose
  // name does not fit.
  std::string full = "deep";
  while (full.size() < 2047)
    full += "/" + std::string(std::min<size_t>(200, 2046 - full.size()), 'd');
  ASSERT_EQ(2047u, full.size());
  const std::string parent = full.substr(0, full.rfind('/'));
  const std::string longStake = parent + "/" + std::string(2048 - parent.size(), 'n') + ".orvlck";
  vaktest::WriteFile(tmp.Sub(full + "/unseen.orvlck"), Stake("h.test", "9", "100"));
  vaktest::WriteFile(tmp.Sub(parent + "/f.orvlck"), Stake("h.test", "7", "100"));
  vaktest::WriteFile(tmp.Sub(longStake), Stake("h.test", "8", "100"));
  const std::string tooLongRoot = full + "/.";  // a start directory that does not fit either

  vaktest::RunOptions options;
  options.workDir = tmp.path();
  const struct {
    std::string root, out, err;
  } rows[] = {
      {"deep", List(" " + parent + "/f h.test 7 100 \n", "Only one Edit Lock was found", "deep"),
       "Path too long, not swept: " + full + "/\nPath too long, skipped: " + longStake + "\n"},
      {tooLongRoot, List("", "No Edit Locks were found", tooLongRoot),
       "Path too long, not swept: " + tooLongRoot + "\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.root.substr(0, 20));
    vaktest::RunResult res =
        vaktest::RunProgram({vaktest::StagedProgram("vakAdminTool"), "-ale", row.root}, options);
    EXPECT_EQ(row.out, res.out);
    EXPECT_EQ(SortLines(row.err), SortLines(res.err));
    EXPECT_EQ(0, res.exitStatus);
  }
}

}  // namespace
