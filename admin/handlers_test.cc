#include "handlers.h"

#include <netdb.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "shell.h"
#include "temp_dir.h"

namespace {

// Runs one handler from a fresh run state and collects what it printed.
struct Outcome {
  std::string out, err;
  int lastRtn;
};
Outcome RunHandler(int force, const std::function<void()> &handler) {
  doForce = force;
  lastRtn = 1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  handler();
  Outcome o;
  o.out = testing::internal::GetCapturedStdout();
  o.err = testing::internal::GetCapturedStderr();
  o.lastRtn = lastRtn;
  return o;
}

// The sweep's SUMMARY line names the owner filter it was given, which shows the chosen host name
// and the converted numbers.
TEST(HandlersTest, OwnerFilterHostAndNumbers) {
  vaktest::TempDir tmp;
  const char *d = tmp.path().c_str();
  struct hostent *entry = gethostbyname("localhost");
  ASSERT_NE(nullptr, entry);
  const std::string official = entry->h_name;
  const std::string list = "Use force mode to list old style locks with simple host names\n\n";
  const std::string remove = "Use force mode to remove old style locks with simple host names\n\n";
  struct Case {
    int force;
    std::function<void()> handler;
    std::string err, summaryPart;  // empty summaryPart: nothing at all on standard output
  } cases[] = {
      {1, [&] { doAPle(d, "localhost", nullptr, nullptr); }, "", "from the host \"localhost\""},
      {0, [&] { doAPle(d, "localhost", "abc", "7"); }, "Assuming domain " + official + ". " + list,
       "from the host \"" + official + "\""},
      {0, [&] { doAPle(d, "no.such.host.invalid", "12abc", nullptr); }, "",
       "processId \"12\" from host \"no.such.host.invalid\""},
      {0, [&] { doAPle(d, "nosuchhostvak", " 12", "-5x"); },
       "Couldn't expand hostname to full domain. Using simple host name.\n\n",
       "process \"nosuchhostvak 12 -5\""},
      {0, [&] { doAPre(d, "nosuchhostvak", "1", "2"); },
       "Couldn't expand hostname to full domain. Check hostname.\n", ""},
      {0, [&] { doAPre(d, "localhost", "", "3"); }, "Assuming domain " + official + ". " + remove,
       "process \"" + official + " 0 3\""},
      {1, [&] { doAPre(d, "nosuchhostvak", "9", "abc"); }, "", "process \"nosuchhostvak 9 0\""},
  };
  for (const Case &c : cases) {
    Outcome o = RunHandler(c.force, c.handler);
    EXPECT_EQ(c.err, o.err) << c.summaryPart;
    if (c.summaryPart.empty()) {
      EXPECT_EQ("", o.out);
    } else {
      EXPECT_NE(std::string::npos, o.out.find(c.summaryPart)) << o.out;
    }
    EXPECT_EQ(1, o.lastRtn) << c.summaryPart;
  }
}

TEST(HandlersTest, FailureClearsLastRtnAndPrintsMessage) {
  vaktest::TempDir tmp;
  const std::string file = tmp.Sub("plain");
  vaktest::WriteFile(file, "x");
  const char *d = tmp.path().c_str(), *f = file.c_str();
  struct Case {
    const char *name;
    std::function<void()> handler;
    std::string err;
    int lastRtn;
  } cases[] = {
      {"ale dir", [&] { doAle(d); }, "", 1},
      {"ale file", [&] { doAle(f); }, "Not a directory\n", 0},
      {"are file", [&] { doAre(f); }, "Not a directory\n", 0},
      {"aple file", [&] { doAPle(f, "h.x", nullptr, nullptr); }, "Not a directory\n", 0},
      {"apre file", [&] { doAPre(f, "h.x", "1", "2"); }, "Not a directory\n", 0},
      {"system status 3", [] { doSystem("exit 3"); }, "", 1},
  };
  for (const Case &c : cases) {
    Outcome o = RunHandler(0, c.handler);
    EXPECT_EQ(c.err, o.err) << c.name;
    EXPECT_EQ(c.lastRtn, o.lastRtn) << c.name;
  }
}

}  // namespace
