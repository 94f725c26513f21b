// The lock-stake reader over any text in a file: through a stream, as tools read it, and through a
// descriptor, as the engine reads it. Both must agree.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "stake/stake_file.h"
#include "status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = memfd_create("stake", 0);
  FILE *in = fd >= 0 ? fdopen(dup(fd), "r") : nullptr;
  if (in == nullptr || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  lseek(fd, 0, SEEK_SET);
  LockStake *viaStream = nullptr, *viaFd = nullptr;
  char *msg = nullptr, *fdMsg = nullptr;
  const int streamStatus = vakReadLockStakeInfo(in, &viaStream, &msg);
  lseek(fd, 0, SEEK_SET);  // the stream's descriptor shares the offset
  if (streamStatus != vak::ReadLockStakeFd(fd, &viaFd, &fdMsg)) abort();
  fclose(in);
  close(fd);
  vakReleaseErrorMsg(&msg);
  vakReleaseErrorMsg(&fdMsg);
  vakFreeLockStake(viaStream);
  vakFreeLockStake(viaFd);
  return 0;
}
