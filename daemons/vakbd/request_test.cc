#include "request.h"

#include <string>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

TEST(RequestTest, RecognisesRequestsAndRefusesGarbage) {
  using K = RequestKind;
  // pid 0 would address a process group, -1 all; keywords are prefixes, as the client parses them.
  // clang-format off
  struct { const char *text; K kind; uint64_t pid; int64_t creationTime; } cases[] = {
      {" \tProcAlive 1 -5 what follows is not examined", K::kProcAlive, 1, -5},
      {"ProcAlive 18446744073709551615 1", K::kProcAlive, 18446744073709551615ull, 1},
      {"ProcAlive 0 5", K::kInvalid, 0, 0}, {"ProcAlive -1 5", K::kInvalid, 0, 0}, {"ProcAlive 12x 5", K::kInvalid, 0, 0},
      {"ProcAlive 12 5x", K::kInvalid, 0, 0}, {"ProcAlive 12", K::kInvalid, 0, 0}, {"procalive 1 2", K::kInvalid, 0, 0},
      {"ProcAlive 18446744073709551616 1", K::kInvalid, 0, 0}, {"ProcAlive 1 99999999999999999999", K::kInvalid, 0, 0},
      {"Dienow", K::kDie, 0, 0}, {"StartLog /tmp/a b.log", K::kStartLog, 0, 0}, {"StartLog ", K::kInvalid, 0, 0},
      {"Alive", K::kInvalid, 0, 0}, {"", K::kInvalid, 0, 0}};
  // clang-format on
  for (const auto &c : cases) {
    Request r = ParseRequest(c.text);
    EXPECT_EQ(static_cast<int>(r.kind), static_cast<int>(c.kind)) << c.text;
    EXPECT_TRUE(r.kind != K::kProcAlive || (r.pid == c.pid && r.creationTime == c.creationTime))
        << c.text;
    EXPECT_TRUE(r.kind != K::kStartLog || std::string(r.logFile) == c.text + 9) << c.text;
  }
}

}  // namespace
}  // namespace vakbd
