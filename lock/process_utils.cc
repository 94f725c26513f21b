// process_utils.cc - small process utilities of the lock library: a stream close with a status,
// and signal dispositions.
#include <signal.h>
#include <stdio.h>

#include "init.h"
#include "status.h"

int vakFclose(FILE *stream, char **errMsg) {
  if (fclose(stream) != 0) return vak::StrErrorMsg(VAK_SYS_ERROR, errMsg);
  return VAK_OK;
}

VakSignalHandler vak::Signal(int signum, VakSignalHandler handler) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // An alarm must interrupt a blocking call rather than let it resume, so that it can time it out.
  action.sa_flags = signum == SIGALRM ? 0 : SA_RESTART;
  if (sigaction(signum, &action, &previous) != 0) return SIG_ERR;
  return previous.sa_handler;
}
