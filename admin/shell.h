// shell.h - the command shell of vakAdminTool: start-up, options, batch dispatch, the interactive
// loop and the command language.
#ifndef VAK_ADMIN_SHELL_H_
#define VAK_ADMIN_SHELL_H_

// Run-wide flags.
extern int doEcho;    // 1: echo each non-empty interactive line before running it
extern int doPrompt;  // 1: prompt before each read; an empty line prints the help text
extern int doForce;   // 1: host names given to aple/apre are used as typed
extern int lastRtn;   // 1 while no command of the run has failed

// Starts the common library (records argv[0]) and the lock library.
int vakAdminInit(int argc, char **argv, char **errMsg);
// Runs one command line; the line is not changed. `exit` and `quit` end the process here.
void processRequest(const char *line);
// The program: never returns, every path ends with exit().
[[noreturn]] void vakAdminMain(int argc, char **argv);

#endif  // VAK_ADMIN_SHELL_H_
