// SPDX-License-Identifier: BSD-2-Clause
// A simulated FreeBSD sysctl(8) for the sound driver's variables, on the
// sandbox's simulated kernel (simulated_kernel.h) in the folder that
// TOLVAREN_SANDBOX_STATE names.  It is made for TOLVAREN_SANDBOX_RELEASE
// (13, 14 or 15) with TOLVAREN_SANDBOX_UNITS built-in units, followed by
// TOLVAREN_SANDBOX_USB_UNITS units that attach later (0 unless set), the
// first time it is used; sandbox/run sets them from the state folder.
//
//   sysctl NAME=VALUE ...   write, as FreeBSD's sysctl does
//   sysctl [-n] NAME ...    read (with -n, the value alone)
//   sysctl -a               list every variable
//   sysctl [-i] -f FILE     apply a sysctl.conf(5) file as boot does; with
//                           -i, names the kernel lacks are skipped
//   sysctl -A N | -D N      (the sandbox's own) attach or detach unit N
//   sysctl -C NAME | -R NAME
//                           (the sandbox's own) plug card NAME in at the
//                           lowest free unit, printing "pcmN" (and its
//                           second unit after a blank), or out
//   sysctl -L               (the sandbox's own) attach a unit that is no
//                           card at the lowest free number, printing "pcmN"
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "conf_file.h"
#include "conf_line.h"
#include "simulated_kernel.h"

namespace {

[[noreturn]] void usage()
{
	std::fprintf(stderr, "usage: sysctl [-in] name[=value] ...\n"
			     "       sysctl [-i] -f file\n       sysctl -a\n"
			     "       sysctl -A unit | -D unit | -C card | -R card | -L\n");
	std::exit(1);
}

// Applies each line of the file at path that sets a name, top to bottom;
// with ignore_unknown, a name the kernel lacks is skipped without a word.
// Lines that only name a variable change nothing and are not shown.
int apply_file(const sandbox &box, std::string &text, const char *path, bool ignore_unknown)
{
	const conf_file file = read_conf_file(path);
	if (!file.exists) {
		std::fprintf(stderr, "sysctl: %s: %s\n", path, std::strerror(ENOENT));
		return 1;
	}
	int status = 0;
	for (std::size_t at = 0; at < file.text.size();) {
		const conf_line line = read_conf_line(file.text, at);
		at = line.end;
		if (line.sets && !assign(box, text, kernel_name(line.name), std::string(line.value),
					 ignore_unknown))
			status = 1;
	}
	return status;
}

// What the command line asks for; the names to read or write follow
// optind.
struct request {
	long plug_unit = -1; // -A or -D
	bool plug_in = false;
	bool lowest_free = false; // -L
	bool all = false;
	bool ignore_unknown = false;
	bool values_only = false;   // -n
	const char *card = nullptr; // -C or -R
	const char *file = nullptr;
};

request request_from(int argc, char **argv)
{
	request asked;
	int ch;
	while ((ch = getopt(argc, argv, "A:C:D:LR:af:in")) != -1) {
		switch (ch) {
		case 'C':
		case 'R':
			asked.card = optarg;
			asked.plug_in = ch == 'C';
			break;
		case 'n':
			asked.values_only = true;
			break;
		case 'L':
			asked.lowest_free = true;
			asked.plug_in = true;
			break;
		case 'A':
		case 'D': {
			char *end = nullptr;
			asked.plug_unit = std::strtol(optarg, &end, 10);
			asked.plug_in = ch == 'A';
			if (*optarg < '0' || *optarg > '9' || *end != '\0' ||
			    asked.plug_unit >= most_units)
				usage();
			break;
		}
		case 'a':
			asked.all = true;
			break;
		case 'f':
			asked.file = optarg;
			break;
		case 'i':
			asked.ignore_unknown = true;
			break;
		default:
			usage();
		}
	}
	if ((asked.all || asked.file || asked.plug_unit >= 0 || asked.card || asked.lowest_free)
		    ? optind != argc
		    : optind == argc)
		usage();
	return asked;
}

// Reads or writes one NAME or NAME=VALUE of the command line; false when
// sysctl(8) fails for it.
bool read_or_write(const sandbox &box, std::string &text, const std::vector<usb_card> &cards,
		   const request &asked, const std::string &arg)
{
	const std::size_t eq = arg.find('=');
	const std::string name = kernel_name(arg.substr(0, eq));
	if (eq != std::string::npos)
		return assign(box, text, name, arg.substr(eq + 1), asked.ignore_unknown);
	if (lacks_direction(box, text, name, name))
		return false;
	if (const auto value = value_of(box, text, cards, name)) {
		if (asked.values_only)
			std::printf("%s\n", value->c_str());
		else
			std::printf("%s: %s\n", name.c_str(), value->c_str());
		return true;
	}
	if (!asked.ignore_unknown)
		std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
	return asked.ignore_unknown;
}

// Plugs in or out what -A, -D, -L, -C or -R asks for, saying where it
// attached; 1 when it could not be done, else 0.
int plugged_as_asked(const sandbox &box, std::string &text, std::vector<usb_card> &cards,
		     const request &asked)
{
	int status = 0;
	if (asked.plug_unit >= 0 && !plug(box, text, asked.plug_unit, asked.plug_in))
		status = 1;
	if (asked.lowest_free) {
		const long unit = lowest_free_unit(text);
		if (unit == most_units || !plug(box, text, unit, true))
			status = 1;
		else
			std::printf("pcm%ld\n", unit);
	}
	if (!asked.card)
		return status;
	const long unit = plug_card(box, text, cards, asked.card, asked.plug_in);
	if (unit < 0)
		return 1;
	for (const usb_card &c : cards) {
		if (c.name != asked.card || !asked.plug_in)
			continue;
		if (c.second_unit >= 0)
			std::printf("pcm%ld pcm%ld\n", unit, c.second_unit);
		else
			std::printf("pcm%ld\n", unit);
	}
	return status;
}

} // namespace

int main(int argc, char *argv[])
{
	const char *state = std::getenv("TOLVAREN_SANDBOX_STATE");
	if (!state || !*state) {
		std::fprintf(stderr, "sandbox: TOLVAREN_SANDBOX_STATE names no folder\n");
		return 2;
	}
	const long units = number_from("TOLVAREN_SANDBOX_UNITS", 0, most_units);
	const long late_units =
		std::getenv("TOLVAREN_SANDBOX_USB_UNITS")
			? number_from("TOLVAREN_SANDBOX_USB_UNITS", 0, most_units - units)
			: 0;
	const sandbox box{static_cast<int>(number_from("TOLVAREN_SANDBOX_RELEASE", 13, 15)),
			  units + late_units, std::string(state) + "/kernel", playback_only_units(),
			  state};

	const request asked = request_from(argc, argv);
	// Every call holds the lock from its read to its write, so that runs
	// at the same time take turns and lose nothing.
	const conf_lock lock = lock_conf_folder(box.kernel_path.c_str());
	const conf_file file = read_conf_file(box.kernel_path);
	std::string text = file.exists ? file.text : defaults(box);
	const auto current = variables_in(box, text);
	const conf_file plugged = read_conf_file(box.folder + "/plugged");
	std::vector<usb_card> cards = cards_of(box, plugged.text);

	if (asked.all) {
		for (const auto &[name, value] : current)
			std::printf("%s: %s\n", name.c_str(), value.c_str());
		std::fflush(stdout);
		// A kernel read for the first time is made, as it boots.
		if (!file.exists && !replace_conf_file(lock, file, text))
			corrupt(box, "it was changed by another program");
		return 0;
	}
	int status = plugged_as_asked(box, text, cards, asked);
	if (asked.file)
		status = apply_file(box, text, asked.file, asked.ignore_unknown);
	for (int i = optind; i < argc; ++i)
		if (!read_or_write(box, text, cards, asked, argv[i]))
			status = 1;
	std::fflush(stdout);
	// A read, or writes that all were refused, leave the state as it was.
	if ((!file.exists || text != file.text) && !replace_conf_file(lock, file, text))
		corrupt(box, "it was changed by another program");
	const std::string now_plugged = plugged_text(cards);
	if (now_plugged != plugged.text && !replace_conf_file(lock, plugged, now_plugged))
		corrupt(box, "plugged was changed by another program");
	return status;
}
