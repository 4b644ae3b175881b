// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_CONF_LINE_H
#define TOLVAREN_CONF_LINE_H

// The lines of a sysctl.conf(5) file as FreeBSD's "sysctl -f" reads them at
// boot: the one parser of the companion and of the sandbox's simulated
// sysctl, so that what is edited is what boot applies.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// sysctl reads the file with fgets into a 1024-byte buffer: a longer line
// comes as several pieces, each read as a line of its own.
constexpr std::size_t conf_piece_max = 1023;

struct conf_line {
	std::size_t begin = 0, end = 0; // the piece in the text, its newline included
	bool sets = false;              // it has a name and a delimiter
	std::string_view name;          // trailing blanks trimmed
	std::string_view value;         // as applied: a leading quote and its match dropped
	// The value as it stands, quotes included, up to the comment or the
	// trailing blanks: the span an edit replaces.
	std::size_t value_begin = 0, value_end = 0;
};

// The piece of text that starts at offset at (below text.size()), parsed.
conf_line read_conf_line(std::string_view text, std::size_t at);

// The variable that a line naming line_name sets: the kernel's lookup
// takes one trailing dot, so "hw.snd.latency." is "hw.snd.latency".
std::string_view variable_of(std::string_view line_name);

// True when a line that names line_name sets the variable name.
bool same_variable(std::string_view line_name, std::string_view name);

// The piece without its newline, when it is a whole line of text that
// has one: it can go without changing how the lines after it are cut into
// pieces.
std::optional<std::string_view> whole_line(std::string_view text, const conf_line &line);

// The last line of text that sets name, whatever its value; .sets is
// false when none does.
conf_line last_setting(std::string_view text, std::string_view name);

// The text with the value of line, which sets name, replaced by value; or,
// when line sets nothing, with "name=value" appended as a line of its own.
std::string with_setting(std::string_view text, const conf_line &line, std::string_view name,
			 std::string_view value);

#endif
