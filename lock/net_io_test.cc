#include "net_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

struct Pair {
  int reader, writer;
  ~Pair() {
    if (reader >= 0) close(reader);
    if (writer >= 0) close(writer);
  }
};

enum Transport { kPipe, kSocketPair };

void MakePair(Transport t, Pair *p) {
  int fds[2];
  if (t == kPipe) {
    ASSERT_EQ(0, pipe(fds));
    p->reader = fds[0];
    p->writer = fds[1];
  } else {
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    p->reader = fds[0];
    p->writer = fds[1];
  }
}

std::string Frame(const std::string &text) {
  uint32_t n = htonl(static_cast<uint32_t>(text.size()));
  return std::string(reinterpret_cast<const char *>(&n), 4) + text;
}

// Raw bytes the writer side produces, then whether the reader gets a message and which.
TEST(NetIoTest, ReadsWhatWasFramedAndRefusesBrokenFrames) {
  struct Case {
    const char *name;
    std::string raw;   // bytes written, then the writer closes
    bool wantOk;
    std::string want;
  } cases[] = {
      {"empty message", Frame(""), true, ""},
      {"blanks, quotes and newlines", Frame("Lock \"a b\"\n\"r\" 12"), true, "Lock \"a b\"\n\"r\" 12"},
      {"two frames: only the first is consumed", Frame("one") + Frame("two"), true, "one"},
      {"length then end of file", std::string("\0\0\0\5", 4), false, ""},
      {"text cut short", std::string("\0\0\0\5ab", 6), false, ""},
      {"length field cut short", std::string("\0\0", 2), false, ""},
      {"length of 2^31", std::string("\x80\0\0\0", 4), false, ""},
      {"length above the bound", Frame("").replace(0, 4, std::string("\0\x10\0\1", 4)), false, ""},
      {"nothing at all", "", false, ""},
  };
  for (Transport t : {kPipe, kSocketPair}) {
    for (const Case &c : cases) {
      Pair p{-1, -1};
      MakePair(t, &p);
      ASSERT_EQ(static_cast<ssize_t>(c.raw.size()), write(p.writer, c.raw.data(), c.raw.size()));
      close(p.writer);
      p.writer = -1;
      char *got = nullptr;
      int ok = vakNetRead(p.reader, &got);
      EXPECT_EQ(c.wantOk ? 1 : 0, ok) << c.name;
      if (c.wantOk && ok) {
        EXPECT_EQ(c.want, std::string(got)) << c.name;
      }
      if (!c.wantOk) {
        EXPECT_EQ(nullptr, got) << c.name << ": out pointer must stay untouched";
      }
      free(got);
    }
  }
}

TEST(NetIoTest, WriteProducesExactFrames) {
  for (Transport t : {kPipe, kSocketPair}) {
    for (std::string text : {std::string(""), std::string("ProcAlive 42 1700000000")}) {
      Pair p{-1, -1};
      MakePair(t, &p);
      ASSERT_EQ(1, vakNetWrite(p.writer, text.c_str()));
      close(p.writer);
      p.writer = -1;
      char buf[128];
      ssize_t n = read(p.reader, buf, sizeof buf);
      EXPECT_EQ(Frame(text), std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
    }
  }
  EXPECT_EQ(0, vakNetWrite(1, nullptr));
}

TEST(NetIoTest, WriteIntoClosedPipeFailsWhenSigpipeIgnored) {
  Pair p{-1, -1};
  MakePair(kPipe, &p);
  close(p.reader);
  p.reader = -1;
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, vakNetWrite(p.writer, "Die"));
  std::string err = testing::internal::GetCapturedStderr();
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(std::string(strerror(EPIPE)) + "\n", err);
}

void OnAlarm(int) {}

// The peer has six seconds for the first byte; a signal during the wait does not end it early.
TEST(NetIoTest, WaitsSixSecondsThroughSignals) {
  Pair p{-1, -1};
  MakePair(kSocketPair, &p);
  struct sigaction onAlarm = {}, old = {};
  onAlarm.sa_handler = OnAlarm;  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &onAlarm, &old);
  struct itimerval every = {{1, 0}, {1, 0}};
  setitimer(ITIMER_REAL, &every, nullptr);

  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char *got = nullptr;
  EXPECT_EQ(0, vakNetRead(p.reader, &got));
  clock_gettime(CLOCK_MONOTONIC, &end);

  struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  double waited = static_cast<double>(end.tv_sec - start.tv_sec) +
                  static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  EXPECT_GE(waited, 5.9);
  EXPECT_LT(waited, 9.0);
  EXPECT_EQ(nullptr, got);
}

TEST(NetIoTest, DataReadyReportsReadiness) {
  Pair p{-1, -1};
  MakePair(kPipe, &p);
  EXPECT_EQ(0, vakNetIsDataReady(p.reader, 0));
  ASSERT_EQ(1, write(p.writer, "x", 1));
  EXPECT_EQ(1, vakNetIsDataReady(p.reader, 0));
}

TEST(NetIoTest, CloseOfBadDescriptorReportsAndFails) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_EQ(0, vakClose(fds[0]));
  EXPECT_EQ(0, vakClose(fds[1]));
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, vakClose(fds[1]));
  EXPECT_EQ(std::string(strerror(EBADF)) + "\n", testing::internal::GetCapturedStderr());
}

}  // namespace
