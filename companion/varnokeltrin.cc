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
// more lines than that needs (see boot.h).  Every other byte of both files
// is kept.  Only the sound driver's settings that tolvaren_backend writes
// are accepted.
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
#include <csignal>
#include <ctime>
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

#include "boot.h"
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

// A build for the tests names a stand-in, which it asks about the kernel
// on FreeBSD too; the installed one asks FreeBSD's kernel itself.
#ifdef SYSCTL_PATH
#define ASK_SYSCTL_COMMAND 1
#else
#define SYSCTL_PATH "/sbin/sysctl"
#endif
// The commands of -a run with this environment alone, whatever devd or the
// caller had.
constexpr std::array<const char *, 2> command_environment{"PATH=/sbin:/bin:/usr/sbin:/usr/bin",
							  nullptr};

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

// How long a command of -a may run before it is ended: devd waits for its
// actions.
#ifndef SYSCTL_SECONDS
#define SYSCTL_SECONDS 10
#endif
constexpr int command_seconds = SYSCTL_SECONDS;
// And all of one -a, its wait for the lock included.
constexpr double attach_seconds = 2.5 * command_seconds;

// What run_sysctl gives back for a command that it ended for taking too
// long; no wait status is negative.
constexpr int ended_late = -2;

constexpr timespec short_pause{0, 10'000'000};

double seconds_since(const timespec &start)
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<double>(now.tv_sec - start.tv_sec) +
	       static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Waits for the command pid for limit seconds at most, then kills it.
// Its wait status, -1 with errno when it could not be waited for, or
// ended_late.
int wait_at_most(pid_t pid, double limit)
{
	timespec start{};
	clock_gettime(CLOCK_MONOTONIC, &start);
	int status = 0;
	for (long pause = 100'000;; pause = std::min(pause * 2, 20'000'000L)) {
		const pid_t done = waitpid(pid, &status, WNOHANG);
		if (done == pid)
			return status;
		if (done < 0 && errno != EINTR)
			return -1;
		if (seconds_since(start) >= limit) {
			kill(pid, SIGKILL);
			// A command stuck in the kernel may not even die; it is
			// left behind rather than waited for.
			while (waitpid(pid, &status, WNOHANG) == 0 &&
			       seconds_since(start) < limit + 1)
				nanosleep(&short_pause, nullptr);
			return ended_late;
		}
		const timespec wait{0, pause};
		nanosleep(&wait, nullptr);
	}
}

// Runs the kernel-variable tool with the one argument, without a shell and
// with the fixed environment and the default SIGPIPE; its output is
// discarded when quiet.  What wait_at_most gives, or -1 with errno when it
// could not be run.
int run_sysctl(const std::string &argument, bool quiet, double limit = command_seconds)
{
	posix_spawn_file_actions_t actions{};
	posix_spawnattr_t attributes{};
	if (posix_spawn_file_actions_init(&actions) != 0)
		return -1;
	if (posix_spawnattr_init(&attributes) != 0) {
		posix_spawn_file_actions_destroy(&actions);
		return -1;
	}
	if (quiet)
		for (int fd : {STDOUT_FILENO, STDERR_FILENO})
			posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
	sigset_t broken_pipe;
	sigemptyset(&broken_pipe);
	sigaddset(&broken_pipe, SIGPIPE);
	posix_spawnattr_setsigdefault(&attributes, &broken_pipe);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
	std::array<char *, 3> argv{const_cast<char *>(SYSCTL_PATH),
				   const_cast<char *>(argument.c_str()), nullptr};
	pid_t pid = -1;
	const int error = posix_spawn(&pid, SYSCTL_PATH, &actions, &attributes, argv.data(),
				      const_cast<char *const *>(command_environment.data()));
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	if (error != 0) {
		errno = error;
		return -1;
	}
	return wait_at_most(pid, limit);
}

// True when the running kernel has the variable; false too when it has not
// answered within limit seconds.  The handler of a unit's vchans waits for
// the unit, which may be busy for long: on FreeBSD the question is asked
// in a child, which can be given up on.
bool kernel_has(std::string_view name, double limit = command_seconds)
{
	if (limit <= 0)
		return false;
#if defined(__FreeBSD__) && !defined(ASK_SYSCTL_COMMAND)
	const std::string variable(name);
	const pid_t pid = fork();
	if (pid == 0) {
		std::size_t size = 0;
		_exit(sysctlbyname(variable.c_str(), nullptr, &size, nullptr, 0) == 0 ? 0 : 1);
	}
	return pid > 0 && wait_at_most(pid, limit) == 0;
#else
	// Elsewhere the kernel is the sandbox's simulated one, which its
	// sysctl answers for, or a test's stand-in.
	return run_sysctl(std::string(name), true, limit) == 0;
#endif
}

// The vchans switch of the running kernel: maxautovchans on 13 and 14,
// vchans_enable on 15; asked within limit seconds.
vchans_switch running_switch_within(double limit)
{
	constexpr std::array<vchans_switch, 2> kinds{vchans_switch::maxautovchans,
						     vchans_switch::vchans_enable};
	const auto *found = std::find_if(kinds.begin(), kinds.end(), [&](vchans_switch kind) {
		return kernel_has(name_of(kind), limit);
	});
	return found == kinds.end() ? vchans_switch::none : *found;
}

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
		warnx("%s %s was not run: one -a gets %.0f seconds in all", SYSCTL_PATH,
		      assignment.c_str(), attach_seconds);
		return false;
	}
	const bool cut = left < command_seconds;
	const int status = run_sysctl(assignment, false, cut ? left : command_seconds);
	if (status == 0)
		return true;
	if (status == -1)
		warn("cannot run %s %s", SYSCTL_PATH, assignment.c_str());
	else if (status == ended_late && cut)
		warnx("%s %s was ended: one -a gets %.0f seconds in all", SYSCTL_PATH,
		      assignment.c_str(), attach_seconds);
	else if (status == ended_late)
		warnx("%s %s did not end within %d seconds; it was ended", SYSCTL_PATH,
		      assignment.c_str(), command_seconds);
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

// The file and file.local as they are, read under the lock, which is
// given back at once.
std::array<std::string, 2> read_both(const char *path)
{
	conf_lock lock = lock_conf_folder(path);
	std::array<conf_file, 2> files{read_conf_file(path),
				       read_conf_file(std::string(path) + ".local")};
	unlock_conf_folder(lock);
	return {std::move(files[0].text), std::move(files[1].text)};
}

// Gives a unit that has just attached what boot would give it: its vchans
// and, where boot makes it the default unit, hw.snd.default_unit.  Every
// other variable is left alone, and no file changes.  The lock guards the
// files, not the kernel, and is not held while the kernel is asked or
// written: a record made meanwhile goes ahead.  All of it, the wait for
// the lock included, ends within attach_seconds, as devd waits for it.
int give_attached_unit(const char *path, int unit)
{
	timespec started{};
	clock_gettime(CLOCK_MONOTONIC, &started);
	const std::array<std::string, 2> read = read_both(path);
	const conf_texts texts{read[0], read[1]};
	const vchans_switch kind =
		running_switch_within(std::min<double>(command_seconds, seconds_left(started)));
	std::vector<std::string> assignments;
	for (std::string_view suffix : device_suffixes) {
		const std::string name =
			std::string(device_prefix) + std::to_string(unit) + std::string(suffix);
		// A unit attaches with its vchans on; a line of its own sets
		// them, and the switch's lines after it change them.  Where only
		// the switch changes them, a direction the unit lacks is left.
		const bool named = boot_number(texts, name).has_value();
		const int vchans = replay_vchans(texts, name, kind, 1);
		if (named ||
		    (vchans != 1 &&
		     kernel_has(name, std::min<double>(command_seconds, seconds_left(started)))))
			assignments.push_back(name + "=" + std::to_string(vchans));
	}
	if (boot_number(texts, default_unit) == unit)
		assignments.push_back(std::string(default_unit) + "=" + std::to_string(unit));
	// Every one is written, whichever failed before it, as long as devd
	// can wait.
	const auto failed =
		std::count_if(assignments.begin(), assignments.end(),
			      [&](const std::string &a) { return !write_to_kernel(a, started); });
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
	const conf_texts texts{files[0].text, files[1].text};
	const std::optional<recording> r = recording_for(texts, name, value, running_switch);
	if (!r)
		return true;
	if (!r->possible)
		errx(1, "%s: cannot record %s so that boot applies it; nothing was changed",
		     files[r->file].path.c_str(), visible(assignment).c_str());
	return replace_conf_file(lock, files[r->file], r->text, &files[1 - r->file]);
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
