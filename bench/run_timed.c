/* run_timed - runs a command REPS times (standard output to /dev/null) and prints the best wall
 * time in seconds and the largest peak resident size in kB. Fails if any run fails.
 * Usage: run_timed REPS COMMAND [ARGS...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("usage: run_timed REPS COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  int reps = atoi(argv[1]);
  double best = -1;
  long rss = 0;
  for (int r = 0; r < reps; ++r) {
    double start = now();
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execvp(argv[2], argv + 2);
      perror(argv[2]);
      _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) return 1;
    double elapsed = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "run_timed: %s failed (status %d)\n", argv[2], status);
      return 1;
    }
    if (best < 0 || elapsed < best) best = elapsed;
    if (usage.ru_maxrss > rss) rss = usage.ru_maxrss;
  }
  printf("%.6f %ld\n", best, rss);
  return 0;
}
