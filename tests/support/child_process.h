// child_process.h - runs a function in a forked child, for tests of process-wide state that must
// start fresh, of code that exits, or of code that must run with other credentials.
#ifndef VAK_TESTS_CHILD_PROCESS_H_
#define VAK_TESTS_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace vaktest {

struct ChildResult {
  int exitStatus = -1;  // the child's exit status, or 128 + signal number when killed
  std::string out;      // what it wrote on standard output
  std::string err;      // what it wrote on standard error
};

// Forks; the child runs body and exits with its result (0 for a pass, by convention), unless body
// exits first. Standard output and error of the child are collected.
ChildResult RunInChild(const std::function<int()> &body);

}  // namespace vaktest

#endif  // VAK_TESTS_CHILD_PROCESS_H_
