// Bash completion of vakAdminTool: what a user is offered after each kind of word.
#include <string>

#include <gtest/gtest.h>

#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace vaktest;

// The sorted, blank-separated candidates that the completion function offers for a command line
// whose last word (possibly empty) is being completed.
std::string Complete(const std::string &line, const TempDir &dir) {
  const std::string script = "source '" + std::string(VAK_SOURCE_DIR) +
                             "/completion/vakAdminTool'\n"
                             "read -r -a COMP_WORDS <<< \"$1\"\n"
                             "[[ $1 == *' ' ]] && COMP_WORDS+=('')\n"
                             "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "_vakAdminTool\n"
                             "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd ' '\n";
  RunOptions options;
  options.workDir = dir.path();
  options.env = {{"HOSTFILE", dir.Sub("hosts")}};
  RunResult r = RunProgram({"/bin/bash", "--norc", "-c", script, "bash", line}, options);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.out.substr(0, r.out.find('\n'));
}

TEST(CompletionTest, OffersWhatEachPositionTakes) {
  TempDir dir;
  WriteFile(dir.Sub("docs/a.txt"), "x");
  WriteFile(dir.Sub("notes.txt"), "x");
  WriteFile(dir.Sub("notes.txt.orvlck"), "x");
  WriteFile(dir.Sub("hosts"), "127.0.0.1 buildhost.example.com\n");
  struct Case {
    std::string line, offered;
  } cases[] = {
      {"vakAdminTool ", "-ale -aple -apre -are -asre -echo -force -help -noprompt -version"},
      {"vakAdminTool -a", "-ale -aple -apre -are -asre"},
      {"vakAdminTool -force -noprompt -e", "-echo"},
      {"vakAdminTool -ale ", "docs"},
      {"vakAdminTool -force -are d", "docs"},
      {"vakAdminTool -apre ", "docs"},
      {"vakAdminTool -aple docs build", "buildhost.example.com"},
      {"vakAdminTool -apre docs buildhost.example.com ", ""},
      {"vakAdminTool -asre no", "notes.txt"},
      {"vakAdminTool -asre docs/", "docs/a.txt"},
      {"vakAdminTool -ale docs ", ""},
      {"vakAdminTool -version ", ""},
      {"vakAdminTool -help -", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Complete(c.line, dir), c.offered) << "line: \"" << c.line << "\"";
  }
}

}  // namespace
