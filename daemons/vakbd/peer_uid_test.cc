#include "peer_uid.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "listener.h"
#include "posix_io.h"
#include "sock_diag.h"
#include "socket_test_helpers.h"

namespace vakbd {
namespace {

// The peer's own socket decides; a TIME_WAIT entry of the same ends says user 0 whoever made it,
// and the daemon's side of the connection lists the ends the other way round.
TEST(PeerUidTest, FindsTheOwnerOfTheLiveSocketWithTheseEnds) {
  // clang-format off
  struct { std::string rows; long uid; /* -1: none */ } cases[] = {
      {"   1: 0100007F:9C40 0100007F:4153 01 00000000:00000000 00:00000000 00000000 65534 0 1 1\n", 65534},
      {"   1: 0100007f:9c40 0100007f:4153 04 00000000:00000000 00:00000000 00000000  1000 0 1 1\n", 1000},
      {"   1: 0100007F:9C40 0100007F:4153 06 00000000:00000000 03:00000000 00000000     0 0 0 3\n", -1},
      {"   1: 0100007F:4153 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0 0 1 1\n", -1},
      {"   1: 0100007F:9C40 0100007F:4153 06 00000000:00000000 03:00000000 00000000     0 0 0 3\n"
       "   2: 0100007F:9C40 0100007F:4153 01 00000000:00000000 00:00000000 00000000    42 0 1 1\n", 42}};
  // clang-format on
  for (const auto &c : cases) {
    std::string text;
    orv::UniqueFile table = FakeSocketTable(c.rows, &text);
    ASSERT_NE(table, nullptr);
    uid_t uid = 12345;
    EXPECT_EQ(FindSocketOwner(table.get(), "0100007F:9C40", "0100007F:4153", &uid), c.uid >= 0)
        << c.rows;
    EXPECT_EQ(uid, static_cast<uid_t>(c.uid >= 0 ? c.uid : 12345)) << c.rows;
  }
}

// The client end of a loopback connection, made by this process or by a child that became
// another user first; the child keeps its end until the served end closes.
class LoopbackPeer {
 public:
  // False when the connection could not be made (no IPv6 here); *why says so.
  bool Connect(const ListenAddress &to, uid_t as, std::string *why) {
    const bool v4 = to.one.any.sa_family == AF_INET;
    const socklen_t size = v4 ? sizeof to.one.in4 : sizeof to.one.in6;
    if (as == geteuid()) {
      fd_.reset(socket(to.one.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (fd_.valid() && connect(fd_.get(), &to.one.any, size) == 0) return true;
      *why = strerror(errno);
      return false;
    }
    child_ = fork();
    if (child_ == 0) {
      // The kernel records the user that creates the socket: switch before making it.
      if (setgid(as) != 0 || setuid(as) != 0) _exit(3);
      int fd = socket(to.one.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0 || connect(fd, &to.one.any, size) != 0) _exit(2);
      char byte;
      while (read(fd, &byte, 1) > 0) {
      }
      _exit(0);
    }
    return child_ > 0;
  }
  // The status of a child that has given up: 2 could not connect, 3 could not switch users.
  int ChildFailed() {
    int status = 0;
    if (child_ <= 0 || waitpid(child_, &status, WNOHANG) != child_) return 0;
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~LoopbackPeer() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
  }

 private:
  orv::UniqueFd fd_;
  pid_t child_ = -1;
};

// A real connection over loopback, to an IPv4 listener and to a dual-stack one (which sees IPv4
// peers in mapped form), from an IPv4 socket, a dual-stack IPv6 one (listed in tcp6 with mapped
// addresses) and over ::1, made by this process or by a child of another user. The socket
// diagnostics answer (the path the daemon takes), and the tables agree.
TEST(PeerUidTest, FindsTheUserOfALocalPeer) {
  const uid_t self = geteuid(), nobody = 65534;
  const struct {
    const char *listen, *to;  // listen "": the daemon's default, dual-stack where there is IPv6
    uid_t as;
  } cases[] = {{"127.0.0.1", "127.0.0.1", self},   {"127.0.0.1", "::ffff:127.0.0.1", self},
               {"", "127.0.0.1", self},            {"", "::ffff:127.0.0.1", self},
               {"", "::1", self},                  {"127.0.0.1", "127.0.0.1", nobody},
               {"", "::ffff:127.0.0.1", nobody},   {"", "::1", nobody}};
  for (const auto &c : cases) {
    const std::string what = std::string("[") + c.listen + "] from " + c.to + " as " +
                             std::to_string(c.as);
    if (c.as != self && self != 0) {
      printf("[ NOT TESTED ] %s: needs root to switch users\n", what.c_str());
      continue;
    }
    ListenAddress where, to;
    ASSERT_TRUE(ParseBindAddress(c.listen, &where) && ParseBindAddress(c.to, &to)) << what;
    int status = 0;
    orv::UniqueFd listener(OpenListener(0, where, &status));
    SocketAddress bound;
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(listener.get(), &bound.any, &length), 0) << what;
    const bool v4 = to.one.any.sa_family == AF_INET;
    (v4 ? to.one.in4.sin_port : to.one.in6.sin6_port) = htons(PortOf(bound));
    LoopbackPeer client;
    std::string why = "no IPv6 here";
    bool connected = client.Connect(to, c.as, &why);
    orv::Deadline deadline = orv::Deadline::In(5000);
    while (connected && orv::PollUntil(listener.get(), POLLIN, orv::Deadline::In(50)) != 1) {
      const int failed = client.ChildFailed();
      ASSERT_NE(failed, 3) << what << ": the child could not switch users";
      connected = failed == 0 && !deadline.Passed();
    }
    if (!connected) {
      printf("[ NOT TESTED ] %s: %s\n", what.c_str(), why.c_str());
      continue;
    }
    orv::UniqueFd served(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(served.valid()) << what;
    SocketAddress peer, local;
    socklen_t peerLength = sizeof peer, localLength = sizeof local;
    ASSERT_EQ(getpeername(served.get(), &peer.any, &peerLength), 0) << what;
    ASSERT_EQ(getsockname(served.get(), &local.any, &localLength), 0) << what;
    UnmapIPv4(&peer);
    UnmapIPv4(&local);

    uid_t viaPeerUid = 12345, viaDiag = 12345, viaTables = 12345;
    EXPECT_TRUE(PeerUid(served.get(), &viaPeerUid)) << what;
    EXPECT_EQ(viaPeerUid, c.as) << what;
    const DiagLookup diag = SocketOwnerByDiag(peer, local, &viaDiag, 1000);
    if (diag == DiagLookup::kUnavailable) {
      printf("[ NOT TESTED ] %s: no netlink socket here, the tables answered\n", what.c_str());
    } else {
      EXPECT_EQ(diag, DiagLookup::kFound) << what;
      EXPECT_EQ(viaDiag, c.as) << what;
    }
    EXPECT_TRUE(PeerUidByTables(peer, local, &viaTables)) << what;
    EXPECT_EQ(viaTables, c.as) << what;
  }
}

// Ends that name no connected socket find no user by either way: a client port that nobody
// connected from, and the listener's own end (which the kernel's exact lookup falls back to, and
// whose owner must not be taken for a peer's).
TEST(PeerUidTest, FindsNoUserForEndsOfNoConnection) {
  struct sockaddr_in listenAt, unusedAt;
  orv::UniqueFd listener(BoundLoopbackSocket(&listenAt));
  orv::UniqueFd unused(BoundLoopbackSocket(&unusedAt));
  ASSERT_TRUE(listener.valid() && unused.valid());
  ASSERT_EQ(listen(listener.get(), 4), 0);
  orv::UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr *>(&listenAt), sizeof listenAt), 0);
  struct sockaddr_in clientAt;
  socklen_t length = sizeof clientAt;
  ASSERT_EQ(getsockname(client.get(), reinterpret_cast<sockaddr *>(&clientAt), &length), 0);

  SocketAddress listening, nobodysPort, clientEnd;
  listening.in4 = listenAt;
  nobodysPort.in4 = unusedAt;
  clientEnd.in4 = clientAt;
  const struct {
    const char *what;
    SocketAddress peer, local;
  } cases[] = {{"a client port not connected", nobodysPort, listening},
               {"the client's end, to another port", clientEnd, nobodysPort},
               {"the listener's end", listening, nobodysPort}};
  for (const auto &c : cases) {
    uid_t uid = 12345;
    EXPECT_NE(SocketOwnerByDiag(c.peer, c.local, &uid, 1000), DiagLookup::kFound) << c.what;
    EXPECT_FALSE(PeerUidByTables(c.peer, c.local, &uid)) << c.what;
    EXPECT_EQ(uid, 12345u) << c.what;
  }
}

}  // namespace
}  // namespace vakbd
