#include "handlers.h"

#include <netdb.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell.h"
#include "temp_dir.h"

namespace {

struct Case {
  int force;
  std::function<void()> handler;
  std::string err;
  std::string outPart;  // a part of standard output; empty: nothing at all on standard output
  int lastRtn;
};

// Runs each handler from a fresh run state and checks what it printed and recorded.
void Check(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    doForce = c.force;
    lastRtn = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    c.handler();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.err, testing::internal::GetCapturedStderr()) << c.outPart;
    EXPECT_TRUE(c.outPart.empty() ? out.empty() : out.find(c.outPart) != std::string::npos) << out;
    EXPECT_EQ(c.lastRtn, lastRtn) << c.outPart;
  }
}

// The sweep's SUMMARY line names the owner filter it was given: the chosen host and the numbers.
TEST(HandlersTest, OwnerFilterHostAndNumbers) {
  vaktest::TempDir tmp;
  const char *d = tmp.path().c_str();
  struct hostent *entry = gethostbyname("localhost");
  ASSERT_NE(nullptr, entry);
  const std::string assume =
      std::string("Assuming domain ") + entry->h_name + ". Use force mode to ";
  const std::string host = std::string("host \"") + entry->h_name + "\"";
  Check({
      {1, [&] { doAPle(d, "localhost", nullptr, nullptr); }, "", "host \"localhost\"", 1},
      {0, [&] { doAPle(d, "localhost", "abc", "7"); },
       assume + "list old style locks with simple host names\n\n", host, 1},
      {0, [&] { doAPle(d, "no.such.host.invalid", "12abc", nullptr); }, "",
       "processId \"12\" from host \"no.such.host.invalid\"", 1},
      {0, [&] { doAPle(d, "nosuchhostvak", " 12", "-5x"); },
       "Couldn't expand hostname to full domain. Using simple host name.\n\n",
       "process \"nosuchhostvak 12 -5\"", 1},
      {0, [&] { doAPre(d, "nosuchhostvak", "1", "2"); },
       "Couldn't expand hostname to full domain. Check hostname.\n", "", 1},
      {0, [&] { doAPre(d, "localhost", "", "3"); },
       assume + "remove old style locks with simple host names\n\n",
       std::string("process \"") + entry->h_name + " 0 3\"", 1},
  });
}

}  // namespace
