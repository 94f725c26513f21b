#include "proc_alive.h"

#include <string>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

// A /proc/<pid>/stat line with the given command name and start time (field 22).
std::string StatLine(const std::string &name, const std::string &start) {
  std::string line = "4242 (" + name + ") S";
  for (int field = 4; field < 22; ++field) line += " " + std::to_string(field);
  return line + " " + start + " 23 24\n";
}

// Any user names their processes: a name that fakes fields must not shift the start time, which
// would declare a live owner dead (or a reused pid alive).
TEST(ProcAliveTest, StartTicksAreCountedFromTheLastParenthesis) {
  // clang-format off
  struct { std::string line; unsigned long long ticks; /* 0: refused */ } cases[] = {
      {StatLine("sleep", "98765"), 98765}, {StatLine(") 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 (19", "77"), 77},
      {"4242 (sleep) S 1 2 3\n", 0}, {StatLine("sleep", "12ab"), 0}, {"no parenthesis at all", 0}};
  // clang-format on
  for (const auto &c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(ParseStartTicks(c.line.c_str(), &ticks), c.ticks != 0) << c.line;
    EXPECT_EQ(ticks, c.ticks) << c.line;
  }
}

}  // namespace
}  // namespace vakbd
