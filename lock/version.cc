// version.cc - the lock library's identification marker.
#include "vak.h"

// Found in the library file by identification tools (what(1)); no code reads it.
__attribute__((used)) static const char orvIdentString[] =
    "@(#)$ORV: VAK version 06.01 09/07/2006 03:05 (" ORV_BUILD_TAG ") $";
