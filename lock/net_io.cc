// STUB: replaced by the framed I/O work.
#include "net_io.h"

int vakNetWrite(int, const char *) { return 0; }
int vakNetRead(int, char **) { return 0; }
int vakNetReadEx(int, char **, int) { return 0; }
int vakNetIsDataReady(int, int) { return 0; }
ssize_t vakRead(int, void *, size_t) { return -1; }
ssize_t vakWrite(int, const void *, size_t) { return -1; }
int vakClose(int) { return -1; }
