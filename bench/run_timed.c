/* run_timed - runs commands in turn, REPS rounds (standard output to /dev/null), and prints for
 * each, on its own line, the best wall time in seconds and the largest peak resident size in kB.
 * Taking turns lets every command see the same load of a shared machine. Fails if any run fails.
 * Usage: run_timed REPS COMMAND [ARGS...] [-- COMMAND [ARGS...]]... */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxCommands = 8 };

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* One run: wall time, or -1 on failure; *rss gets the peak resident size. */
static double run(char **argv, long *rss) {
  double start = now();
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execvp(argv[0], argv);
    perror(argv[0]);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return -1;
  double elapsed = now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "run_timed: %s failed (status %d)\n", argv[0], status);
    return -1;
  }
  *rss = usage.ru_maxrss;
  return elapsed;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("usage: run_timed REPS COMMAND [ARGS...] [-- COMMAND [ARGS...]]...\n", stderr);
    return 2;
  }
  char **commands[kMaxCommands];
  int n = 0;
  commands[n++] = argv + 2;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--") != 0) continue;
    argv[i] = NULL;
    if (n == kMaxCommands || i + 1 == argc) return 2;
    commands[n++] = argv + i + 1;
  }
  double best[kMaxCommands];
  long rss[kMaxCommands] = {0};
  int reps = atoi(argv[1]);
  for (int r = 0; r < reps; ++r) {
    for (int c = 0; c < n; ++c) {
      long peak = 0;
      double t = run(commands[c], &peak);
      if (t < 0) return 1;
      if (r == 0 || t < best[c]) best[c] = t;
      if (peak > rss[c]) rss[c] = peak;
    }
  }
  for (int c = 0; c < n; ++c) printf("%.6f %ld\n", best[c], rss[c]);
  return 0;
}
