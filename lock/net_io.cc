// net_io.cc - framed messages and EINTR-proof read/write/close, shared by both daemon clients.
//
// A frame is a 4-byte big-endian length followed by exactly that many bytes of text. The reader
// never reads past the end of the current frame, so it never consumes the next message.
#include "net_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "posix_io.h"

namespace {

void ReportError() {
  fprintf(stderr, "%s\n", strerror(errno));
}

long long MonotonicMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Whether fd has data or end-of-file before the deadline (monotonic milliseconds; -1: none). An
// interrupted wait goes on with only what is left of the deadline, so signals cannot extend it,
// and leaves errno as it was: callers read an untouched errno as "nothing came".
// poll rather than select: select cannot watch a descriptor numbered FD_SETSIZE or above.
bool ReadableBy(int fd, long long deadline) {
  struct pollfd p = {fd, POLLIN, 0};
  const int saved = errno;
  int ready = orv::RetryOnEintr([&] {
    long long left = deadline < 0 ? -1 : deadline - MonotonicMillis();
    return poll(&p, 1, deadline >= 0 && left < 0 ? 0 : static_cast<int>(left));
  });
  if (ready >= 0) errno = saved;
  return ready > 0;
}

// Reads exactly count bytes. On failure errno is ETIMEDOUT when the deadline passed first, is
// left alone when the peer closed, and names the error when a read failed.
bool ReadAllBy(int fd, char *buf, size_t count, long long deadline) {
  for (size_t got = 0; got < count;) {
    if (!ReadableBy(fd, deadline)) {
      errno = ETIMEDOUT;
      return false;
    }
    ssize_t n = vakRead(fd, buf + got, count - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// An interrupted attempt leaves no trace in errno: after end-of-file callers expect it untouched.
ssize_t vakRead(int fd, void *buf, size_t count) {
  const int saved = errno;
  ssize_t n = orv::RetryOnEintr([&] { return read(fd, buf, count); });
  if (n < 0) {
    ReportError();
  } else {
    errno = saved;
  }
  return n;
}

ssize_t vakWrite(int fd, const void *buf, size_t count) {
  const int saved = errno;
  ssize_t n = orv::RetryOnEintr([&] { return write(fd, buf, count); });
  if (n < 0) {
    ReportError();
  } else {
    errno = saved;
  }
  return n;
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
  ssize_t written;
  for (;;) {
    written = writev(fd, parts, length == 0 ? 1 : 2);
    if (written >= 0 || errno != EINTR) break;
    errno = 0;
  }
  if (written < 0) {
    ReportError();
    return 0;
  }
  // A partial write is not resumed: the frame is broken and the exchange has failed.
  return static_cast<size_t>(written) == sizeof header + length ? 1 : 0;
}

int vakNetIsDataReady(int fd, int seconds) {
  return ReadableBy(fd, MonotonicMillis() + static_cast<long long>(seconds) * 1000) ? 1 : 0;
}

int vakNetRead(int fd, char **message) {
  return vakNetReadEx(fd, message, 1);
}

int vakNetReadEx(int fd, char **message, int wait) {
  // The first byte is waited for within the usual bound or, for a daemon idle between requests,
  // without one; from then on the whole message has one deadline: a peer that stalls halfway or
  // trickles a byte at a time would otherwise hold the reader for as long as it keeps the
  // connection open.
  if (!ReadableBy(fd, wait ? MonotonicMillis() + kVakMessageWaitSeconds * 1000 : -1)) return 0;
  const long long deadline = MonotonicMillis() + kVakMessageRestSeconds * 1000;
  uint32_t header = 0;
  if (!ReadAllBy(fd, reinterpret_cast<char *>(&header), sizeof header, deadline)) return 0;
  uint32_t length = ntohl(header);
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
