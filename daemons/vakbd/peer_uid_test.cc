#include "peer_uid.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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

// A child that connects to `to` as user `as` (the kernel records the user that creates the
// socket, so it switches first) and holds its end until the served end closes. Exits 2 when it
// cannot connect (no IPv6 here), 3 when it cannot switch users.
pid_t ConnectFromChild(const ListenAddress &to, uid_t as) {
  pid_t child = fork();
  if (child != 0) return child;
  if (as != geteuid() && (setgid(as) != 0 || setuid(as) != 0)) _exit(3);
  int fd = socket(to.one.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const socklen_t size = to.one.any.sa_family == AF_INET ? sizeof to.one.in4 : sizeof to.one.in6;
  if (fd < 0 || connect(fd, &to.one.any, size) != 0) _exit(2);
  char byte;
  while (read(fd, &byte, 1) > 0) {
  }
  _exit(0);
}

// A real connection over loopback, to an IPv4 listener and to a dual-stack one (which sees IPv4
// peers in mapped form), from an IPv4 socket, a dual-stack IPv6 one (listed in tcp6 with mapped
// addresses) and over ::1, made by this process or by a child of another user. The socket
// diagnostics answer (the path the daemon takes), and the tables agree.
TEST(PeerUidTest, FindsTheUserOfALocalPeer) {
  const uid_t self = geteuid(), nobody = 65534;
  const struct {
    const char *listen, *to;  // listen "": the daemon's default, dual-stack where there is IPv6
    uid_t as;
  } cases[] = {{"127.0.0.1", "127.0.0.1", self},
               {"127.0.0.1", "::ffff:127.0.0.1", self},
               {"", "127.0.0.1", self},
               {"", "::ffff:127.0.0.1", self},
               {"", "::1", self},
               {"127.0.0.1", "127.0.0.1", nobody},
               {"", "::ffff:127.0.0.1", nobody},
               {"", "::1", nobody}};
  for (const auto &c : cases) {
    const std::string what =
        std::string("[") + c.listen + "] from " + c.to + " as " + std::to_string(c.as);
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
    const pid_t child = ConnectFromChild(to, c.as);
    ASSERT_GT(child, 0) << what;
    int exitStatus = -1;  // while the child runs
    bool ready = false;
    const orv::Deadline deadline = orv::Deadline::In(5000);
    while (!(ready = orv::PollUntil(listener.get(), POLLIN, orv::Deadline::In(50)) == 1) &&
           exitStatus < 0 && !deadline.Passed()) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) exitStatus = WEXITSTATUS(status);
    }
    ASSERT_NE(exitStatus, 3) << what << ": the child could not switch users";
    if (!ready && exitStatus >= 0) {
      printf("[ NOT TESTED ] %s: cannot connect (no IPv6 here)\n", what.c_str());
      continue;
    }
    ASSERT_TRUE(ready) << what << ": no connection within 5 s";
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
    served.reset();
    waitpid(child, nullptr, 0);
  }
}

// Ends that name no connected socket find no user by either way: a client port that nobody
// connected from, and a listener's own end (which the kernel's exact lookup falls back to, and
// whose owner must not be taken for a peer's).
TEST(PeerUidTest, FindsNoUserForEndsOfNoConnection) {
  SocketAddress listening, unused;
  orv::UniqueFd listener(BoundLoopbackSocket(&listening.in4));
  orv::UniqueFd bound(BoundLoopbackSocket(&unused.in4));
  ASSERT_TRUE(listener.valid() && bound.valid());
  ASSERT_EQ(listen(listener.get(), 4), 0);
  const struct {
    const char *what;
    SocketAddress peer, local;
  } cases[] = {{"a client port not connected", unused, listening},
               {"a listener's end", listening, unused}};
  for (const auto &c : cases) {
    uid_t uid = 12345;
    EXPECT_NE(SocketOwnerByDiag(c.peer, c.local, &uid, 1000), DiagLookup::kFound) << c.what;
    EXPECT_FALSE(PeerUidByTables(c.peer, c.local, &uid)) << c.what;
    EXPECT_EQ(uid, 12345u) << c.what;
  }
}

}  // namespace
}  // namespace vakbd
