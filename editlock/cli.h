// cli.h - what every editlock subcommand shares: the exit statuses (man/editlock.1 lists them),
// the usage and failure messages, and the start of the libraries.
#ifndef EDITLOCK_CLI_H_
#define EDITLOCK_CLI_H_

// editlock's own statuses lie outside the range commands usually use, since `hold` passes its
// command's status through; 126 and 127 follow the shell's convention for a command that could
// not be run or found.
enum ExitStatus {
  kExitOk = 0,
  kExitUsage = 64,     // a wrong option or operand
  kExitError = 70,     // the library or the system failed
  kExitConflict = 75,  // another live process holds the lock
  kExitTimeOut = 124,  // --wait ended and the lock is still held
  kExitCannotRun = 126,
  kExitNotFound = 127
};

// The subcommands; argv[0] is the subcommand's name.
int HoldMain(int argc, char **argv);
int ListMain(int argc, char **argv);
int ExplainMain(int argc, char **argv);
int ReapMain(int argc, char **argv);

// Prints "editlock: <message>" and the pointer to --help on standard error; returns kExitUsage.
int UsageError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints "editlock: <message>" on standard error.
void Complain(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints the full help text on standard output; returns kExitOk.
int PrintHelp();

// Handles a getopt_long result that is not one of the subcommand's options ('?' or ':'):
// prints the usage error and returns kExitUsage.
int BadOption(int result, char **argv);

// Starts the lock library (after main's orvInit) as the application "editlock"; false after
// printing why not. Subcommands start it once their arguments are known good.
bool StartLibrary();

// The text of a library message for printing ("" for none), and its release.
const char *MessageText(const char *msg);
void FreeMessage(char *msg);

#endif  // EDITLOCK_CLI_H_
