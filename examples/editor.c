/*
 * editor.c - a small "editor" that holds an Edit Lock on a file while it works.
 *
 *   vak-editor [--steal] [--reason TEXT] [--hold SECONDS] FILE
 *
 * Takes (or with --steal, steals) the Edit Lock of FILE, prints "locked FILE", holds it for
 * SECONDS (default: until standard input ends or SIGINT/SIGTERM arrives), then releases it.
 * Exit status 0 on success, 1 when the lock could not be taken.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "orv.h"
#include "vak.h"

static volatile sig_atomic_t stopRequested = 0;

static void onStop(int sig) {
  (void)sig;
  stopRequested = 1;
}

static void printFailure(const char *what, const char *path, char *msg) {
  fprintf(stderr, "%s %s: %s\n", what, path, msg != NULL ? msg : "(no message)");
  /* The shared out-of-memory text is static; every other message is ours to free. */
  if (msg != NULL && msg != vakGetOutOfMemMsg()) free(msg);
}

int main(int argc, char **argv) {
  int steal = 0, hold = -1, i;
  const char *reason = NULL, *path = NULL;
  char *msg = NULL;
  struct sigaction sa;
  int status;

  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--steal") == 0) {
      steal = 1;
    } else if (strcmp(argv[i], "--reason") == 0 && i + 1 < argc) {
      reason = argv[++i];
    } else if (strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
      hold = atoi(argv[++i]);
    } else if (argv[i][0] != '-' && path == NULL) {
      path = argv[i];
    } else {
      path = NULL;
      break;
    }
  }
  if (path == NULL) {
    fprintf(stderr, "usage: %s [--steal] [--reason TEXT] [--hold SECONDS] FILE\n", argv[0]);
    return 2;
  }

  /* Lets the library find its install hierarchy (and so vakbd) from our own path. */
  orvInit(&argc, argv);

  status = steal ? vakStealEditLock(path, reason, &msg) : vakGetEditLock(path, reason, &msg);
  if (status != VAK_OK) {
    printFailure(steal ? "cannot steal the Edit Lock of" : "cannot lock", path, msg);
    return 1;
  }
  printf("locked %s\n", path);
  fflush(stdout);

  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  if (hold >= 0) {
    unsigned left = (unsigned)hold;
    while (left > 0 && !stopRequested) left = sleep(left);
  } else {
    char buf[256];
    while (!stopRequested && read(0, buf, sizeof buf) > 0) {
    }
  }

  status = vakReleaseEditLock(path, &msg);
  if (status != VAK_OK) {
    printFailure("cannot release the Edit Lock of", path, msg);
    return 1;
  }
  printf("released %s\n", path);
  return 0;
}
