// STUB: replaced by the handlers work.
#include "handlers.h"

void doSystem(const char *) {}
void doAle(const char *) {}
void doAPle(const char *, const char *, const char *, const char *) {}
void doAre(const char *) {}
void doAPre(const char *, const char *, const char *, const char *) {}
void doAsre(const char *) {}
