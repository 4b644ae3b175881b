// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_LIVE_KERNEL_H
#define TOLVAREN_LIVE_KERNEL_H

// What the companion asks of the running kernel and writes into it, each
// within a time limit: /sbin/sysctl run without a shell, with a fixed
// environment; on FreeBSD, sysctlbyname for the questions.  A build for
// the tests names a stand-in instead (SYSCTL_PATH), and asks it on FreeBSD
// too.

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "boot.h"
#include "own_line.h"

// How long one command may run before it is ended.
#ifndef SYSCTL_SECONDS
#define SYSCTL_SECONDS 10
#endif
constexpr int command_seconds = SYSCTL_SECONDS;

// What run_sysctl gives back for a command that it ended for taking too
// long; no wait status is negative.
constexpr int ended_late = -2;

// The path of the kernel-variable tool that is run.
const char *sysctl_path();

double seconds_since(const timespec &start);

// Waits for pid for limit seconds at most, then kills it.  Its wait
// status, -1 with errno when it could not be waited for, or ended_late.
int wait_at_most(pid_t pid, double limit);

// Runs the kernel-variable tool with the one argument and the default
// SIGPIPE; its output is discarded when quiet.  What wait_at_most gives,
// or -1 with errno when it could not be run.
int run_sysctl(const std::string &argument, bool quiet, double limit);

// True when the running kernel has the variable; false too when it has not
// answered within limit seconds.
bool kernel_has(std::string_view name, double limit);

// The vchans switch of the running kernel: maxautovchans on 13 and 14,
// vchans_enable on 15.
vchans_switch running_switch_within(double limit);

// What is behind unit: a card, when its parent is a USB audio device, with
// vendor, product and serial number from the card's pnpinfo and which of
// the card's pcm units it is; no card for a unit with any other parent.
// Not answered when the kernel did not say in time, or the unit is gone.
unit_owner card_of_unit(int unit, double limit);

#endif
