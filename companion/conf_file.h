#ifndef TOLVAREN_CONF_FILE_H
#define TOLVAREN_CONF_FILE_H

// A boot-time settings file in the manner of sysctl.conf(5), edited as root
// safely: under a lock on its folder, and replaced whole, never written in
// place.  Every failure reports the file and the cause and ends the process
// with status 1, leaving the file as it was.

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

struct conf_file {
	std::string path;   // as given
	std::string folder; // the folder it stands in
	int folder_fd = -1; // open and locked by lock_conf_file
	bool exists = false;
	struct stat status {}; // of the file, when it exists
	std::string text;      // the whole file, byte for byte
};

// Locks the folder of path for this process, then reads the file.  A file
// that does not exist reads as empty; a symbolic link or anything but a
// regular file is refused without being opened for reading.
conf_file lock_conf_file(const char *path);

// Replaces the file by one holding text, with the old file's mode, owner
// and group (a new file gets mode 0644): a temporary file in the same
// folder is written, flushed to disk and renamed over the file, and the
// folder is flushed so that the rename lasts.
void replace_conf_file(const conf_file &file, std::string_view text);

// Where the value of the last line that sets name stands in text, the way
// FreeBSD reads the file at boot: a line sets name when its first word
// (after blanks and tabs, up to the next blank, tab or newline) begins
// with "name=".  The value is the rest of that word.
struct value_span {
	bool found = false;
	std::size_t begin = 0, end = 0;
};
value_span last_setting(std::string_view text, std::string_view name);

// The text with name set to value: the last line that sets it gets the new
// value in place, or "name=value" is appended as a line of its own.
std::string with_setting(std::string_view text, std::string_view name, std::string_view value);

#endif
