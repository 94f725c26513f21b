// port.cc - port number parsing shared by the environment and the command line.
#include "port.h"

#include <errno.h>
#include <stdlib.h>

namespace vakbd {

bool ApplyPortText(const char *text, int32_t *port, FILE *warnings) {
  if (text == nullptr) return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0') {
    if (warnings != nullptr) {
      fprintf(warnings, "Warning (vakbd): bad -portnum value \"%s\" ignored\n", text);
    }
    return false;
  }
  // The client stores the long in a 32-bit integer and uses its low 16 bits; truncating the same
  // way keeps a value such as 70000 meaning port 4464 on both sides.
  *port = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
  return true;
}

uint16_t EffectivePort(int32_t configured) {
  return static_cast<uint16_t>(static_cast<uint32_t>(configured) & 0xffffu);
}

}  // namespace vakbd
