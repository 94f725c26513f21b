// status_names.cc - names of the statuses, for diagnostics. Status 13 (a directory refused) is
// reported as unknown, and so is every value from 20 on.
#include "status_names.h"

const char *getVakRetStatus(int status) {
  static const char *const kNames[] = {
      "VAK_OK",
      "VAK_FILE_ALREADY_LOCKED",
      "VAK_FILE_NOT_LOCKED",
      "VAK_NOT_DIR",
      "VAK_ELOOP",
      "VAK_PROCESS_STATUS_INDETERMINATE",
      "VAK_READ_FAILED",
      "VAK_WRITE_FAILED",
      "VAK_DELETE_FAILED",
      "VAK_BAD_PATH",
      "VAK_INVALID_FILE_HANDLE",
      "VAK_MALFORMED_REQUEST",
      "VAK_HARD_LINK_NOT_LOCKABLE",
      nullptr,
      "VAK_LOCK_STAKE_FILE_NOT_LOCKABLE",
      "VAK_NOT_EDIT_LOCK_OWNER",
      "VAK_MALFORMED_LOCK_STAKE_FILE",
      "VAK_OUT_OF_MEMORY",
      "VAK_SYS_ERROR",
      "VAK_NOT_OK",
  };
  const int count = static_cast<int>(sizeof kNames / sizeof kNames[0]);
  if (status < 0 || status >= count || kNames[status] == nullptr) return "UNKNOWN STATUS";
  return kNames[status];
}
