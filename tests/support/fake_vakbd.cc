#include "fake_vakbd.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame_client.h"

namespace vaktest {

FakeVakbd::FakeVakbd(std::vector<std::string> script, const std::string &address) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
      bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(listener_, 8) == 0 &&
      getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port_ = ntohs(addr.sin_port);
  }
  thread_ = std::thread([this, script] {
    for (struct pollfd p = {listener_, POLLIN, 0}; !stop_;) {
      int fd = poll(&p, 1, 20) > 0 ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      struct timeval wait = {10, 0};  // for each part of a request
      if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      for (size_t i = 0; fd >= 0 && i < script.size(); ++i) {
        bool lengthOnly = script[i].compare(0, 5, "<len>") == 0;
        std::string text = lengthOnly ? script[i].substr(5) : script[i];
        uint32_t n;
        if (text == "<stall>") {
          for (int ticks = 0; ticks < 1000 && !stop_; ++ticks) usleep(20000);
        } else if (text != "<read>") {
          text = LengthField(static_cast<uint32_t>(text.size())) + (lengthOnly ? "" : text);
          send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        } else if (recv(fd, &n, 4, MSG_WAITALL) == 4) {
          std::string request(ntohl(n), '\0');
          if (recv(fd, &request[0], request.size(), MSG_WAITALL) == ssize_t(request.size())) {
            requests_ += "|" + request;
          }
        }
      }
      if (fd >= 0) close(fd);
    }
  });
}

std::string FakeVakbd::Requests() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
  return requests_.substr(requests_.empty() ? 0 : 1);
}

}  // namespace vaktest
