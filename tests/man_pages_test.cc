// The manual pages render without a single warning, as `man -l` shows them on a terminal.
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"

namespace {

TEST(ManPagesTest, RenderWithoutWarnings) {
  vaktest::RunOptions terminal;
  terminal.env = {{"MANWIDTH", "80"}, {"LC_ALL", "C.UTF-8"}, {"MANPAGER", "cat"}};
  for (const char *file : {"vakAdminTool.1", "vakbd.8", "vak.3"}) {
    const std::string page = VAK_SOURCE_DIR "/man/" + std::string(file);
    // groff with every warning on (macros, escapes, fonts, tables), then man itself, which also
    // picks the preprocessors from the page's first line.
    for (auto argv : {std::vector<std::string>{"/usr/bin/groff", "-ww", "-z", "-t", "-man", page},
                      std::vector<std::string>{"/usr/bin/man", "--warnings", "-l", page}}) {
      vaktest::RunResult r = vaktest::RunProgram(argv, terminal);
      EXPECT_TRUE(r.exitStatus == 0 && r.err.empty()) << argv[0] << " " << file << ": " << r.err;
      EXPECT_TRUE(argv[0] != "/usr/bin/man" || r.out.find("\nSEE ALSO\n") != std::string::npos);
    }
  }
}

}  // namespace
