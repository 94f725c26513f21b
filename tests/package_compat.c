/* Takes and releases an Edit Lock in compatibility mode, for which the library has to find and
 * run vakcompatd. Built by tests/package_test.sh against the packaged development files and run
 * inside the clean root, from a folder outside the package's. */
#include <stdio.h>
#include <stdlib.h>

#include "orv.h"
#include "vak.h"

int main(int argc, char **argv) {
  char *msg = NULL;
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  orvInit(&argc, argv);
  if (vakInit("package-compat", VAK_COMPAT_LOCKING, &msg) != VAK_OK ||
      vakGetEditLock(argv[1], "compatibility", &msg) != VAK_OK ||
      vakReleaseEditLock(argv[1], &msg) != VAK_OK) {
    fprintf(stderr, "%s\n", msg != NULL ? msg : "(no message)");
    return 1;
  }
  puts("locked and released in compatibility mode");
  return 0;
}
