// planted_stake.h - lock-stake texts of other processes, for the library's unit tests.
#ifndef VAK_LOCK_TESTDATA_PLANTED_STAKE_H_
#define VAK_LOCK_TESTDATA_PLANTED_STAKE_H_

#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "init.h"
#include "temp_dir.h"
#include "vak.h"

namespace vaktest {

// No process has an identifier above 2^22.
constexpr uint64_t kDeadPid = 4194305;

// Writes at name a lock-stake text naming process pid of this host, as the engine writes it: the
// lock of a scratch file beside name, taken under that identity, renamed to name.
inline void PlantStake(const std::string &name, uint64_t pid) {
  const std::string file = name + ".planted";
  WriteFile(file, "x");
  const uint64_t me = vakInitInfo->processId->processId;
  vakInitInfo->processId->processId = pid;
  ASSERT_EQ(VAK_OK, vakEditLockControl(file.c_str(), "", GET_LOCK, 0, nullptr, nullptr, nullptr));
  vakInitInfo->processId->processId = me;
  ASSERT_EQ(0, rename((file + ".orvlck").c_str(), name.c_str()));
  unlink(file.c_str());
}

}  // namespace vaktest

#endif  // VAK_LOCK_TESTDATA_PLANTED_STAKE_H_
