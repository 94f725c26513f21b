#include "proc_alive.h"

#include <poll.h>

#include <string>

#include <gtest/gtest.h>

#include "boot_offset.h"

namespace vakbd {
namespace {

// Any user names their processes, with blanks and parentheses too: a name that fakes fields must
// not shift the start time (field 22), which would declare a live owner dead or a reused pid alive.
TEST(ProcAliveTest, StartTicksAreCountedFromTheLastParenthesis) {
  const std::string fields = " S 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 ";
  // clang-format off
  struct { std::string line; unsigned long long ticks; /* 0: refused */ } cases[] = {
      {"1 (sleep)" + fields + "98765 23\n", 98765}, {"1 () 1 2 3 4 5 6 7 8 9 (x)" + fields + "77 23\n", 77},
      {"1 (sleep) S 1 2 3\n", 0}, {"1 (sleep)" + fields + "12ab 23\n", 0}, {"no parenthesis at all", 0}};
  // clang-format on
  for (const auto &c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(ParseStartTicks(c.line.c_str(), &ticks), c.ticks != 0) << c.line;
    EXPECT_EQ(ticks, c.ticks) << c.line;
  }
}

// The clock-set watch must be accepted by the kernel (the flags only go together with an absolute
// expiry) and stay quiet while the clock is not set.
TEST(BootOffsetTest, WatchIsArmedAndQuiet) {
  BootOffset offset;
  ASSERT_TRUE(offset.Start());
  struct pollfd watch = {offset.watchFd(), POLLIN, 0};
  EXPECT_EQ(poll(&watch, 1, 0), 0);
  int64_t first = 0, second = 0;
  ASSERT_TRUE(offset.Sample(&first));
  ASSERT_TRUE(offset.Sample(&second));
  EXPECT_LE(second, first);
}

}  // namespace
}  // namespace vakbd
