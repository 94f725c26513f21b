#include "framing.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// A message that has begun must end within its bound, however the peer dawdles: a stall after
// any prefix or a byte a second fails as a time-out well before the peer would give up (20 s), even
// with signals interrupting the wait; a message that completes within the bound is read. All cases
// run side by side, each reader in a thread of its own that is signalled every 200 ms.
TEST(NetIoTest, AMessageThatBeginsMustEndWithinItsBound) {
  using Clock = std::chrono::steady_clock;
  struct sigaction onAlarm = {};
  onAlarm.sa_handler = OnAlarm;  // no SA_RESTART: every wait sees EINTR
  sigaction(SIGALRM, &onAlarm, nullptr);
  const std::string whole = Frame(std::string(40, 'x'));
  const struct {
    const char *name;
    size_t now;     // bytes of the frame sent at once
    int gapMs;      // before the rest follows in one piece, or between trickled bytes
    bool trickle;   // the rest a byte at a time
    bool complete;  // whether the rest is sent at all
  } cases[] = {
      {"complete", whole.size(), 0, false, true},
      {"length field in two parts", 2, 500, false, true},
      {"text two seconds late", 4, 2000, false, true},
      {"half the length field", 2, 0, false, false},
      {"length only", 4, 0, false, false},
      {"length and half the text", 24, 0, false, false},
      {"a byte a second", 4, 1000, true, true},
  };
  const int n = sizeof cases / sizeof cases[0];
  struct Run {
    int fds[2] = {-1, -1};
    std::thread peer, reader;
    std::atomic<bool> done{false};
    int ok = -1, err = 0;
    double seconds = 0;
    std::string text;
  };
  std::vector<Run> runs(2 * n);
  for (int i = 0; i < 2 * n; ++i) {
    const auto &c = cases[i % n];
    Run &r = runs[i];
    ASSERT_EQ(0, i < n ? socketpair(AF_UNIX, SOCK_STREAM, 0, r.fds) : pipe(r.fds));
    r.peer = std::thread([&c, &r, &whole] {
      sigset_t block;
      sigfillset(&block);
      pthread_sigmask(SIG_BLOCK, &block, nullptr);
      const auto giveUp = Clock::now() + std::chrono::seconds(20);
      size_t sent = c.now;
      bool ok = write(r.fds[1], whole.data(), sent) == ssize_t(sent);
      auto next = Clock::now() + std::chrono::milliseconds(c.gapMs);
      while (ok && !r.done && Clock::now() < giveUp) {
        if (c.complete && sent < whole.size() && Clock::now() >= next) {
          size_t part = c.trickle ? 1 : whole.size() - sent;
          ok = write(r.fds[1], whole.data() + sent, part) == ssize_t(part);
          sent += part;
          next += std::chrono::milliseconds(c.gapMs);
        }
        usleep(10000);
      }
      close(r.fds[1]);
    });
    r.reader = std::thread([&r] {
      char *got = nullptr;
      auto start = Clock::now();
      errno = 0;
      r.ok = vakNetRead(r.fds[0], &got);
      r.err = errno;
      r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      r.text = got ? got : "";
      free(got);
      r.done = true;
    });
  }
  for (bool all = false; !all; usleep(200000)) {
    all = true;
    for (Run &r : runs) {
      if (!r.done) pthread_kill(r.reader.native_handle(), SIGALRM);
      all = all && r.done;
    }
  }
  for (int i = 0; i < 2 * n; ++i) {
    const auto &c = cases[i % n];
    Run &r = runs[i];
    r.reader.join();
    r.peer.join();
    close(r.fds[0]);
    const bool wholeArrives = c.complete && !c.trickle;
    const std::string where = std::string(c.name) + (i < n ? " (socket)" : " (pipe)");
    EXPECT_EQ(wholeArrives, r.ok == 1) << where;
    EXPECT_EQ(wholeArrives ? std::string(40, 'x') : "", r.text) << where;
    if (!wholeArrives) {
      EXPECT_EQ(ETIMEDOUT, r.err) << where << ": " << strerror(r.err);
    }
    // The bound runs from the first byte, so a stall takes it in full, give or take a loaded
    // machine's delays.
    EXPECT_TRUE(wholeArrives ? r.seconds < 4 : r.seconds > 5.9 && r.seconds < 10)
        << where << ": " << r.seconds << " s";
  }
}

}  // namespace
