// install_root_system.cc - the compiled-in install root of a distribution package.
#include "install_root_system.h"

#include <sys/stat.h>

#include "posix_io.h"

namespace orv {

SystemLayout BuiltInSystemLayout() {
#if defined(ORV_SYSTEM_ROOT) && defined(ORV_SYSTEM_TOOLS_DIR)
  return {ORV_SYSTEM_ROOT, ORV_SYSTEM_TOOLS_DIR};
#else
  return {nullptr, nullptr};
#endif
}

bool SystemLayoutPresent(const SystemLayout &layout) {
  if (layout.root == nullptr || layout.toolsDir == nullptr || layout.toolsDir[0] != '/') {
    return false;
  }
  struct stat st;
  return RetryOnEintr([&] { return stat(layout.toolsDir, &st); }) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace orv
