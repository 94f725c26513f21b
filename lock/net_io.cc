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

namespace {

void ReportError() {
  fprintf(stderr, "%s\n", strerror(errno));
}

long long MonotonicMillis() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ssize_t vakRead(int fd, void *buf, size_t count) {
  for (;;) {
    ssize_t n = read(fd, buf, count);
    if (n >= 0) return n;
    if (errno != EINTR) {
      ReportError();
      return n;
    }
    errno = 0;
  }
}

ssize_t vakWrite(int fd, const void *buf, size_t count) {
  for (;;) {
    ssize_t n = write(fd, buf, count);
    if (n >= 0) return n;
    if (errno != EINTR) {
      ReportError();
      return n;
    }
    errno = 0;
  }
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
  // poll rather than select: select cannot watch a descriptor numbered FD_SETSIZE or above.
  const long long deadline = MonotonicMillis() + static_cast<long long>(seconds) * 1000;
  for (;;) {
    long long left = deadline - MonotonicMillis();
    if (left < 0) left = 0;
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return 0;
  }
}

int vakNetRead(int fd, char **message) {
  return vakNetReadEx(fd, message, 1);
}

int vakNetReadEx(int fd, char **message, int wait) {
  if (wait && !vakNetIsDataReady(fd, kVakMessageWaitSeconds)) return 0;
  uint32_t header = 0;
  if (vakRead(fd, &header, sizeof header) != static_cast<ssize_t>(sizeof header)) return 0;
  uint32_t length = ntohl(header);
  if (length > static_cast<uint32_t>(kVakMaxMessageLength)) {
    errno = EMSGSIZE;
    return 0;
  }
  char *text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return 0;
  size_t got = 0;
  while (got < length) {
    ssize_t n = vakRead(fd, text + got, length - got);
    if (n <= 0) {
      free(text);
      return 0;
    }
    got += static_cast<size_t>(n);
  }
  text[length] = '\0';
  *message = text;
  return 1;
}
