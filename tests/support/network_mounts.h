// network_mounts.h - each simulated host's own network mount of a shared directory: sshfs
// against an sshd on loopback, with the kernel's caches off, as a network file system must be
// mounted for locking. The destructor unmounts every view and stops the sshd (by pid).
#ifndef VAK_TESTS_NETWORK_MOUNTS_H_
#define VAK_TESTS_NETWORK_MOUNTS_H_

#include <string>
#include <vector>

#include "temp_dir.h"

namespace vaktest {

class NetworkMounts {
 public:
  // Mounts count views of dir; false where FUSE or the programs are missing or refused.
  bool Mount(const std::string &dir, size_t count, std::vector<std::string> *views);
  ~NetworkMounts();

 private:
  TempDir keys_;
};

}  // namespace vaktest

#endif  // VAK_TESTS_NETWORK_MOUNTS_H_
