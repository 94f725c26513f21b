// socket_test_helpers.h - for unit tests: a socket table with the kernel's heading and given rows,
// and a socket bound to a free loopback port.
#ifndef VAKBD_SOCKET_TEST_HELPERS_H_
#define VAKBD_SOCKET_TEST_HELPERS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

#include <string>

#include "posix_io.h"

namespace vakbd {

// A stream over the table; *text keeps its bytes and must outlive it.
inline orv::UniqueFile FakeSocketTable(const std::string &rows, std::string *text) {
  *text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
      "inode\n" +
      rows;
  return orv::UniqueFile(fmemopen(const_cast<char *>(text->data()), text->size(), "r"));
}

// An IPv4 socket bound to 127.0.0.1 on a port the kernel picked, which *address then holds; not
// valid when that failed.
inline orv::UniqueFd BoundLoopbackSocket(struct sockaddr_in *address) {
  orv::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof *address;
  if (bind(fd.get(), reinterpret_cast<sockaddr *>(address), length) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr *>(address), &length) != 0) {
    fd.reset();
  }
  return fd;
}

}  // namespace vakbd

#endif  // VAKBD_SOCKET_TEST_HELPERS_H_
