// side_file.h - the side file "<lock-stake file>.<pid>": a complete lock-stake text that only its
// writer uses, linked into place as the dirlock or as a first lock, so that no reader ever sees a
// half-written lock. It is also the writer's announcement to a process that clears a stale
// dirlock (leftovers.h): while it exists, its writer may be about to act on the dirlock.
//
// Two hosts can run processes with the same identifier, so the name is not unique by itself: it
// is created exclusively, and a name found taken is examined. A live writer's file is left alone
// (the caller backs off); a dead writer's, or one left half-written for longer than anyone writes
// one, is removed and the name taken again.
#ifndef VAK_REPLACE_SIDE_FILE_H_
#define VAK_REPLACE_SIDE_FILE_H_

#include <stddef.h>
#include <time.h>

#include "posix_io.h"
#include "vak.h"

// Whether the writer of a side file (or the holder of a dirlock) is known to be dead, asked as for
// any lock owner; a process whose liveness cannot be decided counts as live: it may still act.
bool KnownDead(const ProcessIdentity *process);

enum { kSideFileSourceGone = -3 };

class SideFile {
 public:
  SideFile() = default;
  SideFile(const SideFile &) = delete;
  SideFile &operator=(const SideFile &) = delete;
  ~SideFile() { Remove(); }

  // Creates "<lockStakePath>.<pid>" exclusively and writes text whole. VAK_OK; or
  // VAK_FILE_ALREADY_LOCKED when a live process with the same identifier keeps the name busy;
  // or the failure with its message (a write that fails reports "fflush failed. ...").
  int Create(const char *lockStakePath, const char *text, size_t length, char **errMsg);
  // The same name made as a hard link to the lock-stake file open on sourceFd (by its descriptor
  // where the file system allows, else by the name lockStakePath), whose text is text: nothing is
  // written, so it needs no free space. kSideFileSourceGone: that file has no name left (or the
  // name led to another text).
  int CreateAsLink(const char *lockStakePath, int sourceFd, const char *text, size_t length,
                   char **errMsg);
  // Links the side file to another name, exactly this file where the file system allows it (by
  // its descriptor), else by name; 0 or an errno (EEXIST: the name is taken).
  int LinkTo(const char *to);
  // Removes the side file's name, if this object still owns it.
  void Remove();

  const char *name() const { return name_.get(); }
  const char *text() const { return text_; }
  size_t length() const { return length_; }
  bool contentOnly() const { return contentOnly_; }
  // The side file's modification time as the file system set it: its clock, not this host's
  // ({0, 0} if it cannot be had).
  struct timespec written() const;

 private:
  template <typename Make>
  int Claim(const char *lockStakePath, const char *text, size_t length, Make make, bool linking,
            char **errMsg);

  orv::MallocPtr<char> name_;
  orv::UniqueFd fd_;
  const char *text_ = nullptr;
  size_t length_ = 0;
  bool contentOnly_ = true;
  bool owned_ = false;
};

#endif  // VAK_REPLACE_SIDE_FILE_H_
