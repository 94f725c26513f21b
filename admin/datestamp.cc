// datestamp.cc - the program's version marker, printed by -version and found by what(1).
#include "datestamp.h"

extern __attribute__((visibility("default"), used)) const char VersionIdent[] =
    "@(#)$ORV: version 06.01 09/07/2006 03:05 (" ORV_BUILD_TAG ") $";
extern __attribute__((used)) const char SubVersion[] = "sub-version R&D PRIVATE";
