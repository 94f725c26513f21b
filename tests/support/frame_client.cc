#include "frame_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vaktest {

namespace {

// Receives exactly n bytes (n == 0: one byte, to learn whether the peer closed), giving up after
// timeoutMs; returns what recv returned.
ssize_t Receive(int fd, void *buf, size_t n, int timeoutMs) {
  struct timeval wait = {timeoutMs / 1000, timeoutMs > 0 ? (timeoutMs % 1000) * 1000 : 1};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char byte;
  return n == 0 ? recv(fd, &byte, 1, 0) : recv(fd, buf, n, MSG_WAITALL);
}

// Connects, checks the daemon's greeting and sends one request.
bool Send(FrameClient *client, const std::string &host, int port, const std::string &request) {
  std::string greeting;
  return client->Connect(host, port) && client->ReadFrame(&greeting) &&
         greeting == "VakBoolVersion 1" && client->WriteFrame(request);
}

}  // namespace

std::string LengthField(uint32_t length) {
  uint32_t n = htonl(length);
  return std::string(reinterpret_cast<const char *>(&n), 4);
}

void FrameClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool FrameClient::Connect(const std::string &host, int port) {
  Close();
  struct addrinfo hints = {}, *res = nullptr;
  // An IPv6 literal is taken as one; names stay IPv4, as the library's client resolves them.
  hints.ai_family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  fd_ = socket(hints.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, res->ai_addr, res->ai_addrlen) != 0) Close();
  freeaddrinfo(res);
  return fd_ >= 0;
}

bool FrameClient::ReadFrame(std::string *text, int timeoutMs) {
  uint32_t length;
  if (Receive(fd_, &length, 4, timeoutMs) != 4 || (length = ntohl(length)) > 65536) return false;
  text->assign(length, '\0');
  return length == 0 ||
         Receive(fd_, &(*text)[0], length, timeoutMs) == static_cast<ssize_t>(length);
}

bool FrameClient::WriteRaw(const std::string &bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool FrameClient::ClosedByPeer(int timeoutMs) {
  ssize_t r = Receive(fd_, nullptr, 0, timeoutMs);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

bool AskDaemon(const std::string &host, int port, const std::string &request, std::string *reply) {
  FrameClient client;
  return Send(&client, host, port, request) && client.ReadFrame(reply);
}

bool TellDaemon(const std::string &host, int port, const std::string &request) {
  FrameClient client;
  return Send(&client, host, port, request);
}

}  // namespace vaktest
