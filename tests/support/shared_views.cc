#include "shared_views.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <chrono>

#include "run_program.h"
#include "temp_dir.h"

namespace vaktest {

namespace {

const long kFuseMagic = 0x65735546;
const char kVolume[] = "vakshared";

// Kills a daemon that is no child of ours, and waits, bounded, until it has ended (or is a zombie
// for its parent to reap).
void Stop(pid_t pid) {
  if (pid <= 0) return;
  for (int i = 0; i < 100 && kill(pid, i == 0 ? SIGTERM : i == 50 ? SIGKILL : 0) == 0; ++i) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.compare(close, 3, ") Z") == 0) return;
    usleep(20 * 1000);
  }
}

pid_t PidIn(const std::string &file) {
  return static_cast<pid_t>(atoi(ReadFile(file).c_str()));
}

std::string Missing(const std::vector<std::string> &programs) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse cannot be used";
  for (const std::string &p : programs) {
    if (access(p.c_str(), X_OK) != 0) return p + " is missing";
  }
  return "";
}

}  // namespace

const char *ViewKindName(ViewKind kind) {
  return kind == ViewKind::kLocal ? "local" : kind == ViewKind::kSshfs ? "sshfs" : "gluster";
}

ViewOptions ViewOptions::Defaults() {
  return {{}, {"--attribute-timeout=0", "--entry-timeout=0", "--negative-timeout=0"}};
}

ViewOptions ViewOptions::ForLocking() {
  ViewOptions o = Defaults();
  // md-cache answers stat and lookup from what it saw last: a rename, unlink or rewrite by
  // another client goes unseen. open-behind opens at the first read, after the name may be gone.
  // The others keep content or delay writes; none may outlive the call that made it.
  for (const char *key :
       {"performance.stat-prefetch", "performance.open-behind", "performance.quick-read",
        "performance.io-cache", "performance.read-ahead", "performance.write-behind",
        "performance.flush-behind", "performance.readdir-ahead"}) {
    o.volume.push_back({key, "off"});
  }
  return o;
}

SharedViews::SharedViews(TestHosts *hosts, ViewKind kind, const ViewOptions &options)
    : hosts_(hosts), kind_(kind) {
  const auto began = std::chrono::steady_clock::now();
  std::string templ = "/tmp/vakviews." + std::to_string(getpid()) + ".XXXXXX";
  if (!hosts->ok()) {
    error_ = "no hosts: " + hosts->error();
    return;
  }
  if (mkdtemp(&templ[0]) == nullptr) {
    error_ = "no temporary directory";
    return;
  }
  dir_ = templ;
  backing_ = dir_ + "/shared";
  path_ = kind == ViewKind::kLocal ? backing_ : dir_ + "/view";
  mkdir(backing_.c_str(), 0777);
  mkdir(path_.c_str(), 0755);
  mkdir((dir_ + "/log").c_str(), 0755);
  if (kind == ViewKind::kSshfs) {
    error_ = Missing({"/usr/bin/sshfs", "/usr/sbin/sshd", "/usr/bin/ssh-keygen"});
    if (error_.empty() && StartSshd()) {
      argv_ = {"/usr/bin/sshfs", "-f", "-o",
               "IdentityFile=" + dir_ + "/ssh/user,StrictHostKeyChecking=no,LogLevel=ERROR," +
                   "UserKnownHostsFile=/dev/null,BatchMode=yes,dir_cache=no,entry_timeout=0," +
                   "attr_timeout=0,negative_timeout=0",
               "root@" + address_ + ":" + backing_};
      MountAll();
    }
  } else if (kind == ViewKind::kGluster) {
    error_ = Missing({"/usr/sbin/glusterd", "/usr/sbin/glusterfs", "/usr/sbin/gluster"});
    if (error_.empty() && StartGluster(options)) {
      argv_ = {"/usr/sbin/glusterfs",
               "-N",
               "--volfile-server=" + address_,
               std::string("--volfile-id=") + kVolume,
               "-l",
               dir_ + "/log/client.log"};
      argv_.insert(argv_.end(), options.client.begin(), options.client.end());
      MountAll();
    }
  }
  setupSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// Whether a path on the host is a FUSE mount, answering.
bool SharedViews::Mounted(size_t host, const std::string &path) {
  std::string answer;
  auto look = [path] {
    struct statfs fs;
    struct stat st;
    const bool up = statfs(path.c_str(), &fs) == 0 && fs.f_type == kFuseMagic &&
                    stat((path + "/.").c_str(), &st) == 0;
    return std::string(up ? "y" : "n");
  };
  return hosts_->Call(host, look, &answer, 20) && answer == "y";
}

// A client on the host, in its namespaces, mounting at path; one that gives up (its server not
// yet serving) is started again, within bounds.
bool SharedViews::Mount(size_t host, const std::string &path) {
  std::vector<std::string> argv = argv_;
  argv.push_back(path);
  pid_t pid = -1;
  bool up = false;
  for (int attempt = 0; attempt < 100 && !up; ++attempt) {
    if (pid <= 0 || hosts_->Ended(pid)) pid = hosts_->Start(host, argv);
    usleep(attempt == 0 ? 20 * 1000 : 100 * 1000);
    up = pid > 0 && Mounted(host, path);
  }
  if (pid > 0) clients_.push_back({host, pid, path});
  if (!up) {
    error_ = std::string(ViewKindName(kind_)) + " did not mount on " + hosts_->name(host) +
             " (see " + dir_ + "/log)";
  }
  return up;
}

bool SharedViews::MountAll() {
  for (size_t h = 0; h < hosts_->size(); ++h) {
    if (!Mount(h, path_)) return false;
  }
  return true;
}

std::string SharedViews::AddView(size_t host) {
  if (kind_ == ViewKind::kLocal) return path_;
  const std::string path = dir_ + "/extra" + std::to_string(clients_.size());
  mkdir(path.c_str(), 0755);
  return Mount(host, path) ? path : "";
}

bool SharedViews::StartSshd() {
  if (!hosts_->AddServerNetwork(&netns_, &address_)) {
    error_ = "no server network: " + hosts_->error();
    return false;
  }
  const std::string ssh = dir_ + "/ssh";
  mkdir(ssh.c_str(), 0700);
  RunOptions quiet;
  quiet.timeoutSeconds = 30;
  for (const char *key : {"host", "user"}) {
    if (RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", ssh + "/" + key},
                   quiet)
            .exitStatus != 0) {
      error_ = "ssh-keygen failed";
      return false;
    }
  }
  WriteFile(ssh + "/config", "ListenAddress " + address_ + "\nHostKey " + ssh +
                                 "/host\nAuthorizedKeysFile " + ssh + "/user.pub\nPidFile " + ssh +
                                 "/pid\nStrictModes no\nUsePAM no\nPermitRootLogin yes\n" +
                                 "Subsystem sftp internal-sftp\n");
  mkdir("/run/sshd", 0755);  // its privilege separation directory
  RunResult r = RunProgram({"/usr/bin/nsenter", "--net=/run/netns/" + netns_, "/usr/sbin/sshd",
                            "-f", ssh + "/config", "-E", dir_ + "/log/sshd.log"},
                           quiet);
  daemonPidFiles_.push_back(ssh + "/pid");
  if (r.exitStatus != 0) error_ = "sshd did not start: " + r.err;
  return r.exitStatus == 0;
}

// The gluster command line tool, talking to our glusterd through its socket.
std::string SharedViews::Gluster(const std::vector<std::string> &args, bool *ok) {
  std::vector<std::string> argv = {"/usr/bin/nsenter",
                                   "--net=/run/netns/" + netns_,
                                   "/usr/sbin/gluster",
                                   "--mode=script",
                                   "--glusterd-sock=" + dir_ + "/run/glusterd.socket",
                                   "--log-file=" + dir_ + "/log/cli.log"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeoutSeconds = 60;
  RunResult r = RunProgram(argv, options);
  *ok = r.exitStatus == 0;
  return r.out + r.err;
}

bool SharedViews::StartGluster(const ViewOptions &options) {
  if (!hosts_->AddServerNetwork(&netns_, &address_)) {
    error_ = "no server network: " + hosts_->error();
    return false;
  }
  for (const char *sub : {"/run", "/lib"}) mkdir((dir_ + sub).c_str(), 0755);
  WriteFile(dir_ + "/glusterd.vol",
            "volume management\n    type mgmt/glusterd\n    option working-directory " + dir_ +
                "/lib\n    option run-directory " + dir_ + "/run\n    option glusterd-sockfile " +
                dir_ + "/run/glusterd.socket\n    option transport-type socket\n" +
                "    option transport.socket.listen-port 24007\n    option ping-timeout 0\n" +
                "    option event-threads 1\n    option max-port 60999\nend-volume\n");
  // What glusterd and the bricks it starts write to fixed places (some under /var/lib/glusterd
  // whatever the working directory) goes to ours too, through a mount namespace of their own.
  const std::string script =
      "mkdir -p /var/log/glusterfs /var/run/gluster /var/lib/glusterd \"$1/varlib\" && "
      "mount --bind \"$1/log\" /var/log/glusterfs && mount --bind \"$1/run\" /var/run/gluster && "
      "mount --bind \"$1/varlib\" /var/lib/glusterd && exec /usr/sbin/glusterd -f "
      "\"$1/glusterd.vol\" --pid-file=\"$1/glusterd.pid\" -l \"$1/log/glusterd.log\"";
  RunOptions quiet;
  quiet.timeoutSeconds = 30;
  RunResult r =
      RunProgram({"/usr/bin/nsenter", "--net=/run/netns/" + netns_, "/usr/bin/unshare", "--mount",
                  "--propagation", "private", "/bin/sh", "-c", script, "sh", dir_},
                 quiet);
  daemonPidFiles_.push_back(dir_ + "/glusterd.pid");
  if (r.exitStatus != 0) {
    error_ = "glusterd did not start: " + r.err;
    return false;
  }
  bool done = false;
  std::string said;
  // glusterd takes a moment before it answers.
  for (int attempt = 0; attempt < 100 && !done; ++attempt) {
    said = Gluster({"volume", "create", kVolume, address_ + ":" + backing_, "force"}, &done);
    if (!done) usleep(100 * 1000);
  }
  for (size_t i = 0; done && i < options.volume.size(); ++i) {
    said = Gluster({"volume", "set", kVolume, options.volume[i].first, options.volume[i].second},
                   &done);
  }
  if (done) said = Gluster({"volume", "start", kVolume}, &done);
  if (!done) error_ = "the GlusterFS volume could not be made: " + said;
  return done;
}

SharedViews::~SharedViews() {
  std::string ignored;
  for (const Client &c : clients_) {
    const std::string path = c.path;
    hosts_->Call(
        c.host, [path] { return umount2(path.c_str(), MNT_DETACH), std::string(); }, &ignored, 15);
    hosts_->Kill(c.pid);
  }
  // The bricks glusterd started, then the daemons.
  if (!dir_.empty()) {
    RunResult bricks =
        RunProgram({"/bin/sh", "-c", "cat \"$1\"/run/vols/*/*.pid 2>/dev/null", "sh", dir_});
    for (size_t at = 0; at < bricks.out.size();) {
      Stop(static_cast<pid_t>(atoi(bricks.out.c_str() + at)));
      const size_t end = bricks.out.find('\n', at);
      at = end == std::string::npos ? bricks.out.size() : end + 1;
    }
  }
  for (const std::string &file : daemonPidFiles_) Stop(PidIn(file));
  if (!dir_.empty()) RemoveTree(dir_);
}

}  // namespace vaktest
