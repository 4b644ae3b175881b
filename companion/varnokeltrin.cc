// SPDX-License-Identifier: BSD-2-Clause
// Records one accepted sound setting in /etc/sysctl.conf, so that FreeBSD
// applies it again at boot:
//
//   varnokeltrin [-f file] name=value
//
// Boot applies the file and then file.local, and the last line across the
// two that sets a name wins.  That line gets the new value in place; with
// none, the assignment is appended.  Every other byte of both files is
// kept.  Only the sound driver's settings that tolvaren_backend writes are
// accepted.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <new>
#include <string>
#include <string_view>
#include <unistd.h>

#include "conf_file.h"
#include "conf_line.h"

namespace {

constexpr const char *default_file = "/etc/sysctl.conf";

// As for tolvaren_backend: glibc's getopt would otherwise look past the
// operand for more options.
#ifdef __GLIBC__
constexpr const char *options = "+f:";
#else
constexpr const char *options = "f:";
#endif

constexpr std::string_view usage = "usage: varnokeltrin [-f file] name=value\n";

constexpr std::array<std::string_view, 6> global_names{
	"hw.snd.vpc_0db", "hw.snd.vpc_mixer_bypass",    "hw.snd.default_unit",
	"hw.snd.latency", "hw.snd.feeder_rate_quality", "hw.snd.maxautovchans",
};
constexpr std::string_view device_prefix = "dev.pcm.";
constexpr std::array<std::string_view, 2> device_suffixes{".play.vchans", ".rec.vchans"};

[[noreturn]] void print_usage()
{
	ssize_t written = write(STDERR_FILENO, usage.data(), usage.size());
	static_cast<void>(written);
	std::exit(1);
}

// True when text is a 32-bit integer written as %d writes it: an optional
// minus, then digits without a leading zero.
bool is_decimal_int(std::string_view text)
{
	std::string_view digits = text.substr(text.starts_with('-') ? 1 : 0);
	if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || text != "0")))
		return false;
	if (digits.find_first_not_of("0123456789") != std::string_view::npos)
		return false;
	int value = 0;
	auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
	return error == std::errc{} && end == text.data() + text.size();
}

bool is_sound_setting(std::string_view name)
{
	if (std::find(global_names.begin(), global_names.end(), name) != global_names.end())
		return true;
	if (!name.starts_with(device_prefix))
		return false;
	std::string_view rest = name.substr(device_prefix.size());
	return std::any_of(device_suffixes.begin(), device_suffixes.end(), [&](auto suffix) {
		return rest.ends_with(suffix) &&
		       is_decimal_int(rest.substr(0, rest.size() - suffix.size()));
	});
}

// The argument as one printable line for a message: every byte that is not
// printable ASCII, and the backslash, as a backslash and three octal digits.
std::string visible(std::string_view text)
{
	std::string out;
	for (char c : text) {
		auto byte = static_cast<unsigned char>(c);
		std::array<char, 5> octal{};
		bool plain = byte >= 0x20 && byte < 0x7f && byte != '\\';
		std::snprintf(octal.data(), octal.size(), "\\%03o", byte);
		out += plain ? std::string(1, c) : std::string(octal.data());
	}
	return out;
}

[[noreturn]] void out_of_memory()
{
	errx(1, "out of memory; nothing was changed");
}

// The lines that set a name other than skip, across the files in the order
// that boot reads them.
struct boot_order {
	std::array<std::string_view, 2> files;
	std::string_view skip;
	std::size_t file = 0, at = 0;

	bool next(conf_line &line)
	{
		for (; file < files.size(); ++file, at = 0) {
			while (at < files[file].size()) {
				line = read_conf_line(files[file], at);
				at = line.end;
				if (line.sets && line.name != skip)
					return true;
			}
		}
		return false;
	}
};

// The line that boot applies last for name, and the file that holds it:
// the one with ".local" when a line there sets the name, else the file.
struct boot_winner {
	std::size_t file;
	conf_line line;
};

boot_winner last_in_boot(const std::array<std::string_view, 2> &files, std::string_view name)
{
	const conf_line local = last_setting(files[1], name);
	return local.sets ? boot_winner{1, local} : boot_winner{0, last_setting(files[0], name)};
}

// A change of the two files: their text before and after it, and the
// setting it is to record.
struct change {
	std::array<std::string_view, 2> before, after;
	std::string_view name, value;
};

// True when boot, reading the files after the change, ends with the name
// set to the value and sets every other name as it does reading them
// before.
bool boot_applies(const change &c)
{
	boot_order old_lines{c.before, c.name};
	boot_order new_lines{c.after, c.name};
	conf_line old_line;
	conf_line new_line;
	for (;;) {
		const bool more = old_lines.next(old_line);
		if (more != new_lines.next(new_line))
			return false;
		if (!more)
			break;
		if (old_line.name != new_line.name || old_line.value != new_line.value)
			return false;
	}
	const conf_line last = last_in_boot(c.after, c.name).line;
	return last.sets && last.value == c.value;
}

} // namespace

int main(int argc, char *argv[])
{
	std::set_new_handler(out_of_memory);
	const char *path = default_file;
	int ch;
	while ((ch = getopt(argc, argv, options)) != -1) {
		switch (ch) {
		case 'f':
			path = optarg;
			break;
		default:
			print_usage();
		}
	}
	if (argc - optind != 1)
		print_usage();

	const std::string_view assignment = argv[optind];
	const std::size_t eq = assignment.find('=');
	if (eq == std::string_view::npos)
		errx(1, "%s: not name=value", visible(assignment).c_str());
	const std::string_view name = assignment.substr(0, eq);
	const std::string_view value = assignment.substr(eq + 1);
	if (!is_sound_setting(name))
		errx(1, "%s: not a sound setting that it records", visible(assignment).c_str());
	if (!is_decimal_int(value))
		errx(1, "%s: the value is not a decimal 32-bit integer",
		     visible(assignment).c_str());

	// Boot reads the file, then the same name with ".local", under one lock.
	const conf_lock lock = lock_conf_folder(path);
	const std::array<conf_file, 2> files{read_conf_file(path),
					     read_conf_file(std::string(path) + ".local")};
	const std::array<std::string_view, 2> texts{files[0].text, files[1].text};
	const boot_winner found = last_in_boot(texts, name);
	const std::size_t winner = found.file;
	const conf_line &line = found.line;
	const std::string_view text = texts[winner];
	if (line.sets && text.substr(line.value_begin, line.value_end - line.value_begin) == value)
		return 0;

	// The value is edited in place where that keeps every other line as
	// boot reads it, which a longer or shorter value can fail to do on a
	// line of more than one piece; else the assignment is appended.
	change c{texts, texts, name, value};
	std::string edited = with_setting(text, line, name, value);
	c.after[winner] = edited;
	if (!boot_applies(c)) {
		std::string().swap(edited);
		edited = with_setting(text, conf_line{}, name, value);
		c.after[winner] = edited;
	}
	if (!boot_applies(c))
		errx(1, "%s: cannot record %s so that boot applies it; nothing was changed",
		     files[winner].path.c_str(), visible(assignment).c_str());
	replace_conf_file(lock, files[winner], edited);
	return 0;
}
