#include "process_start.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Field 22 is counted from the name's last ')': a name may hold blanks and parentheses.
TEST(ProcessStartTest, StartTicksOfStatLine) {
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 4242 99 100\n";
  const struct {
    std::string line;
    bool ok;
    unsigned long long ticks;
  } cases[] = {
      {"12 (sh)" + tail, true, 4242},
      {"12 (a) b (c) d)" + tail, true, 4242},
      {"12 (sh) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 77", true, 77},
      {"12 (sh) S 1 2 3", false, 0},
      {"12 (sh) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 x 1", false, 0},
      {"12 sh S 1 2", false, 0},
  };
  for (const auto &c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(vak::StartTicksOfStatLine(c.line.c_str(), &ticks), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(ticks, c.ticks) << c.line;
    }
  }
}

// A child forked now started now, to the second; a reaped one has no start.
TEST(ProcessStartTest, AFreshChildStartedNow) {
  const time_t before = time(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    sleep(5);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int64_t start = -1;
  EXPECT_TRUE(vak::ProcessStartTime(child, &start));
  EXPECT_GE(start, before - 1);
  EXPECT_LE(start, time(nullptr));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(vak::ProcessStartTime(child, &start));
}

}  // namespace
