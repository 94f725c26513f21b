// STUB: replaced by the shell work.
#include "shell.h"

#include <stdlib.h>

int doEcho = 0;
int doPrompt = 1;
int doForce = 0;
int lastRtn = 1;

int vakAdminInit(int, char **, char **) {
  return 0;
}
void processRequest(const char *) {}
void vakAdminMain(int, char **) {
  exit(0);
}
