// vakbd_process.h - the staged vakbd as the black-box tests run it.
#ifndef VAK_TESTS_SUPPORT_VAKBD_PROCESS_H_
#define VAK_TESTS_SUPPORT_VAKBD_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "run_program.h"

namespace vaktest {

extern const char kLocal[];  // "127.0.0.1"

// The staged vakbd with args, given 15 s to start or refuse.
RunResult RunVakbd(const std::vector<std::string> &args);

// Polls until done() holds, for up to five seconds.
bool Eventually(const std::function<bool()> &done);

// Runs the staged vakbd with args in a child whose standard error goes to errFile, with the
// environment changes given; returns its pid once it serves the port at address at (-1 if not).
pid_t StartVakbd(const std::vector<std::string> &args, const std::string &errFile, int port,
                 const std::vector<std::pair<std::string, std::string>> &env = {},
                 const std::string &at = kLocal);

// SIGTERM, then waits for it.
void StopByPid(pid_t pid);

}  // namespace vaktest

#endif  // VAK_TESTS_SUPPORT_VAKBD_PROCESS_H_
