// SPDX-License-Identifier: BSD-2-Clause
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <err.h>

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

// Composes "PATH NAME=NUMBER" and runs it.  Only a name from the settings
// table and a number formatted here ever reach the shell.
void run_assignment(const char *path, const char *name, int value)
{
	std::array<char, command_size> command{};
	int n = std::snprintf(command.data(), command.size(), "%s %s=%d", path, name, value);
	if (n < 0 || static_cast<std::size_t>(n) >= command.size()) {
		quiet_broken_pipe();
		errx(1, "Command line for %s is too long", name);
	}
	run_command(command.data());
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

void set_sysctl(const char *name, const char *value_text)
{
	run_assignment(SYSCTL_PATH, name, value_of(value_text));
	run_assignment(COMPANION_PATH, name, value_of(value_text));
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
