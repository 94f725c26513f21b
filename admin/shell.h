// shell.h - the command shell of vakAdminTool: start-up, options, batch dispatch, the interactive
// loop and the command language.
#ifndef VAK_ADMIN_SHELL_H_
#define VAK_ADMIN_SHELL_H_

#include "run_flags.h"

// Starts the common library (records argv[0]) and the lock library.
int vakAdminInit(int argc, char **argv, char **errMsg);
// Runs one command line; the line is not changed. `exit` and `quit` end the process here.
void processRequest(const char *line);
// The program: never returns, every path ends with exit().
[[noreturn]] void vakAdminMain(int argc, char **argv);

#endif  // VAK_ADMIN_SHELL_H_
