// run_program.h - runs a program with arguments, standard input and environment changes, and
// collects its standard output, standard error and exit status.
#ifndef VAK_TESTS_RUN_PROGRAM_H_
#define VAK_TESTS_RUN_PROGRAM_H_

#include <string>
#include <utility>
#include <vector>

namespace vaktest {

struct RunResult {
  int exitStatus = -1;  // exit status, or 128 + signal number when killed
  std::string out, err;
  bool timedOut = false;
};

struct RunOptions {
  std::string input;                                     // standard input
  std::vector<std::pair<std::string, std::string>> env;  // set (value) in the child's environment
  std::vector<std::string> unsetEnv;                     // removed from the child's environment
  std::string workDir;                                   // empty: the current directory
  int timeoutSeconds = 60;                               // the child is killed after this
};

// Waits until the program has ended and every process holding its output has closed it.
RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options = {});

// Path of a program of the staged install hierarchy (build/root/tools/bin/<name>).
std::string StagedProgram(const std::string &name);
// The staged install root: build/root, or $VAK_TEST_STAGE_ROOT when set (a copy of it elsewhere).
std::string StageRoot();
// Copies the staged programs, with the install-root marker, to <dir>/tools/bin and returns dir,
// now an install root of its own. A program run as another user must be run from such a copy in a
// directory that user can enter: the build may lie below a home only its owner can enter.
std::string CopyStageTo(const std::string &dir);

}  // namespace vaktest

#endif  // VAK_TESTS_RUN_PROGRAM_H_
