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
// Seconds from a message's first byte until all of it must have arrived, however it trickles in.
// Senders write length and text in one call, so the rest normally follows at once; as long as a
// peer has to begin leaves a slow link time for TCP to resend a lost segment twice, yet a stalled
// or dawdling peer holds one message at most 12 s in all.
enum { kVakMessageRestSeconds = 6 };

int vakNetWrite(int fd, const char *message);
// On success *message is a new NUL-terminated text (free it). vakNetRead waits
// kVakMessageWaitSeconds for the message to begin, vakNetReadEx(.., 0) as long as it takes. On
// failure errno is untouched when nothing came in time or the peer closed, ETIMEDOUT when a
// message began but did not end in time (part of it is then consumed).
int vakNetRead(int fd, char **message);
int vakNetReadEx(int fd, char **message, int wait);
int vakNetIsDataReady(int fd, int seconds);
ssize_t vakRead(int fd, void *buf, size_t count);
ssize_t vakWrite(int fd, const void *buf, size_t count);
int vakClose(int fd);

#endif  // VAK_NET_IO_H_
