#include "net_io.h"

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Frame(const std::string &text) {
  uint32_t n = htonl(static_cast<uint32_t>(text.size()));
  return std::string(reinterpret_cast<const char *>(&n), 4) + text;
}

// Bytes on the wire, then the writer closes.
TEST(NetIoTest, ReadsFramesAndRefusesBrokenOnes) {
  const struct {
    std::string raw;
    const char *text;  // nullptr: the read fails and leaves the out pointer alone
  } cases[] = {
      {Frame(""), ""},
      {Frame("Lock \"a b\"\n\"r\" 12"), "Lock \"a b\"\n\"r\" 12"},
      {Frame("one") + Frame("two"), "one"},  // the next message stays unread
      {std::string("\0\0\0\5", 4), nullptr},
      {std::string("\0\0\0\5ab", 6), nullptr},
      {std::string("\0\0", 2), nullptr},
      {std::string("\x80\0\0\0", 4), nullptr},  // 2^31 must not be allocated
      {std::string("\0\x10\0\1", 4), nullptr},  // just above the bound
      {"", nullptr},
  };
  for (int socket : {0, 1}) {
    for (const auto &c : cases) {
      int fds[2];
      ASSERT_EQ(0, socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds));
      ASSERT_EQ(ssize_t(c.raw.size()), write(fds[1], c.raw.data(), c.raw.size()));
      close(fds[1]);
      char *got = nullptr;
      EXPECT_EQ(c.text != nullptr, vakNetRead(fds[0], &got) == 1) << c.raw;
      EXPECT_EQ(c.text ? c.text : "<none>", std::string(got ? got : "<none>")) << c.raw;
      free(got);
      close(fds[0]);
    }
  }
}

void OnAlarm(int) {}

// The peer has six seconds for the first byte; a signal during the wait does not end it early.
TEST(NetIoTest, WaitsSixSecondsThroughSignals) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  struct sigaction onAlarm = {}, old = {};
  onAlarm.sa_handler = OnAlarm;  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &onAlarm, &old);
  struct itimerval every = {{1, 0}, {1, 0}}, off = {};
  setitimer(ITIMER_REAL, &every, nullptr);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char *got = nullptr;
  EXPECT_EQ(0, vakNetRead(fds[0], &got));
  clock_gettime(CLOCK_MONOTONIC, &end);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_NEAR(7.45, double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9,
              1.55);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
