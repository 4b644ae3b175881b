// SPDX-License-Identifier: BSD-2-Clause
#include <sys/types.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <err.h>
#include <unistd.h>

#include "setting_writer.h"

#ifndef SYSCTL_PATH
#define SYSCTL_PATH "/sbin/sysctl"
#endif
#ifndef COMPANION_PATH
#define COMPANION_PATH "/usr/local/bin/varnokeltrin"
#endif

namespace {

constexpr std::size_t command_size = 512;

static_assert(sizeof(int) == sizeof(std::int32_t), "values are written with %d");

using command_line = std::array<char, command_size>;

// Composes "PATH NAME=NUMBER".  Only a name from the settings table and a
// number formatted here ever reach the shell.
command_line assignment_command(const char *path, const char *name, int value)
{
	command_line command{};
	int n = std::snprintf(command.data(), command.size(), "%s %s=%d", path, name, value);
	if (n < 0 || static_cast<std::size_t>(n) >= command.size()) {
		quiet_broken_pipe();
		errx(1, "Command line for %s is too long", name);
	}
	return command;
}

// The signals that end a run from outside: a caller's terminate, a
// terminal that closes, ^C and ^\.  sudo with a pseudo-terminal, a
// terminal and some front ends send them to the whole process group, and
// so to the commands too.
constexpr std::array<int, 4> ending_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM};

sigset_t ending_set()
{
	sigset_t set;
	sigemptyset(&set);
	for (int signal_number : ending_signals)
		sigaddset(&set, signal_number);
	return set;
}

void ignore(int signal_number)
{
	struct sigaction ignored {};
	ignored.sa_handler = SIG_IGN;
	sigemptyset(&ignored.sa_mask);
	sigaction(signal_number, &ignored, nullptr);
}

// What the two commands of a setting ignore: the ending signals, and
// SIGPIPE, which /sbin/sysctl would get for the line it prints after the
// kernel took the value when the front end has stopped reading.
void ignore_what_splits_a_setting()
{
	for (int signal_number : ending_signals)
		ignore(signal_number);
	ignore(SIGPIPE);
}

} // namespace

bool value_in_range(const char *value_text)
{
	errno = 0;
	long n = std::strtol(value_text, nullptr, 10);
	return errno != ERANGE && n >= INT32_MIN && n <= INT32_MAX;
}

int value_of(const char *value_text)
{
	// Every text has passed value_in_range before it gets here, so the
	// narrowing keeps the number as typed.
	return static_cast<std::int32_t>(std::strtol(value_text, nullptr, 10));
}

// A /sbin/sysctl killed after it changed the kernel, or a companion killed
// before it wrote, would leave a value that nothing records.  So the two
// commands run in a child that ignores the ending signals and SIGPIPE, and
// they inherit that through the shell and exec, as neither a block (a
// shell may clear its mask) nor a handler (exec resets it) would be.
// Meanwhile the program holds the ending signals blocked: one that came
// ends it once the setting is whole, by its default action, and later
// settings are not tried.  One that the caller ignores stays ignored.
void set_sysctl(const char *name, const char *value_text)
{
	const command_line kernel = assignment_command(SYSCTL_PATH, name, value_of(value_text));
	const command_line record = assignment_command(COMPANION_PATH, name, value_of(value_text));
	const sigset_t ending = ending_set();
	sigset_t callers{};
	sigprocmask(SIG_BLOCK, &ending, &callers);
	const pid_t writer = fork();
	if (writer == 0) {
		ignore_what_splits_a_setting();
		sigprocmask(SIG_SETMASK, &callers, nullptr);
		run_command(kernel.data());
		run_command(record.data());
		_exit(0);
	}
	int status = 0;
	while (writer > 0 && waitpid(writer, &status, 0) < 0 && errno == EINTR)
		;
	if (writer > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
		sigprocmask(SIG_SETMASK, &callers, nullptr);
		return;
	}
	quiet_broken_pipe();
	// No process for the writer is no process for the shell: nothing ran.
	if (writer < 0)
		err(1, "system(%s)", kernel.data());
	// The child has said why it failed.
	if (WIFEXITED(status))
		std::exit(WEXITSTATUS(status));
	errx(1, "Writing %s was ended by signal %d", name, WTERMSIG(status));
}

struct sigaction quiet_broken_pipe()
{
	const int saved = errno;
	struct sigaction ignore {};
	struct sigaction previous {};
	ignore.sa_handler = SIG_IGN;
	sigemptyset(&ignore.sa_mask);
	sigaction(SIGPIPE, &ignore, &previous);
	errno = saved;
	return previous;
}

void run_command(const char *command)
{
	errno = 0;
	int status = std::system(command); // NOLINT(cert-env33-c): running it is the job
	if (status == 0)
		return;
	// The command ran with the caller's SIGPIPE; the message must not end
	// the program by it when the front end has stopped reading.
	quiet_broken_pipe();
	if (status == -1)
		err(1, "system(%s)", command);
	// 127 is also what some C libraries return when no process could be
	// made, and then errno says why.  When the shell itself ran and could
	// not run the command, errno holds nothing, and a text for it would
	// name a false cause.
	if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
		if (errno != 0)
			err(1, "Execution of shell failed");
		errx(1, "Execution of shell failed");
	}
	// A shell killed by a signal is reported as shells report it.
	int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	errx(1, "Command '%s' exited with status %d", command, code);
}
