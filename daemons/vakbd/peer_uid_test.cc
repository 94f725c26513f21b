#include "peer_uid.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "listener.h"
#include "posix_io.h"
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

// A real connection over loopback, to an IPv4 listener and to a dual-stack one (which sees IPv4
// peers in mapped form), from an IPv4 socket, a dual-stack IPv6 one (listed in tcp6 with mapped
// addresses) and over ::1: the peer is this process's user.
TEST(PeerUidTest, FindsTheUserOfALocalPeer) {
  const struct {
    const char *listen, *to;  // listen "": the daemon's default, dual-stack where there is IPv6
  } cases[] = {{"127.0.0.1", "127.0.0.1"},
               {"127.0.0.1", "::ffff:127.0.0.1"},
               {"", "127.0.0.1"},
               {"", "::ffff:127.0.0.1"},
               {"", "::1"}};
  for (const auto &c : cases) {
    const std::string what = std::string("[") + c.listen + "] from " + c.to;
    ListenAddress where, to;
    ASSERT_TRUE(ParseBindAddress(c.listen, &where) && ParseBindAddress(c.to, &to)) << what;
    int status = 0;
    orv::UniqueFd listener(OpenListener(0, where, &status));
    SocketAddress bound;
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(listener.get(), &bound.any, &length), 0) << what;
    const bool v4 = to.one.any.sa_family == AF_INET;
    (v4 ? to.one.in4.sin_port : to.one.in6.sin6_port) = htons(PortOf(bound));
    orv::UniqueFd client(socket(to.one.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client.valid() ||
        connect(client.get(), &to.one.any, v4 ? sizeof to.one.in4 : sizeof to.one.in6) != 0) {
      printf("[ NOT TESTED ] %s: %s (no IPv6 here)\n", what.c_str(), strerror(errno));
      continue;
    }
    orv::UniqueFd served(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    uid_t uid = 12345;
    EXPECT_TRUE(PeerUid(served.get(), &uid)) << what;
    EXPECT_EQ(uid, geteuid()) << what;
  }
}

}  // namespace
}  // namespace vakbd
