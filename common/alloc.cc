// alloc.cc - allocation that says on standard error when it fails, and text copies made with it.
#include "alloc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace orv {

void *Malloc(size_t size) {
  void *memory = malloc(size);
  if (memory == nullptr) {
    fprintf(stderr, "ERROR! Failed to allocate %ld bytes of space\n", static_cast<long>(size));
  }
  return memory;
}

char *CopyString(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  char *copy = static_cast<char *>(Malloc(length + 1));
  if (copy != nullptr) memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace orv
