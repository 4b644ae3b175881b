#ifndef TOLVAREN_SANDBOX_SETTINGS_FILE_H
#define TOLVAREN_SANDBOX_SETTINGS_FILE_H

// A file of "name=value" lines in the manner of sysctl.conf(5): '#' starts
// a comment, blank lines are ignored.  Both the simulated kernel and the
// stand-in companion program keep their state in one.

#include <string>
#include <vector>

using lines = std::vector<std::string>;

// The path of the file called name in the folder that
// TOLVAREN_SANDBOX_STATE names, or "" after a message from tool when the
// variable names no folder.
std::string state_file(const std::string &name, const char *tool);

// Reads the file; a file that does not exist reads as empty.  False, with
// errno set, when it cannot be read.
bool read_lines(const std::string &path, lines &out);

// Replaces the file by one holding the lines, through a temporary file in
// the same folder and a rename, so that no interruption leaves it half
// written.  False, with errno set, on failure.
bool write_lines(const std::string &path, const lines &in);

// The name a line sets, or "" for a comment or a blank line.
std::string name_of(const std::string &line);

// The value a line sets, without its comment and surrounding blanks.
std::string value_of(const std::string &line);

// Makes the file set name to value: the first line for name is replaced
// where it stands (keeping its comment), later ones for it are dropped,
// and a new line goes at the end.
void set_value(lines &file, const std::string &name, const std::string &value);

#endif
