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
  LockStake *viaStream = nullptr;
  char *msg = nullptr;
  int streamStatus = in != nullptr ? vakReadLockStakeInfo(in, &viaStream, &msg) : -1;
  if (in != nullptr) fclose(in);
  vakReleaseErrorMsg(&msg);

  int fd = memfd_create("stake", 0);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  lseek(fd, 0, SEEK_SET);
  LockStake *viaFd = nullptr;
  int fdStatus = vakiReadLockStakeFd(fd, &viaFd, &msg);
  close(fd);
  vakReleaseErrorMsg(&msg);
  if (in != nullptr && (streamStatus == VAK_OK) != (fdStatus == VAK_OK)) abort();
  vakFreeLockStake(viaStream);
  vakFreeLockStake(viaFd);
  return 0;
}
