// The tool's command language. Runs in an empty working directory; commands that would leave it
// (a path with "/" or ".."), end the process (exit, quit) or run a shell (system) are not fed.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "shell.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("PATH", "/nonexistent", 1);  // no vakbd is started
  char name[] = "/nonexistent/vakAdminTool";
  char *argv[] = {name, nullptr};
  char *msg = nullptr;
  vakAdminInit(1, argv, &msg);
  doForce = 1;  // host names as typed: no name-service look-ups
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  line = line.substr(0, line.find('\0'));
  const char *word = line.c_str() + strspn(line.c_str(), " ");
  for (const char *refused : {"sys", "exi", "qui"}) {
    if (strncasecmp(word, refused, 3) == 0) return 0;
  }
  if (line.find('/') != std::string::npos || line.find("..") != std::string::npos) return 0;
  processRequest(line.c_str());
  doForce = 1;
  return 0;
}
