// framing.cc - framed messages and EINTR-proof read/write/close, shared by both daemons and their
// clients.
//
// A frame is a 4-byte big-endian length followed by exactly that many bytes of text. The reader
// never reads past the end of the current frame, so it never consumes the next message.
#include "framing.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "posix_io.h"

namespace {

void ReportError() {
  fprintf(stderr, "%s\n", strerror(errno));
}

// Whether fd has data or end-of-file before the deadline. Leaves errno as it was unless poll
// itself fails: callers read an untouched errno as "nothing came".
bool ReadableBy(int fd, const orv::Deadline &deadline) {
  const int saved = errno;
  int ready = orv::PollUntil(fd, POLLIN, deadline);
  if (ready >= 0) errno = saved;
  return ready == 1;
}

// Reads exactly count bytes. On failure errno is ETIMEDOUT when the deadline passed first, is
// left alone when the peer closed, and names the error (reported on stderr) when a read failed.
bool ReadAllBy(int fd, char *buf, size_t count, const orv::Deadline &deadline) {
  const int saved = errno;
  if (orv::ReadFull(fd, buf, count, deadline)) {
    errno = saved;
    return true;
  }
  if (errno == 0) {
    errno = saved;  // the peer closed
  } else if (errno != ETIMEDOUT) {
    ReportError();
  }
  return false;
}

// Runs a read or write until it is not interrupted. An interrupted attempt leaves no trace in
// errno: after end-of-file callers expect it untouched. A failure is reported on stderr.
template <typename Call>
ssize_t Reported(Call call) {
  const int saved = errno;
  ssize_t n = orv::RetryOnEintr(call);
  if (n < 0) {
    ReportError();
  } else {
    errno = saved;
  }
  return n;
}

orv::Deadline SecondsFromNow(int seconds) {
  return orv::Deadline::In(static_cast<int64_t>(seconds) * 1000);
}

}  // namespace

ssize_t vakRead(int fd, void *buf, size_t count) {
  return Reported([&] { return read(fd, buf, count); });
}

ssize_t vakWrite(int fd, const void *buf, size_t count) {
  return Reported([&] { return write(fd, buf, count); });
}

int vakClose(int fd) {
  int result = close(fd);
  // On Linux the descriptor is released even when close reports EINTR; a second close could only
  // fail with EBADF or, worse, close a descriptor that was reused meanwhile. So EINTR is success.
  if (result != 0 && errno == EINTR) return 0;
  if (result != 0) ReportError();
  return result;
}

int vakNetWrite(int fd, const char *message) {
  if (message == nullptr) return 0;
  size_t length = strlen(message);
  if (length > UINT32_MAX) return 0;
  uint32_t header = htonl(static_cast<uint32_t>(length));
  // Length and text go out in one system call: two small writes on a TCP connection would let
  // Nagle's algorithm hold the text back until the peer acknowledges the length.
  struct iovec parts[2];
  parts[0].iov_base = &header;
  parts[0].iov_len = sizeof header;
  parts[1].iov_base = const_cast<char *>(message);
  parts[1].iov_len = length;
  ssize_t written = orv::RetryOnEintr([&] { return writev(fd, parts, length == 0 ? 1 : 2); });
  if (written < 0) {
    ReportError();
    return 0;
  }
  // A partial write is not resumed: the frame is broken and the exchange has failed.
  return static_cast<size_t>(written) == sizeof header + length ? 1 : 0;
}

int vakNetIsDataReady(int fd, int seconds) {
  return ReadableBy(fd, SecondsFromNow(seconds)) ? 1 : 0;
}

int vakNetRead(int fd, char **message) {
  return vakNetReadEx(fd, message, 1);
}

int vakNetReadEx(int fd, char **message, int wait) {
  // The first byte is waited for within the usual bound or, for a daemon idle between requests,
  // without one; from then on the whole message has one deadline: a peer that stalls halfway or
  // trickles a byte at a time would otherwise hold the reader for as long as it keeps the
  // connection open.
  if (!ReadableBy(fd, wait ? SecondsFromNow(kVakMessageWaitSeconds) : orv::Deadline::Never())) {
    return 0;
  }
  const orv::Deadline deadline = SecondsFromNow(kVakMessageRestSeconds);
  unsigned char header[kVakFrameHeaderLength];
  if (!ReadAllBy(fd, reinterpret_cast<char *>(header), sizeof header, deadline)) return 0;
  uint32_t length = protocol::FrameLength(header);
  if (length > static_cast<uint32_t>(kVakMaxMessageLength)) {
    errno = EMSGSIZE;
    return 0;
  }
  orv::MallocPtr<char> text(static_cast<char *>(malloc(static_cast<size_t>(length) + 1)));
  if (text == nullptr) return 0;
  if (!ReadAllBy(fd, text.get(), length, deadline)) return 0;
  text.get()[length] = '\0';
  *message = text.release();
  return 1;
}

namespace protocol {

char *NewFrame(const char *text, size_t *frameLength) {
  size_t length = strlen(text);
  char *frame = static_cast<char *>(malloc(length + kVakFrameHeaderLength));
  if (frame == nullptr) return nullptr;
  uint32_t header = htonl(static_cast<uint32_t>(length));
  memcpy(frame, &header, kVakFrameHeaderLength);
  memcpy(frame + kVakFrameHeaderLength, text, length);
  *frameLength = length + kVakFrameHeaderLength;
  return frame;
}

uint32_t FrameLength(const unsigned char header[kVakFrameHeaderLength]) {
  uint32_t length;
  memcpy(&length, header, sizeof length);
  return ntohl(length);
}

}  // namespace protocol
