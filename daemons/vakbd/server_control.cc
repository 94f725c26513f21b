// server_control.cc - the requests about the daemon itself (Die, StartLog, StopLog, Debug,
// ReportLog), who may make them, and the reopening of the log on SIGHUP.
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

bool IsLocalPeer(const SocketAddress &peer, const SocketAddress &connectedTo) {
  return IsLoopback(peer) || SameHost(peer, connectedTo);
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
  SocketAddress local;
  socklen_t localLength = sizeof local;
  if (getsockname(c->fd, &local.any, &localLength) != 0) {
    local.any.sa_family = AF_UNSPEC;  // then only loopback peers qualify
  }
  UnmapIPv4(&local);
  return IsLocalPeer(c->peerAddress, local);
}

bool MayControl(uid_t peer, uid_t daemon) {
  return peer == 0 || peer == daemon;
}

bool Server::ControlAllowed(Connection *c, const Request &request) {
  char what[600];
  if (request.kind == RequestKind::kStartLog) {
    char name[512];
    daemons::Sanitize(request.logFile, name, sizeof name);
    snprintf(what, sizeof what, "StartLog %s", name);
  } else {
    snprintf(what, sizeof what, "%s", RequestName(request.kind));
  }
  if (!FromThisHost(c)) {
    log_->Write("%s from remote peer %s:%u ignored", what, c->peer, c->peerPort);
    return false;
  }
  uid_t peerUid = 0;
  if (!PeerUid(c->fd, &peerUid)) {
    log_->Write("%s from %s:%u refused: the requester's user is unknown", what, c->peer,
                c->peerPort);
    return false;
  }
  if (!MayControl(peerUid, geteuid())) {
    log_->Write("%s from %s:%u refused: user %u is neither root nor the daemon's user %u", what,
                c->peer, c->peerPort, static_cast<unsigned>(peerUid),
                static_cast<unsigned>(geteuid()));
    return false;
  }
  return true;
}

void Server::HandleControl(Connection *c, const Request &request) {
  if (!ControlAllowed(c, request)) {
    if (request.kind == RequestKind::kReportLog) {
      // Every requester is owed a LogInfo reply; others than root and the daemon's user on this
      // host get one without the log's details.
      char text[128];
      snprintf(text, sizeof text, "%s withheld: not asked by root or the daemon's user on its host",
               protocol::KeywordOf(protocol::kBoolDaemon, kBdLogInfo));
      Reply(c, text);
      return;
    }
    Drop(c, "control request refused");
    return;
  }
  switch (request.kind) {
    case RequestKind::kReportLog:
      HandleReportLog(c);
      return;  // the connection ends once the reply is sent
    case RequestKind::kDie:
      log_->Write("stopping at the request of %s:%u", c->peer, c->peerPort);
      stopping_ = true;
      break;
    case RequestKind::kStartLog:
      // The file is created and written with the daemon's rights: the requester was found to
      // hold them (or root's), and the file itself must pass the rules of log_file.h.
      OpenLog(request.logFile, "started");
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

void Server::OpenLog(const char *path, const char *how) {
  // Cleaned first: path may be the log's own name, which a successful start replaces.
  char name[512];
  daemons::Sanitize(path, name, sizeof name);
  const char *why = "";
  if (StartLog(log_, path, &why)) {
    log_->Write("log %s by vakbd pid %d on port %u", how, static_cast<int>(getpid()),
                options_.port);
  } else {
    log_->Write("cannot log to %s: %s", name, why);
  }
}

void Server::OnHangup() {
  // A rotation renamed the file: the log goes on in a new file at its name, under the same rules.
  if (!log_->active()) {
    log_->Write("SIGHUP: no log file to reopen");
    return;
  }
  OpenLog(log_->path(), "reopened on SIGHUP");
}

}  // namespace vakbd
