#include "peer_uid.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

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

// A real connection over loopback, from an IPv4 and from a dual-stack IPv6 socket (listed in tcp6
// with mapped addresses): the peer is this process's user.
TEST(PeerUidTest, FindsTheUserOfALocalPeer) {
  struct sockaddr_in address;
  orv::UniqueFd listener = BoundLoopbackSocket(&address);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(listen(listener.get(), 4), 0);
  struct sockaddr_in6 mapped = {};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = address.sin_port;
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
  for (int family : {AF_INET, AF_INET6}) {
    orv::UniqueFd client(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (family == AF_INET6 && !client.valid()) continue;  // a host without IPv6
    const sockaddr *to = family == AF_INET ? reinterpret_cast<const sockaddr *>(&address)
                                           : reinterpret_cast<const sockaddr *>(&mapped);
    ASSERT_EQ(connect(client.get(), to, family == AF_INET ? sizeof address : sizeof mapped), 0);
    orv::UniqueFd served(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    uid_t uid = 12345;
    EXPECT_TRUE(PeerUid(served.get(), &uid)) << family;
    EXPECT_EQ(uid, geteuid()) << family;
  }
}

}  // namespace
}  // namespace vakbd
