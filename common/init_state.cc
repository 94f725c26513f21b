// init_state.cc - the common library's process-wide start-up state: whether it was initialised, the
// recorded arg0, and whether the program requires an install root.
#include "init_state.h"

#include <stdio.h>

#include "orv.h"

namespace orv {

namespace {

const char kPlatform[] = "lnx86";

// Process-wide state, one instance per process.
int alreadyInitialized = 0;
int cmnInstallRootRequired = 1;
char orviExecutableName[ORV_PATH_BUF_SIZE + 1];

}  // namespace

const char *RecordedExecutableName() {
  return orviExecutableName;
}

void RecordExecutableName(const char *name) {
  if (name == nullptr) name = "";
  snprintf(orviExecutableName, sizeof orviExecutableName, "%s", name);
}

// A 0 set by cmnNoInstallRootRequired before initialisation survives it: that call is only allowed
// before initialisation, and resetting the flag here would make it useless. The flag is 1 at
// start-up, so initialisation otherwise leaves it at 1.
int Init(int *, char **argv) {
  return InitNonORVApp(argv != nullptr ? argv[0] : nullptr);
}

int InitNonORVApp(const char *executableName) {
  if (alreadyInitialized) return 0;
  RecordExecutableName(executableName);
  alreadyInitialized = 1;
  return 0;
}

int InitDone() {
  return alreadyInitialized;
}

void NoInstallRootRequired() {
  if (!alreadyInitialized) cmnInstallRootRequired = 0;
}

int GetInstallRootRequired() {
  return cmnInstallRootRequired;
}

void SetInstallRootRequired(int required) {
  cmnInstallRootRequired = required;
}

const char *Plat() {
  return kPlatform;
}

}  // namespace orv
