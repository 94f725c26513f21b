// run_flags.h - the run-wide flags of vakAdminTool, set by the shell and read by the handlers.
#ifndef VAK_ADMIN_RUN_FLAGS_H_
#define VAK_ADMIN_RUN_FLAGS_H_

extern int doEcho;    // 1: echo each non-empty interactive line before running it
extern int doPrompt;  // 1: prompt before each read; an empty line prints the help text
extern int doForce;   // 1: host names given to aple/apre are used as typed
extern int lastRtn;   // 1 while no command of the run has failed

#endif  // VAK_ADMIN_RUN_FLAGS_H_
