// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_FUZZ_SETTINGS_H
#define TOLVAREN_FUZZ_SETTINGS_H

// How many runs a seeded random test makes, and from which seed:
// TOLVAREN_FUZZ_RUNS (300 unless set) and TOLVAREN_FUZZ_SEED (a fresh one
// unless set).  Both are printed, so that a failure can be repeated.

#include <cstdlib>
#include <iostream>
#include <random>

struct fuzz_settings {
	int runs;
	unsigned seed;
};

inline fuzz_settings fuzz_settings_for(const char *what)
{
	const char *runs_text = std::getenv("TOLVAREN_FUZZ_RUNS");
	const char *seed_text = std::getenv("TOLVAREN_FUZZ_SEED");
	const fuzz_settings settings{
		runs_text ? std::atoi(runs_text) : 300,
		seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
			  : std::random_device{}()};
	std::cout << what << ": seed " << settings.seed << ", " << settings.runs << " runs\n";
	return settings;
}

#endif
