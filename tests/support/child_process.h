// child_process.h - runs a function in a forked child: fresh process-wide state, code that exits.
#ifndef VAK_TESTS_CHILD_PROCESS_H_
#define VAK_TESTS_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace vaktest {

struct ChildResult {
  int exitStatus = -1;  // exit status, or 128 + signal number when killed
  std::string out, err;
};

// The child runs body and exits with its result unless body exits first.
ChildResult RunInChild(const std::function<int()> &body);

}  // namespace vaktest

#endif  // VAK_TESTS_CHILD_PROCESS_H_
