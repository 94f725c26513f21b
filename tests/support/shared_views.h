// shared_views.h - one shared directory, and each test host's own view of it.
//
// Kinds of shared directory:
//   kLocal    the same directory on every host (one kernel, one cache);
//   kSshfs    each host mounts it with its own sshfs, inside the host's namespaces, from an sshd
//             the fixture starts on the hosts' network; kernel caches off;
//   kGluster  a one-brick GlusterFS volume served by a glusterd the fixture starts on the hosts'
//             network, all its state in a temporary directory; each host runs its own client.
// The view has the same path on every host (each host's mount namespace puts its own mount
// there), so a path names the same file everywhere. Make the views after the TestHosts and let
// them go first: the destructor unmounts on each host, stops the clients and servers by pid and
// removes every file. When a kind cannot be had (no FUSE, a program missing, a server that does
// not start), ok() is false and error() says why:  if (!views.ok()) GTEST_SKIP() << ...;
#ifndef VAK_TESTS_SHARED_VIEWS_H_
#define VAK_TESTS_SHARED_VIEWS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "test_host.h"

namespace vaktest {

enum class ViewKind { kLocal, kSshfs, kGluster };
const char *ViewKindName(ViewKind kind);  // "local", "sshfs", "gluster"

struct ViewOptions {
  // GlusterFS volume options ("key", "value"), set before the volume starts.
  std::vector<std::pair<std::string, std::string>> volume;
  // Extra arguments of each glusterfs client (its mount options).
  std::vector<std::string> client;
  // What a lock built on exclusive create, link(), rename(), unlink() and whole-file reads needs
  // of a GlusterFS volume: no metadata or content cached on the client beyond one call, and
  // opens done when asked (tests/SHARED_DIRECTORIES.md says what was measured).
  static ViewOptions ForLocking();
  // The packaged defaults, kernel caches off.
  static ViewOptions Defaults();
};

class SharedViews {
 public:
  SharedViews(TestHosts *hosts, ViewKind kind,
              const ViewOptions &options = ViewOptions::ForLocking());
  ~SharedViews();
  SharedViews(const SharedViews &) = delete;
  SharedViews &operator=(const SharedViews &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  ViewKind kind() const { return kind_; }

  // The shared directory as every host sees it: the same path on all of them.
  const std::string &path() const { return path_; }
  // A path below the shared directory.
  std::string Sub(const std::string &relative) const { return path_ + "/" + relative; }
  // Where the files lie on this machine, outside the hosts: the directory itself (local), the
  // directory sshd serves (sshfs), the brick (GlusterFS: look only, never write there).
  const std::string &backing() const { return backing_; }
  // Another view on a host, through a client of its own (the same directory for kLocal): two
  // views on one host let one process compare two clients. Its path, or "" (error() says why).
  std::string AddView(size_t host);
  // Seconds that making the views took, servers and every host's mount included.
  double setupSeconds() const { return setupSeconds_; }

 private:
  struct Client {
    size_t host;
    pid_t pid;  // this machine's
    std::string path;
  };

  bool Mount(size_t host, const std::string &path);
  bool MountAll();
  bool Mounted(size_t host, const std::string &path);
  bool StartSshd();
  bool StartGluster(const ViewOptions &options);
  std::string Gluster(const std::vector<std::string> &args, bool *ok);

  TestHosts *hosts_;
  ViewKind kind_;
  std::string dir_, path_, backing_, error_;
  std::string netns_, address_;    // the server's network namespace and address
  std::vector<std::string> argv_;  // a client, less its mount point
  std::vector<Client> clients_;
  std::vector<std::string> daemonPidFiles_;
  double setupSeconds_ = 0;
};

}  // namespace vaktest

#endif  // VAK_TESTS_SHARED_VIEWS_H_
