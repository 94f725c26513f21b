// main.cc - editlock's entry point: the global options and the choice of subcommand.
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include "cli.h"
#include "orv.h"

int main(int argc, char **argv) {
  orvInit(&argc, argv);  // the install root, from the program's own path, for the daemon
  static const struct option kOptions[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
  opterr = 0;
  int c;
  // '+': the options stop at the subcommand, whose own options are its own to read.
  while ((c = getopt_long(argc, argv, "+:hV", kOptions, nullptr)) != -1) {
    if (c == 'h') return PrintHelp();
    if (c == 'V') {
      printf("editlock (Edit Lock) %s\n", EDITLOCK_VERSION);
      return kExitOk;
    }
    return BadOption(c, argv);
  }
  if (optind >= argc) return UsageError("missing subcommand (hold, list, explain or reap)");
  const char *sub = argv[optind];
  // Each subcommand scans its own arguments from the start, with its name as argv[0].
  argc -= optind;
  argv += optind;
  optind = 0;
  int (*run)(int, char **) = strcmp(sub, "hold") == 0      ? HoldMain
                             : strcmp(sub, "list") == 0    ? ListMain
                             : strcmp(sub, "explain") == 0 ? ExplainMain
                             : strcmp(sub, "reap") == 0    ? ReapMain
                                                           : nullptr;
  if (run == nullptr) return UsageError("unknown subcommand '%s'", sub);
  return run(argc, argv);
}
