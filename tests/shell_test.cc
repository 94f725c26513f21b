// The tool's command line and command language, run as a program: exact output and status.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "datestamp.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

const std::string kHelp =
    "Commands:\n system <commandName> \n  - execute shell command\n ale <directoryHierarchy> \n"
    "  - List all Edit Locks in directoryHierarchy\n"
    " aple <directoryHierarchy> <hostname> [pid [processCreationTime]] \n"
    "  - List all Edit Locks of process pid in directoryHierarchy\n are <directoryHierarchy> \n"
    "  - Release all Edit Locks in directoryHierarchy\n"
    " apre <directoryHierarchy> <hostname> <pid> <processCreationTime> \n"
    "  - Release all Edit Locks of process pid in directoryHierarchy\n asre <filePath> \n"
    "  - Release Edit Lock on the file specified by filePath\n force\n"
    "  - Set force mode to remove old style locks with simple host names\n exit \n"
    "  - exit with last status\n help \n  - This output\n quit \n"
    "  - quit (with good status (0))\n";

std::string Usage(const std::string &p) {
  return "Usage (interactive mode):\n  " + p +
         " [-help] [-version] [-noprompt] [-echo] [-force]\n\nUsage (batch mode):\n  " + p +
         " [-help] [-version] [-force]\n       -ale <directoryHierarchy>\n"
         "          List all Edit Locks in directoryHierarchy\n"
         "       -aple <directoryHierarchy> <hostname> [pid [processCreationTime]]\n"
         "          List all Edit Locks of process pid in directoryHierarchy\n"
         "       -are <directoryHierarchy>\n"
         "          Release all Edit Locks in directoryHierarchy\n"
         "       -apre <directoryHierarchy> <hostname> <pid> <processCreationTime>\n"
         "          Release all Edit Locks of process pid in directoryHierarchy\n"
         "       -asre <filePath>\n"
         "          Release Edit Lock on the file specified by filePath\n";
}

std::string ListReport(const std::string &dir) {
  return "BEGIN: Edit Locks List\nEND: Edit Locks List\n\n"
         "SUMMARY: No Edit Locks were found in the directory hierarchy: " +
         dir + "\n";
}

TEST(ShellTest, CommandLineAndCommandLanguage) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir tmp;
  const std::string prog = vaktest::StagedProgram("vakAdminTool");
  const std::string dir = tmp.path(), file = tmp.Sub("plain");
  vaktest::WriteFile(file, "x");
  const std::string version = prog + " " + VersionIdent + "\n";
  const std::string exit0 = "vakAdminTool exiting with status 0\n";
  const std::string longComment = "#" + std::string(4094, 'x');  // 4095 characters: accepted
  const std::string tooLong = "Command line longer than 4095 characters ignored\n";
  const std::string n = "-noprompt";
  struct Case {
    std::vector<std::string> args;
    std::string input, out, err;
    int status;
  } cases[] = {
      {{"-help"}, "", Usage(prog), "", 0},
      {{"-HELP"}, "", Usage(prog), "", 0},
      {{"-force", "-apre", dir, "h", "1"}, "", Usage(prog), "", 0},
      {{"-version"}, "", "", version, 0},
      {{"-VERSION"}, "", "", version, 0},
      {{"-Version", "-help"}, "", "", version, 0},
      {{"-ale", dir, "more", "words"}, "", ListReport(dir), "", 0},
      {{"-ale", file}, "", ListReport(file), "Not a directory\n", 0},
      {{}, "", "> ", "", 0},
      {{}, "\n", "> > ", kHelp, 0},
      {{}, "   \n", "> > ", kHelp, 0},
      {{n}, "\n\n", "", "", 0},
      {{n}, "   \n", "", kHelp, 0},
      {{n, "-echo"},
       "ale " + dir + " x\n",
       "ale " + dir + " x\n" + ListReport(dir),
       "Ignoring additional arguments\n",
       0},
      {{n}, "ale\n", "", "ale command requires exactly one argument\n" + kHelp, 0},
      {{n}, "ale\t" + dir + "\n", "", "ale command requires exactly one argument\n" + kHelp, 0},
      {{n}, "Quit\nexit\n", "", "", 0},
      {{n}, "QUITTING\nexit\n", "", "", 0},
      {{n}, "exitnow\n", exit0, "", 0},
      {{n}, "# a b c d e f g\n", "", "", 0},
      {{n}, "# a b c d e f g h\n", "", "Ignoring spurious arguments\n", 0},
      {{n}, "frob x\n", "", "Unknown command \"frob\"\n" + kHelp, 0},
      {{n}, "system\n", "", "system command requires at least one argument\n" + kHelp, 0},
      {{n}, "system echo  'a  b'\nexit\n", "a  b\n" + exit0, "", 0},
      {{n}, "system exit 3\nexit\n", exit0, "", 0},  // the command's own status is no failure
      {{n}, longComment + "\nexit", exit0, "", 0},
      {{n}, longComment + "x exit\nquit\n", "", tooLong, 0},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = {prog};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    vaktest::RunOptions options;
    options.input = c.input;
    vaktest::RunResult r = vaktest::RunProgram(argv, options);
    std::string label = (c.args.empty() ? "" : c.args[0]) + " <<" + c.input.substr(0, 40);
    EXPECT_EQ(c.out, r.out) << label;
    EXPECT_EQ(c.err, r.err) << label;
    EXPECT_EQ(c.status, r.exitStatus) << label;
  }
}

}  // namespace
