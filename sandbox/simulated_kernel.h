// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_SIMULATED_KERNEL_H
#define TOLVAREN_SIMULATED_KERNEL_H

// The simulated FreeBSD kernel of the sandbox: the sound driver's
// variables, its units and the USB cards behind some of them.  The kernel
// is the file "kernel" in the state folder, one "name=value" line a
// variable, made with FreeBSD's defaults for the release the first time it
// is used.  The cards that the sandbox knows are the file "cards" there,
// "NAME VENDOR PRODUCT SERIAL", and "2" after it for a card that makes two
// pcm units, a line; those plugged in are "plugged", "NAME UNIT UAUDIO"
// and the second unit where there is one, a line, in the order they
// attached.
//
// As on FreeBSD 13 and 14, writing hw.snd.maxautovchans lowers every
// attached unit's vchans above the new value to it, and raises 0 to 1
// when the value is above 0; as on 15, writing hw.snd.vchans_enable turns
// them all off or on.  Units that the sandbox lists as playback-only have
// no recording channel.  The default unit moves when units attach and
// detach, as hw.snd.default_auto says.  A unit takes the lowest free
// number, and a card the lowest free uaudio number, when it attaches.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sandbox {
	int release;
	long units; // attached when the kernel is made
	std::string kernel_path;
	std::uint64_t playback_only; // a bit for each unit without recording
	std::string folder;          // the state folder
};

constexpr long most_units = 64;

// A USB card that the sandbox knows, and where it is while plugged in: it
// makes one pcm unit, or two.
struct usb_card {
	std::string name, vendor, product, serial;
	long units = 1;
	long unit = -1, uaudio = -1;
	long second_unit = -1;
};

[[noreturn]] void corrupt(const sandbox &box, const std::string &what);

// The number in the environment variable, from min to max; else a line
// and status 2.
long number_from(const char *variable_name, long min, long max);

// The units that TOLVAREN_SANDBOX_PLAYBACK_ONLY lists, as bits.
std::uint64_t playback_only_units();

// The name as the kernel looks it up: one trailing dot is taken.
std::string kernel_name(std::string_view name);

// A new kernel: the release's defaults, with box.units attached.
std::string defaults(const sandbox &box);

// The variables of the kernel as name and value, in order; corrupt state
// ends the run.
std::vector<std::pair<std::string, std::string>> variables_in(const sandbox &box,
							      const std::string &text);

// The value of the kernel's variable name, or what a device node (a
// unit's %parent and %desc, a card's %pnpinfo) shows; nothing when the
// kernel has no such name.
std::optional<std::string> value_of(const sandbox &box, const std::string &text,
				    const std::vector<usb_card> &cards, const std::string &name);

// True, said as sysctl says it for shown, when name is the recording
// vchans of an attached unit that has no recording channel.
bool lacks_direction(const sandbox &box, const std::string &text, const std::string &name,
		     const std::string &shown);

// Writes one assignment into text; true when the kernel took it, or when
// the kernel lacks the name and ignore_unknown says to skip it silently.
// Says what sysctl(8) says.
bool assign(const sandbox &box, std::string &text, const std::string &name,
	    const std::string &value_text, bool ignore_unknown);

// Plugs unit in with the release's defaults for its own variables, or
// out, and moves the default unit as the kernel does; false, said as a
// line, when it is attached already or is not.
bool plug(const sandbox &box, std::string &text, long unit, bool in);

// The cards of the state folder, with where those plugged in are.
std::vector<usb_card> cards_of(const sandbox &box, const std::string &plugged);

// The plugged file for the cards.
std::string plugged_text(const std::vector<usb_card> &cards);

// The lowest unit number that no attached unit has; most_units when all
// are taken.
long lowest_free_unit(const std::string &text);

// Plugs the card in, each of its units at the lowest free number, or out;
// its first unit, or -1, said as a line, when it is unknown, plugged in
// already or is not.
long plug_card(const sandbox &box, std::string &text, std::vector<usb_card> &cards,
	       const std::string &name, bool in);

#endif
