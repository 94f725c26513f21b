/* bare_replace.c - the floor of a steal: read the old lock-stake file, write the side file, then
 * the link dance under the dirlock; and for scale the five link and unlink steps of the dance
 * alone. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bare.h"

int bare_link_dance(const char *side, const char *dirlock, const char *stake) {
  if (link(side, dirlock) != 0 || unlink(side) != 0 || unlink(stake) != 0) return -1;
  if (link(dirlock, stake) != 0) return -1;
  return unlink(dirlock);
}

int bare_replace_cycle(const char *locked, const char *stake, const char *side, const char *dirlock,
                       const char *text, size_t length) {
  struct stat st;
  char buffer[8192];
  if (lstat(locked, &st) != 0) return -1;
  int fd = open(stake, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0 || read(fd, buffer, sizeof buffer) <= 0 || close(fd) != 0) {
    return -1;
  }
  fd = open(side, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || fchmod(fd, 0666) != 0 || write(fd, text, length) != (ssize_t)length) return -1;
  if (close(fd) != 0) return -1;
  fd = open(dirlock, O_RDWR | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return -1;
  return bare_link_dance(side, dirlock, stake);
}
