// bd_load - many clients at once against a Boolean Daemon on loopback: CLIENTS threads share
// QUESTIONS ProcAlive questions about process PID (creation time TIME), one connection each, as the
// library's client does. Prints the latency percentiles in milliseconds; fails on any wrong answer.
// Usage: bd_load PORT CLIENTS QUESTIONS PID TIME
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

double NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

bool ReadAll(int fd, void *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, static_cast<char *>(buf) + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool ReadFrame(int fd, std::string *text) {
  uint32_t header;
  if (!ReadAll(fd, &header, 4)) return false;
  uint32_t length = ntohl(header);
  if (length > 4096) return false;
  text->resize(length);
  return ReadAll(fd, &(*text)[0], length);
}

// One question; the reply text, or "" on failure.
std::string Ask(uint16_t port, const std::string &request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string greeting, reply;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
      ReadFrame(fd, &greeting) && greeting == "VakBoolVersion 1") {
    std::string frame(4, '\0');
    uint32_t length = htonl(static_cast<uint32_t>(request.size()));
    memcpy(&frame[0], &length, 4);
    frame += request;
    if (write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) {
      ReadFrame(fd, &reply);
    }
  }
  close(fd);
  return reply;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fputs("usage: bd_load PORT CLIENTS QUESTIONS PID TIME\n", stderr);
    return 2;
  }
  const uint16_t port = static_cast<uint16_t>(atoi(argv[1]));
  const int clients = atoi(argv[2]);
  const int questions = atoi(argv[3]);
  const std::string request = std::string("ProcAlive ") + argv[4] + " " + argv[5];
  std::vector<double> latencies(static_cast<size_t>(questions));
  std::atomic<int> next(0), wrong(0);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (int q; (q = next++) < questions;) {
        double start = NowMs();
        if (Ask(port, request) != "Alive") ++wrong;
        latencies[static_cast<size_t>(q)] = NowMs() - start;
      }
    });
  }
  for (auto &t : threads) t.join();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double p) { return latencies[static_cast<size_t>(p * (questions - 1))]; };
  printf("%.3f %.3f %.3f\n", at(0.5), at(0.99), latencies.back());
  if (wrong != 0) fprintf(stderr, "bd_load: %d questions not answered \"Alive\"\n", wrong.load());
  return wrong == 0 ? 0 : 1;
}
