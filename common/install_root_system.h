// install_root_system.h - the install root of a distribution package. Such a package spreads the
// programs over the system's own folders (bin, sbin, libexec), where a tools/bin/orv_root marker
// would need a tree of its own below /usr. A build for it compiles in the root and the tools
// directory instead, and that directory, shared by the daemons' packages, stands for the marker.
#ifndef ORV_INSTALL_ROOT_SYSTEM_H_
#define ORV_INSTALL_ROOT_SYSTEM_H_

namespace orv {

struct SystemLayout {
  const char *root;      // the prefix, e.g. /usr
  const char *toolsDir;  // holds bin/vakbd and bin/vakcompatd, e.g. /usr/libexec/editlock
};

// The layout compiled in, or two nulls in a build for a relocatable tree.
SystemLayout BuiltInSystemLayout();

// True when the layout names a root and its tools directory exists as a directory: the daemons'
// packages are installed.
bool SystemLayoutPresent(const SystemLayout &layout);

}  // namespace orv

#endif  // ORV_INSTALL_ROOT_SYSTEM_H_
