// run_command.h - runs hold's command as a child and passes the operator's signals on to it.
#ifndef EDITLOCK_RUN_COMMAND_H_
#define EDITLOCK_RUN_COMMAND_H_

// Runs argv (found along PATH, not through a shell) and waits for it, passing SIGINT, SIGTERM and
// SIGHUP on. Returns its exit status, 128+N when signal N ended it, kExitCannotRun or
// kExitNotFound when it could not be started, kExitError when the system failed.
int RunCommand(char *const argv[]);

#endif  // EDITLOCK_RUN_COMMAND_H_
