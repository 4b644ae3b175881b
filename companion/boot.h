// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_BOOT_H
#define TOLVAREN_BOOT_H

// What FreeBSD's boot makes of sysctl.conf and sysctl.conf.local: the order
// in which their lines apply, the numbers sysctl(8) reads from them, and
// the one coupling of the sound driver's variables, between the kernel's
// global vchans switch and every unit's vchans.  The companion uses it to
// find the line that boot applies last, to give a unit that attaches what
// boot would, and to keep the coupled lines few without changing what boot
// gives.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "conf_line.h"
#include "own_line.h"

// The two files in the order boot reads them: the file, then file.local.
using conf_texts = std::array<std::string_view, 2>;

// The number that sysctl(8) writes for a line's value: the value is cut at
// blanks and commas, each piece must be a whole integer as strtol reads it
// with base 0 within a long, and the first one counts, cut to its low 32
// bits.  Nothing when the line writes nothing (no piece, or a piece that is
// not an integer).
std::optional<int> sysctl_number(std::string_view value);

// The global switch that couples every unit's vchans: writing it lowers
// them (13 and 14) or turns them on or off (15).  A kernel has one of the
// two names, and a line naming the other sets nothing there; with none,
// nothing couples.
enum class vchans_switch { none, maxautovchans, vchans_enable };

// The switch's variable; empty for none.
std::string_view name_of(vchans_switch kind);

// The number of the last line that sysctl(8) writes for name, whatever the
// kernel then makes of it; nothing when no line does.
std::optional<int> boot_number(const conf_texts &files, std::string_view name);

// The vchans that the variable name (a unit's vchans) has after the lines
// of the files apply in turn to a unit that starts with start: its own
// lines set it, and lines of the switch lower it or turn it on and off.
int replay_vchans(const conf_texts &files, std::string_view name, vchans_switch kind, int start);

// How the files change to record name=value, a setting that the kernel
// took: the one file that changes and its new text, so that boot replays
// the kernel's state; nothing when boot gives that already.  A setting of
// the coupled kinds is appended after every coupled line, or edited in
// place where that boots alike, and lines that boot no longer needs go.
// running_switch is asked for the kernel's switch only when the files
// alone do not tell which rules boot follows.  A line that the companion
// writes or writes whole ends in comment (a card's, or empty).  .possible
// is false when no edit makes boot apply the value.
struct recording {
	std::size_t file;
	std::string text;
	bool possible = true;
};
std::optional<recording> recording_for(const conf_texts &texts, std::string_view name,
				       std::string_view value, std::string_view comment,
				       vchans_switch (*running_switch)());

#endif
