// child_process.h - runs part of a test in a forked child, for cases that need a fresh process
// (state that the library sets once per process).
#ifndef VAK_TESTS_CHILD_PROCESS_H_
#define VAK_TESTS_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace vaktest {

// The text that body returned in the child (its verdict); "child failed" if the child died.
std::string InChild(const std::function<std::string()> &body);

}  // namespace vaktest

#endif  // VAK_TESTS_CHILD_PROCESS_H_
