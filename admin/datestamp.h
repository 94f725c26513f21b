// datestamp.h - the program's version marker and sub-version text.
#ifndef VAK_ADMIN_DATESTAMP_H_
#define VAK_ADMIN_DATESTAMP_H_

// Plain C++ declarations: no C code refers to them, and a variable at global scope keeps its
// unmangled name, which is what identification tools find in the symbol table.
extern const char VersionIdent[];
extern const char SubVersion[];

#endif  // VAK_ADMIN_DATESTAMP_H_
