// Bash completion of vakAdminTool: what a user is offered after each kind of word.
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace vaktest;

TEST(CompletionTest, OffersWhatEachPositionTakes) {
  TempDir dir;
  WriteFile(dir.Sub("docs/a.txt"), "x");
  WriteFile(dir.Sub("notes.txt"), "x");
  WriteFile(dir.Sub("notes.txt.orvlck"), "x");
  WriteFile(dir.Sub("hosts"), "127.0.0.1 buildhost.example.com\n");
  // The sorted candidates offered for a command line whose last word (maybe empty) is completed.
  const std::string script = "source '" VAK_SOURCE_DIR
                             "/completion/vakAdminTool'\n"
                             "read -r -a COMP_WORDS <<< \"$1\"\n"
                             "[[ $1 == *' ' ]] && COMP_WORDS+=('')\n"
                             "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "_vakAdminTool\n"
                             "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd ' '\n";
  RunOptions options;
  options.workDir = dir.path();
  options.env = {{"HOSTFILE", dir.Sub("hosts")}};
  // clang-format off
  struct { std::string line, offered; } cases[] = {
      {"vakAdminTool ", "-ale -aple -apre -are -asre -echo -force -help -noprompt -version"},
      {"vakAdminTool -force -noprompt -e", "-echo"}, {"vakAdminTool -force -are ", "docs"},
      {"vakAdminTool -aple docs build", "buildhost.example.com"}, {"vakAdminTool -apre docs buildhost.example.com ", ""},
      {"vakAdminTool -asre no", "notes.txt"}, {"vakAdminTool -asre docs/", "docs/a.txt"},
      {"vakAdminTool -ale docs ", ""}, {"vakAdminTool -help -", ""}};
  // clang-format on
  for (const auto &c : cases) {
    RunResult r = RunProgram({"/bin/bash", "--norc", "-c", script, "bash", c.line}, options);
    EXPECT_EQ(r.out, c.offered + "\n") << "line: \"" << c.line << "\" " << r.err;
  }
}

}  // namespace
