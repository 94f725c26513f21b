// Both daemon message parsers, and the judgement of a Compatibility Daemon reply, which reads the
// reply from the daemon's pipe: a pipe of our own stands in for it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "bd_client.h"
#include "compat_process.h"
#include "compat_requests.h"
#include "framing.h"
#include "status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;  // the reply must fit in the pipe before it is read
  const std::string text(reinterpret_cast<const char *>(data), size);
  const char *begin = text.c_str(), *end = begin + strlen(begin);
  int kind = -1;
  for (const char *rest : {vakBdParseMsg(begin, &kind), vakCompatDParseMsg(begin, &kind)}) {
    if (rest != nullptr && (rest < begin || rest > end)) abort();  // within the text
  }
  int reply[2], request[2];
  if (pipe(reply) != 0 || pipe(request) != 0 || !vakNetWrite(reply[1], begin)) abort();
  daemonConnection = {true, reply[0], request[1], -1};
  char *msg = nullptr;
  vakCompatDLockResponse(size % 2 == 0 ? kCdGotLock : kCdDidUnLock, &msg);
  vakReleaseErrorMsg(&msg);
  for (int fd : {reply[0], reply[1], request[0], request[1]}) close(fd);
  daemonConnection = {false, -1, -1, -1};
  return 0;
}
