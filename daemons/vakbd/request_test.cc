#include "request.h"

#include <string>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

TEST(RequestTest, RecognisesRequestsAndRefusesGarbage) {
  struct Case {
    const char *text;
    RequestKind kind;
    uint64_t pid;
    int64_t creationTime;
    const char *logFile;
  } cases[] = {
      {"ProcAlive 123 456", RequestKind::kProcAlive, 123, 456, nullptr},
      {" \tProcAlive 1 -5", RequestKind::kProcAlive, 1, -5, nullptr},
      {"ProcAlive 7 8 what follows is not examined", RequestKind::kProcAlive, 7, 8, nullptr},
      {"ProcAlive 18446744073709551615 1", RequestKind::kProcAlive, 18446744073709551615ull, 1,
       nullptr},
      {"ProcAlive 0 5", RequestKind::kInvalid, 0, 0, nullptr},   // would address a process group
      {"ProcAlive -1 5", RequestKind::kInvalid, 0, 0, nullptr},  // would address every process
      {"ProcAlive 12x 5", RequestKind::kInvalid, 0, 0, nullptr},
      {"ProcAlive 12 5x", RequestKind::kInvalid, 0, 0, nullptr},
      {"ProcAlive 12", RequestKind::kInvalid, 0, 0, nullptr},
      {"ProcAlive12 5", RequestKind::kInvalid, 0, 0, nullptr},
      {"ProcAlive 18446744073709551616 1", RequestKind::kInvalid, 0, 0, nullptr},
      {"ProcAlive 1 99999999999999999999", RequestKind::kInvalid, 0, 0, nullptr},
      {"procalive 1 2", RequestKind::kInvalid, 0, 0, nullptr},
      {"Dienow", RequestKind::kDie, 0, 0, nullptr},  // keyword prefix, as the client parses
      {"Null", RequestKind::kNull, 0, 0, nullptr},
      {"ReportLog", RequestKind::kReportLog, 0, 0, nullptr},
      {"StartLog /tmp/a b.log", RequestKind::kStartLog, 0, 0, "/tmp/a b.log"},
      {"StartLog", RequestKind::kInvalid, 0, 0, nullptr},
      {"StartLog ", RequestKind::kInvalid, 0, 0, nullptr},
      {"VakBoolVersion 1", RequestKind::kInvalid, 0, 0, nullptr},  // replies are not requests
      {"Alive", RequestKind::kInvalid, 0, 0, nullptr},
      {"LogInfo x", RequestKind::kInvalid, 0, 0, nullptr},
      {"", RequestKind::kInvalid, 0, 0, nullptr},
  };
  for (const Case &c : cases) {
    Request r = ParseRequest(c.text);
    EXPECT_EQ(static_cast<int>(r.kind), static_cast<int>(c.kind)) << c.text;
    if (r.kind == RequestKind::kProcAlive) {
      EXPECT_EQ(r.pid, c.pid) << c.text;
      EXPECT_EQ(r.creationTime, c.creationTime) << c.text;
    }
    if (c.logFile != nullptr) {
      ASSERT_NE(r.logFile, nullptr) << c.text;
      EXPECT_STREQ(r.logFile, c.logFile);
    }
  }
}

}  // namespace
}  // namespace vakbd
