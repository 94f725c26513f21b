// server.cc - the poll loop, connection state and request handling. Frames, greeting and keywords
// are the protocol's (framing.h, bool_daemon.h); only the assembling of frames a piece at a time on
// non-blocking sockets is the server's own.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "bool_daemon.h"
#include "posix_io.h"
#include "proc_alive.h"

namespace vakbd {

namespace {

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gHangup = 0;

void OnStopSignal(int signalNumber) {
  gStopSignal = signalNumber;
}

void OnHangupSignal(int) {
  gHangup = 1;
}

}  // namespace

bool InstallSignalHandlers(sigset_t *waitMask) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPIPE, &action, nullptr) != 0) return false;
  action.sa_handler = OnStopSignal;
  if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
    return false;
  }
  action.sa_handler = OnHangupSignal;
  if (sigaction(SIGHUP, &action, nullptr) != 0) return false;
  // SIG_SETMASK rather than SIG_BLOCK: whatever the starting process had blocked must not stay
  // blocked in a long-lived daemon.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  if (sigprocmask(SIG_SETMASK, &blocked, nullptr) != 0) return false;
  sigemptyset(waitMask);
  return true;
}

Server::~Server() {
  if (slots_ != nullptr) {
    for (int i = 0; i < options_.maxConnections; ++i) {
      if (slots_[i].fd >= 0) Drop(&slots_[i], "daemon stopping");
    }
  }
  free(slots_);
  free(pollFds_);
  free(pollSlot_);
  if (listenFd_ >= 0) close(listenFd_);
  if (reserveFd_ >= 0) close(reserveFd_);
}

bool Server::Init(int listenFd, const ServerOptions &options) {
  listenFd_ = listenFd;
  options_ = options;
  if (options_.maxConnections < 1) options_.maxConnections = 1;
  const size_t n = static_cast<size_t>(options_.maxConnections);
  // Everything the loop needs is allocated here, once: serving never depends on the heap except
  // for the few bytes of one request or reply, whose failure only drops that connection.
  slots_ = static_cast<Connection *>(calloc(n, sizeof(Connection)));
  pollFds_ = static_cast<struct pollfd *>(calloc(n + 2, sizeof(struct pollfd)));
  pollSlot_ = static_cast<int *>(calloc(n + 2, sizeof(int)));
  if (slots_ == nullptr || pollFds_ == nullptr || pollSlot_ == nullptr) return false;
  for (size_t i = 0; i < n; ++i) new (&slots_[i]) Connection();
  reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (!clock_.Start()) {
    log_->Write("cannot watch for steps of the clock: %s", strerror(errno));
  }
  return true;
}

void Server::Run(const sigset_t *waitMask) {
  while (!stopping_) {
    if (gStopSignal != 0) {
      log_->Write("stopping on signal %d", static_cast<int>(gStopSignal));
      break;
    }
    if (gHangup != 0) {
      gHangup = 0;
      OnHangup();
    }
    int64_t now = orv::MonotonicMs();
    int64_t nearest = -1;
    int n = 0;
    pollFds_[n++] = {listenFd_, POLLIN, 0};
    pollFds_[n++] = {clock_.watchFd(), POLLIN, 0};  // poll skips it when -1
    for (int i = 0; i < used_; ++i) {
      Connection &c = slots_[i];
      if (c.fd < 0) continue;
      pollFds_[n] = {c.fd, static_cast<short>(c.out != nullptr ? POLLOUT : POLLIN), 0};
      pollSlot_[n++] = i;
      if (nearest < 0 || c.deadline < nearest) nearest = c.deadline;
    }
    struct timespec wait;
    struct timespec *waitFor = nullptr;
    if (nearest >= 0) {
      int64_t left = nearest > now ? nearest - now : 0;
      wait.tv_sec = static_cast<time_t>(left / 1000);
      wait.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
      waitFor = &wait;
    }
    int ready = ppoll(pollFds_, static_cast<nfds_t>(n), waitFor, waitMask);
    if (ready < 0) {
      if (errno != EINTR) {
        log_->Write("poll failed: %s", strerror(errno));
        // Whatever made it fail (lack of memory) needs time to pass, not a busy loop.
        orv::SleepMs(100);
      }
      continue;
    }
    now = orv::MonotonicMs();
    if ((pollFds_[1].revents & POLLIN) != 0) clock_.OnClockSet();
    for (int k = 2; k < n && !stopping_; ++k) {
      Connection *c = &slots_[pollSlot_[k]];
      if (c->fd != pollFds_[k].fd) continue;  // dropped meanwhile
      short events = pollFds_[k].revents;
      if (events == 0) continue;
      if ((events & POLLNVAL) != 0) {
        Drop(c, "invalid descriptor");
      } else if (c->out != nullptr) {
        Flush(c);  // also finds out about POLLERR and POLLHUP
      } else {
        Receive(c);
      }
    }
    for (int i = 0; i < used_ && !stopping_; ++i) {
      if (slots_[i].fd >= 0 && slots_[i].deadline <= now) Drop(&slots_[i], "timed out");
    }
    if ((pollFds_[0].revents & POLLIN) == 0) {
      acceptStreak_ = 0;
    } else if (!stopping_) {
      ++acceptStreak_;
      AcceptPending(now);
    }
  }
  for (int i = 0; i < options_.maxConnections; ++i) {
    if (slots_[i].fd >= 0) Drop(&slots_[i], "daemon stopping");
  }
}

Server::Connection *Server::Oldest() {
  Connection *oldest = nullptr;
  for (int i = 0; i < used_; ++i) {
    Connection *c = &slots_[i];
    if (c->fd >= 0 && (oldest == nullptr || c->serial < oldest->serial)) oldest = c;
  }
  return oldest;
}

void Server::ShedForDescriptor() {
  if (count_ > 0) {
    Drop(Oldest(), "dropped to free a descriptor");
    return;
  }
  // No connection to give up: spend the reserve descriptor on taking the waiting client off the
  // backlog, so that the listening socket stops reporting it in a busy loop.
  if (reserveFd_ >= 0) close(reserveFd_);
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) close(fd);
  reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  log_->Write("out of descriptors: refused a connection");
}

void Server::AcceptPending(int64_t now) {
  // Bounded, so that a connection storm cannot starve the connections already open.
  const int rounds = acceptStreak_ >= 2 ? 64 : 1;
  for (int round = 0; round < rounds; ++round) {
    SocketAddress peer;
    socklen_t peerLength = sizeof peer;
    int fd = accept4(listenFd_, &peer.any, &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EMFILE || errno == ENFILE) {
        ShedForDescriptor();
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        log_->Write("accept failed: %s", strerror(errno));
      }
      return;
    }
    if (count_ == options_.maxConnections) Drop(Oldest(), "dropped for a newer connection");
    Connection *c = nullptr;
    for (int i = 0; i < options_.maxConnections; ++i) {
      if (slots_[i].fd < 0) {
        c = &slots_[i];
        if (i >= used_) used_ = i + 1;
        break;
      }
    }
    *c = Connection();
    c->fd = fd;
    c->serial = ++serial_;
    c->deadline = now + options_.timeoutMs;
    UnmapIPv4(&peer);
    c->peerAddress = peer;
    FormatHost(peer, c->peer, sizeof c->peer);
    c->peerPort = PortOf(peer);
    ++count_;
    log_->Write("connection from %s:%u", c->peer, c->peerPort);
    c->out = protocol::NewFrame(protocol::kBdGreeting, &c->outLength);
    if (c->out == nullptr) {
      Drop(c, "out of memory");
      continue;
    }
    Flush(c);
  }
}

void Server::Flush(Connection *c) {
  while (c->outSent < c->outLength) {
    ssize_t n = orv::RetryOnEintr(
        [&] { return send(c->fd, c->out + c->outSent, c->outLength - c->outSent, MSG_NOSIGNAL); });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      Drop(c, strerror(errno));
      return;
    }
    c->outSent += static_cast<size_t>(n);
  }
  free(c->out);
  c->out = nullptr;
  if (c->replying) Drop(c, "answered");
}

void Server::Receive(Connection *c) {
  const uint32_t kHead = kVakFrameHeaderLength;
  for (;;) {
    // The length and, in the same call, as much of the text as a usual request has; a connection
    // carries one request, so whatever follows its frame is never looked at.
    char first[kHead + 252];
    ssize_t n = orv::RetryOnEintr([&] {
      return c->headGot < kHead ? recv(c->fd, first, sizeof first - c->headGot, 0)
                                : recv(c->fd, c->body + c->bodyGot, c->bodyLength - c->bodyGot, 0);
    });
    if (n == 0) {
      Drop(c, c->headGot == 0 ? "closed without a request" : "closed in the middle of a request");
      return;
    }
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(c, strerror(errno));
      return;
    }
    if (c->headGot < kHead) {
      size_t got = static_cast<size_t>(n);
      size_t headPart = got < kHead - c->headGot ? got : kHead - c->headGot;
      memcpy(c->head + c->headGot, first, headPart);
      c->headGot += static_cast<uint32_t>(headPart);
      if (c->headGot < kHead) continue;
      uint32_t length = protocol::FrameLength(c->head);
      if (length > kMaxRequestLength) {
        log_->Write("request of %u bytes from %s:%u refused", length, c->peer, c->peerPort);
        Drop(c, "request too long");
        return;
      }
      c->body = static_cast<char *>(malloc(length + 1));
      if (c->body == nullptr) {
        Drop(c, "out of memory");
        return;
      }
      c->bodyLength = length;
      size_t textPart = got - headPart < length ? got - headPart : length;
      memcpy(c->body, first + headPart, textPart);
      c->bodyGot = static_cast<uint32_t>(textPart);
    } else {
      c->bodyGot += static_cast<uint32_t>(n);
    }
    if (c->bodyGot == c->bodyLength) {
      c->body[c->bodyLength] = '\0';
      Handle(c);
      return;
    }
  }
}

void Server::Handle(Connection *c) {
  // Every request samples the clocks: the lowest offset must include the one in force now.
  int64_t offset = 0;
  const bool haveOffset = clock_.Sample(&offset);
  char shown[512];
  daemons::Sanitize(c->body, shown, sizeof shown);
  // A NUL inside the frame would hide the rest of the text from the parser; such a frame was not
  // written by a client of this protocol.
  const bool embeddedNul = strlen(c->body) != c->bodyLength;
  log_->Write("request from %s:%u: %s", c->peer, c->peerPort, shown);
  Request request = embeddedNul ? Request() : ParseRequest(c->body);
  switch (request.kind) {
    case RequestKind::kInvalid:
      log_->Write("unrecognised request from %s:%u dropped", c->peer, c->peerPort);
      Drop(c, "unrecognised request");
      return;
    case RequestKind::kProcAlive: {
      Liveness answer =
          CheckProcess(request.pid, request.creationTime, haveOffset ? &offset : nullptr);
      log_->Debug("process %llu, creation time %lld, start time %lld: %s",
                  static_cast<unsigned long long>(request.pid),
                  static_cast<long long>(request.creationTime),
                  static_cast<long long>(answer.startTime), answer.reason);
      Reply(c, protocol::KeywordOf(protocol::kBoolDaemon, answer.alive ? kBdAlive : kBdNotAlive));
      return;
    }
    case RequestKind::kNull:
      Drop(c, "no reply needed");
      return;
    default:
      HandleControl(c, request);
      return;
  }
}

void Server::Reply(Connection *c, const char *text) {
  log_->Debug("reply to %s:%u: %s", c->peer, c->peerPort, text);
  free(c->body);
  c->body = nullptr;
  c->out = protocol::NewFrame(text, &c->outLength);
  if (c->out == nullptr) {
    Drop(c, "out of memory");
    return;
  }
  c->outSent = 0;
  c->replying = true;
  Flush(c);
}

void Server::Drop(Connection *c, const char *why) {
  log_->Debug("closed connection from %s:%u: %s", c->peer, c->peerPort, why);
  close(c->fd);
  free(c->body);
  free(c->out);
  *c = Connection();
  if (--count_ == 0) used_ = 0;
}

}  // namespace vakbd
