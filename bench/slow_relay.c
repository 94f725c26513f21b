/* slow_relay - a slow link between an sshfs client and an sftp server, for the slow-mount cases.
 * sshfs runs it in place of ssh (-o ssh_command=...); it starts the sftp server itself, so no
 * sshd is needed, and forwards bytes both ways, holding each chunk DELAY_US microseconds after it
 * arrived, in arrival order: a round trip costs 2 x DELAY_US more, whatever the bandwidth.
 * Each request the client sends is written to LOG, one line each: its type (for an extension,
 * its name) and, for a request on a path, the path; so that the operations reaching the server
 * can be counted and told apart.
 * Usage: slow_relay DELAY_US LOG SFTP_SERVER [what sshfs appends, ignored] */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 65536, kHeader = 4200 };

struct chunk {
  struct chunk *next;
  int64_t due; /* microseconds, monotonic */
  size_t length, sent;
  unsigned char data[];
};

/* One direction: bytes read from `in` wait in the queue until due, then go to `out`. */
struct pipe_dir {
  int in, out;
  struct chunk *head, *tail;
  int closed; /* in reached its end */
};

/* The request parser of the client's direction: the length and type of each packet. */
static struct {
  unsigned char header[kHeader];
  size_t have, want; /* header bytes kept; bytes of the packet left (after the length) */
  uint32_t length;
  int log;
} parse = {.want = 0, .log = -1};

static int64_t now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static uint32_t be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static const char *type_name(unsigned type) {
  static const char *const names[] = {
      [1] = "init",     [3] = "open",    [4] = "close",     [5] = "read",      [6] = "write",
      [7] = "lstat",    [8] = "fstat",   [9] = "setstat",   [10] = "fsetstat", [11] = "opendir",
      [12] = "readdir", [13] = "remove", [14] = "mkdir",    [15] = "rmdir",    [16] = "realpath",
      [17] = "stat",    [18] = "rename", [19] = "readlink", [20] = "symlink"};
  return type < sizeof names / sizeof *names && names[type] ? names[type] : NULL;
}

/* Logs the packet whose first bytes (length excluded) are header[0..have). */
static void log_request(void) {
  char line[kHeader + 32];
  unsigned type = parse.have > 0 ? parse.header[0] : 0;
  const char *name = type_name(type);
  int n;
  /* These requests start with a path (after the id); the others with a handle. */
  const int on_path =
      type == 3 || type == 7 || type == 9 || (type >= 11 && type != 12 && type <= 20);
  if (name != NULL && on_path && parse.have >= 9) {
    uint32_t len = be32(parse.header + 5);
    if (len > parse.have - 9) len = (uint32_t)(parse.have - 9);
    n = snprintf(line, sizeof line, "%s %.*s\n", name, (int)len, (const char *)parse.header + 9);
  } else if (name != NULL) {
    n = snprintf(line, sizeof line, "%s\n", name);
  } else if (type == 200 && parse.have >= 9) { /* extended: id, then the name as a string */
    uint32_t len = be32(parse.header + 5);
    if (len > parse.have - 9) len = (uint32_t)(parse.have - 9);
    n = snprintf(line, sizeof line, "%.*s\n", (int)len, (const char *)parse.header + 9);
  } else {
    n = snprintf(line, sizeof line, "type-%u\n", type);
  }
  if (n > (int)sizeof line - 1) { /* cut, but still one line */
    n = (int)sizeof line - 1;
    line[n - 1] = '\n';
  }
  if (parse.log >= 0 && write(parse.log, line, (size_t)n) < 0) parse.log = -1;
}

/* Feeds bytes of the client's stream to the request parser. */
static void parse_bytes(const unsigned char *p, size_t n) {
  static unsigned char lenbuf[4];
  static size_t lenhave;
  while (n > 0) {
    if (parse.want == 0) { /* reading a length */
      lenbuf[lenhave++] = *p++;
      --n;
      if (lenhave == 4) {
        parse.length = be32(lenbuf);
        parse.want = parse.length;
        parse.have = lenhave = 0;
        if (parse.want == 0) log_request();
      }
      continue;
    }
    size_t take = n < parse.want ? n : parse.want;
    size_t keep = parse.have < kHeader ? kHeader - parse.have : 0;
    if (keep > take) keep = take;
    memcpy(parse.header + parse.have, p, keep);
    parse.have += keep;
    parse.want -= take;
    p += take;
    n -= take;
    if (parse.want == 0) log_request();
  }
}

/* Reads what in has, queues it stamped with its due time. Returns 0, or -1 at the end. */
static int take_in(struct pipe_dir *d, int64_t delay, int parsed) {
  struct chunk *c = malloc(sizeof *c + kChunk);
  if (c == NULL) return -1;
  ssize_t got;
  do {
    got = read(d->in, c->data, kChunk);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    free(c);
    return got < 0 && errno == EAGAIN ? 0 : -1;
  }
  if (parsed) parse_bytes(c->data, (size_t)got);
  c->next = NULL;
  c->due = now_us() + delay;
  c->length = (size_t)got;
  c->sent = 0;
  if (d->tail != NULL) {
    d->tail->next = c;
  } else {
    d->head = c;
  }
  d->tail = c;
  return 0;
}

/* Writes what is due (as far as out takes it). Returns -1 if out is gone. */
static int give_out(struct pipe_dir *d, int64_t now) {
  while (d->head != NULL && d->head->due <= now) {
    struct chunk *c = d->head;
    ssize_t put = write(d->out, c->data + c->sent, c->length - c->sent);
    if (put < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    c->sent += (size_t)put;
    if (c->sent < c->length) return 0;
    d->head = c->next;
    if (d->head == NULL) d->tail = NULL;
    free(c);
  }
  return 0;
}

static void nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fputs("usage: slow_relay DELAY_US LOG SFTP_SERVER [ignored...]\n", stderr);
    return 2;
  }
  const int64_t delay = atoll(argv[1]);
  parse.log = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (parse.log < 0) {
    perror(argv[2]);
    return 1;
  }
  int to_server[2], from_server[2];
  if (pipe2(to_server, O_CLOEXEC) != 0 || pipe2(from_server, O_CLOEXEC) != 0) {
    perror("pipe");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  /* The delay is the point: no timer slack on top of it. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  pid_t server = fork();
  if (server < 0) {
    perror("fork");
    return 1;
  }
  if (server == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(to_server[0], 0);
    dup2(from_server[1], 1);
    execl(argv[3], argv[3], "-e", (char *)NULL);
    perror(argv[3]);
    _exit(127);
  }
  close(to_server[0]);
  close(from_server[1]);
  struct pipe_dir dirs[2] = {{.in = 0, .out = to_server[1]}, {.in = from_server[0], .out = 1}};
  for (int i = 0; i < 2; ++i) {
    nonblocking(dirs[i].in);
    nonblocking(dirs[i].out);
  }
  for (;;) {
    int64_t now = now_us(), wake = -1;
    struct pollfd fds[4];
    int n = 0, at[4];
    for (int i = 0; i < 2; ++i) {
      struct pipe_dir *d = &dirs[i];
      if (give_out(d, now) != 0) goto done;
      if (d->closed && d->head == NULL) goto done; /* one side has hung up: so does the link */
      if (!d->closed) {
        fds[n] = (struct pollfd){.fd = d->in, .events = POLLIN};
        at[n++] = i;
      }
      if (d->head != NULL && d->head->due <= now) {
        fds[n] = (struct pollfd){.fd = d->out, .events = POLLOUT};
        at[n++] = i + 2;
      } else if (d->head != NULL && (wake < 0 || d->head->due < wake)) {
        wake = d->head->due;
      }
    }
    struct timespec timeout, *limit = NULL;
    if (wake >= 0) {
      int64_t left = wake - now;
      if (left < 0) left = 0;
      timeout.tv_sec = left / 1000000;
      timeout.tv_nsec = (long)(left % 1000000) * 1000;
      limit = &timeout;
    }
    if (ppoll(fds, (nfds_t)n, limit, NULL) < 0 && errno != EINTR) break;
    for (int k = 0; k < n; ++k) {
      if (at[k] >= 2 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      struct pipe_dir *d = &dirs[at[k]];
      if (take_in(d, delay, at[k] == 0) != 0) d->closed = 1;
    }
  }
done:
  close(to_server[1]);
  close(from_server[0]);
  waitpid(server, NULL, 0);
  return 0;
}
