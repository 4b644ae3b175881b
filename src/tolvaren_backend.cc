// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <span>
#include <string_view>
#include <unistd.h>
#include <utility>

#include "setting_writer.h"

namespace {

// glibc's getopt moves operands behind the options unless the option
// string starts with '+'; FreeBSD's stops at the first operand already and
// would take the '+' for an option.
#ifdef __GLIBC__
constexpr const char *options = "+a:b:dl:p:q:r:u:v:";
#else
constexpr const char *options = "a:b:dl:p:q:r:u:v:";
#endif

constexpr std::string_view usage =
	"Usage: tolvaren_backend [-u unit -d] [-a amplify] [-q quality]\n";

constexpr std::size_t name_size = 512;

struct setting {
	char option;          // the option that asks for it
	const char *variable; // a kernel variable, or a template for the unit
	bool per_device;      // variable is a template taking the unit number
	bool writes_unit;     // written with the -u text instead of its own
};

// The settings in their order of application.
constexpr std::array<setting, 8> settings{{
	{'p', "dev.pcm.%d.play.vchans", true, false},
	{'r', "dev.pcm.%d.rec.vchans", true, false},
	{'a', "hw.snd.vpc_0db", false, false},
	{'b', "hw.snd.vpc_mixer_bypass", false, false},
	{'d', "hw.snd.default_unit", false, true},
	{'l', "hw.snd.latency", false, false},
	{'q', "hw.snd.feeder_rate_quality", false, false},
	{'v', "hw.snd.maxautovchans", false, false},
}};

// Options by letter: 'a' is 0.
constexpr std::size_t slot(char option)
{
	return static_cast<std::size_t>(option - 'a');
}

// What the command line asked for, by option letter.  The texts point
// into the argument vector.
struct request {
	std::array<bool, 26> given{};
	std::array<const char *, 26> text{};

	[[nodiscard]] bool has(char option) const { return given[slot(option)]; }
	[[nodiscard]] const char *text_of(char option) const
	{
		// cppcheck-suppress CastIntegerToAddressAtReturn
		return text[slot(option)];
	}
};

[[noreturn]] void print_usage()
{
	ssize_t written = write(STDERR_FILENO, usage.data(), usage.size());
	static_cast<void>(written);
	std::exit(1);
}

request parse(int argc, char **argv)
{
	request req;
	int ch;
	while ((ch = getopt(argc, argv, options)) != -1) {
		switch (ch) {
		case 'a':
		case 'b':
		case 'd':
		case 'l':
		case 'p':
		case 'q':
		case 'r':
		case 'u':
		case 'v':
			req.given[slot(static_cast<char>(ch))] = true;
			req.text[slot(static_cast<char>(ch))] = optarg;
			break;
		default:
			print_usage();
		}
	}
	return req;
}

bool needs_unit(const setting &s)
{
	return s.per_device || s.writes_unit;
}

const char *value_text(const request &req, const setting &s)
{
	return req.text_of(s.writes_unit ? 'u' : s.option);
}

// Control characters that vis(3) shows in C style, and their letters.
constexpr std::array<std::pair<char, char>, 7> c_style{{
	{'\a', 'a'},
	{'\b', 'b'},
	{'\t', 't'},
	{'\n', 'n'},
	{'\v', 'v'},
	{'\f', 'f'},
	{'\r', 'r'},
}};

// Writes text into out as one printable line, as vis(3) would: a control
// character in C style or octal, any byte beyond ASCII in octal, and a
// backslash doubled.  A text too long for out ends in "...".
void make_visible(const char *text, std::span<char> out)
{
	std::size_t n = 0;
	for (const char *p = text; *p != '\0'; ++p) {
		const auto byte = static_cast<unsigned char>(*p);
		std::array<char, 5> shown{};
		const auto *c = std::find_if(c_style.begin(), c_style.end(),
					     [&](const auto &pair) { return pair.first == *p; });
		if (byte == '\\')
			std::snprintf(shown.data(), shown.size(), "\\\\");
		else if (c != c_style.end())
			std::snprintf(shown.data(), shown.size(), "\\%c", c->second);
		else if (byte < 0x20 || byte >= 0x7f)
			std::snprintf(shown.data(), shown.size(), "\\%03o", byte);
		else
			shown[0] = *p;
		const std::string_view piece(shown.data());
		if (n + piece.size() + sizeof "..." > out.size()) {
			std::snprintf(&out[n], out.size() - n, "...");
			return;
		}
		piece.copy(&out[n], piece.size());
		n += piece.size();
	}
	out[n] = '\0';
}

void refuse_out_of_range(const char *text, char option)
{
	if (value_in_range(text))
		return;
	std::array<char, name_size> shown{};
	make_visible(text, shown);
	errx(1, "Value '%s' of -%c is out of range", shown.data(), option);
}

// Everything that could stop the run is checked before the first command,
// so misuse never leaves the settings half written.
void check(const request &req)
{
	bool unit_needed = false;
	for (const setting &s : settings)
		unit_needed = unit_needed || (req.has(s.option) && needs_unit(s));
	if (unit_needed && !req.has('u'))
		print_usage();
	if (unit_needed)
		refuse_out_of_range(req.text_of('u'), 'u');
	for (const setting &s : settings)
		if (req.has(s.option) && !s.writes_unit)
			refuse_out_of_range(req.text_of(s.option), s.option);
}

void apply(const request &req, const setting &s)
{
	if (!s.per_device) {
		set_sysctl(s.variable, value_text(req, s));
		return;
	}
	std::array<char, name_size> name{};
	int n = std::snprintf(name.data(), name.size(), s.variable, value_of(req.text_of('u')));
	if (n < 0 || static_cast<std::size_t>(n) >= name.size()) {
		quiet_broken_pipe();
		errx(1, "Name of %s is too long", s.variable);
	}
	set_sysctl(name.data(), value_text(req, s));
}

// A standard descriptor that the caller left closed would be taken by the
// first file a command opens, and the command's output would then end up
// in that file.
void open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
			err(1, "/dev/null");
}

// An ignored SIGCHLD is inherited across exec and would keep system() from
// collecting any command's status, so even a command that has already
// changed the kernel would be reported as failed.
void collect_children()
{
	struct sigaction dfl {};
	dfl.sa_handler = SIG_DFL;
	sigemptyset(&dfl.sa_mask);
	sigaction(SIGCHLD, &dfl, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
	// getopt's diagnostics and the program's own messages must end it with
	// status 1 even when nobody reads them.  Then the caller's SIGPIPE is
	// back: each later message quiets it first, and the commands of a
	// setting run with it ignored.
	const struct sigaction callers = quiet_broken_pipe();
	open_standard_descriptors();
	collect_children();

	request req = parse(argc, argv);
	check(req);
	sigaction(SIGPIPE, &callers, nullptr);
	for (const setting &s : settings)
		if (req.has(s.option))
			apply(req, s);
	return 0;
}
