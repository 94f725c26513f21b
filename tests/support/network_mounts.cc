#include "network_mounts.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include "daemon_guard.h"

namespace vaktest {

bool NetworkMounts::Mount(const std::string &dir, size_t count, std::vector<std::string> *views) {
  if (access("/dev/fuse", R_OK | W_OK) != 0 || access("/usr/bin/sshfs", X_OK) != 0) return false;
  const std::string port = std::to_string(FreeTcpPort()), base = keys_.path();
  const std::string sshd =
      "set -e; cd " + base + "; mkdir -p /run/sshd; for k in host user; do ssh-keygen -q -t " +
      "ed25519 -N '' -f $k; done; printf '%s\\n' 'Port " + port +
      "' 'ListenAddress 127.0.0.1' 'HostKey " + base + "/host' 'AuthorizedKeysFile " + base +
      "/user.pub' 'PidFile " + base + "/pid' 'StrictModes no' 'UsePAM no' " +
      "'Subsystem sftp internal-sftp' > config; /usr/sbin/sshd -f config -E log";
  if (system(sshd.c_str()) != 0) return false;
  for (size_t i = 0; i < count; ++i) {
    const std::string view = keys_.Sub("view" + std::to_string(i));
    const std::string mount =
        "mkdir -p " + view + " && sshfs -p " + port + " -o IdentityFile=" + base +
        "/user,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,dir_cache=" +
        "no,entry_timeout=0,attr_timeout=0,negative_timeout=0 root@127.0.0.1:" + dir + " " + view;
    bool mounted = false;  // sshd may not listen yet
    for (int attempt = 0; attempt < 50 && !mounted; ++attempt) {
      mounted = system(mount.c_str()) == 0 || (usleep(100 * 1000), false);
    }
    if (!mounted) return false;
    views->push_back(view);
  }
  return true;
}

NetworkMounts::~NetworkMounts() {
  for (int i = 0; i < 8; ++i) umount2(keys_.Sub("view" + std::to_string(i)).c_str(), MNT_DETACH);
  pid_t sshd = atoi(ReadFile(keys_.Sub("pid")).c_str());
  if (sshd > 0) kill(sshd, SIGTERM);
}

}  // namespace vaktest
