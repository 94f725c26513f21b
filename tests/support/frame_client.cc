#include "frame_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vaktest {

namespace {

// The next receive on fd gives up after timeoutMs (0 would mean never).
void SetTimeout(int fd, int timeoutMs) {
  struct timeval wait = {timeoutMs / 1000, timeoutMs > 0 ? (timeoutMs % 1000) * 1000 : 1};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

bool Receive(int fd, void *buf, size_t n, int timeoutMs) {
  SetTimeout(fd, timeoutMs);
  return n == 0 || recv(fd, buf, n, MSG_WAITALL) == static_cast<ssize_t>(n);
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
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, res->ai_addr, res->ai_addrlen) != 0) Close();
  freeaddrinfo(res);
  return fd_ >= 0;
}

bool FrameClient::ReadFrame(std::string *text, int timeoutMs) {
  uint32_t length;
  if (!Receive(fd_, &length, 4, timeoutMs) || (length = ntohl(length)) > 65536) return false;
  text->assign(length, '\0');
  return Receive(fd_, &(*text)[0], length, timeoutMs);
}

bool FrameClient::WriteRaw(const std::string &bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool FrameClient::ClosedByPeer(int timeoutMs) {
  SetTimeout(fd_, timeoutMs);
  char byte;
  ssize_t r = recv(fd_, &byte, 1, 0);
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
