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
  const std::string line(reinterpret_cast<const char *>(data), size);  // c_str() ends at a NUL
  const char *text = line.c_str(), *word = text + strspn(text, " ");
  if (strncasecmp(word, "sys", 3) == 0 || strncasecmp(word, "exi", 3) == 0 ||
      strncasecmp(word, "qui", 3) == 0 || strchr(text, '/') || strstr(text, "..")) {
    return 0;
  }
  processRequest(text);
  doForce = 1;
  return 0;
}
