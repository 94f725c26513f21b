// Pids of the test hosts' processes, in this machine's PID namespace and in their host's.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "temp_dir.h"
#include "test_host.h"

namespace vaktest {

namespace {

// The innermost pid on the NSpid line of /proc/PID/status: the pid in the process's own namespace.
pid_t InnermostPid(const std::string &status) {
  const size_t at = status.find("\nNSpid:");
  if (at == std::string::npos) return -1;
  const std::string line = status.substr(at + 7, status.find('\n', at + 7) - at - 7);
  const size_t last = line.find_last_of(" \t");
  return static_cast<pid_t>(atoi(line.c_str() + (last == std::string::npos ? 0 : last + 1)));
}

std::string NamespaceOf(pid_t pid) {
  char link[128] = "";
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : "";
}

}  // namespace

pid_t TestHosts::HostPid(pid_t pid) {
  const pid_t inner = InnermostPid(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  return inner > 0 ? inner : -1;
}

pid_t TestHosts::RootPid(size_t host, pid_t hostPid) const {
  if (hostPid == 1) return hosts_[host].init;
  const std::string ns = NamespaceOf(hosts_[host].init);
  DIR *proc = opendir("/proc");
  pid_t found = -1;
  while (struct dirent *e = proc != nullptr && found < 0 ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid > 0 && !ns.empty() && NamespaceOf(pid) == ns && HostPid(pid) == hostPid) found = pid;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

}  // namespace vaktest
