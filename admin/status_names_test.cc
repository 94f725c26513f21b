#include "status_names.h"

#include <gtest/gtest.h>

#include "vak.h"

namespace {

TEST(StatusNamesTest, KnownAndUnknown) {
  struct Case {
    int status;
    const char *name;
  } cases[] = {
      {VAK_OK, "VAK_OK"},
      {VAK_FILE_ALREADY_LOCKED, "VAK_FILE_ALREADY_LOCKED"},
      {VAK_HARD_LINK_NOT_LOCKABLE, "VAK_HARD_LINK_NOT_LOCKABLE"},
      {VAK_DIR_NOT_LOCKABLE, "UNKNOWN STATUS"},
      {VAK_LOCK_STAKE_FILE_NOT_LOCKABLE, "VAK_LOCK_STAKE_FILE_NOT_LOCKABLE"},
      {VAK_SYS_ERROR, "VAK_SYS_ERROR"},
      {VAK_NOT_OK, "VAK_NOT_OK"},
      {VAK_BOOLEAN_DAEMON_BAD_RESPONSE, "UNKNOWN STATUS"},
      {VAK_COMPAT_DAEMON_BAD_RESPONSE, "UNKNOWN STATUS"},
      {1000, "UNKNOWN STATUS"},
      {-1, "UNKNOWN STATUS"},
  };
  for (const Case &c : cases) EXPECT_STREQ(c.name, getVakRetStatus(c.status)) << c.status;
}

}  // namespace
