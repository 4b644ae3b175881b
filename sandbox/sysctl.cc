// A simulated FreeBSD sysctl(8) for the sound driver's variables.  The
// simulated kernel is the file "kernel" in the folder that
// TOLVAREN_SANDBOX_STATE names; it is made with FreeBSD's defaults, for
// TOLVAREN_SANDBOX_UNITS units (2 unless set), the first time it is used.
//
//   sysctl NAME=VALUE ...   write, as FreeBSD's sysctl does
//   sysctl NAME ...         read
//   sysctl -a               list every variable
#include "settings_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// What the driver accepts on a write: [min, max], else EINVAL, or clamped
// into [min, max] when clamp is set.
struct rule {
	const char *name; // "dev.pcm." names take the unit between prefix and suffix
	long min, max;
	bool clamp;
	int initial;
};

constexpr std::array<rule, 8> rules{{
	{"hw.snd.vpc_0db", 1, 100, false, 45},
	{"hw.snd.vpc_mixer_bypass", INT_MIN, INT_MAX, false, 1},
	{"hw.snd.default_unit", 0, 0, false, 0}, // a unit that exists
	{"hw.snd.latency", 0, 10, false, 5},
	{"hw.snd.feeder_rate_quality", 0, 4, false, 1},
	{"hw.snd.maxautovchans", 0, 256, true, 16},
	{".play.vchans", 0, 256, true, 1},
	{".rec.vchans", 0, 256, true, 1},
}};

const rule *rule_for(const std::string &name)
{
	for (const rule &r : rules) {
		std::string pattern = r.name;
		if (name == pattern)
			return &r;
		if (pattern[0] == '.' && name.rfind("dev.pcm.", 0) == 0 &&
		    name.size() > pattern.size() &&
		    name.compare(name.size() - pattern.size(), pattern.size(), pattern) == 0)
			return &r;
	}
	return nullptr;
}

std::string unit_variable(long unit)
{
	return "dev.pcm." + std::to_string(unit) + ".play.vchans";
}

// Says why the state file could not be used; always false.
bool report(const std::string &path)
{
	std::fprintf(stderr, "sysctl: %s: %s\n", path.c_str(), std::strerror(errno));
	return false;
}

bool load(const std::string &path, lines &kernel)
{
	if (!read_lines(path, kernel))
		return report(path);
	if (!kernel.empty())
		return true;
	const char *units_text = std::getenv("TOLVAREN_SANDBOX_UNITS");
	long units = units_text ? std::strtol(units_text, nullptr, 10) : 2;
	for (const rule &r : rules) {
		if (r.name[0] != '.') {
			kernel.push_back(std::string(r.name) + "=" + std::to_string(r.initial));
			continue;
		}
		for (long unit = 0; unit < units; ++unit)
			kernel.push_back("dev.pcm." + std::to_string(unit) + r.name + "=" +
					 std::to_string(r.initial));
	}
	return write_lines(path, kernel) || report(path);
}

// The line that holds name in the simulated kernel, or nullptr.
std::string *find(lines &kernel, const std::string &name)
{
	auto line = std::find_if(kernel.begin(), kernel.end(),
				 [&](const std::string &l) { return name_of(l) == name; });
	return line == kernel.end() ? nullptr : &*line;
}

// Reads a value as FreeBSD's sysctl does: base 0, the whole text, an int.
bool parse(const std::string &text, long &value)
{
	if (text.empty()) {
		std::fprintf(stderr, "sysctl: empty numeric value\n");
		return false;
	}
	char *end = nullptr;
	errno = 0;
	value = std::strtol(text.c_str(), &end, 0);
	if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
		std::fprintf(stderr, "sysctl: invalid integer '%s'\n", text.c_str());
		return false;
	}
	return true;
}

// Writes one assignment; true when the kernel took it.
bool assign(lines &kernel, const std::string &name, const std::string &text)
{
	std::string *line = find(kernel, name);
	const rule *r = rule_for(name);
	if (!line || !r) {
		std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
		return false;
	}
	long value = 0;
	if (!parse(text, value))
		return false;
	std::string old = value_of(*line);
	const char *refusal = nullptr;
	if (geteuid() != 0 && std::strcmp(r->name, "hw.snd.default_unit") != 0)
		refusal = "Operation not permitted";
	else if (std::strcmp(r->name, "hw.snd.default_unit") == 0)
		refusal = value >= 0 && find(kernel, unit_variable(value)) ? nullptr
									   : "Invalid argument";
	else if (r->clamp)
		value = value < r->min ? r->min : value > r->max ? r->max : value;
	else if (value < r->min || value > r->max)
		refusal = "Invalid argument";
	if (refusal) {
		std::printf("%s: %s\n", name.c_str(), old.c_str());
		std::fflush(stdout);
		std::fprintf(stderr, "sysctl: %s=%s: %s\n", name.c_str(), text.c_str(), refusal);
		return false;
	}
	set_value(kernel, name, std::to_string(value));
	std::printf("%s: %s -> %ld\n", name.c_str(), old.c_str(), value);
	return true;
}

} // namespace

int main(int argc, char *argv[])
{
	const std::string path = state_file("kernel", "sysctl");
	lines kernel;
	if (path.empty() || !load(path, kernel))
		return 1;

	if (argc == 2 && std::strcmp(argv[1], "-a") == 0) {
		for (const std::string &line : kernel)
			if (!name_of(line).empty())
				std::printf("%s: %s\n", name_of(line).c_str(),
					    value_of(line).c_str());
		return 0;
	}
	if (argc < 2) {
		std::fprintf(stderr, "usage: sysctl name[=value] ...\n       sysctl -a\n");
		return 1;
	}
	int status = 0;
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		std::size_t eq = arg.find('=');
		std::string name = arg.substr(0, eq);
		if (eq != std::string::npos) {
			if (!assign(kernel, name, arg.substr(eq + 1)))
				status = 1;
		} else if (std::string *line = find(kernel, name)) {
			std::printf("%s: %s\n", name.c_str(), value_of(*line).c_str());
		} else {
			std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
			status = 1;
		}
	}
	std::fflush(stdout);
	return write_lines(path, kernel) || report(path) ? status : 1;
}
