// The manual pages render without a single warning, as `man -l` shows them on a terminal.
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"

namespace {

using vaktest::RunOptions;
using vaktest::RunProgram;
using vaktest::RunResult;

TEST(ManPagesTest, RenderWithoutWarnings) {
  struct Case {
    std::string file, title;
  } cases[] = {
      {"vakAdminTool.1", "VAKADMINTOOL(1)"},
      {"vakbd.8", "VAKBD(8)"},
      {"vak.3", "VAK(3)"},
  };
  RunOptions terminal;
  terminal.env = {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}, {"MANPAGER", "cat"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    const std::string page = std::string(VAK_SOURCE_DIR) + "/man/" + c.file;
    // groff with every warning on: bad macros, escapes, fonts and table errors.
    RunResult lint = RunProgram({"/usr/bin/groff", "-ww", "-z", "-t", "-man", page});
    EXPECT_EQ(lint.exitStatus, 0);
    EXPECT_EQ(lint.err, "");
    // man itself, which also picks the preprocessors from the page's first line.
    RunResult shown = RunProgram({"/usr/bin/man", "--warnings", "-l", page}, terminal);
    EXPECT_EQ(shown.exitStatus, 0);
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out.compare(0, c.title.size(), c.title), 0) << shown.out.substr(0, 200);
    EXPECT_NE(shown.out.find("\nNAME\n"), std::string::npos);
    EXPECT_NE(shown.out.find("\nSEE ALSO\n"), std::string::npos);
  }
}

}  // namespace
