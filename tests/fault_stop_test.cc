// Stop and death points of the fault library: a lock_driver parks exactly at the named call (the
// files show the protocol step it stopped at, before or after the call), SIGCONT lets it finish,
// several points are taken in turn, and a death point leaves what a crash there leaves.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_driver.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

using namespace vaktest;

// While parked: a file (by its suffix after "f"; a final "%" stands for the driver's pid) and
// whether it exists; a suffix that starts with "+": exists and holds a complete lock-stake text.
struct Seen {
  const char *suffix;
  bool exists;
};

size_t Lines(const std::string &text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::string Line(const std::string &text, size_t n) {
  size_t at = 0;
  for (size_t k = 0; k < n && at != std::string::npos; ++k) {
    at = text.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  const size_t end = at == std::string::npos ? at : text.find('\n', at);
  return end == std::string::npos ? "" : text.substr(at, end - at);
}

// Whether line is pattern, where a '*' in the pattern stands for any run of characters.
bool Matches(const std::string &line, const std::string &pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string::npos) return line == pattern;
  if (line.compare(0, star, pattern, 0, star) != 0) return false;
  for (size_t at = star; at <= line.size(); ++at) {
    if (Matches(line.substr(at), pattern.substr(star + 1))) return true;
  }
  return false;
}

struct Case {
  const char *name;
  bool deadOwner;                  // f.orvlck names a dead process of this host
  const char *op, *stop, *die;     // VAK_FAULT_STOP, VAK_FAULT_DIE
  std::vector<std::string> notes;  // the notify lines expected, in turn: $ the directory, % pid
  std::vector<Seen> parked;        // checked at the first stop
  int exitStatus, status;          // of the driver; status -1 when it died
};

TEST(FaultStop, ParksAtTheNamedCallAndFinishesWhenContinued) {
  char *msg = nullptr;
  ASSERT_EQ(VAK_OK, vakInit("fault-stop", vakDefaultLockingMode, &msg));
  const std::string host = vakInitInfo->processId->hostName;
  const Case cases[] = {
      // A first lock: a complete side file, linked (through its descriptor) to the free name.
      {"first get, before its lock appears",
       false,
       "get",
       "linkat:f.orvlck:1:before",
       "",
       {"stopped linkat /proc/self/fd/* $/f.orvlck"},
       {{".orvlck", false}, {".orvlck.%", true}},
       0,
       VAK_OK},
      {"first get, once its lock appears whole",
       false,
       "get",
       "linkat:f.orvlck:1:after",
       "",
       {"stopped linkat /proc/self/fd/* $/f.orvlck"},
       {{"+.orvlck", true}},
       0,
       VAK_OK},
      // Two-path calls match on either path: the side file's link to the dirlock, by the dirlock.
      {"take-over, once the dirlock is taken",
       true,
       "get",
       "linkat:.orvlck.dirlock:1:after",
       "",
       {"stopped linkat /proc/self/fd/* $/f.orvlck.dirlock"},
       {{".orvlck.dirlock", true}, {".orvlck", true}},
       0,
       VAK_OK},
      {"take-over, before the dirlock is renamed into place",
       true,
       "get",
       "rename:f.orvlck:1:before",
       "",
       {"stopped rename $/f.orvlck.dirlock $/f.orvlck"},
       {{".orvlck.dirlock", true}, {".orvlck", true}},
       0,
       VAK_OK},
      {"two points, taken in turn",
       true,
       "get",
       "linkat:.orvlck.dirlock:1:after;rename:f.orvlck:1:before",
       "",
       {"stopped linkat /proc/self/fd/* $/f.orvlck.dirlock",
        "stopped rename $/f.orvlck.dirlock $/f.orvlck"},
       {{".orvlck.dirlock", true}, {".orvlck.%", true}},
       0,
       VAK_OK},
      // A release holds the dirlock (the lock-stake file itself) while it removes the file.
      {"release, before its removal",
       false,
       "release",
       "unlink:f.orvlck:1:before",
       "",
       {"stopped unlink $/f.orvlck"},
       {{".orvlck", true}, {".orvlck.dirlock", true}},
       0,
       VAK_OK},
      // A crash while holding the dirlock: the old lock stays, the dirlock names the dead process.
      {"take-over, killed before it renames the dirlock into place",
       true,
       "get",
       "",
       "rename:f.orvlck:1:before",
       {"died rename $/f.orvlck.dirlock $/f.orvlck"},
       {},
       128 + SIGKILL,
       -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const std::string f = tmp.Sub("f"), notify = tmp.Sub("notify"), out = tmp.Sub("out");
    WriteFile(f, "x");
    if (c.deadOwner)
      WriteFile(f + ".orvlck", StakeText(host, static_cast<unsigned long>(DeadPid())));
    pid_t pid = StartDriver(c.op, f,
                            FaultEnv({{"VAK_FAULT_STOP", c.stop},
                                      {"VAK_FAULT_DIE", c.die},
                                      {"VAK_FAULT_STOP_NOTIFY", notify}}),
                            out);
    ASSERT_GT(pid, 0);
    // The notify lines with $ for the directory and % for the driver's pid.
    std::vector<std::string> expected;
    for (std::string note : c.notes) {
      for (size_t at; (at = note.find_first_of("$%")) != std::string::npos;) {
        note.replace(at, 1, note[at] == '$' ? tmp.path() : std::to_string(pid));
      }
      expected.push_back(note);
    }
    for (size_t n = 0; n < expected.size(); ++n) {
      const std::string word = expected[n].substr(0, expected[n].find(' '));
      std::string text;
      for (int waited = 0; waited < 10000 && Lines(text) <= n; waited += 10) {
        usleep(10000);
        text = ReadFile(notify);
      }
      EXPECT_TRUE(Matches(Line(text, n), expected[n])) << Line(text, n) << " vs " << expected[n];
      if (word == "died") break;
      ASSERT_TRUE(WaitStopped(pid)) << "not parked at " << c.notes[n];
      for (const Seen &s : n == 0 ? c.parked : std::vector<Seen>()) {
        const bool whole = s.suffix[0] == '+';
        std::string path = f + (whole ? s.suffix + 1 : s.suffix);
        if (path.back() == '%') path.replace(path.size() - 1, 1, std::to_string(pid));
        EXPECT_EQ(Exists(path), s.exists) << path;
        EXPECT_TRUE(!whole || ReadFile(path).find("TimeEditLocked") != std::string::npos) << path;
      }
      kill(pid, SIGCONT);
    }
    EXPECT_EQ(WaitEnded(pid), c.exitStatus) << ReadFile(out);
    EXPECT_TRUE(c.status < 0 || DriverStatus(ReadFile(out)) == c.status) << ReadFile(out);
    if (c.status < 0) {  // the dirlock stays, naming the dead process; the old lock is in place
      EXPECT_NE(ReadFile(f + ".orvlck.dirlock").find("TimeEditLocked"), std::string::npos);
      EXPECT_NE(ReadFile(f + ".orvlck").find("planted"), std::string::npos);
    }
  }
}

}  // namespace
