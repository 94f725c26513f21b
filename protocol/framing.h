// framing.h - framed messages (4-byte big-endian length, then the text) on any descriptor, and
// read/write/close wrappers that survive EINTR: the wire format of both daemons and their clients.
#ifndef VAK_PROTOCOL_FRAMING_H_
#define VAK_PROTOCOL_FRAMING_H_

#include <stddef.h>
#include <stdint.h>
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
// Bytes of the length field that opens every frame.
enum { kVakFrameHeaderLength = 4 };

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

namespace protocol {

// For a server that assembles frames itself, a piece at a time on non-blocking sockets.
// A whole frame of text, from malloc (NULL when out of memory); *frameLength gets its size.
char *NewFrame(const char *text, size_t *frameLength);
// The text length that a frame's length field announces.
uint32_t FrameLength(const unsigned char header[kVakFrameHeaderLength]);

}  // namespace protocol

#endif  // VAK_PROTOCOL_FRAMING_H_
