// The framed reader over whatever a peer may send: lying lengths, short texts, early ends.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include "framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 60000) return 0;  // all of it must fit in the pipe before the reader starts
  int p[2];
  if (pipe(p) != 0) abort();
  if (size > 0 && write(p[1], data, size) != static_cast<ssize_t>(size)) abort();
  close(p[1]);
  for (;;) {  // message after message until the reader refuses
    char *message = nullptr;
    if (!vakNetReadEx(p[0], &message, 0)) break;
    free(message);
  }
  close(p[0]);
  return 0;
}
