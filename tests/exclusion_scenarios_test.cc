// Interleavings of two processes taking over one dead owner's lock, made exact with the fault
// library's stop points: A is parked at a chosen call, B runs (to its end, or to a stop of its
// own), then A and B go on. Whatever the order, at most one of them may be told VAK_OK, and the
// lock-stake file must name the one that was. Template for more: a setup, two stop points, an
// order of resumption, and the same assertion.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fault_driver.h"
#include "temp_dir.h"
#include "vak.h"

namespace {

using namespace vaktest;

struct Scenario {
  const char *name;
  const char *stopA;  // where A parks (first)
  const char *stopB;  // where B parks, "" to run B to its answer before A goes on
};

// Both find the lock-stake file's owner dead and a dirlock left by a dead process: both decide
// that the dirlock is stale.
TEST(ExclusionScenarios, TwoTakeOversOverAStaleDirlock) {
  char *msg = nullptr;
  ASSERT_EQ(VAK_OK, vakInit("exclusion-scenarios", vakDefaultLockingMode, &msg));
  const std::string host = vakInitInfo->processId->hostName;
  const Scenario scenarios[] = {
      {"A parked before it removes the stale dirlock; B takes the lock over meanwhile",
       "unlink:f.orvlck.dirlock:1:before", ""},
      {"A parked there; B parked holding the dirlock, past its check of the owner",
       "unlink:f.orvlck.dirlock:1:before", "unlink:f.orvlck:1:before"},
      {"A parked there; B parked once it has taken the dirlock", "unlink:f.orvlck.dirlock:1:before",
       "link:.orvlck.dirlock:1:after"},
  };
  for (const Scenario &s : scenarios) {
    SCOPED_TRACE(s.name);
    TempDir tmp, local;
    const std::string f = tmp.Sub("f"), notify = local.Sub("notify");
    WriteFile(f, "x");
    WriteFile(f + ".orvlck", StakeText(host, static_cast<unsigned long>(DeadPid())));
    WriteFile(f + ".orvlck.dirlock", StakeText(host, static_cast<unsigned long>(DeadPid())));
    Server a, b;
    ASSERT_TRUE(a.Start(
        local.path(), FaultEnv({{"VAK_FAULT_STOP", s.stopA}, {"VAK_FAULT_STOP_NOTIFY", notify}})));
    ASSERT_TRUE(b.Start(
        local.path(), FaultEnv({{"VAK_FAULT_STOP", s.stopB}, {"VAK_FAULT_STOP_NOTIFY", notify}})));
    ASSERT_TRUE(a.Send("get", f));
    ASSERT_TRUE(WaitStopped(a.pid)) << "A did not reach " << s.stopA;
    ASSERT_TRUE(b.Send("get", f));
    std::pair<int, std::string> answerA, answerB;
    if (*s.stopB == '\0') {
      answerB = b.Receive();
      kill(a.pid, SIGCONT);
      answerA = a.Receive();
    } else {
      ASSERT_TRUE(WaitStopped(b.pid)) << "B did not reach " << s.stopB;
      kill(a.pid, SIGCONT);
      answerA = a.Receive();
      kill(b.pid, SIGCONT);
      answerB = b.Receive();
    }
    const std::string idA = host + " " + std::to_string(a.pid);
    const std::string idB = host + " " + std::to_string(b.pid);
    const std::string stake = ReadFile(f + ".orvlck");
    const bool namesA = stake.find(std::to_string(a.pid)) != std::string::npos;
    const bool namesB = stake.find(std::to_string(b.pid)) != std::string::npos;
    const std::string told = ReadFile(notify) + "A (" + idA + ") was told " +
                             std::to_string(answerA.first) + " " + answerA.second + "; B (" + idB +
                             ") was told " + std::to_string(answerB.first) + " " + answerB.second +
                             "\nlock-stake file:\n" + stake;
    EXPECT_FALSE(answerA.first == VAK_OK && answerB.first == VAK_OK) << told;
    EXPECT_TRUE(answerA.first != VAK_OK || (namesA && !namesB)) << told;
    EXPECT_TRUE(answerB.first != VAK_OK || (namesB && !namesA)) << told;
    // Neither may be left without an answer: a parked process was resumed.
    EXPECT_NE(answerA.first, -1) << told;
    EXPECT_NE(answerB.first, -1) << told;
  }
}

}  // namespace
