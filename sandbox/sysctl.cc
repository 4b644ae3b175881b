// SPDX-License-Identifier: BSD-2-Clause
// A simulated FreeBSD sysctl(8) for the sound driver's variables.  The
// simulated kernel is the file "kernel" in the folder that
// TOLVAREN_SANDBOX_STATE names, one "name=value" line a variable.  It is
// made with FreeBSD's defaults for TOLVAREN_SANDBOX_RELEASE (13, 14 or 15)
// and TOLVAREN_SANDBOX_UNITS built-in units, followed by
// TOLVAREN_SANDBOX_USB_UNITS units that attach later (0 unless set), the
// first time it is used; sandbox/run sets them from the state folder.
//
//   sysctl NAME=VALUE ...   write, as FreeBSD's sysctl does
//   sysctl NAME ...         read
//   sysctl -a               list every variable
//   sysctl [-i] -f FILE     apply a sysctl.conf(5) file as boot does; with
//                           -i, names the kernel lacks are skipped
//   sysctl -A N | -D N      (the sandbox's own) attach or detach unit N
//
// As on FreeBSD 13 and 14, writing hw.snd.maxautovchans lowers every
// attached unit's vchans above the new value to it, and raises 0 to 1
// when the value is above 0.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "conf_file.h"
#include "conf_line.h"

namespace {

// What the driver does with a written value.
enum class accepts {
	range,  // min..max, else EINVAL
	clamp,  // any integer, clamped into min..max
	toggle, // any integer: 0 or less is off (0), more is on (1)
	unit,   // a unit that exists
};

struct variable {
	const char *name; // per unit when it starts with '.': "dev.pcm.N" + name
	accepts how;
	long min, max;
	int initial;
	int first_release, last_release; // the releases that have it
};

constexpr std::array<variable, 11> variables{{
	{"hw.snd.vpc_0db", accepts::range, 1, 100, 45, 13, 15},
	{"hw.snd.vpc_mixer_bypass", accepts::range, INT_MIN, INT_MAX, 1, 13, 15},
	{"hw.snd.default_unit", accepts::unit, 0, 0, 0, 13, 15},
	{"hw.snd.latency", accepts::range, 0, 10, 5, 13, 15},
	{"hw.snd.feeder_rate_quality", accepts::range, 0, 4, 1, 13, 15},
	{"hw.snd.maxautovchans", accepts::clamp, 0, 256, 16, 13, 14},
	{"hw.snd.vchans_enable", accepts::toggle, 0, 1, 1, 15, 15},
	{".play.vchans", accepts::clamp, 0, 256, 1, 13, 14},
	{".rec.vchans", accepts::clamp, 0, 256, 1, 13, 14},
	{".play.vchans", accepts::toggle, 0, 1, 1, 15, 15},
	{".rec.vchans", accepts::toggle, 0, 1, 1, 15, 15},
}};

struct sandbox {
	int release;
	long units; // attached when the kernel is made
	std::string kernel_path;
};

constexpr long most_units = 64;
constexpr const char *unit_prefix = "dev.pcm.";

[[noreturn]] void corrupt(const sandbox &box, const std::string &what)
{
	std::fprintf(stderr, "sandbox: corrupt state in %s: %s\n", box.kernel_path.c_str(),
		     what.c_str());
	std::exit(2);
}

long number_from(const char *variable_name, long min, long max)
{
	const char *text = std::getenv(variable_name);
	char *end = nullptr;
	errno = 0;
	long n = text ? std::strtol(text, &end, 10) : LONG_MIN;
	if (!text || end == text || *end != '\0' || errno != 0 || n < min || n > max) {
		std::fprintf(stderr, "sandbox: %s must be a number from %ld to %ld\n",
			     variable_name, min, max);
		std::exit(2);
	}
	return n;
}

const variable *variable_for(const sandbox &box, std::string_view name)
{
	for (const variable &v : variables) {
		if (box.release < v.first_release || box.release > v.last_release)
			continue;
		std::string_view pattern = v.name;
		if (name == pattern)
			return &v;
		if (pattern[0] != '.' || !name.starts_with("dev.pcm.") || !name.ends_with(pattern))
			continue;
		std::string_view unit = name.substr(8, name.size() - 8 - pattern.size());
		if (!unit.empty() && unit.find_first_not_of("0123456789") == std::string_view::npos)
			return &v;
	}
	return nullptr;
}

// The name as the kernel looks it up: one trailing dot is taken.
std::string kernel_name(std::string_view name)
{
	return std::string(variable_of(name));
}

// Reads an integer as FreeBSD's sysctl does: base 0, the whole text, an
// int.  Says why not, as it does, when the text is none.
bool parse(const std::string &text, long &value, bool quiet = false)
{
	if (text.empty()) {
		if (!quiet)
			std::fprintf(stderr, "sysctl: empty numeric value\n");
		return false;
	}
	char *end = nullptr;
	errno = 0;
	value = std::strtol(text.c_str(), &end, 0);
	if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
		if (!quiet)
			std::fprintf(stderr, "sysctl: invalid integer '%s'\n", text.c_str());
		return false;
	}
	return true;
}

std::string defaults(const sandbox &box)
{
	std::string text;
	for (const variable &v : variables) {
		if (box.release < v.first_release || box.release > v.last_release)
			continue;
		if (v.name[0] != '.') {
			text += std::string(v.name) + "=" + std::to_string(v.initial) + "\n";
			continue;
		}
		for (long unit = 0; unit < box.units; ++unit)
			text += "dev.pcm." + std::to_string(unit) + v.name + "=" +
				std::to_string(v.initial) + "\n";
	}
	return text;
}

// The variables of the simulated kernel as name and value, in order.  A
// line that is not "name=integer" for a variable of this release, or a
// name that stands twice, means the state was not written by this program.
std::vector<std::pair<std::string, std::string>> variables_in(const sandbox &box,
							      const std::string &text)
{
	std::vector<std::pair<std::string, std::string>> found;
	if (text.empty() || text.back() != '\n')
		corrupt(box, "it does not end in a complete line");
	std::size_t number = 0;
	for (std::size_t line = 0; line < text.size(); line = text.find('\n', line) + 1) {
		++number;
		std::string whole = text.substr(line, text.find('\n', line) - line);
		std::size_t eq = whole.find('=');
		std::string name = whole.substr(0, eq);
		long value = 0;
		if (eq == std::string::npos || !variable_for(box, name) ||
		    !parse(whole.substr(eq + 1), value, true))
			corrupt(box, "line " + std::to_string(number) + " is '" + whole + "'");
		for (const auto &[earlier, ignored] : found)
			if (earlier == name)
				corrupt(box, name + " stands twice");
		found.emplace_back(name, whole.substr(eq + 1));
	}
	return found;
}

std::string value_in(const std::string &text, const std::string &name)
{
	return std::string(last_setting(text, name).value);
}

// The variable that name is in the simulated kernel, or nullptr.
const variable *oid(const sandbox &box, const std::string &text, const std::string &name)
{
	const variable *v = variable_for(box, name);
	return v && last_setting(text, name).sets ? v : nullptr;
}

// What the kernel's pcm_setmaxautovchans does to every attached unit:
// vchans above most come down to it, and none become one when most allows
// any.
void limit_vchans(std::string &text, long most)
{
	std::string out;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t end = text.find('\n', at) + 1;
		std::string line = text.substr(at, end - at - 1);
		at = end;
		const std::size_t eq = line.find('=');
		const std::string name = line.substr(0, eq);
		if (name.starts_with(unit_prefix) &&
		    (name.ends_with(".play.vchans") || name.ends_with(".rec.vchans"))) {
			long vchans = std::strtol(line.c_str() + eq + 1, nullptr, 10);
			if (vchans > most)
				vchans = most;
			else if (vchans == 0 && most > 0)
				vchans = 1;
			line = name + "=" + std::to_string(vchans);
		}
		out += line + "\n";
	}
	text = out;
}

// Writes one assignment into text; true when the kernel took it, or when
// the kernel lacks the name and ignore_unknown says to skip it silently.
bool assign(const sandbox &box, std::string &text, const std::string &name,
	    const std::string &value_text, bool ignore_unknown)
{
	const variable *v = oid(box, text, name);
	if (!v) {
		if (!ignore_unknown)
			std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
		return ignore_unknown;
	}
	long value = 0;
	if (!parse(value_text, value))
		return false;
	const std::string old = value_in(text, name);
	const char *refusal = nullptr;
	if (geteuid() != 0 && v->how != accepts::unit)
		refusal = "Operation not permitted";
	else if (v->how == accepts::unit)
		refusal = value >= 0 && last_setting(text, "dev.pcm." + std::to_string(value) +
								   ".play.vchans")
						  .sets
				  ? nullptr
				  : "Invalid argument";
	else if (v->how == accepts::toggle)
		value = value > 0 ? 1 : 0;
	else if (v->how == accepts::clamp)
		value = value < v->min ? v->min : value > v->max ? v->max : value;
	else if (value < v->min || value > v->max)
		refusal = "Invalid argument";
	if (refusal) {
		std::printf("%s: %s\n", name.c_str(), old.c_str());
		std::fflush(stdout);
		std::fprintf(stderr, "sysctl: %s=%s: %s\n", name.c_str(), value_text.c_str(),
			     refusal);
		return false;
	}
	text = with_setting(text, last_setting(text, name), name, std::to_string(value));
	std::printf("%s: %s -> %ld\n", name.c_str(), old.c_str(), value);
	if (name == "hw.snd.maxautovchans")
		limit_vchans(text, value);
	return true;
}

// Plugs unit in with the release's defaults for its own variables, or
// out; false, said as a line, when it is attached already or is not.
bool plug(const sandbox &box, std::string &text, long unit, bool in)
{
	const std::string prefix = unit_prefix + std::to_string(unit) + ".";
	const bool attached = last_setting(text, prefix + "play.vchans").sets;
	if (attached == in) {
		std::fprintf(stderr, "sandbox: pcm%ld is %s\n", unit,
			     in ? "attached already" : "not attached");
		return false;
	}
	std::string out;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t end = text.find('\n', at) + 1;
		if (in || text.compare(at, prefix.size(), prefix) != 0)
			out += text.substr(at, end - at);
		at = end;
	}
	// While maxautovchans is 0, a new unit gets no vchans on 13 and 14.
	const std::string most = value_in(text, "hw.snd.maxautovchans");
	const std::string vchans = box.release < 15 && most == "0" ? "0" : "1";
	if (in)
		for (const char *direction : {"play", "rec"})
			out.append(prefix).append(direction).append(".vchans=").append(vchans) +=
				'\n';
	text = out;
	return true;
}

[[noreturn]] void usage()
{
	std::fprintf(stderr, "usage: sysctl [-i] name[=value] ...\n"
			     "       sysctl [-i] -f file\n       sysctl -a\n"
			     "       sysctl -A unit | -D unit\n");
	std::exit(1);
}

// Applies each line of the file at path that sets a name, top to bottom;
// with ignore_unknown, a name the kernel lacks is skipped without a word.
// Lines that only name a variable change nothing and are not shown.
int apply_file(const sandbox &box, std::string &text, const char *path, bool ignore_unknown)
{
	const conf_file file = read_conf_file(path);
	if (!file.exists) {
		std::fprintf(stderr, "sysctl: %s: %s\n", path, std::strerror(ENOENT));
		return 1;
	}
	int status = 0;
	for (std::size_t at = 0; at < file.text.size();) {
		const conf_line line = read_conf_line(file.text, at);
		at = line.end;
		if (line.sets && !assign(box, text, kernel_name(line.name), std::string(line.value),
					 ignore_unknown))
			status = 1;
	}
	return status;
}

// What the command line asks for; the names to read or write follow
// optind.
struct request {
	long plug_unit = -1; // -A or -D
	bool plug_in = false;
	bool all = false;
	bool ignore_unknown = false;
	const char *file = nullptr;
};

request request_from(int argc, char **argv)
{
	request asked;
	int ch;
	while ((ch = getopt(argc, argv, "A:D:af:i")) != -1) {
		switch (ch) {
		case 'A':
		case 'D': {
			char *end = nullptr;
			asked.plug_unit = std::strtol(optarg, &end, 10);
			asked.plug_in = ch == 'A';
			if (*optarg < '0' || *optarg > '9' || *end != '\0' ||
			    asked.plug_unit >= most_units)
				usage();
			break;
		}
		case 'a':
			asked.all = true;
			break;
		case 'f':
			asked.file = optarg;
			break;
		case 'i':
			asked.ignore_unknown = true;
			break;
		default:
			usage();
		}
	}
	if ((asked.all || asked.file || asked.plug_unit >= 0) ? optind != argc : optind == argc)
		usage();
	return asked;
}

} // namespace

int main(int argc, char *argv[])
{
	const char *state = std::getenv("TOLVAREN_SANDBOX_STATE");
	if (!state || !*state) {
		std::fprintf(stderr, "sandbox: TOLVAREN_SANDBOX_STATE names no folder\n");
		return 2;
	}
	const long units = number_from("TOLVAREN_SANDBOX_UNITS", 0, most_units);
	const long late_units =
		std::getenv("TOLVAREN_SANDBOX_USB_UNITS")
			? number_from("TOLVAREN_SANDBOX_USB_UNITS", 0, most_units - units)
			: 0;
	const sandbox box{static_cast<int>(number_from("TOLVAREN_SANDBOX_RELEASE", 13, 15)),
			  units + late_units, std::string(state) + "/kernel"};

	const request asked = request_from(argc, argv);
	// Every call holds the lock from its read to its write, so that runs
	// at the same time take turns and lose nothing.
	const conf_lock lock = lock_conf_folder(box.kernel_path.c_str());
	const conf_file file = read_conf_file(box.kernel_path);
	std::string text = file.exists ? file.text : defaults(box);
	const auto current = variables_in(box, text);

	if (asked.all) {
		for (const auto &[name, value] : current)
			std::printf("%s: %s\n", name.c_str(), value.c_str());
		std::fflush(stdout);
		// A kernel read for the first time is made, as it boots.
		if (!file.exists && !replace_conf_file(lock, file, text))
			corrupt(box, "it was changed by another program");
		return 0;
	}
	int status = 0;
	if (asked.plug_unit >= 0 && !plug(box, text, asked.plug_unit, asked.plug_in))
		status = 1;
	if (asked.file)
		status = apply_file(box, text, asked.file, asked.ignore_unknown);
	for (int i = optind; i < argc; ++i) {
		std::string arg = argv[i];
		std::size_t eq = arg.find('=');
		std::string name = kernel_name(arg.substr(0, eq));
		if (eq != std::string::npos) {
			if (!assign(box, text, name, arg.substr(eq + 1), asked.ignore_unknown))
				status = 1;
		} else if (oid(box, text, name)) {
			std::printf("%s: %s\n", name.c_str(), value_in(text, name).c_str());
		} else if (!asked.ignore_unknown) {
			std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
			status = 1;
		}
	}
	std::fflush(stdout);
	// A read, or writes that all were refused, leave the state as it was.
	if ((!file.exists || text != file.text) && !replace_conf_file(lock, file, text))
		corrupt(box, "it was changed by another program");
	return status;
}
