#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "listener.h"
#include "server.h"
#include "socket_table.h"

namespace vakbd {
namespace {

// An address from its literal, as the daemon holds it once accepted (IPv4 peers unmapped).
SocketAddress Address(const char *literal) {
  ListenAddress where;
  EXPECT_TRUE(ParseBindAddress(literal, &where)) << literal;
  UnmapIPv4(&where.one);
  return where.one;
}

// Control requests come from this host only: a loopback peer of either family, or one that
// connected from the very address it reached us at; a v4-mapped peer is the IPv4 one.
TEST(SocketAddressTest, TellsLocalPeers) {
  const struct {
    const char *peer, *connectedTo;
    bool local;
    const char *shown;
  } cases[] = {
      {"127.8.9.10", "192.0.2.1", true, "127.8.9.10"},
      {"::ffff:127.0.0.1", "::ffff:192.0.2.1", true, "127.0.0.1"},
      {"::1", "2001:db8::1", true, "[::1]"},
      {"192.0.2.1", "192.0.2.1", true, "192.0.2.1"},
      {"::ffff:192.0.2.1", "192.0.2.1", true, "192.0.2.1"},
      {"2001:db8::1", "2001:db8::1", true, "[2001:db8::1]"},
      {"192.0.2.7", "192.0.2.1", false, "192.0.2.7"},
      {"2001:db8::7", "2001:db8::1", false, "[2001:db8::7]"},
      {"::ffff:192.0.2.7", "::ffff:192.0.2.1", false, "192.0.2.7"},
      {"::", "0.0.0.0", false, "[::]"},
  };
  for (const auto &c : cases) {
    const SocketAddress peer = Address(c.peer), to = Address(c.connectedTo);
    EXPECT_EQ(IsLocalPeer(peer, to), c.local) << c.peer << " to " << c.connectedTo;
    char shown[kHostTextSize];
    FormatHost(peer, shown, sizeof shown);
    EXPECT_STREQ(shown, c.shown) << c.peer;
  }
}

// -bind takes address literals of either family, never a name to look up; "" is every address.
TEST(SocketAddressTest, BindTakesAddressLiteralsOnly) {
  const struct {
    const char *text;
    bool ok, any;
    int family;
  } cases[] = {
      {"", true, true, 0},
      {"127.0.0.1", true, false, AF_INET},
      {"::1", true, false, AF_INET6},
      {"::", true, false, AF_INET6},
      {"fe80::1%lo", true, false, AF_INET6},
      {"[127.0.0.1]", false, true, 0},
      {"localhost", false, true, 0},
      {"127.0.0.1:80", false, true, 0},
      {"[::1", false, true, 0},
      {" 127.0.0.1", false, true, 0},
  };
  for (const auto &c : cases) {
    ListenAddress where;
    EXPECT_EQ(ParseBindAddress(c.text, &where), c.ok) << c.text;
    EXPECT_EQ(where.any, c.any) << c.text;
    if (!where.any) {
      EXPECT_EQ(where.one.any.sa_family, c.family) << c.text;
    }
  }
}

// The tables' ends, read back into addresses: IPv4 and IPv6 words as they lie in memory.
TEST(SocketAddressTest, ReadsEndsOfTheSocketTables) {
  const struct {
    const char *end, *shown;  // nullptr: refused
    uint16_t port;
  } cases[] = {
      {"0100007F:1F90", "127.0.0.1", 8080},
      {"00000000000000000000000001000000:0050", "[::1]", 80},
      {"B80D0120000000000000000001000000:0050", "[2001:db8::1]", 80},
      {"0000000000000000FFFF00000100007F:0050", "[::ffff:127.0.0.1]", 80},
      {"0100007F", nullptr, 0},
      {"100007F:1F90", nullptr, 0},
      {"0100007G:1F90", nullptr, 0},
      {"-100007F:1F90", nullptr, 0},
  };
  for (const auto &c : cases) {
    SocketAddress address;
    ASSERT_EQ(ParseEnd(c.end, &address), c.shown != nullptr) << c.end;
    if (c.shown == nullptr) continue;
    char shown[kHostTextSize];
    FormatHost(address, shown, sizeof shown);
    EXPECT_STREQ(shown, c.shown) << c.end;
    EXPECT_EQ(PortOf(address), c.port) << c.end;
  }
}

}  // namespace
}  // namespace vakbd
