#include "proc_alive.h"

#include <stdint.h>

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

TEST(ProcAliveTest, StartTicksAreCountedFromTheLastParenthesis) {
  struct Case {
    std::string line;
    bool ok;
    unsigned long long ticks;
  } cases[] = {
      {StatLine("sleep", "98765"), true, 98765},
      {StatLine("a) b (c", "5"), true, 5},  // blanks and parentheses in the name
      {StatLine(") 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19", "77"), true, 77},
      {"4242 (sleep) S 1 2 3\n", false, 0},  // cut short
      {StatLine("sleep", "12ab"), false, 0},
      {"no parenthesis at all", false, 0},
  };
  for (const Case &c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(ParseStartTicks(c.line.c_str(), &ticks), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(ticks, c.ticks) << c.line;
    }
  }
}

TEST(ProcAliveTest, BootTimeIsTakenOnlyFromTheStartOfALine) {
  const std::string longLine =
      "intr " + std::string(300, '1') + " btime 5 " + std::string(300, '2');
  struct Case {
    std::string text;
    bool ok;
    int64_t bootTime;
  } cases[] = {
      {"cpu 1 2 3\nbtime 1700000000\nprocesses 9\n", true, 1700000000},
      {longLine + "\nbtime 42\n", true, 42},  // "btime" inside the long line is not a line start
      {longLine + "\n", false, 0},
      {"cpu 1\nbtime x\n", false, 0},
  };
  for (const Case &c : cases) {
    FILE *f = fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "r");
    ASSERT_NE(f, nullptr);
    int64_t bootTime = 0;
    EXPECT_EQ(ReadBootTime(f, &bootTime), c.ok) << c.text.substr(0, 40);
    if (c.ok) {
      EXPECT_EQ(bootTime, c.bootTime);
    }
    fclose(f);
  }
}

}  // namespace
}  // namespace vakbd
