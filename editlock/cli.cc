// cli.cc - the messages, the help text and the library start shared by editlock's subcommands.
#include "cli.h"

#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "vak.h"

namespace {

const char kHelpText[] =
    "Usage: editlock hold [--reason TEXT] [--wait SECONDS] FILE [--] COMMAND [ARG...]\n"
    "  or:  editlock list [--json] [--check] [FILTER...] [WALK...] DIR...\n"
    "  or:  editlock explain FILE\n"
    "  or:  editlock reap [--dry-run] [WALK...] DIR...\n"
    "  or:  editlock --help | --version\n"
    "Take, hold and list the Edit Locks of files shared by applications on many hosts.\n"
    "\n"
    "  hold      take FILE's Edit Lock, run COMMAND, release the lock when it ends\n"
    "    -r, --reason TEXT   the reason recorded in the lock\n"
    "    -w, --wait SECONDS  wait at most SECONDS (a decimal number, or 'forever') for a\n"
    "                        lock held by another process; 0, the default, tries once\n"
    "  list      print every Edit Lock below each DIR with its owners\n"
    "    -j, --json          one JSON object per lock and line\n"
    "    -c, --check         add whether each owner is alive, dead or undecided\n"
    "    -H, --host HOST     only locks whose owner runs on HOST\n"
    "    -p, --pid PID       only locks whose owner is process PID\n"
    "        --alive, --dead, --undecided\n"
    "                        only locks whose owner is so (implies --check)\n"
    "  explain   tell who holds FILE's lock and what a get would do now\n"
    "  reap      release the locks below each DIR whose owners are dead\n"
    "    -n, --dry-run       print what would be reaped, change nothing\n"
    "  WALK options of list and reap:\n"
    "        --one-file-system  do not descend into directories on other file systems\n"
    "        --jobs N        read ahead with N threads (1: none; default: by file system)\n"
    "\n"
    "  -h, --help     display this help and exit\n"
    "  -V, --version  output version information and exit\n"
    "\n"
    "Exit status: hold exits with COMMAND's status (128+N when signal N ended it);\n"
    "0 success (explain: FILE is free), 64 usage error, 70 failure, 75 the lock is held by\n"
    "another process, 124 --wait timed out, 126 COMMAND could not be run, 127 COMMAND not\n"
    "found.\n";

void VComplain(const char *format, va_list args) {
  fflush(stdout);
  fputs("editlock: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

}  // namespace

int UsageError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  VComplain(format, args);
  va_end(args);
  fputs("Try 'editlock --help' for more information.\n", stderr);
  return kExitUsage;
}

void Complain(const char *format, ...) {
  va_list args;
  va_start(args, format);
  VComplain(format, args);
  va_end(args);
}

int PrintHelp() {
  fputs(kHelpText, stdout);
  return kExitOk;
}

int BadOption(int result, char **argv) {
  // getopt_long's own messages are off (opterr = 0): they would name the subcommand as the program.
  if (result == ':') return UsageError("option '%s' requires an argument", argv[optind - 1]);
  return UsageError("unrecognised option '%s'", argv[optind - 1]);
}

bool StartLibrary() {
  char *msg = nullptr;
  if (vakInit("editlock", VAK_NATIVE_LOCKING, &msg) == VAK_OK) return true;
  Complain("cannot start the Edit Lock library: %s", MessageText(msg));
  FreeMessage(msg);
  return false;
}

const char *MessageText(const char *msg) {
  return msg != nullptr ? msg : "";
}

void FreeMessage(char *msg) {
  if (msg != vakGetOutOfMemMsg()) free(msg);
}
