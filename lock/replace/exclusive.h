// exclusive.h - exclusive creation of a name on any file system: an O_EXCL create or a link(),
// with what network file systems report wrongly recognised (a generic failure instead of
// "exists", a link made but reported lost), and the check of what a link made by name holds.
#ifndef VAK_REPLACE_EXCLUSIVE_H_
#define VAK_REPLACE_EXCLUSIVE_H_

#include <stddef.h>

// How many times in all an exclusive create or link is tried while failures leave the name free.
constexpr int kExclusiveAttempts = 3;

// What an exclusive create or link of a name that failed with errno err means.
struct ExclusiveFailure {
  // The errno to act on: EEXIST when a generic failure (EPERM, EIO) left the name existing;
  // else err itself.
  int err;
  // A generic failure that left no name: the attempt is worth repeating (while attempts last).
  bool nameFree;
};
ExclusiveFailure JudgeExclusiveFailure(int err, const char *name);

// Whether the file system of fd can tell files apart only by their content: a FUSE file system
// may make up inode numbers and link counts (sshfs numbers inodes by path and reports one link),
// and may resolve a link made through a descriptor by path.
bool ContentOnly(int fd);
// Whether a descriptor can be linked through /proc/self/fd (looked up once).
bool ProcUsable();

// link(from, to) that recognises a link made but reported lost; 0, or an errno.
int MakeLink(const char *from, const char *to);
// The same for exactly the file open on fd (through /proc/self/fd): ENOENT if it has no name left.
int LinkDescriptor(int fd, const char *to);

// After a link made by name (where the name may have led to another file by then), whether name
// holds exactly text.
bool HoldsText(const char *name, const char *text, size_t length);

#endif  // VAK_REPLACE_EXCLUSIVE_H_
