// port.h - the TCP port the daemon serves, read the same way the lock library's client reads it,
// so that both ends always agree on the port.
#ifndef VAKBD_PORT_H_
#define VAKBD_PORT_H_

#include <stdint.h>
#include <stdio.h>

namespace vakbd {

enum { kDefaultPort = 16723 };

// Applies a port text to *port: a decimal long integer (leading white space and a sign allowed),
// accepted when at least one character was converted and nothing follows. A rejected text leaves
// *port as it was and prints "Warning (vakbd): bad -portnum value "<text>" ignored" on warnings.
// A null text is ignored. Returns whether the text was accepted.
bool ApplyPortText(const char *text, int32_t *port, FILE *warnings);

// The port actually used: the low 16 bits of the configured value, as the client does.
uint16_t EffectivePort(int32_t configured);

}  // namespace vakbd

#endif  // VAKBD_PORT_H_
