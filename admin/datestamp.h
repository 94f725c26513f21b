// datestamp.h - the program's version marker and sub-version text.
#ifndef VAK_ADMIN_DATESTAMP_H_
#define VAK_ADMIN_DATESTAMP_H_

extern "C" const char VersionIdent[];
extern "C" const char SubVersion[];

#endif  // VAK_ADMIN_DATESTAMP_H_
