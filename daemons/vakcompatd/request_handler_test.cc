#include "request_handler.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

// Requests in order, hostile ones included, and the replies they get; then stale markers.
TEST(RequestHandlerTest, AnswersRequestsRefusesMalformedOnesAndTakesOverStaleLocks) {
  vaktest::TempDir dir;
  daemons::DaemonLog log({"vakcompatd[1]: ", 8192, false});
  ASSERT_TRUE(log.SetFallback(dir.Sub("log").c_str()));
  vakcompatd::OldStyleLocks locks("hostA", &log);
  vakcompatd::RequestHandler handler(&locks, &log);
  const std::string lock = "Lock \"" + dir.Sub("f") + "\" ", unlock = "Unlock \"" + dir.Sub("f");
  const std::string pid = std::to_string(getpid());
  // clang-format off
  struct { std::string request, reply; /* reply: a prefix; empty: none */ } cases[] = {
      {lock + "\"why\" " + pid, "GotLock TRUE"}, {"Lockout", ""}, {lock + pid, "GotLock FALSE \"Malformed request.\""},
      {lock + "\"other\" 1", "GotLock FALSE \"Locked by process " + pid + " on host hostA. Requested lock was refused.\""},
      {unlock + "\" 1", "DidUnLock FALSE \"The old-style lock belongs to process " + pid}, {unlock + "\" " + pid, "DidUnLock TRUE"},
      {"Lock \"/" + std::string(5000, 'd') + "\" \"\" 5", "GotLock FALSE \"The path is too long for an old-style lock.\""},
      {"Unlock \" 5", "DidUnLock FALSE \"Malformed request.\""}, {"StartLog " + dir.Sub("other"), ""}, {"ReportLog", "LogInfo " + dir.Sub("other")}};
  // clang-format on
  std::string reply;
  for (const auto &c : cases) {
    EXPECT_TRUE(handler.Handle(c.request.c_str(), &reply)) << c.request;
    EXPECT_TRUE(reply.rfind(c.reply, 0) == 0 && reply.empty() == c.reply.empty()) << reply;
  }
  EXPECT_FALSE(handler.Handle("Die", &reply));
  EXPECT_FALSE(vaktest::Exists(dir.Sub("f.vakcdlck")));
  // A marker whose holder was on this host and is gone is taken over; one from elsewhere is not.
  for (std::string marker : {"hostA 2147483000\n", "hostB 2147483000\n", "garbage"}) {
    vaktest::WriteFile(dir.Sub("f.vakcdlck"), marker);
    EXPECT_EQ(marker[4] == 'A', locks.Lock(dir.Sub("f"), 7).granted) << marker;
    EXPECT_EQ(marker[4] == 'A' ? "hostA 7\n" : marker, vaktest::ReadFile(dir.Sub("f.vakcdlck")));
  }
}

}  // namespace
