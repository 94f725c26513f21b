#include "status.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

namespace {

TEST(StatusTest, AllocErrorMsgSlotRules) {
  struct Case {
    int status;
    const char *text;
    bool withSlot;
    int wantStatus;
    const char *wantText;  // nullptr: the slot keeps its sentinel
    bool shared;           // the shared out-of-memory text, same address each time
  } cases[] = {
      {VAK_FILE_ALREADY_LOCKED, "busy", true, VAK_FILE_ALREADY_LOCKED, "busy", false},
      {VAK_OUT_OF_MEMORY, "whatever was given", true, VAK_OUT_OF_MEMORY, "Out of memory", true},
      {VAK_NOT_OK, nullptr, true, VAK_NOT_OK, nullptr, false},
      {VAK_NOT_OK, "no slot", false, VAK_NOT_OK, nullptr, false},
  };
  for (const Case &c : cases) {
    char sentinel[] = "untouched";
    char *slot = sentinel;
    int got = vakAllocErrorMsg(c.status, c.text, c.withSlot ? &slot : nullptr);
    EXPECT_EQ(c.wantStatus, got) << c.status;
    if (c.wantText == nullptr) {
      EXPECT_EQ(sentinel, slot);
      continue;
    }
    EXPECT_STREQ(c.wantText, slot);
    EXPECT_EQ(c.shared, slot == vakGetOutOfMemMsg());
    if (!c.shared) {
      EXPECT_NE(c.text, slot) << "the message must be a separately owned copy";
      free(slot);
    }
  }
}

TEST(StatusTest, BdErrorMsgByExitStatus) {
  struct Case {
    int exitStatus;
    int wantStatus;
    const char *wantPrefix;  // nullptr: nothing stored
  } cases[] = {
      {0, VAK_OK, nullptr},
      {1, VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, "The vakbd had a problem initializing.\n"},
      {2, VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, "The vakbd could no initialize the socket interface.\n"},
      {3, VAK_BOOLEAN_DAEMON_LAUNCH_ERROR,
       "The vakbd could not open the default portnumber.\nYou may need to change the default "
       "portnumber by\nsetting the VAK_PORTNUM environment variable.\n"},
      {7, VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, nullptr},
  };
  for (const Case &c : cases) {
    char *slot = nullptr;
    EXPECT_EQ(c.wantStatus, vakGetBdErrorMsg(c.exitStatus, &slot)) << c.exitStatus;
    if (c.wantPrefix == nullptr) {
      EXPECT_EQ(nullptr, slot);
    } else {
      EXPECT_STREQ(c.wantPrefix, slot);
    }
    vakReleaseErrorMsg(&slot);
    EXPECT_EQ(c.wantStatus, vakGetBdErrorMsg(c.exitStatus, nullptr));
  }
}

TEST(StatusTest, StrErrorMsgTakesErrnoAtTheMoment) {
  char *slot = nullptr;
  errno = ENOTDIR;
  EXPECT_EQ(VAK_NOT_DIR, vakGetStrErrorMsg(VAK_NOT_DIR, &slot));
  EXPECT_STREQ(strerror(ENOTDIR), slot);
  vakReleaseErrorMsg(&slot);
  EXPECT_EQ(nullptr, slot);

  errno = 0;  // a failing call that did not set errno
  EXPECT_EQ(VAK_SYS_ERROR, vakGetStrErrorMsg(VAK_NOT_DIR, &slot));
  EXPECT_STREQ("Unknown error. Perhaps errno is not set by the failed syscall", slot);
  vakReleaseErrorMsg(&slot);
}

TEST(StatusTest, FormatErrorMsgNeverCutsLongPaths) {
  std::string path(5000, 'p');
  char *slot = nullptr;
  EXPECT_EQ(VAK_DIR_NOT_LOCKABLE,
            vakFormatErrorMsg(VAK_DIR_NOT_LOCKABLE, &slot, "Lock on \"%s\".", path.c_str()));
  EXPECT_EQ("Lock on \"" + path + "\".", std::string(slot));
  vakReleaseErrorMsg(&slot);
  char *oom = vakGetOutOfMemMsg();
  vakReleaseErrorMsg(&oom);  // must not free the shared text
  EXPECT_EQ(nullptr, oom);
  EXPECT_STREQ("Out of memory", vakGetOutOfMemMsg());
}

}  // namespace
