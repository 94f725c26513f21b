// slow_relay_test.cc - the relay of the slow mount: bytes pass unchanged and in order, every
// request is logged once however the stream is cut, and a round trip takes the delay twice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

std::string BigEndian(size_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}
// An sftp packet: length, type, then the body; a string inside: length, then the bytes.
std::string Packet(unsigned char type, const std::string &body) {
  return BigEndian(body.size() + 1) + static_cast<char>(type) + body;
}
std::string String(const std::string &s) {
  return BigEndian(s.size()) + s;
}
const std::string kId = std::string("\0\0\0\7", 4);

double NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The relay with `cat` as its server: what is written comes back through both directions.
class Relay {
 public:
  Relay(const vaktest::TempDir &dir, long delayUs) : log_(dir.Sub("log")) {
    const std::string server = dir.Sub("server");
    vaktest::WriteFile(server, "#!/bin/sh\nexec cat\n");
    chmod(server.c_str(), 0755);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const std::string delay = std::to_string(delayUs);
      execl(SLOW_RELAY, SLOW_RELAY, delay.c_str(), log_.c_str(), server.c_str(), "host", "-s",
            "sftp", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Relay() {
    close(to_);
    close(from_);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  void Send(const std::string &bytes) {
    ASSERT_EQ(write(to_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string Receive(size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
      ssize_t r = read(from_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  std::string Log() const { return vaktest::ReadFile(log_); }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

TEST(SlowRelay, LogsEveryRequestOnceWhereverTheStreamIsCut) {
  const std::string lstat = Packet(7, kId + String("/a/b"));
  const std::string link =
      Packet(200, kId + String("hardlink@openssh.com") + String("/x") + String("/y"));
  const std::string read = Packet(5, kId + String("handle") + std::string(12, '\0'));
  const std::string init = Packet(1, std::string("\0\0\0\3", 4));
  const std::string odd = Packet(99, "");
  struct Case {
    const char *what;
    std::vector<std::string> pieces;  // written apart, with a pause between
    const char *log;
  } cases[] = {
      {"whole packets in one write", {init + lstat + read}, "init\nlstat /a/b\nread\n"},
      {"a packet cut in its length", {lstat.substr(0, 2), lstat.substr(2)}, "lstat /a/b\n"},
      {"a packet cut in its path",
       {lstat.substr(0, 12), lstat.substr(12) + odd},
       "lstat /a/b\ntype-99\n"},
      {"an extension by its name", {link.substr(0, 9), link.substr(9)}, "hardlink@openssh.com\n"},
      {"a request on a handle", {read}, "read\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    vaktest::TempDir dir;
    Relay relay(dir, 0);
    std::string all;
    for (const std::string &piece : c.pieces) {
      relay.Send(piece);
      all += piece;
      usleep(20 * 1000);
    }
    EXPECT_EQ(relay.Receive(all.size()), all);
    EXPECT_EQ(relay.Log(), c.log);
  }
}

TEST(SlowRelay, ARoundTripTakesTheDelayEachWayAndKeepsTheOrder) {
  vaktest::TempDir dir;
  Relay relay(dir, 30000);
  const std::string first = Packet(7, kId + String("/1")), second = Packet(7, kId + String("/2"));
  const double start = NowMs();
  relay.Send(first);
  usleep(5 * 1000);
  relay.Send(second);
  EXPECT_EQ(relay.Receive(first.size() + second.size()), first + second);
  const double took = NowMs() - start;
  EXPECT_GE(took, 60.0);
  EXPECT_LT(took, 1000.0);
}

}  // namespace
