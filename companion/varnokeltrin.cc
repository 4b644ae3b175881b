// Records one accepted sound setting in /etc/sysctl.conf, so that FreeBSD
// applies it again at boot:
//
//   varnokeltrin [-f file] name=value
//
// The last line that sets the name gets the new value in place; with none,
// the assignment is appended.  Every other byte of the file is kept.  Only
// the sound driver's settings that tolvaren_backend writes are accepted.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "conf_file.h"

namespace {

constexpr const char *default_file = "/etc/sysctl.conf";

// As for tolvaren_backend: glibc's getopt would otherwise look past the
// operand for more options.
#ifdef __GLIBC__
constexpr const char *options = "+f:";
#else
constexpr const char *options = "f:";
#endif

constexpr std::string_view usage = "usage: varnokeltrin [-f file] name=value\n";

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

bool is_sound_setting(std::string_view name)
{
	if (std::find(global_names.begin(), global_names.end(), name) != global_names.end())
		return true;
	if (!name.starts_with(device_prefix))
		return false;
	std::string_view rest = name.substr(device_prefix.size());
	return std::any_of(device_suffixes.begin(), device_suffixes.end(), [&](auto suffix) {
		return rest.ends_with(suffix) &&
		       is_decimal_int(rest.substr(0, rest.size() - suffix.size()));
	});
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

} // namespace

int main(int argc, char *argv[])
{
	const char *path = default_file;
	int ch;
	while ((ch = getopt(argc, argv, options)) != -1) {
		switch (ch) {
		case 'f':
			path = optarg;
			break;
		default:
			print_usage();
		}
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

	const conf_file file = lock_conf_file(path);
	const value_span current = last_setting(file.text, name);
	if (current.found &&
	    std::string_view(file.text).substr(current.begin, current.end - current.begin) == value)
		return 0;
	replace_conf_file(file, with_setting(file.text, name, value));
	return 0;
}
