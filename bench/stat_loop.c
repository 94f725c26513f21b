/* stat_loop - the round trip of a mount: lstat()s PATH N times and prints the mean time of one,
 * in microseconds. With the kernel's caches off every lstat is one request to the server.
 * Usage: stat_loop PATH N */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

int main(int argc, char **argv) {
  if (argc != 3 || atol(argv[2]) <= 0) {
    fputs("usage: stat_loop PATH N\n", stderr);
    return 2;
  }
  long n = atol(argv[2]);
  struct timespec a, b;
  struct stat st;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (long i = 0; i < n; ++i) {
    if (lstat(argv[1], &st) != 0) {
      perror(argv[1]);
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.1f\n",
         ((double)(b.tv_sec - a.tv_sec) * 1e9 + (double)(b.tv_nsec - a.tv_nsec)) / 1e3 / n);
  return 0;
}
