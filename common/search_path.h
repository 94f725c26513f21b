// search_path.h - walking a colon-separated search list such as PATH, and finding an executable
// along it (orvFindExecInPath).
#ifndef ORV_SEARCH_PATH_H_
#define ORV_SEARCH_PATH_H_

#include <string.h>

#include "orv.h"

namespace orv {

// The message for a search that needs PATH when it is not set.
extern const char kNoSearchPathMsg[];

// Calls visit on each element of a colon-separated search list from left to right, "." standing
// for an empty element, until visit returns true. Elements too long for a path buffer are skipped.
template <typename Visit>
bool WalkSearchList(const char *list, Visit visit) {
  char element[ORV_PATH_BUF_SIZE];
  for (const char *p = list;;) {
    const char *end = strchr(p, ':');
    size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (length < sizeof element) {
      if (length == 0) {
        element[0] = '.';
        length = 1;
      } else {
        memcpy(element, p, length);
      }
      element[length] = '\0';
      if (visit(static_cast<const char *>(element))) return true;
    }
    if (end == nullptr) return false;
    p = end + 1;
  }
}

// The first element e of the list for which e + "/" + name is an executable file, into out.
bool SearchExecutable(const char *list, const char *name, char (&out)[ORV_PATH_BUF_SIZE]);
// The rooted, cleaned path of name: found along PATH when it has no "/", else as given.
char *FindExecInPath(const char *name);

}  // namespace orv

#endif  // ORV_SEARCH_PATH_H_
