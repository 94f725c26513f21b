// version.h - the "-version" handling behind orviPrintVersion and orvProcMinusVersionArg.
#ifndef ORV_VERSION_H_
#define ORV_VERSION_H_

namespace orv {

// Prints "TOOL:\t<second word>\t<third word>" of the marker text.
void PrintVersion(const char *versionText);
// Prints the marker and exits with 0 when an argument is "-version".
void ProcMinusVersionArg(int argc, char **argv, const char *versionText);

}  // namespace orv

#endif  // ORV_VERSION_H_
