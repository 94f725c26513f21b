// port_holder.h - which process holds a TCP port open for listening, to name it when a second
// daemon is refused the port.
//
// The listening socket is found in the kernel's socket tables (/proc/net/tcp and tcp6), by its
// port and state; its inode then leads to the process whose /proc/PID/fd holds "socket:[inode]".
// Another user's descriptors can be read by root only, so an unprivileged daemon may not find one.
#ifndef VAKBD_PORT_HOLDER_H_
#define VAKBD_PORT_HOLDER_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace vakbd {

// The inode of a socket listening on port in a socket table; false when there is none.
bool FindListeningInode(FILE *table, uint16_t port, unsigned long *inode);

// The first process below procRoot ("/proc") with a descriptor on socket inode; -1 when none is
// found (none there, or not readable).
pid_t FindSocketHolder(const char *procRoot, unsigned long inode);

// Writes who holds port ("process PID (NAME)") and returns true; false when it cannot be found.
bool DescribePortHolder(uint16_t port, char *out, size_t size);

}  // namespace vakbd

#endif  // VAKBD_PORT_HOLDER_H_
