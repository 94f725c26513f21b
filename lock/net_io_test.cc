#include "net_io.h"

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Frame(const std::string &text) {
  uint32_t n = htonl(static_cast<uint32_t>(text.size()));
  return std::string(reinterpret_cast<const char *>(&n), 4) + text;
}

void OnAlarm(int) {}

// Bytes on the wire, then the writer closes, or stays silent: the peer has six seconds for the
// first byte, and a signal during the wait does not end it early.
TEST(NetIoTest, ReadsFramesWaitsForSilentPeersAndRefusesBrokenOnes) {
  struct sigaction onAlarm = {};
  onAlarm.sa_handler = OnAlarm;  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &onAlarm, nullptr);
  const struct {
    std::string raw;
    const char *text;  // nullptr: the read fails and leaves the out pointer alone
    bool silent = false;
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
      {"", nullptr, true},
  };
  for (int socket : {0, 1}) {
    for (const auto &c : cases) {
      int fds[2];
      ASSERT_EQ(0, socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds));
      ASSERT_EQ(ssize_t(c.raw.size()), write(fds[1], c.raw.data(), c.raw.size()));
      if (!c.silent) close(fds[1]);
      char *got = nullptr;
      auto start = std::chrono::steady_clock::now();
      alarm(1);
      EXPECT_EQ(c.text != nullptr, vakNetRead(fds[0], &got) == 1) << c.raw;
      std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
      alarm(0);
      EXPECT_TRUE(c.silent ? waited.count() > 5.9 && waited.count() < 9 : waited.count() < 1)
          << waited.count();
      EXPECT_EQ(c.text ? c.text : "<none>", std::string(got ? got : "<none>")) << c.raw;
      free(got);
      close(fds[0]);
      if (c.silent) close(fds[1]);
    }
  }
}

}  // namespace
