#include "compat_requests.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "compat_process.h"
#include "net_io.h"
#include "status.h"

namespace {

// The daemon connection points at two pipes whose other ends the test holds: the request is read
// back and the reply scripted without any child process.
TEST(CompatRequestsTest, SendsRequestsAndJudgesReplies) {
  const std::string kIllegal =
      "vak: We tried to lock a file with the Compatibility Daemon but we did not get a legal "
      "response.";
  const std::string kHeld = "Locked by process 9 on host h. Requested lock was refused.";
  const std::string kFalse = " FALSE \"" + kHeld + "\"";
  const struct {
    bool unlock;
    std::string reply;
    int status;
    std::string message;
  } cases[] = {
      {false, "GotLock TRUE", VAK_OK, "<none>"},
      {true, "DidUnLock TRUE", VAK_OK, "<none>"},
      {false, "GotLock" + kFalse, VAK_FILE_ALREADY_LOCKED, kHeld},
      {true, "DidUnLock" + kFalse, VAK_NOT_OK, kHeld},
      // Only the words from the last capital R on tell that someone else holds the file.
      {false, "GotLock FALSE \"Requested lock refused by Rob\"", VAK_NOT_OK,
       "Requested lock refused by Rob"},
      {false, "GotLock FALSE \"Requested lock", VAK_FILE_ALREADY_LOCKED, "Requested lock"},
      {false, "DidUnLock TRUE", VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegal},
      {true, "DidUnLock MAYBE", VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegal},
      {false, "GotLock FALSE", VAK_NOT_OK,
       "vak: The Compatibility Daemon refused the lock without a reason."},
  };
  for (const auto &c : cases) {
    int request[2], reply[2];
    ASSERT_EQ(0, pipe(request) | pipe(reply));
    daemonConnection = {true, reply[0], request[1], getpid()};
    ASSERT_TRUE(vakNetWrite(reply[1], c.reply.c_str()));
    char *msg = nullptr, *sent = nullptr;
    EXPECT_EQ(c.status, c.unlock ? vakCompatDUnLock("/p q/f\"1", 77, &msg)
                                 : vakCompatDWriteLock("/p q/f\"1", nullptr, 77, &msg))
        << c.reply;
    EXPECT_EQ(c.message, msg != nullptr ? msg : "<none>") << c.reply;
    vakReleaseErrorMsg(&msg);
    ASSERT_TRUE(vakNetRead(request[0], &sent));
    EXPECT_STREQ(c.unlock ? "Unlock \"/p q/f\"1\" 77" : "Lock \"/p q/f\"1\" \"\" 77", sent);
    free(sent);
    for (int fd : {request[0], request[1], reply[0], reply[1]}) close(fd);
    daemonConnection = {false, -1, -1, -1};
  }
}

}  // namespace
