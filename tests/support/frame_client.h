// frame_client.h - a client of the framed daemon protocol that can also send broken frames.
#ifndef VAK_TESTS_FRAME_CLIENT_H_
#define VAK_TESTS_FRAME_CLIENT_H_

#include <stdint.h>

#include <string>

namespace vaktest {

// The 4-byte big-endian length field.
std::string LengthField(uint32_t length);

class FrameClient {
 public:
  FrameClient() = default;
  ~FrameClient() { Close(); }
  FrameClient(const FrameClient &) = delete;
  FrameClient &operator=(const FrameClient &) = delete;

  // Connects to an IPv4 address (dotted or a host name) or an IPv6 literal and port; false if
  // refused.
  bool Connect(const std::string &host, int port);
  // One frame's text, waiting up to timeoutMs for each part; false on time-out or close.
  bool ReadFrame(std::string *text, int timeoutMs = 3000);
  // A whole frame, length and text in one write.
  bool WriteFrame(const std::string &text) {
    return WriteRaw(LengthField(static_cast<uint32_t>(text.size())) + text);
  }
  // Sends bytes as they are (a bare length field, a partial frame, garbage).
  bool WriteRaw(const std::string &bytes);
  // True when the peer closes (or resets) the connection within timeoutMs without sending data.
  bool ClosedByPeer(int timeoutMs);
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Connects, checks the greeting, sends request and reads one reply. False on any failure.
bool AskDaemon(const std::string &host, int port, const std::string &request, std::string *reply);
// Connects, checks the greeting and sends a request that has no reply.
bool TellDaemon(const std::string &host, int port, const std::string &request);

}  // namespace vaktest

#endif  // VAK_TESTS_FRAME_CLIENT_H_
