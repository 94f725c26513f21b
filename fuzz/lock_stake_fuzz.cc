// The lock-stake reader over any text: through a stream, as tools read it, and through a
// descriptor, as the engine reads it. Both must agree.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "stake_file.h"
#include "status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
  int fd = memfd_create("stake", 0);
  if (in == nullptr || fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return 0;
  lseek(fd, 0, SEEK_SET);
  LockStake *viaStream = nullptr, *viaFd = nullptr;
  char *msg = nullptr, *fdMsg = nullptr;
  const bool streamOk = vakReadLockStakeInfo(in, &viaStream, &msg) == VAK_OK;
  if (streamOk != (vakiReadLockStakeFd(fd, &viaFd, &fdMsg) == VAK_OK)) abort();
  fclose(in);
  close(fd);
  vakReleaseErrorMsg(&msg);
  vakReleaseErrorMsg(&fdMsg);
  vakFreeLockStake(viaStream);
  vakFreeLockStake(viaFd);
  return 0;
}
