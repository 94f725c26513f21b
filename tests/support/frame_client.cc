#include "frame_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vaktest {

FrameClient::~FrameClient() {
  Close();
}

void FrameClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool FrameClient::Connect(const std::string &host, int port) {
  Close();
  struct addrinfo hints = {}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, res->ai_addr, res->ai_addrlen) != 0) Close();
  freeaddrinfo(res);
  return fd_ >= 0;
}

namespace {

bool ReadExact(int fd, char *buf, size_t n, int timeoutMs) {
  size_t got = 0;
  while (got < n) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

bool FrameClient::ReadFrame(std::string *text, int timeoutMs) {
  char head[4];
  if (!ReadExact(fd_, head, 4, timeoutMs)) return false;
  uint32_t length;
  memcpy(&length, head, 4);
  length = ntohl(length);
  if (length > 65536) return false;
  text->assign(length, '\0');
  return length == 0 || ReadExact(fd_, &(*text)[0], length, timeoutMs);
}

std::string LengthField(uint32_t length) {
  uint32_t n = htonl(length);
  return std::string(reinterpret_cast<const char *>(&n), 4);
}

bool FrameClient::WriteFrame(const std::string &text) {
  return WriteRaw(LengthField(static_cast<uint32_t>(text.size())) + text);
}

bool FrameClient::WriteRaw(const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool FrameClient::ClosedByPeer(int timeoutMs) {
  struct pollfd p = {fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char byte;
  ssize_t r = recv(fd_, &byte, 1, 0);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

bool AskDaemon(const std::string &host, int port, const std::string &request, std::string *reply) {
  FrameClient client;
  std::string greeting;
  return client.Connect(host, port) && client.ReadFrame(&greeting) &&
         greeting == "VakBoolVersion 1" && client.WriteFrame(request) && client.ReadFrame(reply);
}

bool TellDaemon(const std::string &host, int port, const std::string &request) {
  FrameClient client;
  std::string greeting;
  return client.Connect(host, port) && client.ReadFrame(&greeting) &&
         greeting == "VakBoolVersion 1" && client.WriteFrame(request);
}

}  // namespace vaktest
