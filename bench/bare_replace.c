/* bare_replace.c - the floor of a steal: read the old lock-stake file, write the side file, take
 * the dirlock with it, read the lock-stake file again and rename the dirlock over it; and for
 * scale the link, unlink and rename steps alone. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bare.h"

int bare_link_dance(const char *side, const char *dirlock, const char *stake) {
  if (link(side, dirlock) != 0 || unlink(side) != 0) return -1;
  return rename(dirlock, stake);
}

int bare_replace_cycle(const char *locked, const char *stake, const char *side, const char *dirlock,
                       const char *text, size_t length) {
  struct stat st;
  char buffer[8192], again[8192];
  if (lstat(locked, &st) != 0) return -1;
  int fd = open(stake, O_RDONLY | O_CLOEXEC);
  ssize_t got = fd < 0 || fstat(fd, &st) != 0 ? -1 : read(fd, buffer, sizeof buffer);
  if (got <= 0 || close(fd) != 0) return -1;
  fd = open(side, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 || fchmod(fd, 0666) != 0 || write(fd, text, length) != (ssize_t)length) return -1;
  if (link(side, dirlock) != 0 || unlink(side) != 0 || close(fd) != 0) return -1;
  /* Under the dirlock: the lock-stake file must still be the one read. */
  fd = open(stake, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0 || read(fd, again, sizeof again) != got || close(fd) != 0) {
    return -1;
  }
  return rename(dirlock, stake);
}
