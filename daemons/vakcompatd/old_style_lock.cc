// old_style_lock.cc - old-style locks as marker files beside the locked files.
#include "old_style_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "posix_io.h"

namespace vakcompatd {

const char kMarkerSuffix[] = ".vakcdlck";

namespace {

// Rounds of create-or-inspect before giving up: each lost round means the marker changed hands
// in between, which a few rounds settle unless something keeps racing.
const int kLockAttempts = 5;
const size_t kMarkerReadLimit = 1024;
const char kUnreadableReason[] =
    "The old-style lock marker is unreadable; remove it by hand if no process holds it.";
const char kTooLongReason[] = "The path is too long for an old-style lock.";

std::string HeldReason(const std::string &host, unsigned long pid) {
  // Host and number come first: nothing variable may follow the words that say the file is held.
  return "Locked by process " + std::to_string(pid) + " on host " + host +
         ". Requested lock was refused.";
}

std::string SystemReason(const char *what, int err) {
  return std::string(what) + ": " + strerror(err);
}

}  // namespace

OldStyleLocks::OldStyleLocks(std::string hostName, daemons::DaemonLog *log)
    : host_(std::move(hostName)), log_(log) {}

OldStyleLocks::Created OldStyleLocks::Create(const std::string &marker, unsigned long pid,
                                             int *err) {
  // Unique on this host (our pid) and across hosts (our host name).
  std::string temp = marker + "." + host_ + "." + std::to_string(getpid());
  orv::UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    *err = errno;
    return Created::kFailed;
  }
  const std::string holder = host_ + " " + std::to_string(pid) + "\n";
  bool written = orv::WriteAll(fd.get(), holder.data(), holder.size()) &&
                 fchmod(fd.get(), 0666) == 0 && close(fd.release()) == 0;
  if (!written) {
    *err = errno;
    unlink(temp.c_str());
    return Created::kFailed;
  }
  int linked = link(temp.c_str(), marker.c_str());
  *err = errno;
  // Over NFS a link can succeed although its reply was lost; the link count tells.
  struct stat st;
  if (linked != 0 && *err != EEXIST && stat(temp.c_str(), &st) == 0 && st.st_nlink == 2) {
    linked = 0;
  }
  unlink(temp.c_str());
  if (linked == 0) return Created::kYes;
  return *err == EEXIST ? Created::kExists : Created::kFailed;
}

bool OldStyleLocks::ReadHolder(const std::string &marker, Holder *holder, int *fdOut) {
  orv::UniqueFd fd(open(marker.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  char text[kMarkerReadLimit];
  ssize_t n = orv::RetryOnEintr([&] { return pread(fd.get(), text, sizeof text - 1, 0); });
  if (n < 0) return false;
  text[n] = '\0';
  const char *blank = strchr(text, ' ');
  char *end = nullptr;
  errno = 0;
  unsigned long pid = blank != nullptr ? strtoul(blank + 1, &end, 10) : 0;
  if (blank == nullptr || blank == text || end == blank + 1 || errno != 0 || *end != '\n') {
    errno = EINVAL;
    return false;
  }
  holder->host.assign(text, static_cast<size_t>(blank - text));
  holder->pid = pid;
  *fdOut = fd.release();
  return true;
}

bool OldStyleLocks::IsStale(const Holder &holder) const {
  if (holder.host != host_) return false;  // a process elsewhere cannot be asked about
  if (holder.pid == 0 || holder.pid > static_cast<unsigned long>(INT_MAX)) return true;
  return kill(static_cast<pid_t>(holder.pid), 0) != 0 && errno == ESRCH;
}

void OldStyleLocks::TakeOver(const std::string &marker, int fd, const Holder &stale) {
  // Only daemons of this host take a marker over (the dead holder was on this host), so a lock on
  // the marker itself serialises them: whoever comes second finds the marker gone or replaced and
  // leaves the new one alone.
  if (orv::RetryOnEintr([&] { return flock(fd, LOCK_EX); }) != 0) return;
  struct stat opened, current;
  Holder again;
  int fdAgain = -1;
  if (fstat(fd, &opened) == 0 && lstat(marker.c_str(), &current) == 0 &&
      opened.st_dev == current.st_dev && opened.st_ino == current.st_ino &&
      ReadHolder(marker, &again, &fdAgain)) {
    close(fdAgain);
    if (again.host == stale.host && again.pid == stale.pid && unlink(marker.c_str()) == 0) {
      log_->Write("took over %s from process %lu on host %s, which is gone", marker.c_str(),
                  stale.pid, stale.host.c_str());
    }
  }
  flock(fd, LOCK_UN);
}

bool OldStyleLocks::TooLong(const std::string &marker) const {
  // The longest name made from the marker's is the temporary file of Create.
  return marker.size() + 1 + host_.size() + 1 + 20 >= PATH_MAX;
}

Outcome OldStyleLocks::Lock(const std::string &path, unsigned long pid) {
  std::string marker = path + kMarkerSuffix;
  if (TooLong(marker)) return {false, kTooLongReason};
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int err = 0;
    Created created = Create(marker, pid, &err);
    if (created == Created::kYes) return {true, ""};
    if (created == Created::kFailed) {
      log_->Write("cannot create %s: %s", marker.c_str(), strerror(err));
      return {false, SystemReason("Could not create the old-style lock", err)};
    }
    Holder holder;
    int fd = -1;
    if (!ReadHolder(marker, &holder, &fd)) {
      err = errno;
      if (err == ENOENT) continue;  // released meanwhile: try again
      log_->Write("cannot read %s: %s", marker.c_str(), strerror(err));
      return {false, err == EINVAL ? std::string(kUnreadableReason)
                                   : SystemReason("Could not read the old-style lock", err)};
    }
    orv::UniqueFd open(fd);
    if (holder.host == host_ && holder.pid == pid) return {true, ""};
    if (!IsStale(holder)) return {false, HeldReason(holder.host, holder.pid)};
    TakeOver(marker, open.get(), holder);
  }
  return {false, "The old-style lock kept changing hands; try again."};
}

Outcome OldStyleLocks::Unlock(const std::string &path, unsigned long pid) {
  std::string marker = path + kMarkerSuffix;
  if (TooLong(marker)) return {false, kTooLongReason};
  Holder holder;
  int fd = -1;
  if (!ReadHolder(marker, &holder, &fd)) {
    int err = errno;
    if (err == ENOENT) return {false, "The file has no old-style lock."};
    log_->Write("cannot read %s: %s", marker.c_str(), strerror(err));
    return {false, err == EINVAL ? std::string(kUnreadableReason)
                                 : SystemReason("Could not read the old-style lock", err)};
  }
  close(fd);
  if (holder.host != host_ || holder.pid != pid) {
    return {false, "The old-style lock belongs to process " + std::to_string(holder.pid) +
                       " on host " + holder.host + "."};
  }
  if (unlink(marker.c_str()) != 0) {
    int err = errno;
    log_->Write("cannot remove %s: %s", marker.c_str(), strerror(err));
    return {false, SystemReason("Could not remove the old-style lock", err)};
  }
  return {true, ""};
}

}  // namespace vakcompatd
