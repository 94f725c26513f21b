// child_process.h - runs a piece of a test in a forked child, for cases that need a fresh process
// (state that the library sets once per process).
#ifndef VAK_TESTS_CHILD_PROCESS_H_
#define VAK_TESTS_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace vaktest {

// Forks, runs body in the child and returns the text it returned (the verdict). A child that
// dies or takes longer than a minute gives "child failed".
std::string InChild(const std::function<std::string()> &body);

}  // namespace vaktest

#endif  // VAK_TESTS_CHILD_PROCESS_H_
