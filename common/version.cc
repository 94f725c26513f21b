// STUB: replaced by the version work.
#include "orv.h"

extern "C" {
void orviPrintVersion(const char *) {}
void orvProcMinusVersionArg(int, char **, const char *) {}
}
