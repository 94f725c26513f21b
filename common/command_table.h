// command_table.h - the command table of a stream installation, which maps a command to the
// executable that really runs it.
#ifndef ORV_COMMAND_TABLE_H_
#define ORV_COMMAND_TABLE_H_

namespace orv {

// Field 5 of the first line of the table file whose field 1 is the base name of name, as a new
// heap string; NULL when there is none.
char *RealPathFromCommandTable(const char *name, const char *table);

}  // namespace orv

#endif  // ORV_COMMAND_TABLE_H_
