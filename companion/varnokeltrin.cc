// SPDX-License-Identifier: BSD-2-Clause
// Records one accepted sound setting in /etc/sysctl.conf, so that FreeBSD
// applies it again at boot, and gives a sound card that attaches after
// boot what boot would have given it:
//
//   varnokeltrin [-f file] name=value
//   varnokeltrin [-f file] -a pcmN
//
// Boot applies the file and then file.local, and the last line across the
// two that sets a name wins.  That line gets the new value in place; with
// none, the assignment is appended.  hw.snd.maxautovchans lowers the
// units' vchans when it is written, so where lines of both kinds stand the
// assignment is appended after every line instead, and boot replays the
// kernel's own history.  Every other byte of both files is kept.  Only the
// sound driver's settings that tolvaren_backend writes are accepted.
#include <sys/types.h>
#include <sys/wait.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <new>
#include <optional>
#include <spawn.h>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>

#include "conf_file.h"
#include "conf_line.h"

namespace {

constexpr const char *default_file = "/etc/sysctl.conf";

// As for tolvaren_backend: glibc's getopt would otherwise look past the
// operand for more options.
#ifdef __GLIBC__
constexpr const char *options = "+a:f:";
#else
constexpr const char *options = "a:f:";
#endif

constexpr std::string_view usage = "usage: varnokeltrin [-f file] name=value\n"
				   "       varnokeltrin [-f file] -a pcmN\n";

#ifndef SYSCTL_PATH
#define SYSCTL_PATH "/sbin/sysctl"
#endif
// The commands of -a run with this environment alone, whatever devd or the
// caller had.
constexpr std::array<const char *, 2> command_environment{"PATH=/sbin:/bin:/usr/sbin:/usr/bin",
							  nullptr};

constexpr std::string_view autovchans = "hw.snd.maxautovchans";
constexpr std::string_view default_unit = "hw.snd.default_unit";

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

// dev.pcm.N.play.vchans or dev.pcm.N.rec.vchans.
bool is_unit_vchans(std::string_view name)
{
	if (!name.starts_with(device_prefix))
		return false;
	std::string_view rest = name.substr(device_prefix.size());
	return std::any_of(device_suffixes.begin(), device_suffixes.end(), [&](auto suffix) {
		return rest.ends_with(suffix) &&
		       is_decimal_int(rest.substr(0, rest.size() - suffix.size()));
	});
}

bool is_sound_setting(std::string_view name)
{
	return std::find(global_names.begin(), global_names.end(), name) != global_names.end() ||
	       is_unit_vchans(name);
}

// The variables that the kernel couples: writing maxautovchans lowers (or
// raises from 0) every unit's vchans, so the order of their lines counts.
enum class coupling { none, autovchans, vchans };

coupling coupling_of(std::string_view line_name)
{
	const std::string_view name = variable_of(line_name);
	if (name == autovchans)
		return coupling::autovchans;
	return is_unit_vchans(name) ? coupling::vchans : coupling::none;
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

// The lines that set a variable, across the files in the order that boot
// reads them.
struct boot_order {
	std::array<std::string_view, 2> files;
	std::size_t file = 0, at = 0;

	bool next(conf_line &line)
	{
		for (; file < files.size(); ++file, at = 0) {
			while (at < files[file].size()) {
				line = read_conf_line(files[file], at);
				at = line.end;
				if (line.sets)
					return true;
			}
		}
		return false;
	}

	// The next line that sets a variable other than skip.
	bool next_other(conf_line &line, std::string_view skip)
	{
		while (next(line))
			if (!same_variable(line.name, skip))
				return true;
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
	boot_order old_lines{c.before};
	boot_order new_lines{c.after};
	conf_line old_line;
	conf_line new_line;
	for (;;) {
		const bool more = old_lines.next_other(old_line, c.name);
		if (more != new_lines.next_other(new_line, c.name))
			return false;
		if (!more)
			break;
		if (old_line.name != new_line.name || old_line.value != new_line.value)
			return false;
	}
	const conf_line last = last_in_boot(c.after, c.name).line;
	return last.sets && last.value == c.value;
}

// The lines of the two coupled kinds as boot reads them, for a setting of
// one kind.
struct coupled_lines {
	bool other_kind = false;                   // a line sets a variable of the other kind
	bool in_local = false;                     // file.local holds a line of either kind
	std::size_t last_file = 0, last_begin = 0; // the last line of either kind
};

coupled_lines coupled_lines_of(const std::array<std::string_view, 2> &files, coupling kind)
{
	coupled_lines found;
	boot_order order{files};
	conf_line line;
	while (order.next(line)) {
		const coupling of_line = coupling_of(line.name);
		if (of_line == coupling::none)
			continue;
		found.other_kind = found.other_kind || of_line != kind;
		found.in_local = found.in_local || order.file == 1;
		found.last_file = order.file;
		found.last_begin = line.begin;
	}
	return found;
}

// The value of a line as sysctl(8) reads an integer: strtol with base 0,
// filling the whole value, within an int.  Nothing when it is not one.
std::optional<long> integer_of(std::string_view value)
{
	std::array<char, conf_piece_max + 1> text{};
	if (value.empty() || value.size() > conf_piece_max)
		return std::nullopt;
	std::copy(value.begin(), value.end(), text.begin());
	char *end = nullptr;
	errno = 0;
	const long n = std::strtol(text.data(), &end, 0);
	if (*end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX)
		return std::nullopt;
	return n;
}

// What the kernel makes of a vchans count or a maxautovchans value.
long vchans_clamped(long n)
{
	return std::clamp(n, 0L, 256L);
}

// The vchans that boot leaves name with: the value of its last line that
// applies, then, where the kernel couples them, each later maxautovchans
// line, which lowers it to that value or raises it from 0 to 1.  Nothing
// when no line sets it.
std::optional<long> boot_vchans(const std::array<std::string_view, 2> &files, std::string_view name,
				bool kernel_couples)
{
	std::optional<long> vchans;
	boot_order order{files};
	conf_line line;
	while (order.next(line)) {
		const std::optional<long> value = integer_of(line.value);
		if (!value)
			continue;
		if (same_variable(line.name, name)) {
			vchans = vchans_clamped(*value);
		} else if (vchans && kernel_couples && same_variable(line.name, autovchans)) {
			const long most = vchans_clamped(*value);
			vchans = *vchans > most ? most : *vchans == 0 && most > 0 ? 1 : *vchans;
		}
	}
	return vchans;
}

// The value of the last line that applies to name; nothing when none does.
std::optional<long> boot_value(const std::array<std::string_view, 2> &files, std::string_view name)
{
	std::optional<long> last;
	boot_order order{files};
	conf_line line;
	while (order.next(line))
		if (same_variable(line.name, name))
			if (const std::optional<long> value = integer_of(line.value))
				last = value;
	return last;
}

// Runs the kernel-variable tool with the one argument, without a shell and
// with the fixed environment; its output is discarded when quiet.  The wait
// status, or -1 with errno when it could not be run.
int run_sysctl(const std::string &argument, bool quiet)
{
	posix_spawn_file_actions_t actions{};
	if (posix_spawn_file_actions_init(&actions) != 0)
		return -1;
	if (quiet)
		for (int fd : {STDOUT_FILENO, STDERR_FILENO})
			posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
	std::array<char *, 3> argv{const_cast<char *>(SYSCTL_PATH),
				   const_cast<char *>(argument.c_str()), nullptr};
	pid_t pid = -1;
	const int error = posix_spawn(&pid, SYSCTL_PATH, &actions, nullptr, argv.data(),
				      const_cast<char *const *>(command_environment.data()));
	posix_spawn_file_actions_destroy(&actions);
	if (error != 0) {
		errno = error;
		return -1;
	}
	int status = 0;
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return -1;
	return status;
}

// True when the running kernel couples maxautovchans to the vchans: it has
// the variable (FreeBSD 13 and 14; 15 has none).
bool kernel_couples_vchans()
{
#if defined(__FreeBSD__)
	std::size_t size = 0;
	return sysctlbyname(autovchans.data(), nullptr, &size, nullptr, 0) == 0 || errno != ENOENT;
#else
	// Elsewhere the kernel is the sandbox's simulated one, which its
	// sysctl answers for.
	return run_sysctl(std::string(autovchans), true) == 0;
#endif
}

// Writes one assignment into the kernel; false, said in one line, when
// that failed.
bool write_to_kernel(const std::string &assignment)
{
	const int status = run_sysctl(assignment, false);
	if (status == 0)
		return true;
	if (status == -1)
		warn("cannot run %s %s", SYSCTL_PATH, assignment.c_str());
	else if (WIFEXITED(status))
		warnx("%s %s exited with status %d", SYSCTL_PATH, assignment.c_str(),
		      WEXITSTATUS(status));
	else
		warnx("%s %s was ended by signal %d", SYSCTL_PATH, assignment.c_str(),
		      WTERMSIG(status));
	return false;
}

// The unit of a device name "pcmN"; nothing for any other text.
std::optional<int> unit_of(std::string_view device)
{
	if (!device.starts_with("pcm"))
		return std::nullopt;
	device.remove_prefix(3);
	int unit = -1;
	if (!is_decimal_int(device) || device.starts_with('-'))
		return std::nullopt;
	std::from_chars(device.data(), device.data() + device.size(), unit);
	return unit;
}

// Gives a unit that has just attached what boot would give it: its vchans
// and, where boot makes it the default unit, hw.snd.default_unit.  Every
// other variable is left alone, and no file changes.
int give_attached_unit(const char *path, int unit)
{
	// Held until the end, so that no record is made while the unit's
	// values are written.
	const conf_lock lock = lock_conf_folder(path);
	const std::array<conf_file, 2> files{read_conf_file(path),
					     read_conf_file(std::string(path) + ".local")};
	const std::array<std::string_view, 2> texts{files[0].text, files[1].text};
	const bool couples = kernel_couples_vchans();
	std::vector<std::string> assignments;
	for (std::string_view suffix : device_suffixes) {
		const std::string name =
			std::string(device_prefix) + std::to_string(unit) + std::string(suffix);
		if (const std::optional<long> vchans = boot_vchans(texts, name, couples))
			assignments.push_back(name + "=" + std::to_string(*vchans));
	}
	if (boot_value(texts, default_unit) == unit)
		assignments.push_back(std::string(default_unit) + "=" + std::to_string(unit));
	// Every one is written, whichever failed before it.
	const auto failed = std::count_if(assignments.begin(), assignments.end(),
					  [](const std::string &a) { return !write_to_kernel(a); });
	return failed == 0 ? 0 : 1;
}

// Records the assignment, name=value, in the file or file.local as they
// were read, so that boot leads to the state that the kernel has; false
// when another program changed either file meanwhile.
bool record_in(const conf_lock &lock, const std::array<conf_file, 2> &files,
	       std::string_view assignment)
{
	const std::string_view name = assignment.substr(0, assignment.find('='));
	const std::string_view value = assignment.substr(name.size() + 1);
	const std::array<std::string_view, 2> texts{files[0].text, files[1].text};
	const boot_winner found = last_in_boot(texts, name);
	const conf_line &line = found.line;
	const std::string_view winning_text = texts[found.file];
	const bool holds_value =
		line.sets &&
		winning_text.substr(line.value_begin, line.value_end - line.value_begin) == value;

	change c{texts, texts, name, value};
	std::size_t target = found.file;
	std::string edited;
	const coupling kind = coupling_of(name);
	const coupled_lines coupled =
		kind == coupling::none ? coupled_lines{} : coupled_lines_of(texts, kind);
	if (coupled.other_kind) {
		// The kernel's history is replayed only with the assignment
		// after every line of both kinds; one already last that holds
		// the value is that history already.
		if (holds_value && coupled.last_file == found.file &&
		    coupled.last_begin == line.begin)
			return true;
		target = coupled.in_local ? 1 : found.file;
		edited = with_setting(texts[target], conf_line{}, name, value);
		c.after[target] = edited;
	} else {
		if (holds_value)
			return true;
		// The value is edited in place where that keeps every other
		// line as boot reads it, which a longer or shorter value can
		// fail to do on a line of more than one piece; else the
		// assignment is appended.
		edited = with_setting(winning_text, line, name, value);
		c.after[target] = edited;
		if (!boot_applies(c)) {
			std::string().swap(edited);
			edited = with_setting(winning_text, conf_line{}, name, value);
			c.after[target] = edited;
		}
	}
	if (!boot_applies(c))
		errx(1, "%s: cannot record %s so that boot applies it; nothing was changed",
		     files[target].path.c_str(), visible(assignment).c_str());
	return replace_conf_file(lock, files[target], edited, &files[1 - target]);
}

// Records the assignment in the file or file.local.  Boot reads the file,
// then the same name with ".local", so both are read under one lock; one
// that another program changes meanwhile is read again and the edit made
// again on it.
int record(const char *path, std::string_view assignment)
{
	constexpr int attempts = 4;
	const conf_lock lock = lock_conf_folder(path);
	for (int attempt = 0; attempt < attempts; ++attempt) {
		const std::array<conf_file, 2> files{read_conf_file(path),
						     read_conf_file(std::string(path) + ".local")};
		if (record_in(lock, files, assignment))
			return 0;
	}
	errx(1, "%s: changed by another program while being edited; nothing was changed", path);
}

} // namespace

int main(int argc, char *argv[])
{
	std::set_new_handler(out_of_memory);
	const char *path = default_file;
	const char *device = nullptr;
	int ch;
	while ((ch = getopt(argc, argv, options)) != -1) {
		switch (ch) {
		case 'a':
			device = optarg;
			break;
		case 'f':
			path = optarg;
			break;
		default:
			print_usage();
		}
	}
	// path.local is edited with path, under the lock of path: a run that
	// took the lock of path.local would race with it.
	if (std::string_view(path).ends_with(".local"))
		errx(1, "%s: names a .local file; name the file that boot reads before it",
		     visible(path).c_str());
	if (device != nullptr) {
		const std::optional<int> unit = unit_of(device);
		if (argc != optind || !unit)
			print_usage();
		return give_attached_unit(path, *unit);
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
	return record(path, assignment);
}
