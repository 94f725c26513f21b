#include "port_holder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "posix_io.h"
#include "socket_test_helpers.h"

namespace vakbd {
namespace {

// Only a listening socket on the port counts, on any address and in either table's form; a
// connection that merely has the port at its local end does not.
TEST(PortHolderTest, FindsTheListeningSocketOfAPort) {
  // clang-format off
  struct { std::string rows; long inode; /* -1: none */ } cases[] = {
      {"   0: 00000000:4153 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 777 1\n", 777},
      {"   0: 0100007F:4153 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0 0 778 1\n", -1},
      {"   0: 00000000:4154 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 779 1\n", -1},
      {"   0: 0100007F:4153 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0 0 778 1\n"
       "   1: 00000000000000000000000000000000:4153 00000000000000000000000000000000:0000 0A "
       "00000000:00000000 00:00000000 00000000  1000 0 780 1\n", 780}};
  // clang-format on
  for (const auto &c : cases) {
    std::string text;
    orv::UniqueFile table = FakeSocketTable(c.rows, &text);
    ASSERT_NE(table, nullptr);
    unsigned long inode = 12345;
    EXPECT_EQ(FindListeningInode(table.get(), 0x4153, &inode), c.inode >= 0) << c.rows;
    EXPECT_EQ(inode, static_cast<unsigned long>(c.inode >= 0 ? c.inode : 12345)) << c.rows;
  }
}

// A socket this process listens on is found in the tables and leads back to this process.
TEST(PortHolderTest, NamesTheProcessListeningOnAPort) {
  struct sockaddr_in address;
  orv::UniqueFd listener = BoundLoopbackSocket(&address);
  ASSERT_TRUE(listener.valid());
  const uint16_t port = ntohs(address.sin_port);
  char holder[128];
  EXPECT_FALSE(DescribePortHolder(port, holder, sizeof holder)) << "bound, not yet listening";
  ASSERT_EQ(listen(listener.get(), 4), 0);
  ASSERT_TRUE(DescribePortHolder(port, holder, sizeof holder));
  EXPECT_EQ(std::string(holder).rfind("process " + std::to_string(getpid()) + " (", 0), 0u)
      << holder;
}

}  // namespace
}  // namespace vakbd
