#include "fake_vakbd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vaktest {

namespace {

bool ReadAll(int fd, char *buf, size_t n) {
  for (size_t got = 0; got < n;) {
    struct pollfd p = {fd, POLLIN, 0};
    ssize_t r = poll(&p, 1, 10000) > 0 ? read(fd, buf + got, n - got) : -1;
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

}  // namespace

FakeVakbd::FakeVakbd(std::vector<FakeStep> script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(listener_, 8) == 0 &&
      getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port_ = ntohs(addr.sin_port);
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeVakbd::~FakeVakbd() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

std::vector<std::string> FakeVakbd::Requests(int connections) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (served_ < connections && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeVakbd::Serve() {
  while (!stop_) {
    struct pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    for (const FakeStep &step : script_) {
      uint32_t length = htonl(uint32_t(step.text.size()));
      std::string frame(reinterpret_cast<const char *>(&length), 4);
      char header[4];
      if (step.kind == FakeStep::kSend || step.kind == FakeStep::kSendLengthOnly) {
        if (step.kind == FakeStep::kSend) frame += step.text;
        if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) break;
      } else if (step.kind == FakeStep::kReadRequest) {
        if (!ReadAll(fd, header, 4)) break;
        std::string request(ntohl(*reinterpret_cast<uint32_t *>(header)), '\0');
        if (!ReadAll(fd, &request[0], request.size())) break;
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      } else {
        struct pollfd q = {fd, POLLIN, 0};
        poll(&q, 1, atoi(step.text.c_str()));
      }
    }
    close(fd);
    ++served_;
  }
}

}  // namespace vaktest
