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
// none, the assignment is appended.  The kernel's vchans switch
// (hw.snd.maxautovchans on 13 and 14, hw.snd.vchans_enable on 15) changes
// every unit's vchans when it is written, so for those the order of the
// lines counts too: boot must replay the kernel's own history, with no
// more lines than that needs (see boot.h).  A USB card's settings follow
// the card, whatever unit number it attaches at (see cards.h).  Every
// other byte of both files is kept.  Only the sound driver's settings that
// tolvaren_backend writes are accepted.
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>

#include "boot.h"
#include "cards.h"
#include "conf_file.h"
#include "conf_line.h"
#include "live_kernel.h"

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

// One of the eight kinds of variable that tolvaren_backend writes, for a
// unit that a 32-bit int numbers.
bool is_sound_setting(std::string_view name)
{
	if (std::find(global_names.begin(), global_names.end(), name) != global_names.end())
		return true;
	const std::string_view unit = name.substr(0, name.find('.', device_prefix.size()))
					      .substr(std::min(device_prefix.size(), name.size()));
	return is_unit_vchans(name) && is_decimal_int(unit);
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

// All of one -a, its wait for the lock included: devd waits for its
// actions.
constexpr double attach_seconds = 2.5 * command_seconds;

vchans_switch running_switch()
{
	return running_switch_within(command_seconds);
}

// What is left of the time of one -a that started at started.
double seconds_left(const timespec &started)
{
	return attach_seconds - seconds_since(started);
}

// Writes one assignment into the kernel, within the time left of one -a
// that started at started; false, said in one line, when that failed.
bool write_to_kernel(const std::string &assignment, const timespec &started)
{
	const double left = seconds_left(started);
	if (left <= 0) {
		warnx("%s %s was not run: one -a gets %.0f seconds in all", sysctl_path(),
		      assignment.c_str(), attach_seconds);
		return false;
	}
	const bool cut = left < command_seconds;
	const int status = run_sysctl(assignment, false, cut ? left : command_seconds);
	if (status == 0)
		return true;
	if (status == -1)
		warn("cannot run %s %s", sysctl_path(), assignment.c_str());
	else if (status == ended_late && cut)
		warnx("%s %s was ended: one -a gets %.0f seconds in all", sysctl_path(),
		      assignment.c_str(), attach_seconds);
	else if (status == ended_late)
		warnx("%s %s did not end within %d seconds; it was ended", sysctl_path(),
		      assignment.c_str(), command_seconds);
	else if (WIFEXITED(status))
		warnx("%s %s exited with status %d", sysctl_path(), assignment.c_str(),
		      WEXITSTATUS(status));
	else
		warnx("%s %s was ended by signal %d", sysctl_path(), assignment.c_str(),
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

// The file and file.local, read under the lock.  Boot reads the file,
// then the same name with ".local", so both are read under one lock.
std::array<conf_file, 2> read_both(const char *path)
{
	return {read_conf_file(path), read_conf_file(std::string(path) + ".local")};
}

// Makes edit of the files as they are, under the lock, and gives the lock
// back; one that another program changes meanwhile is read again and the
// edit made again on it.  edit returns what was read when nothing is to
// change, and exits when nothing can.  The files as they are afterwards.
template <typename function> std::array<std::string, 2> edited(const char *path, function edit)
{
	constexpr int attempts = 4;
	conf_lock lock = lock_conf_folder(path);
	for (int attempt = 0; attempt < attempts; ++attempt) {
		std::array<conf_file, 2> files = read_both(path);
		std::array<std::string, 2> now = edit(files);
		bool replaced = true;
		// The file first: what the late pass reads of .local after it
		// stays its own.
		for (std::size_t i = 0; i < files.size() && replaced; ++i)
			replaced = now[i] == files[i].text ||
				   replace_conf_file(lock, files[i], now[i],
						     now[1 - i] == files[1 - i].text ? &files[1 - i]
										     : nullptr);
		if (replaced) {
			unlock_conf_folder(lock);
			return now;
		}
	}
	errx(1, "%s: changed by another program while being edited; nothing was changed", path);
}

// Gives a unit that has just attached what a fresh attach and boot's
// passes over the edited files give it: both directions of its vchans that
// the kernel has, from its lines or else the release's attach default as
// the switch's lines leave it, and hw.snd.default_unit where boot makes it
// the default.  A value that the early pass took from a line of another
// card is so put right, and where the early pass made the unit the default
// through such a line, the default becomes what the edited files give.
// The files are first edited for the unit (cards.h), in one edit under the
// lock.  A file that cannot be changed is left as it was, and the unit
// still gets what the edit would give it.  The lock guards the files, not
// the kernel, and is not held while the kernel is written: a record made
// meanwhile goes ahead.  All of it, the wait for the lock included, ends
// within attach_seconds, as devd waits for it.
int give_attached_unit(const char *path, int unit)
{
	timespec started{};
	clock_gettime(CLOCK_MONOTONIC, &started);
	auto limit = [&] { return std::min<double>(command_seconds, seconds_left(started)); };
	const unit_owner who = card_of_unit(unit, limit());
	const vchans_switch kind = running_switch_within(limit());
	std::array<std::string, 2> before;
	std::array<std::string, 2> wanted;
	std::string fixed;
	const std::array<std::string, 2> read =
		edited(path, [&](const std::array<conf_file, 2> &files) {
			before = {files[0].text, files[1].text};
			wanted = who.answered ? attached_texts({before[0], before[1]}, unit,
							       who.owner, kind)
					      : before;
			fixed.clear();
			for (std::size_t i = 0; i < files.size(); ++i)
				if (wanted[i] != before[i] && is_unchangeable(files[i]))
					fixed = files[i].path;
			return fixed.empty() ? wanted : before;
		});
	const conf_texts texts{fixed.empty() ? read[0] : wanted[0],
			       fixed.empty() ? read[1] : wanted[1]};
	std::vector<std::string> assignments;
	for (std::string_view suffix : device_suffixes) {
		const std::string name =
			std::string(device_prefix) + std::to_string(unit) + std::string(suffix);
		// A direction that no line names is written only where the unit
		// has it.
		if (boot_number(texts, name) || kernel_has(name, limit()))
			assignments.push_back(name + "=" +
					      std::to_string(replay_vchans(texts, name, kind, 1)));
	}
	const std::optional<int> now_default = boot_number(texts, default_unit);
	const std::string other = "dev.pcm." + std::to_string(now_default.value_or(0)) + ".%parent";
	if (now_default == unit || (boot_number({before[0], before[1]}, default_unit) == unit &&
				    now_default && *now_default >= 0 && kernel_has(other, limit())))
		assignments.push_back(std::string(default_unit) + "=" +
				      std::to_string(*now_default));
	// Every one is written, whichever failed before it, as long as devd
	// can wait.
	const auto failed =
		std::count_if(assignments.begin(), assignments.end(),
			      [&](const std::string &a) { return !write_to_kernel(a, started); });
	if (!fixed.empty())
		warnx("%s: is immutable or append-only (chflags); not changed, but pcm%d was given "
		      "what its edit gives",
		      fixed.c_str(), unit);
	return failed == 0 && fixed.empty() ? 0 : 1;
}

// Records the assignment in the file or file.local, so that boot leads to
// the state that the kernel has.  Where the setting is about a unit, the
// kernel is asked what is behind it: a card's setting goes on the card's
// line, and the lines of other cards are set aside or, for the default
// unit, superseded (cards.h).
int record(const char *path, std::string_view assignment)
{
	const std::string_view name = assignment.substr(0, assignment.find('='));
	const std::string_view value = assignment.substr(name.size() + 1);
	const int unit = unit_of_setting(name, value);
	const unit_owner who = unit >= 0 ? card_of_unit(unit, command_seconds) : unit_owner{};
	const std::string comment = who.owner ? card_comment(*who.owner) : "";
	edited(path, [&](const std::array<conf_file, 2> &files) {
		std::array<std::string, 2> now{files[0].text, files[1].text};
		if (who.answered)
			now = claimed_texts({now[0], now[1]}, name, who.owner);
		const conf_texts texts{now[0], now[1]};
		const std::optional<recording> r =
			recording_for(texts, name, value, comment, running_switch);
		if (r && !r->possible)
			errx(1, "%s: cannot record %s so that boot applies it; nothing was changed",
			     files[r->file].path.c_str(), visible(assignment).c_str());
		if (r)
			now[r->file] = r->text;
		return now;
	});
	return 0;
}

// A standard descriptor that the caller left closed would be taken by the
// lock or a settings file, and a message would then be written into it.
void open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
			err(1, "/dev/null");
}

} // namespace

int main(int argc, char *argv[])
{
	std::set_new_handler(out_of_memory);
	open_standard_descriptors();
	// A message to a pipe that nobody reads, as the devd rule's logger
	// that is missing, fails instead of ending the run before every value
	// was tried; the commands start with the default SIGPIPE.
	std::signal(SIGPIPE, SIG_IGN);
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
