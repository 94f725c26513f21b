/* bare_bd_server - the floor of a liveness answer: one blocking loop that accepts a connection,
 * sends the greeting frame, reads one framed "ProcAlive <pid> <time>" request and answers "Alive"
 * or "NotAlive" by the same rule as vakbd (kill with signal 0, then the process start time from
 * /proc against the creation time, boot time read once), then closes. Usage: bare_bd_server PORT */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static long long bootTime;
static long ticksPerSecond;

static int read_all(int fd, void *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, (char *)buf + got, n - got);
    if (r <= 0) return 0;
    got += (size_t)r;
  }
  return 1;
}

static void send_frame(int fd, const char *text) {
  char frame[64];
  uint32_t length = (uint32_t)strlen(text);
  uint32_t header = htonl(length);
  memcpy(frame, &header, 4);
  memcpy(frame + 4, text, length);
  if (write(fd, frame, 4 + length) < 0) return;
}

static int alive(unsigned long pid, long long creationTime) {
  if (pid == 0 || pid > 0x7fffffffUL) return 0;
  if (kill((pid_t)pid, 0) != 0 && errno == ESRCH) return 0;
  if (creationTime <= 0) return 1;
  char path[64], line[1024];
  snprintf(path, sizeof path, "/proc/%lu/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  if (n <= 0) return 1;
  line[n] = '\0';
  char *p = strrchr(line, ')');
  if (p == NULL) return 1;
  for (int field = 2; field < 22 && p != NULL; ++field) p = strchr(p + 1, ' ');
  if (p == NULL) return 1;
  long long start =
      bootTime + (long long)(strtoull(p + 1, NULL, 10) / (unsigned long)ticksPerSecond);
  return start - 2 <= creationTime;
}

static void serve(int fd) {
  send_frame(fd, "VakBoolVersion 1");
  uint32_t header;
  char request[4097];
  if (!read_all(fd, &header, 4)) return;
  uint32_t length = ntohl(header);
  if (length >= sizeof request || !read_all(fd, request, length)) return;
  request[length] = '\0';
  unsigned long pid;
  long long creationTime;
  if (sscanf(request, "ProcAlive %lu %lld", &pid, &creationTime) != 2) return;
  send_frame(fd, alive(pid, creationTime) ? "Alive" : "NotAlive");
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fputs("usage: bare_bd_server PORT\n", stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  ticksPerSecond = sysconf(_SC_CLK_TCK);
  FILE *stat = fopen("/proc/stat", "r");
  char line[256];
  while (stat != NULL && fgets(line, sizeof line, stat) != NULL) {
    if (strncmp(line, "btime ", 6) == 0) bootTime = strtoll(line + 6, NULL, 10);
  }
  if (stat != NULL) fclose(stat);
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons((uint16_t)atoi(argv[1]));
  if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    perror("bare_bd_server");
    return 1;
  }
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serve(fd);
    close(fd);
  }
}
