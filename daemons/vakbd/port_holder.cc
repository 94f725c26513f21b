// port_holder.cc - finding the process that listens on a TCP port, through /proc.
#include "port_holder.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>

#include "posix_io.h"
#include "socket_table.h"

namespace vakbd {

namespace {

// Whether a numeric directory name (a pid), and which.
pid_t PidOf(const char *name) {
  char *stop = nullptr;
  long pid = strtol(name, &stop, 10);
  return name[0] != '\0' && *stop == '\0' && pid > 0 ? static_cast<pid_t>(pid) : -1;
}

bool HoldsSocket(const char *procRoot, pid_t pid, const char *wanted) {
  char dirName[256];
  snprintf(dirName, sizeof dirName, "%s/%d/fd", procRoot, static_cast<int>(pid));
  orv::UniqueDir fds(opendir(dirName));
  if (fds == nullptr) return false;
  while (const struct dirent *entry = readdir(fds.get())) {
    char link[64];
    ssize_t n = readlinkat(dirfd(fds.get()), entry->d_name, link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    if (strcmp(link, wanted) == 0) return true;
  }
  return false;
}

}  // namespace

bool FindListeningInode(FILE *table, uint16_t port, unsigned long *inode) {
  SocketEntry entry;
  if (!FindSocketEntry(
          table,
          [port](const SocketEntry &e) {
            return e.state == kTcpListen && EndPort(e.local) == port && e.inode != 0;
          },
          &entry)) {
    return false;
  }
  *inode = entry.inode;
  return true;
}

pid_t FindSocketHolder(const char *procRoot, unsigned long inode) {
  char wanted[64];
  snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
  orv::UniqueDir proc(opendir(procRoot));
  if (proc == nullptr) return -1;
  while (const struct dirent *entry = readdir(proc.get())) {
    pid_t pid = PidOf(entry->d_name);
    if (pid > 0 && HoldsSocket(procRoot, pid, wanted)) return pid;
  }
  return -1;
}

bool DescribePortHolder(uint16_t port, char *out, size_t size) {
  unsigned long inode = 0;
  bool listed = false;
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    orv::UniqueFile file(fopen(table, "re"));
    if (file != nullptr && FindListeningInode(file.get(), port, &inode)) {
      listed = true;
      break;
    }
  }
  const pid_t pid = listed ? FindSocketHolder("/proc", inode) : -1;
  if (pid < 0) return false;
  char path[64], name[64] = "";
  snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  orv::UniqueFile comm(fopen(path, "re"));
  if (comm != nullptr && fgets(name, sizeof name, comm.get()) != nullptr) {
    name[strcspn(name, "\n")] = '\0';
  }
  snprintf(out, size, "process %d (%s)", static_cast<int>(pid), name[0] != '\0' ? name : "?");
  return true;
}

}  // namespace vakbd
