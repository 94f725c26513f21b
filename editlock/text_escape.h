// text_escape.h - texts from lock-stake files and file names made safe to print: on one line
// for people, and as JSON strings that keep every byte.
#ifndef EDITLOCK_TEXT_ESCAPE_H_
#define EDITLOCK_TEXT_ESCAPE_H_

#include <string>

// Appends text for a reader on a terminal: valid UTF-8 as it is; a backslash as "\\"; line breaks
// and tabs as "\n", "\r", "\t"; other control characters and bytes that are not valid UTF-8 as
// "\xHH". NULL appends "?".
void AppendDisplay(std::string *out, const char *text);

// Appends text as a quoted JSON string. Valid UTF-8 is kept, with the escapes JSON requires. A
// text that is not valid UTF-8 is written byte by byte instead: every byte from 0x80 up as
// "\u00XX", so that a reader who knows (from "bytes_escaped") gets each byte back as the code
// point of the same value. Returns whether the text was written that way. NULL appends null.
bool AppendJsonString(std::string *out, const char *text);

#endif  // EDITLOCK_TEXT_ESCAPE_H_
