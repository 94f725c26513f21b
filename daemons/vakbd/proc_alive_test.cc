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

// A misread start time declares a live owner dead (or a reused pid alive).
TEST(ProcAliveTest, StartTicksAreCountedFromTheLastParenthesis) {
  struct {
    std::string line;
    unsigned long long ticks;  // 0: refused
  } cases[] = {{StatLine("sleep", "98765"), 98765},
               {StatLine(") 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 (19", "77"), 77},
               {"4242 (sleep) S 1 2 3\n", 0},
               {StatLine("sleep", "12ab"), 0},
               {"no parenthesis at all", 0}};
  for (const auto &c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(ParseStartTicks(c.line.c_str(), &ticks), c.ticks != 0) << c.line;
    EXPECT_EQ(ticks, c.ticks) << c.line;
  }
}

TEST(ProcAliveTest, BootTimeIsTakenOnlyFromTheStartOfALine) {
  const std::string longLine =
      "intr " + std::string(300, '1') + " btime 5 " + std::string(300, '2');
  struct {
    std::string text;
    int64_t bootTime;  // 0: refused
  } cases[] = {{"cpu 1 2 3\nbtime 1700000000\nprocesses 9\n", 1700000000},
               {longLine + "\nbtime 42\n", 42},
               {longLine + "\n", 0},
               {"cpu 1\nbtime x\n", 0}};
  for (const auto &c : cases) {
    FILE *f = fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "r");
    int64_t bootTime = 0;
    EXPECT_EQ(ReadBootTime(f, &bootTime), c.bootTime != 0) << c.text.substr(0, 40);
    EXPECT_EQ(bootTime, c.bootTime);
    fclose(f);
  }
}

}  // namespace
}  // namespace vakbd
