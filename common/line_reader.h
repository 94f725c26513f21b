// line_reader.h - reading text lines that may end in CR LF (orv_fgets and orvNtToUnixLine).
#ifndef ORV_LINE_READER_H_
#define ORV_LINE_READER_H_

#include <stdio.h>

namespace orv {

// fgets that turns a CR LF line end into LF.
char *Fgets(char *buf, int size, FILE *stream);
// Turns a final CR LF of text into LF.
void NtToUnixLine(char *text);
// Reads one whole line into buf; a line longer than the buffer is consumed and skipped. False at
// the end of the file.
bool ReadWholeLine(FILE *f, char *buf, int size);

}  // namespace orv

#endif  // ORV_LINE_READER_H_
