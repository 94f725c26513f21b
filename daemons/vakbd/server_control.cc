// server_control.cc - the requests about the daemon itself: ReportLog, and the control requests
// Die, StartLog, StopLog and Debug.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bool_daemon.h"
#include "log_file.h"
#include "peer_uid.h"
#include "server.h"

namespace vakbd {

bool IsLocalPeer(struct in_addr peer, struct in_addr connectedTo) {
  return (ntohl(peer.s_addr) >> 24) == 127 || peer.s_addr == connectedTo.s_addr;
}

void Server::HandleReportLog(Connection *c) {
  const char *path = log_->path();
  size_t size = strlen(path) + 96;
  char *text = static_cast<char *>(malloc(size));
  if (text == nullptr) {
    Drop(c, "out of memory");
    return;
  }
  snprintf(text, size, "%s pid=%d port=%u log=%s debug=%s",
           protocol::KeywordOf(protocol::kBoolDaemon, kBdLogInfo), static_cast<int>(getpid()),
           options_.port, path, log_->debug() ? "on" : "off");
  Reply(c, text);
  free(text);
}

bool Server::FromThisHost(const Connection *c) {
  // Asked only for the rare control requests, so that a liveness question costs no system call
  // for it.
  struct sockaddr_in local;
  socklen_t localLength = sizeof local;
  if (getsockname(c->fd, reinterpret_cast<struct sockaddr *>(&local), &localLength) != 0) {
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // then only loopback peers qualify
  }
  return IsLocalPeer(c->peerAddress, local.sin_addr);
}

void Server::HandleControl(Connection *c, const Request &request) {
  // The control requests change the daemon itself: only a process on this host may ask.
  if (!FromThisHost(c)) {
    log_->Write("%s from remote peer %s:%u ignored", RequestName(request.kind), c->peer,
                c->peerPort);
    Drop(c, "control request from a remote peer");
    return;
  }
  switch (request.kind) {
    case RequestKind::kDie:
      log_->Write("stopping at the request of %s:%u", c->peer, c->peerPort);
      stopping_ = true;
      break;
    case RequestKind::kStartLog:
      OnStartLog(c, request.logFile);
      break;
    case RequestKind::kStopLog:
      log_->Write("log stopped");
      log_->Close();
      break;
    case RequestKind::kDebug:
      log_->SetDebug(true);
      log_->Write("debug logging on");
      break;
    default:
      break;
  }
  Drop(c, "done");
}

void Server::OnStartLog(Connection *c, const char *path) {
  char name[512];
  daemons::Sanitize(path, name, sizeof name);
  // The file is created and written with the daemon's rights, which may be root's: only a
  // requester who holds those same rights may name it, or any local user could have the daemon
  // create or grow files where only the daemon's user may write.
  uid_t peerUid = 0;
  if (!PeerUid(c->fd, &peerUid)) {
    log_->Write("StartLog %s from %s:%u refused: the requester's user is unknown", name, c->peer,
                c->peerPort);
    return;
  }
  if (peerUid != geteuid()) {
    log_->Write("StartLog %s from %s:%u refused: user %u is not the daemon's user %u", name,
                c->peer, c->peerPort, static_cast<unsigned>(peerUid),
                static_cast<unsigned>(geteuid()));
    return;
  }
  const char *why = "";
  if (StartLog(log_, path, &why)) {
    log_->Write("log started by vakbd pid %d on port %u", static_cast<int>(getpid()),
                options_.port);
  } else {
    log_->Write("cannot log to %s: %s", name, why);
  }
}

}  // namespace vakbd
