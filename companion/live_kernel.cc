// SPDX-License-Identifier: BSD-2-Clause
#include <sys/types.h>
#include <sys/wait.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include "live_kernel.h"

#ifdef SYSCTL_PATH
#define ASK_SYSCTL_COMMAND 1
#else
#define SYSCTL_PATH "/sbin/sysctl"
#endif

namespace {

// The commands run with this environment alone, whatever devd or the
// caller had.
constexpr std::array<const char *, 2> command_environment{"PATH=/sbin:/bin:/usr/sbin:/usr/bin",
							  nullptr};

constexpr timespec short_pause{0, 10'000'000};

// Where a command's output goes: both as they are, both to /dev/null, or
// (a descriptor) standard output there and standard error to /dev/null.
constexpr int output_shown = -2;
constexpr int output_discarded = -1;

// Starts the kernel-variable tool with the arguments and its output as out
// says.  0, or the error.
int spawn_sysctl(const std::array<const char *, 4> &argv, int out, pid_t &pid)
{
	posix_spawn_file_actions_t actions{};
	posix_spawnattr_t attributes{};
	if (posix_spawn_file_actions_init(&actions) != 0)
		return ENOMEM;
	if (posix_spawnattr_init(&attributes) != 0) {
		posix_spawn_file_actions_destroy(&actions);
		return ENOMEM;
	}
	if (out >= 0)
		posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
	else if (out == output_discarded)
		posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	if (out != output_shown)
		posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
	sigset_t broken_pipe;
	sigemptyset(&broken_pipe);
	sigaddset(&broken_pipe, SIGPIPE);
	posix_spawnattr_setsigdefault(&attributes, &broken_pipe);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
	const int error = posix_spawn(&pid, SYSCTL_PATH, &actions, &attributes,
				      const_cast<char *const *>(argv.data()),
				      const_cast<char *const *>(command_environment.data()));
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	return error;
}

// What the child pid writes into fd, the reading end of a pipe, until it
// ends or limit seconds have passed; nothing when it did not end well in
// time.  fd is closed.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a child, then its pipe
std::optional<std::string> output_of(pid_t pid, int fd, double limit)
{
	timespec started{};
	clock_gettime(CLOCK_MONOTONIC, &started);
	std::string text;
	std::array<char, 512> chunk{};
	for (;;) {
		pollfd ready{fd, POLLIN, 0};
		const double left = limit - seconds_since(started);
		if (left <= 0 || poll(&ready, 1, static_cast<int>(left * 1000) + 1) <= 0)
			break;
		const ssize_t n = read(fd, chunk.data(), chunk.size());
		if (n <= 0 || text.size() > 4096)
			break;
		text.append(chunk.data(), static_cast<std::size_t>(n));
	}
	close(fd);
	if (wait_at_most(pid, limit - seconds_since(started)) != 0)
		return std::nullopt;
	return text;
}

// The text of a string node such as dev.pcm.0.%parent, read as
// "sysctl -n" prints it, within limit seconds.
std::optional<std::string> kernel_text(const std::string &name, double limit)
{
	if (limit <= 0)
		return std::nullopt;
	std::array<int, 2> ends{};
	if (pipe(ends.data()) != 0)
		return std::nullopt;
	pid_t pid = -1;
#if defined(__FreeBSD__) && !defined(ASK_SYSCTL_COMMAND)
	// A USB device's nodes wait for its control transfers: the question
	// is asked in a child, which can be given up on.  The text is as long
	// as sysctl says, with or without a terminating NUL.
	pid = fork();
	if (pid == 0) {
		close(ends[0]);
		std::array<char, 1024> text{};
		std::size_t size = text.size();
		if (sysctlbyname(name.c_str(), text.data(), &size, nullptr, 0) != 0)
			_exit(1);
		if (size > 0 && text[size - 1] == '\0')
			--size;
		_exit(write(ends[1], text.data(), size) == static_cast<ssize_t>(size) ? 0 : 1);
	}
	const int error = pid < 0 ? errno : 0;
	constexpr bool ends_in_newline = false;
#else
	const int error = spawn_sysctl({SYSCTL_PATH, "-n", name.c_str(), nullptr}, ends[1], pid);
	constexpr bool ends_in_newline = true;
#endif
	close(ends[1]);
	if (error != 0) {
		close(ends[0]);
		return std::nullopt;
	}
	std::optional<std::string> text = output_of(pid, ends[0], limit);
	if (text && ends_in_newline && text->ends_with('\n'))
		text->pop_back();
	return text;
}

// The value of key in pnpinfo ("key=value key=value ..."); the serial
// number stands in quotes and may hold blanks.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the text, then a key
std::optional<std::string> pnp_value(std::string_view pnpinfo, std::string_view key)
{
	const std::string quoted = std::string(key) + "=\"";
	if (const std::size_t at = pnpinfo.find(quoted);
	    at != std::string_view::npos && (at == 0 || pnpinfo[at - 1] == ' ')) {
		const std::string_view rest = pnpinfo.substr(at + quoted.size());
		const std::size_t before_release = rest.rfind("\" release=");
		const std::size_t end =
			before_release != std::string_view::npos ? before_release : rest.find('"');
		if (end == std::string_view::npos)
			return std::nullopt;
		return std::string(rest.substr(0, end));
	}
	const std::string plain = std::string(key) + "=";
	for (std::size_t at = 0; at < pnpinfo.size();) {
		const std::size_t end = std::min(pnpinfo.find(' ', at), pnpinfo.size());
		const std::string_view word = pnpinfo.substr(at, end - at);
		if (word.starts_with(plain))
			return std::string(word.substr(plain.size()));
		at = end + 1;
	}
	return std::nullopt;
}

} // namespace

const char *sysctl_path()
{
	return SYSCTL_PATH;
}

double seconds_since(const timespec &start)
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<double>(now.tv_sec - start.tv_sec) +
	       static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

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

int run_sysctl(const std::string &argument, bool quiet, double limit)
{
	pid_t pid = -1;
	const int error = spawn_sysctl({SYSCTL_PATH, argument.c_str(), nullptr, nullptr},
				       quiet ? output_discarded : output_shown, pid);
	if (error != 0) {
		errno = error;
		return -1;
	}
	return wait_at_most(pid, limit);
}

bool kernel_has(std::string_view name, double limit)
{
	if (limit <= 0)
		return false;
#if defined(__FreeBSD__) && !defined(ASK_SYSCTL_COMMAND)
	// The handler of a unit's vchans waits for the unit, which may be
	// busy for long: the question is asked in a child, which can be
	// given up on.
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

vchans_switch running_switch_within(double limit)
{
	constexpr std::array<vchans_switch, 2> kinds{vchans_switch::maxautovchans,
						     vchans_switch::vchans_enable};
	const auto *found = std::find_if(kinds.begin(), kinds.end(), [&](vchans_switch kind) {
		return kernel_has(name_of(kind), limit);
	});
	return found == kinds.end() ? vchans_switch::none : *found;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a unit, then seconds
unit_owner card_of_unit(int unit, double limit)
{
	timespec started{};
	clock_gettime(CLOCK_MONOTONIC, &started);
	auto left = [&] { return limit - seconds_since(started); };
	auto parent_of = [&](int k) {
		return kernel_text("dev.pcm." + std::to_string(k) + ".%parent", left());
	};
	const std::optional<std::string> parent = parent_of(unit);
	if (!parent)
		return {};
	if (!parent->starts_with("uaudio") || parent->size() == 6 ||
	    parent->find_first_not_of("0123456789", 6) != std::string::npos)
		return {true, std::nullopt};
	const std::optional<std::string> pnpinfo = kernel_text(
		"dev." + parent->substr(0, 6) + "." + parent->substr(6) + ".%pnpinfo", left());
	if (!pnpinfo)
		return {};
	card found;
	const auto vendor = pnp_value(*pnpinfo, "vendor");
	const auto product = pnp_value(*pnpinfo, "product");
	const auto serial = pnp_value(*pnpinfo, "sernum");
	// A card that is detaching shows an empty pnpinfo.
	if (!vendor || !product || !serial)
		return {};
	found.vendor = *vendor;
	found.product = *product;
	found.serial = *serial;
	// Its first or its second pcm unit, by number.
	for (int k = 0; k < unit; ++k)
		if (parent_of(k) == parent)
			++found.index;
	found.desc = kernel_text("dev.pcm." + std::to_string(unit) + ".%desc", left()).value_or("");
	if (left() <= 0 || !is_card(found))
		return {};
	return {true, found};
}
