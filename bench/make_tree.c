/* make_tree - writes the benchmark tree: directories `fanout` wide down to `depth` levels, the
 * deepest holding `leaf` files each (default: fanout); every `every`th file (default 1000) gets a
 * lock-stake file naming process 1 of this host (alive for as long as the machine runs). Prints
 * the number of lock-stake files.
 * Usage: make_tree DIR FANOUT DEPTH [LEAF [EVERY]] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

static int fanout, depth, leaf, every = 1000;
static long files, stakes;
static char host[256];

static void die(const char *what, const char *path) {
  perror(path);
  fprintf(stderr, "make_tree: cannot %s\n", what);
  exit(1);
}

static void line(FILE *out, const char *key, const char *value) {
  fprintf(out, "%-30s %s\n", key, value);
}

static void write_stake(const char *locked) {
  char path[4096];
  if (snprintf(path, sizeof path, "%s.orvlck", locked) >= (int)sizeof path) die("name", locked);
  FILE *out = fopen(path, "w");
  if (out == NULL) die("write a lock-stake file", path);
  fputs(
      "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
      "# Information about current Edit Lock Owner.\n#\n",
      out);
  line(out, "LockStakeVersion", "1.1");
  line(out, "LoginName", "bench");
  line(out, "HostName", host);
  line(out, "ProcessIdentifier", "1");
  line(out, "ProcessCreationTime_UTC", "1");
  line(out, "ProcessCreationTime_Readable", "Thu Jan  1 00:00:01 1970 UTC");
  line(out, "AppIdentifier", "make_tree");
  line(out, "OSType", "lnx86");
  line(out, "ReasonForPlacingEditLock", "benchmark");
  line(out, "FilePathUsedToEditLock", locked);
  line(out, "TimeEditLocked", "Thu Jan  1 00:00:01 1970 UTC");
  if (fclose(out) != 0) die("write a lock-stake file", path);
  ++stakes;
}

static void fill(const char *dir, int level) {
  char path[4096];
  int count = level + 1 < depth ? fanout : leaf;
  for (int i = 0; i < count; ++i) {
    if (level + 1 < depth) {
      if (snprintf(path, sizeof path, "%s/d%02d", dir, i) >= (int)sizeof path) die("name", dir);
      if (mkdir(path, 0755) != 0) die("make a directory", path);
      fill(path, level + 1);
      continue;
    }
    if (snprintf(path, sizeof path, "%s/file%02d.txt", dir, i) >= (int)sizeof path)
      die("name", dir);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) die("make a file", path);
    close(fd);
    if (files++ % every == 0) write_stake(path);
  }
}

int main(int argc, char **argv) {
  if (argc < 4 || argc > 6) {
    fputs("usage: make_tree DIR FANOUT DEPTH [LEAF [EVERY]]\n", stderr);
    return 2;
  }
  fanout = atoi(argv[2]);
  depth = atoi(argv[3]);
  leaf = argc > 4 ? atoi(argv[4]) : fanout;
  if (argc > 5) every = atoi(argv[5]);
  if (fanout < 1 || depth < 1 || leaf < 1 || every < 1) {
    fputs("make_tree: FANOUT, DEPTH, LEAF and EVERY must be positive\n", stderr);
    return 2;
  }
  struct utsname node;
  if (uname(&node) != 0) die("read the host name", "uname");
  /* The official name, as the library records it. */
  struct hostent *entry = gethostbyname(node.nodename);
  snprintf(host, sizeof host, "%s", entry != NULL ? entry->h_name : node.nodename);
  if (mkdir(argv[1], 0755) != 0) die("make the top directory", argv[1]);
  fill(argv[1], 0);
  printf("%ld\n", stakes);
  return 0;
}
