#include "compat_requests.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "compat_process.h"
#include "net_io.h"
#include "status.h"
#include "vak.h"

namespace {

// Stands in for a running daemon: the connection points at two pipes whose other ends the test
// holds, so requests can be read back and replies scripted without any child process.
struct PipeDaemon {
  int request[2], reply[2];
  PipeDaemon() {
    EXPECT_EQ(0, pipe(request));
    EXPECT_EQ(0, pipe(reply));
    daemonConnection = {true, reply[0], request[1], getpid()};
  }
  ~PipeDaemon() {
    for (int fd : {request[0], request[1], reply[0], reply[1]}) close(fd);
    daemonConnection = {false, -1, -1, -1};
  }
  void Reply(const char *text) { EXPECT_TRUE(vakNetWrite(reply[1], text)); }
  std::string Request() {
    char *text = nullptr;
    std::string copy = vakNetRead(request[0], &text) ? text : "<none>";
    free(text);
    return copy;
  }
};

std::string Take(char **slot) {
  std::string text = *slot != nullptr ? *slot : "<none>";
  vakReleaseErrorMsg(slot);
  return text;
}

TEST(CompatRequestsTest, ParsesKeywordsInOrderAndReturnsTheRest) {
  struct Case {
    const char *message;
    int kind;          // -1: no match
    const char *rest;  // what follows the keyword
  } cases[] = {
      {"  \tUnlock \"/a\" 7", kCdUnlock, " \"/a\" 7"},
      {"StopLogging", kCdStopLog, "ging"},  // a prefix is enough; the rest is not examined
      {"lock \"/a\"", -1, nullptr},         // case matters
      {"", -1, nullptr},
  };
  for (const Case &c : cases) {
    int kind = -1;
    const char *rest = vakCompatDParseMsg(c.message, &kind);
    EXPECT_EQ(c.kind, kind) << c.message;
    EXPECT_STREQ(c.rest, rest) << c.message;
  }
}

TEST(CompatRequestsTest, JudgesLockAndUnlockReplies) {
  const char kIllegal[] =
      "vak: We tried to lock a file with the Compatibility Daemon but we did not get a legal "
      "response.";
  const char kHeld[] = "Locked by process 9 on host h. Requested lock was refused.";
  const std::string kFalse = std::string(" FALSE \"") + kHeld + "\"";
  struct Case {
    int expectedKind;
    std::string reply;
    int status;
    std::string message;
  } cases[] = {
      {kCdGotLock, "GotLock TRUE", VAK_OK, "<none>"},
      {kCdGotLock, "GotLock" + kFalse, VAK_FILE_ALREADY_LOCKED, kHeld},
      {kCdDidUnLock, "DidUnLock" + kFalse, VAK_NOT_OK, kHeld},
      {kCdGotLock, "GotLock FALSE \"Requested lock refused by Rob\"", VAK_NOT_OK,
       "Requested lock refused by Rob"},
      {kCdGotLock, "GotLock FALSE \"Requested lock", VAK_FILE_ALREADY_LOCKED, "Requested lock"},
      {kCdGotLock, "DidUnLock TRUE", VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegal},
      {kCdDidUnLock, "DidUnLock MAYBE", VAK_COMPAT_DAEMON_BAD_RESPONSE, kIllegal},
      {kCdGotLock, "GotLock FALSE", VAK_NOT_OK,
       "vak: The Compatibility Daemon refused the lock without a reason."},
  };
  for (const Case &c : cases) {
    PipeDaemon daemon;
    daemon.Reply(c.reply.c_str());
    char *msg = nullptr;
    EXPECT_EQ(c.status, vakCompatDLockResponse(c.expectedKind, &msg)) << c.reply;
    EXPECT_EQ(c.message, Take(&msg)) << c.reply;
  }
}

TEST(CompatRequestsTest, SendsRequestsAsTheDaemonExpectsThem) {
  PipeDaemon daemon;
  daemon.Reply("GotLock TRUE");
  EXPECT_EQ(VAK_OK, vakCompatDWriteLock("/p q/f\"1", nullptr, 77, nullptr));
  EXPECT_EQ("Lock \"/p q/f\"1\" \"\" 77", daemon.Request());
  daemon.Reply("LogInfo /tmp/d.log");
  char *info = nullptr;
  EXPECT_EQ(VAK_OK, vakCompatDReportLog(&info, nullptr));
  EXPECT_EQ(" /tmp/d.log", Take(&info));  // the blank after the keyword stays
}

TEST(CompatRequestsTest, RefusesBadArgumentsWithoutStartingTheDaemon) {
  char *msg = nullptr;
  EXPECT_EQ(VAK_NOT_OK, vakCompatDWriteLock(nullptr, "r", 1, &msg));
  EXPECT_EQ(
      "vak: empty path specified when trying to use Compatibility Daemon to get orvd to lock\n",
      Take(&msg));
  EXPECT_EQ(VAK_NOT_OK, vakCompatDUnLock(nullptr, 1, &msg));
  EXPECT_EQ(
      "vak: empty path specified when trying to use Compatibility Daemon to get orvd to unlock\n",
      Take(&msg));
  EXPECT_EQ(-1, daemonConnection.pid);
}

}  // namespace
