/* bare_walk - the floor of a sweep: openat, fdopendir, readdir, trusting d_type (lstat only when it
 * is unknown), counting lock-stake names. Prints the count. Usage: bare_walk DIR */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long count;

static void walk(int fd) {
  DIR *dir = fdopendir(fd);
  if (dir == NULL) {
    close(fd);
    return;
  }
  struct dirent *e;
  while ((e = readdir(dir)) != NULL) {
    const char *name = e->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    size_t length = strlen(name);
    if (length >= 7 && memcmp(name + length - 7, ".orvlck", 7) == 0) ++count;
    int isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      isDir = fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (!isDir) continue;
    int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) walk(sub);
  }
  closedir(dir);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fputs("usage: bare_walk DIR\n", stderr);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  walk(fd);
  printf("%ld\n", count);
  return 0;
}
