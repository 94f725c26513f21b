// status_names.h - names of the lock library's statuses, for diagnostics.
#ifndef VAK_ADMIN_STATUS_NAMES_H_
#define VAK_ADMIN_STATUS_NAMES_H_

// "VAK_OK", "VAK_FILE_ALREADY_LOCKED", ... for 0 to 19 except 13; "UNKNOWN STATUS" otherwise.
const char *getVakRetStatus(int status);

#endif  // VAK_ADMIN_STATUS_NAMES_H_
