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

// While parked: a file (by its suffix after "f") and whether it exists; a suffix that starts with
// "=": exists and is empty.
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
  // clang-format off
  const Case cases[] = {
      // The first open of the lock-stake file is the read that finds none, the second the create.
      {"first get, after its exclusive create",
       false, "get", "open:f.orvlck:2:after", "", {"stopped open $/f.orvlck"},
       {{"=.orvlck", true}}, 0, VAK_OK},
      {"first get, before its exclusive create",
       false, "get", "open:f.orvlck:2:before", "", {"stopped open $/f.orvlck"},
       {{".orvlck", false}}, 0, VAK_OK},
      // Two-path calls match on either path: the side file's link to the dirlock, by the dirlock.
      {"take-over, once the dirlock is taken",
       true, "get", "link:.orvlck.dirlock:1:after", "",
       {"stopped link $/f.orvlck.% $/f.orvlck.dirlock"},
       {{".orvlck.dirlock", true}, {".orvlck", true}}, 0, VAK_OK},
      {"take-over, before the dirlock is linked into place",
       true, "get", "link:f.orvlck:1:before", "",
       {"stopped link $/f.orvlck.dirlock $/f.orvlck"},
       {{".orvlck.dirlock", true}, {".orvlck", false}}, 0, VAK_OK},
      {"two points, taken in turn",
       true, "get", "unlink:f.orvlck:1:before;unlink:f.orvlck.dirlock:1:after", "",
       {"stopped unlink $/f.orvlck", "stopped unlink $/f.orvlck.dirlock"},
       {{".orvlck", true}, {".orvlck.dirlock", true}}, 0, VAK_OK},
      {"release, before its removal",
       false, "release", "unlink:f.orvlck:1:before", "", {"stopped unlink $/f.orvlck"},
       {{".orvlck", true}}, 0, VAK_OK},
      // A crash between linking the new lock into place and giving the dirlock back.
      {"take-over, killed before it gives the dirlock back",
       true, "get", "", "unlink:f.orvlck.dirlock:1:before", {"died unlink $/f.orvlck.dirlock"},
       {}, 128 + SIGKILL, -1},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const std::string f = tmp.Sub("f"), notify = tmp.Sub("notify"), out = tmp.Sub("out");
    WriteFile(f, "x");
    if (c.deadOwner) {
      WriteFile(f + ".orvlck", StakeText(host, static_cast<unsigned long>(DeadPid())));
    }
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
      EXPECT_EQ(Line(text, n), expected[n]);
      if (word == "died") break;
      ASSERT_TRUE(WaitStopped(pid)) << "not parked at " << c.notes[n];
      for (const Seen &s : n == 0 ? c.parked : std::vector<Seen>()) {
        const bool empty = s.suffix[0] == '=';
        const std::string path = f + (empty ? s.suffix + 1 : s.suffix);
        EXPECT_EQ(Exists(path), s.exists) << path;
        EXPECT_TRUE(!empty || ReadFile(path).empty()) << path;
      }
      kill(pid, SIGCONT);
    }
    EXPECT_EQ(WaitEnded(pid), c.exitStatus) << ReadFile(out);
    EXPECT_TRUE(c.status < 0 || DriverStatus(ReadFile(out)) == c.status) << ReadFile(out);
    if (c.status < 0) {  // the dirlock stays, naming the dead process; the lock is in place
      EXPECT_NE(ReadFile(f + ".orvlck.dirlock").find("TimeEditLocked"), std::string::npos);
      EXPECT_NE(ReadFile(f + ".orvlck").find("driver"), std::string::npos);
    }
  }
}

}  // namespace
