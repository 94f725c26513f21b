#include "peer_uid.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
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

// A real connection over loopback, to an IPv4 listener and to a dual-stack one (which sees IPv4
// peers in mapped form), from an IPv4 socket, a dual-stack IPv6 one (listed in tcp6 with mapped
// addresses) and over ::1: the peer is this process's user.
TEST(PeerUidTest, FindsTheUserOfALocalPeer) {
  const struct {
    bool dualStackServer;
    int clientFamily;
    const char *to;
  } cases[] = {
      {false, AF_INET, "127.0.0.1"}, {false, AF_INET6, "::ffff:127.0.0.1"},
      {true, AF_INET, "127.0.0.1"},  {true, AF_INET6, "::ffff:127.0.0.1"},
      {true, AF_INET6, "::1"},
  };
  for (const auto &c : cases) {
    const std::string what = std::string(c.dualStackServer ? "[::] " : "127.0.0.1 ") + c.to;
    orv::UniqueFd listener;
    uint16_t port = 0;
    if (c.dualStackServer) {
      listener.reset(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!listener.valid()) continue;  // a host without IPv6
      struct sockaddr_in6 any = {};
      any.sin6_family = AF_INET6;
      socklen_t length = sizeof any;
      int off = 0;
      ASSERT_EQ(setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off), 0);
      ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
      ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&any), &length), 0);
      port = any.sin6_port;
    } else {
      struct sockaddr_in address;
      listener = BoundLoopbackSocket(&address);
      port = address.sin_port;
    }
    ASSERT_TRUE(listener.valid()) << what;
    ASSERT_EQ(listen(listener.get(), 4), 0) << what;
    struct sockaddr_storage to = {};
    auto *to4 = reinterpret_cast<sockaddr_in *>(&to);
    auto *to6 = reinterpret_cast<sockaddr_in6 *>(&to);
    if (c.clientFamily == AF_INET) {
      to4->sin_family = AF_INET;
      to4->sin_port = port;
      inet_pton(AF_INET, c.to, &to4->sin_addr);
    } else {
      to6->sin6_family = AF_INET6;
      to6->sin6_port = port;
      inet_pton(AF_INET6, c.to, &to6->sin6_addr);
    }
    orv::UniqueFd client(socket(c.clientFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (c.clientFamily == AF_INET6 && !client.valid()) continue;  // a host without IPv6
    const socklen_t length = c.clientFamily == AF_INET ? sizeof *to4 : sizeof *to6;
    if (connect(client.get(), reinterpret_cast<sockaddr *>(&to), length) != 0) {
      EXPECT_TRUE(strcmp(c.to, "::1") == 0) << what << ": " << strerror(errno);
      continue;  // no IPv6 loopback here
    }
    orv::UniqueFd served(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    uid_t uid = 12345;
    EXPECT_TRUE(PeerUid(served.get(), &uid)) << what;
    EXPECT_EQ(uid, geteuid()) << what;
  }
}

}  // namespace
}  // namespace vakbd
