// shell.cc - vakAdminTool's start-up, option scan, batch dispatch, interactive loop and command
// language.
#include "shell.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "datestamp.h"
#include "handlers.h"
#include "orv.h"
#include "vak.h"

namespace {

// Both the interactive line and processRequest's working copy live in buffers of this size, so a
// command line holds at most kLineBufSize - 1 characters.
constexpr size_t kLineBufSize = 4096;

// The command word, five kept arguments and three more counted only to detect spurious words.
constexpr int kMaxArgs = 5;
constexpr int kMaxWords = 9;

const char kHelpText[] =
    "Commands:\n"
    " system <commandName> \n"
    "  - execute shell command\n"
    " ale <directoryHierarchy> \n"
    "  - List all Edit Locks in directoryHierarchy\n"
    " aple <directoryHierarchy> <hostname> [pid [processCreationTime]] \n"
    "  - List all Edit Locks of process pid in directoryHierarchy\n"
    " are <directoryHierarchy> \n"
    "  - Release all Edit Locks in directoryHierarchy\n"
    " apre <directoryHierarchy> <hostname> <pid> <processCreationTime> \n"
    "  - Release all Edit Locks of process pid in directoryHierarchy\n"
    " asre <filePath> \n"
    "  - Release Edit Lock on the file specified by filePath\n"
    " force\n"
    "  - Set force mode to remove old style locks with simple host names\n"
    " exit \n"
    "  - exit with last status\n"
    " help \n"
    "  - This output\n"
    " quit \n"
    "  - quit (with good status (0))\n";

const char kUsageFormat[] =
    "Usage (interactive mode):\n"
    "  %s [-help] [-version] [-noprompt] [-echo] [-force]\n"
    "\n"
    "Usage (batch mode):\n"
    "  %s [-help] [-version] [-force]\n"
    "       -ale <directoryHierarchy>\n"
    "          List all Edit Locks in directoryHierarchy\n"
    "       -aple <directoryHierarchy> <hostname> [pid [processCreationTime]]\n"
    "          List all Edit Locks of process pid in directoryHierarchy\n"
    "       -are <directoryHierarchy>\n"
    "          Release all Edit Locks in directoryHierarchy\n"
    "       -apre <directoryHierarchy> <hostname> <pid> <processCreationTime>\n"
    "          Release all Edit Locks of process pid in directoryHierarchy\n"
    "       -asre <filePath>\n"
    "          Release Edit Lock on the file specified by filePath\n";

const char kLineTooLongMsg[] = "Command line longer than 4095 characters ignored\n";

// Messages go to standard error; what was already printed on standard output (echoed line,
// reports) comes first for a reader who sees both streams together.
void Complain(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Complain(const char *format, ...) {
  fflush(stdout);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void PrintHelp() {
  Complain("%s", kHelpText);
}

[[noreturn]] void UsageAndExit(const char *programName) {
  printf(kUsageFormat, programName, programName);
  exit(0);
}

bool CommandIs(const char *word, const char *name) {
  return strncasecmp(word, name, strlen(name)) == 0;
}

// Reads one line into buf (without its newline). Returns false at the end of the input. A line
// too long for the buffer is refused rather than cut: its tail would otherwise run as a command of
// its own, and a cut path could name a different hierarchy. Such a line is read to its end and
// discarded, and *tooLong is set.
bool ReadLine(char *buf, size_t size, bool *tooLong) {
  size_t length = 0;
  bool readAny = false;
  *tooLong = false;
  for (;;) {
    int c = getc(stdin);
    if (c == EOF) {
      // A signal interrupting the read is not the end of the input.
      if (ferror(stdin) && errno == EINTR) {
        clearerr(stdin);
        continue;
      }
      if (!readAny) return false;
      break;  // the last line of an input without a final newline
    }
    readAny = true;
    if (c == '\n') break;
    if (length + 1 < size) {
      buf[length++] = (char)c;
    } else {
      *tooLong = true;
    }
  }
  buf[*tooLong ? 0 : length] = '\0';
  return true;
}

[[noreturn]] void InteractiveLoop() {
  char line[kLineBufSize];
  for (;;) {
    if (doPrompt) {
      fputs("> ", stdout);
      fflush(stdout);
    }
    bool tooLong;
    // The end of the input ends the run as quit does, instead of re-reading a closed input.
    if (!ReadLine(line, sizeof line, &tooLong)) exit(0);
    if (tooLong) {
      Complain("%s", kLineTooLongMsg);
      continue;
    }
    if (line[0] != '\0') {
      if (doEcho) printf("%s\n", line);
      processRequest(line);
    } else if (doPrompt) {
      processRequest("Help");
    }
  }
}

}  // namespace

int vakAdminInit(int argc, char **argv, char **errMsg) {
  orvInit(&argc, argv);
  return vakInit(argv[0], 1, errMsg);
}

void processRequest(const char *line) {
  if (line == nullptr) return;
  if (strlen(line) >= kLineBufSize) {
    Complain("%s", kLineTooLongMsg);
    return;
  }
  char buf[kLineBufSize];
  memset(buf, 0, sizeof buf);
  strcpy(buf, line);

  // Words are separated by the space character only; a tab belongs to the word.
  char *words[kMaxWords] = {};
  int count = 0;
  char *p = buf;
  while (count < kMaxWords) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    words[count++] = p;
    while (*p != ' ' && *p != '\0') ++p;
    if (*p == ' ') *p++ = '\0';
  }
  if (count == kMaxWords) Complain("Ignoring spurious arguments\n");
  if (count == 0) {
    PrintHelp();
    return;
  }

  const char *cmd = words[0];
  const char *arg[kMaxArgs + 1] = {};  // arg[1] .. arg[5]; absent ones are null
  for (int i = 1; i <= kMaxArgs; ++i) arg[i] = words[i];

  if (CommandIs(cmd, "help")) {
    PrintHelp();
  } else if (CommandIs(cmd, "system")) {
    if (arg[1] == nullptr) {
      Complain("system command requires at least one argument\n");
      PrintHelp();
      return;
    }
    // The shell gets the unsplit line from its eighth character on, so quoting and repeated blanks
    // reach it as typed; the line is taken to start with "system" and one blank. A command word
    // and an argument make the line at least eight characters long.
    doSystem(line + 7);
  } else if (CommandIs(cmd, "ale")) {
    if (arg[2] != nullptr) Complain("Ignoring additional arguments\n");
    if (arg[1] == nullptr) {
      Complain("ale command requires exactly one argument\n");
      PrintHelp();
      return;
    }
    doAle(arg[1]);
  } else if (CommandIs(cmd, "aple")) {
    if (arg[5] != nullptr) Complain("Ignoring additional arguments\n");
    if (arg[2] == nullptr) {
      Complain(
          "aple command requires at least the first two arguments; The last two arguments are "
          "optional. \n");
      PrintHelp();
      return;
    }
    doAPle(arg[1], arg[2], arg[3], arg[4]);
  } else if (CommandIs(cmd, "are")) {
    if (arg[2] != nullptr) Complain("Ignoring additional arguments\n");
    if (arg[1] == nullptr) {
      Complain("are command requires exactly one argument\n");
      PrintHelp();
      return;
    }
    doAre(arg[1]);
  } else if (CommandIs(cmd, "asre")) {
    if (arg[2] != nullptr) Complain("Ignoring additional arguments\n");
    if (arg[1] == nullptr) {
      Complain("asre command requires exactly one argument\n");
      PrintHelp();
      return;
    }
    doAsre(arg[1]);
  } else if (CommandIs(cmd, "apre")) {
    if (arg[5] != nullptr) Complain("Ignoring additional arguments\n");
    if (arg[4] == nullptr) {  // words fill in order, so arguments 1 to 3 are present too
      Complain("apre command requires four and exactly four arguments\n");
      PrintHelp();
      return;
    }
    doAPre(arg[1], arg[2], arg[3], arg[4]);
  } else if (CommandIs(cmd, "force")) {
    doForce = 1;
  } else if (CommandIs(cmd, "exit")) {
    int status = lastRtn == 1 ? 0 : 1;
    printf("vakAdminTool exiting with status %d\n", status);
    exit(status);
  } else if (CommandIs(cmd, "quit")) {
    exit(0);
  } else if (cmd[0] == '#') {
    // a comment line
  } else {
    Complain("Unknown command \"%s\"\n", cmd);
    PrintHelp();
  }
}

void vakAdminMain(int argc, char **argv) {
  // Started without any argument word (possible through exec): go on under the program's name.
  static char defaultName[] = "vakAdminTool";
  static char *defaultArgv[] = {defaultName, nullptr};
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    argc = 1;
    argv = defaultArgv;
  }
  char *errMsg = nullptr;
  if (vakAdminInit(argc, argv, &errMsg) != 0) {
    fflush(stdout);
    fprintf(stderr, "vakAdminTool cannot run. Reason for failure: \"%s\"\n",
            errMsg != nullptr ? errMsg : "");
    exit(1);
  }

  int i = 1;
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "-echo") == 0) {
      doEcho = 1;
    } else if (strcmp(argv[i], "-noprompt") == 0) {
      doPrompt = 0;
    } else if (strcmp(argv[i], "-force") == 0) {
      doForce = 1;
    } else {
      break;
    }
  }
  if (i >= argc) InteractiveLoop();

  const char *option = argv[i];
  // Number of words present after the option.
  const int after = argc - i - 1;
  auto word = [&](int k) -> const char * { return k <= after ? argv[i + k] : nullptr; };

  if (strcasecmp(option, "-version") == 0) {
    fflush(stdout);
    fprintf(stderr, "%s %s\n", argv[0], VersionIdent);
    fflush(stderr);
    exit(0);
  }
  if (strcmp(option, "-ale") == 0 && after >= 1) {
    doAle(word(1));
  } else if (strcmp(option, "-aple") == 0 && after >= 2) {
    doAPle(word(1), word(2), word(3), word(4));
  } else if (strcmp(option, "-are") == 0 && after >= 1) {
    doAre(word(1));
  } else if (strcmp(option, "-apre") == 0 && after >= 4) {
    doAPre(word(1), word(2), word(3), word(4));
  } else if (strcmp(option, "-asre") == 0 && after >= 1) {
    doAsre(word(1));
  } else {
    // "-help", a command option with too few words, and any other word.
    UsageAndExit(argv[0]);
  }
  // Batch mode ends with 0 whatever the command's outcome; a failure shows only in its message.
  exit(0);
}
