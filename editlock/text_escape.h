// text_escape.h - texts from lock-stake files and file names made safe to print: on one line
// for people, and as JSON strings that keep every byte.
#ifndef EDITLOCK_TEXT_ESCAPE_H_
#define EDITLOCK_TEXT_ESCAPE_H_

#include <string>

// Appends text for a reader on a terminal: valid UTF-8 as it is; a backslash as "\\"; line breaks
// and tabs as "\n", "\r", "\t"; other control characters and bytes that are not valid UTF-8 as
// "\xHH". NULL appends "?".
void AppendDisplay(std::string *out, const char *text);

// text as valid UTF-8 for a JSON string, never losing a byte. Valid UTF-8 is returned as it is.
// A text that is not valid UTF-8 is converted byte by byte instead, and *bytewise set: every byte
// from 0x80 up becomes the code point of the same value (U+0080 to U+00FF), so that a reader who
// knows (from "bytes_escaped") gets each byte back from each character. text is not NULL.
std::string JsonText(const char *text, bool *bytewise);

#endif  // EDITLOCK_TEXT_ESCAPE_H_
