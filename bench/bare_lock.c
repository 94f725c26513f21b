/* bare_lock.c - the floor of an Edit Lock get + release: exactly the system calls the protocol
 * needs (a lock appears whole; a release holds the dirlock), and for scale the plainest
 * exclusive-create cycle. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bare.h"

int bare_get(const char *locked, const char *stake, const char *text, size_t length) {
  struct stat st;
  char side[4096];
  snprintf(side, sizeof side, "%s.%ld", stake, (long)getpid());
  /* Resolve the locked file, find no lock, write a side file exclusively and link it to the free
   * lock-stake name, so that the lock appears whole. */
  if (lstat(locked, &st) != 0) return -1;
  int fd = open(stake, O_RDONLY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return -1;
  fd = open(side, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (fchmod(fd, 0666) != 0 || write(fd, text, length) != (ssize_t)length) return -1;
  if (link(side, stake) != 0 || unlink(side) != 0) return -1;
  return close(fd);
}

int bare_release(const char *locked, const char *stake, size_t length) {
  struct stat st;
  char buffer[8192], dirlock[4096];
  snprintf(dirlock, sizeof dirlock, "%s.dirlock", stake);
  /* Resolve, read the lock-stake file to find the owner, take the dirlock with the file itself,
   * remove the file and give the dirlock back. */
  if (lstat(locked, &st) != 0) return -1;
  int fd = open(stake, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0) return -1;
  if (read(fd, buffer, sizeof buffer) != (ssize_t)length) return -1;
  if (link(stake, dirlock) != 0 || unlink(stake) != 0 || unlink(dirlock) != 0) return -1;
  return close(fd);
}

int bare_lock_cycle(const char *locked, const char *stake, const char *text, size_t length) {
  if (bare_get(locked, stake, text, length) != 0) return -1;
  return bare_release(locked, stake, length);
}

int bare_create_cycle(const char *stake, const char *text, size_t length) {
  int fd = open(stake, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || write(fd, text, length) != (ssize_t)length || close(fd) != 0) return -1;
  return unlink(stake);
}
