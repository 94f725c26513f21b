// net_io.h - framed messages (4-byte big-endian length, then the text) on any descriptor, and
// read/write/close wrappers that survive EINTR.
#ifndef VAK_NET_IO_H_
#define VAK_NET_IO_H_

#include <stddef.h>
#include <sys/types.h>

// Largest message a reader accepts: a longer length field is refused as a failed read, so a
// hostile peer cannot make the reader allocate what it asks for.
enum { kVakMaxMessageLength = 1 << 20 };
// Seconds a peer has for the first byte of a message to arrive.
enum { kVakMessageWaitSeconds = 6 };

int vakNetWrite(int fd, const char *message);
// On success *message is a new NUL-terminated text (free it).
int vakNetRead(int fd, char **message);
int vakNetReadEx(int fd, char **message, int wait);
int vakNetIsDataReady(int fd, int seconds);
ssize_t vakRead(int fd, void *buf, size_t count);
ssize_t vakWrite(int fd, const void *buf, size_t count);
int vakClose(int fd);

#endif  // VAK_NET_IO_H_
