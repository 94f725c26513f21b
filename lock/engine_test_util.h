// engine_test_util.h - identities and lock-stake inspection for the engine tests.
#ifndef VAK_ENGINE_TEST_UTIL_H_
#define VAK_ENGINE_TEST_UTIL_H_

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vak.h"

namespace vaktest {

// Makes the calling process (also a freshly forked child) a lock owner of its own: initialises the
// library and gives the identity the caller's real process identifier.
inline void UseOwnIdentity() {
  ASSERT_EQ(VAK_OK, vakInit("engine-test", vakDefaultLockingMode, nullptr));
  if (vakInitInfo == nullptr) {  // TEMPORARY until initialisation lands
    static ProcessIdentity id = {const_cast<char *>("testhost"), 0, 1000};
    static LockStakeHeader h = {
        const_cast<char *>("1.1"),  const_cast<char *>("me"),  &id,
        const_cast<char *>("then"), const_cast<char *>("app"), const_cast<char *>("lnx86")};
    vakInitInfo = &h;
  }
  vakInitInfo->processId->processId = static_cast<uint64_t>(getpid());
}

// Runs fn with the caller's identity changed to another process on the same host.
template <typename F>
void AsProcess(pid_t pid, int64_t creationTime, F fn) {
  ProcessIdentity *id = vakInitInfo->processId;
  const ProcessIdentity saved = *id;
  id->processId = static_cast<uint64_t>(pid);
  id->creationTime = creationTime;
  fn();
  *id = saved;
}

// The identifier of a process that has ended and been reaped.
inline pid_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Process identifiers of the lock-stake chain of path, current owner first; empty when there is
// no lock, {0} when the lock-stake file cannot be read.
inline std::vector<uint64_t> Owners(const std::string &path) {
  LockStake *chain = nullptr;
  int status = vakEditLockControl(path.c_str(), nullptr, GET_DETAILS, 0, nullptr, &chain, nullptr);
  if (status == VAK_FILE_NOT_LOCKED) return {};
  if (status != VAK_OK) return {0};
  std::vector<uint64_t> pids;
  for (LockStake *s = chain; s != nullptr; s = s->next)
    pids.push_back(s->header->processId->processId);
  vakFreeLockStake(chain);
  return pids;
}

}  // namespace vaktest

#endif  // VAK_ENGINE_TEST_UTIL_H_
