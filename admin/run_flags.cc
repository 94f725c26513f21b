// run_flags.cc - the run-wide flags of vakAdminTool.
#include "run_flags.h"

int doEcho = 0;
int doPrompt = 1;
int doForce = 0;
int lastRtn = 1;
