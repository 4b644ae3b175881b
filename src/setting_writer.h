// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_SETTING_WRITER_H
#define TOLVAREN_SETTING_WRITER_H

#include <csignal>

// Writes one kernel variable: the kernel-variable tool first, then, once
// it has succeeded, the companion program with the same assignment.
// Returns only when both succeeded; any failure ends the process.  A
// SIGHUP, SIGINT, SIGQUIT or SIGTERM that comes meanwhile lets both end
// and then ends the process by its default action; the commands run with
// those and SIGPIPE ignored.
void set_sysctl(const char *name, const char *value_text);

// Runs one command line through the shell and returns only if it
// exited with status 0; otherwise reports the failure and exits 1.
void run_command(const char *command);

// Ignores SIGPIPE, so that a message written to a pipe that nobody reads
// any longer fails instead of ending the process by that signal, and gives
// back the disposition it replaced.  errno is kept.
struct sigaction quiet_broken_pipe();

// Reads a value text in base 10 as strtol does (blanks, a sign, the
// leading digits; no digits give 0).  False if the number does not fit
// in a signed 32-bit integer.
bool value_in_range(const char *value_text);

// The number of a value text that value_in_range accepted.
int value_of(const char *value_text);

#endif
