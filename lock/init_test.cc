// The start of the Boolean Daemon through the shell: found in the tools tree even where its path
// holds blanks and quotes, and judged by its exit status alone.
#include "init.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "orv.h"
#include "temp_dir.h"

namespace {

TEST(DaemonLaunchTest, RunsTheToolsTreesDaemonAndJudgesItsExitStatus) {
  const struct {
    const char *name;
    const char *script;  // the stand-in vakbd's body, after it notes its own path
    int status;
    bool message;  // a message is stored
  } cases[] = {
      {"serving", "exit 0", VAK_OK, false},
      {"cannot initialise", "exit 1", VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, true},
      {"no sockets", "exit 2", VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, true},
      {"port taken", "exit 3", VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, true},
      {"another failure", "exit 7", VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, false},
      {"killed", "kill -9 $$", VAK_BOOLEAN_DAEMON_LAUNCH_ERROR, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    vaktest::TempDir top;
    // The shell must get the path whole: blanks, a single quote, a dollar and a backquote.
    const std::string tree = top.Sub("it's a `tree` $HOME");
    const std::string bin = tree + "/tools/bin";
    vaktest::WriteFile(bin + "/orv_root", "");
    vaktest::WriteFile(bin + "/vakbd", std::string("#!/bin/sh\nprintf '%s' \"$0\" > \"$JOURNAL\"\n") +
                                           c.script + "\n");
    ASSERT_EQ(0, chmod((bin + "/vakbd").c_str(), 0755));
    ASSERT_EQ(0, chmod((bin + "/orv_root").c_str(), 0755));
    vaktest::ChildResult got = vaktest::RunInChild([&] {
      setenv("JOURNAL", top.Sub("journal").c_str(), 1);
      orvInitNonORVApp((bin + "/prog").c_str());
      char *msg = nullptr;
      int status = vakLaunchBooleanDaemon(&msg);
      printf("%d %d", status, msg != nullptr && *msg != '\0');
      return 0;
    });
    EXPECT_EQ(std::to_string(c.status) + " " + std::to_string(c.message), got.out);
    EXPECT_EQ(bin + "/vakbd", vaktest::ReadFile(top.Sub("journal")));
  }
}

}  // namespace
