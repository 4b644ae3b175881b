// SPDX-License-Identifier: BSD-2-Clause
// Runs the companion program as tolvaren_backend and the sandbox do, each
// case in a fresh folder, and checks its exit status, its standard error
// and the edited file byte for byte.
#include <sys/file.h>
#ifdef __linux__
#include <sys/mount.h>
#include <sys/sysmacros.h>
#endif
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "boot.h"
#include "conf_line.h"
#include "fuzz_settings.h"

namespace {

namespace fs = std::filesystem;

struct outcome {
	int status = -1; // exit status, or -1 when it did not exit
	std::string err;
};

std::string slurp(const fs::path &p)
{
	std::ifstream in(p, std::ios::binary);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

void spill(const fs::path &p, const std::string &text)
{
	std::ofstream(p, std::ios::binary) << text;
}

// A fresh folder, removed with everything in it at the end of the test.
struct folder {
	fs::path path;
	folder()
	{
		char tmpl[] = "/tmp/varnokeltrin_test.XXXXXX";
		path = mkdtemp(tmpl);
	}
	~folder() { fs::remove_all(path); }
	folder(const folder &) = delete;
	folder &operator=(const folder &) = delete;
	[[nodiscard]] fs::path conf() const { return path / "sysctl.conf"; }
	// The names in the folder, to find temporary files left behind.
	[[nodiscard]] std::set<std::string> names() const
	{
		std::set<std::string> found;
		for (const auto &entry : fs::directory_iterator(path))
			if (entry.path().filename() != "sysctl" &&
			    entry.path().filename() != "nodes")
				found.insert(entry.path().filename());
		return found;
	}
};

// The companion built for the tests asks ./sysctl about the kernel, a
// stand-in where a test puts one.  Nothing may reach the machine's own
// /sbin/sysctl: where the companion runs in a private mount namespace, a
// guard stands there, which notes any call, and each test fails on one.
const fs::path &guard()
{
	static const fs::path folder = [] {
		char tmpl[] = "/tmp/varnokeltrin_guard.XXXXXX";
		const fs::path made = mkdtemp(tmpl);
		std::ofstream(made / "sysctl") << "#!/bin/sh\necho \"$0 $*\" >>'"
					       << (made / "calls").string() << "'\nexit 1\n";
		fs::permissions(made / "sysctl", fs::perms::owner_all);
		return made;
	}();
	return folder;
}

class guarded : public testing::Environment {
      public:
	void SetUp() override { guard(); }
	void TearDown() override
	{
		EXPECT_FALSE(fs::exists(guard() / "calls"))
			<< "the machine's own /sbin/sysctl was called: "
			<< slurp(guard() / "calls");
		fs::remove_all(guard());
	}
};
[[maybe_unused]] testing::Environment *const guard_environment =
	testing::AddGlobalTestEnvironment(new guarded);

// On Linux the companion runs in a private mount namespace whose /etc is
// an empty in-memory folder, so that one that wrongly takes its default
// file cannot reach the machine's own; where none can be made, it does not
// run.  Elsewhere the runs that could reach it are skipped.
#ifdef __linux__
constexpr bool private_etc = true;
void enter_private_etc()
{
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("tmpfs", "/etc", "tmpfs", 0, "mode=0755") != 0 ||
	    (fs::exists("/sbin/sysctl") &&
	     mount((guard() / "sysctl").c_str(), "/sbin/sysctl", nullptr, MS_BIND, nullptr) != 0))
		_exit(125);
}
#else
constexpr bool private_etc = false;
void enter_private_etc() {}
#endif

// Starts the companion with the arguments, in the folder where given;
// standard error goes to err.
pid_t start(const std::vector<std::string> &args, const fs::path &err, const fs::path &in = {})
{
	std::vector<char *> argv{const_cast<char *>("varnokeltrin")};
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int file = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		dup2(file, STDERR_FILENO);
		alarm(20); // a run that waits for ever fails instead of hanging
		enter_private_etc();
		if (!in.empty() && chdir(in.c_str()) != 0)
			_exit(126);
		execv(COMPANION, argv.data());
		_exit(126);
	}
	return pid;
}

outcome finish(pid_t pid, const fs::path &err)
{
	int status = 0;
	waitpid(pid, &status, 0);
	outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(err)};
	fs::remove(err);
	return o;
}

outcome run(const std::vector<std::string> &args, const fs::path &in = {})
{
	const fs::path err =
		fs::temp_directory_path() / ("varnokeltrin_err." + std::to_string(getpid()));
	return finish(start(args, err, in), err);
}

outcome record(const folder &f, const std::string &assignment)
{
	return run({"-f", f.conf(), assignment}, f.path);
}

// The lines of ./nodes, "NAME VALUE", for a stand-in to answer
// "sysctl -n NAME" from, as FreeBSD answers for a device's nodes.
const std::string answer_nodes = "if [ \"$1\" = -n ]; then\n\twhile read -r n v; do\n"
				 "\t\t[ \"$n\" != \"$2\" ] || { printf '%s\\n' \"$v\"; exit 0; }\n"
				 "\tdone <nodes\n\texit 1\nfi\n";

// A USB card at pcm2, its pnpinfo as FreeBSD gives it, beside two built-in
// units.
const std::string card_at_2 = "dev.pcm.0.%parent hdaa0\ndev.pcm.1.%parent hdaa1\n"
			      "dev.pcm.2.%parent uaudio0\ndev.pcm.2.%desc Burr-Brown DAC\n"
			      "dev.uaudio.0.%pnpinfo vendor=0x08bb product=0x2902 devclass=0x00 "
			      "devsubclass=0x00 devproto=0x00 sernum=\"\" release=0x0100 mode=host "
			      "intclass=0x01 intsubclass=0x01 intprotocol=0x00\n";

// A USB card with two pcm units, pcm0 and pcm1, and a serial number with a
// blank, beside a built-in unit at pcm2.
const std::string two_unit_card =
	"dev.pcm.0.%parent uaudio0\ndev.pcm.1.%parent uaudio0\n"
	"dev.pcm.2.%parent hdaa0\ndev.pcm.1.%desc Maker Headset\n"
	"dev.uaudio.0.%pnpinfo vendor=0x0d8c product=0x0014 devclass=0x00 "
	"devsubclass=0x00 devproto=0x00 sernum=\"S N\" release=0x0100 "
	"mode=host intclass=0x01 intsubclass=0x01 intprotocol=0x00\n";
const std::string second_unit = " # card 0x0d8c:0x0014:S\\040N/1 Maker Headset";

// A stand-in ./sysctl in the folder for a kernel of the release: it knows
// the release's vchans switch and no other, and the nodes given.  Asked
// about a node, it first runs the shell words of asked.
void kernel_of_release(const folder &f, int release, const std::string &nodes = "",
		       const std::string &asked = "")
{
	spill(f.path / "nodes", nodes);
	spill(f.path / "sysctl",
	      "#!/bin/sh\n[ \"$1\" != -n ] || { " + asked + ":; }\n" + answer_nodes +
		      "case $1 in\nhw.snd.maxautovchans) [ " + std::to_string(release) +
		      " -lt 15 ] ;;\nhw.snd.vchans_enable) [ " + std::to_string(release) +
		      " -ge 15 ] ;;\n*) exit 1 ;;\nesac\n");
	fs::permissions(f.path / "sysctl", fs::perms::owner_all);
}

// Runs the shell script in the folder, in a private mount namespace where
// /etc is an empty in-memory folder, or the machine's own with every change
// kept in the test's folder.  The exit status, as system() gives it.
int in_private_etc(const folder &f, const std::string &script, bool empty = false)
{
	spill(f.path / "script.sh", script);
	const fs::path changes = f.path / ".etc";
	fs::create_directories(changes / "upper");
	fs::create_directories(changes / "work");
	const std::string etc = empty ? "mount -t tmpfs tmpfs /etc"
				      : "mount -t overlay overlay -o lowerdir=/etc,upperdir=" +
						(changes / "upper").string() +
						",workdir=" + (changes / "work").string() + " /etc";
	const std::string command =
		"cd '" + f.path.string() + "' && unshare --mount --propagation private sh -c '" +
		etc + " && { [ ! -e /sbin/sysctl ] || mount --bind " +
		(guard() / "sysctl").string() + " /sbin/sysctl; } && exec sh script.sh'";
	return system(command.c_str());
}

const std::string usage = "usage: varnokeltrin [-f file] name=value\n"
			  "       varnokeltrin [-f file] -a pcmN\n";
// What a run that took the lock leaves in the folder.
const std::set<std::string> file_and_lock{".sysctl.conf.lock", "sysctl.conf"};

// A file with everything that a hand-kept sysctl.conf may hold, and no
// final newline.
const std::string kept_by_hand = "# Sound settings\n"
				 "\n"
				 "\thw.snd.latency=2\t# quiet\n"
				 "hw.snd.latency_x=1\n"
				 "#hw.snd.latency=7\n"
				 "kern.maxfiles=1000   # not ours\n"
				 "  hw.snd.latency=9 # the last one wins at boot\n"
				 "\xff\xfe not UTF-8\r\n"
				 "hw.snd.vpc_0db=50";

// A shorter value here would move a piece boundary, and boot would then
// read kern.x with another value: the edit in place must be refused.
const std::string shifted = "hw.snd.latency=10 #" + std::string(1004, 'c') +
			    " kern.x=" + std::string(1015, 'y') + "zz\n";

struct edit_case {
	const char *what;
	std::optional<std::string> before; // no file at all when empty
	std::string assignment;
	std::string after;
	int release = 0;   // the kernel's release, where the rules depend on it
	std::string nodes; // the kernel's device nodes
	std::string asked; // shell words the kernel runs when asked about one
};

// A longer vchans value in place would move a piece boundary too: boot
// would then read "ern.x".
const std::string shifted_vchans = "dev.pcm.0.play.vchans=10 #" + std::string(997, 'c') +
				   " kern.x=" + std::string(1015, 'y') + "zz\n";

// clang-format off
const edit_case edits[] = {
	{"last line for the name, comment kept", kept_by_hand, "hw.snd.latency=4",
	 "# Sound settings\n\n\thw.snd.latency=2\t# quiet\nhw.snd.latency_x=1\n#hw.snd.latency=7\n"
	 "kern.maxfiles=1000   # not ours\n  hw.snd.latency=4 # the last one wins at boot\n"
	 "\xff\xfe not UTF-8\r\nhw.snd.vpc_0db=50"},
	{"line without final newline", kept_by_hand, "hw.snd.vpc_0db=100",
	 kept_by_hand.substr(0, kept_by_hand.size() - 2) + "100"},
	{"appended after a last line without newline", kept_by_hand, "hw.snd.maxautovchans=8",
	 kept_by_hand + "\nhw.snd.maxautovchans=8\n"},
	{"similar name is another", std::string("hw.snd.latency_x=1\n"), "hw.snd.latency=3",
	 "hw.snd.latency_x=1\nhw.snd.latency=3\n"},
	{"commented out is not set", std::string("# hw.snd.latency=1\n#hw.snd.latency=2\n"),
	 "hw.snd.latency=3", "# hw.snd.latency=1\n#hw.snd.latency=2\nhw.snd.latency=3\n"},
	{"not the first word", std::string("kern.x=1 hw.snd.latency=1\n"), "hw.snd.latency=3",
	 "kern.x=1 hw.snd.latency=1\nhw.snd.latency=3\n"},
	{"empty value and a comment glued on", std::string("hw.snd.latency=\nhw.snd.default_unit=1#x y\n"),
	 "hw.snd.default_unit=0", "hw.snd.latency=\nhw.snd.default_unit=0#x y\n"},
	{"missing file", std::nullopt, "dev.pcm.0.play.vchans=4", "dev.pcm.0.play.vchans=4\n"},
	{"empty file", std::string(), "dev.pcm.12.rec.vchans=-1", "dev.pcm.12.rec.vchans=-1\n"},
	{"32-bit limits", std::string("\n"), "dev.pcm.2147483647.play.vchans=-2147483648",
	 "\ndev.pcm.2147483647.play.vchans=-2147483648\n"},
	{"each of the six", std::string(), "hw.snd.vpc_mixer_bypass=0", "hw.snd.vpc_mixer_bypass=0\n"},
	{"quality", std::string(), "hw.snd.feeder_rate_quality=-2147483648",
	 "hw.snd.feeder_rate_quality=-2147483648\n"},
	{"an edit that changes another value", shifted, "hw.snd.latency=4", shifted + "hw.snd.latency=4\n"},
	{"coupled, same value not last", std::string("dev.pcm.1.rec.vchans=0\nhw.snd.maxautovchans=4\n"),
	 "dev.pcm.1.rec.vchans=0", "hw.snd.maxautovchans=4\ndev.pcm.1.rec.vchans=0\n"},
	{"coupled, already last", std::string("dev.pcm.0.play.vchans=8\nhw.snd.maxautovchans=4\n"),
	 "hw.snd.maxautovchans=4", "dev.pcm.0.play.vchans=8\nhw.snd.maxautovchans=4\n"},
	{"one trailing dot names it", std::string("hw.snd.latency=5\nhw.snd.latency.=7\nhw.snd.latency..=1\n"),
	 "hw.snd.latency=4", "hw.snd.latency=5\nhw.snd.latency.=4\nhw.snd.latency..=1\n"},
	{"coupled, an edit that changes another value", shifted_vchans, "dev.pcm.0.play.vchans=100",
	 shifted_vchans + "dev.pcm.0.play.vchans=100\n"},
	// In place, a unit that no line names would keep 5 of its vchans at
	// boot, where the kernel lowered them to 1.
	{"coupled, a unit that no line names", std::string("hw.snd.maxautovchans=1\ndev.pcm.0.play.vchans=5\n"),
	 "hw.snd.maxautovchans=9", "hw.snd.maxautovchans=1\ndev.pcm.0.play.vchans=5\nhw.snd.maxautovchans=9\n", 14},
	{"coupled on 15, on is on", std::string("hw.snd.vchans_enable=1\ndev.pcm.0.play.vchans=2\n"),
	 "dev.pcm.0.play.vchans=3", "hw.snd.vchans_enable=1\ndev.pcm.0.play.vchans=2\n", 15},
	{"coupled, the administrator's lines are kept",
	 std::string("dev.pcm.0.play.vchans=4\t# jackd needs 4, keep it\nhw.snd.latency=3\ndev.pcm.0.play.vchans=6\n"),
	 "dev.pcm.0.play.vchans=8",
	 "dev.pcm.0.play.vchans=4\t# jackd needs 4, keep it\nhw.snd.latency=3\ndev.pcm.0.play.vchans=8\n"},
	// A card's choice goes on a line that carries the card, after any
	// line that is not that card's; an administrator's stays as it is.
	{"a card's unit", std::string("dev.pcm.2.play.vchans=4\nkern.x=1\n"), "dev.pcm.2.play.vchans=6",
	 "dev.pcm.2.play.vchans=4\nkern.x=1\ndev.pcm.2.play.vchans=6 # card 0x08bb:0x2902:/0 Burr-Brown DAC\n",
	 14, card_at_2},
	{"a card's unit, the administrator's line", std::string("dev.pcm.2.play.vchans=4 # mine\n"),
	 "dev.pcm.2.play.vchans=6",
	 "dev.pcm.2.play.vchans=4 # mine\ndev.pcm.2.play.vchans=6 # card 0x08bb:0x2902:/0 Burr-Brown DAC\n",
	 14, card_at_2},
	{"a card as the default unit", std::string("hw.snd.default_unit=2 # card 0x0d8c:0x0014:HS1/0\n"),
	 "hw.snd.default_unit=2", "hw.snd.default_unit=2 # card 0x08bb:0x2902:/0 Burr-Brown DAC\n", 14, card_at_2},
	// The card's second unit, and a blank in its serial number; a
	// setting that names no unit is no card's, whatever its value.
	{"a card's second unit", std::string(), "dev.pcm.1.play.vchans=4",
	 "dev.pcm.1.play.vchans=4" + second_unit + "\n", 14, two_unit_card},
	{"a card's unit at the value it has", std::string("dev.pcm.1.play.vchans=4\n"),
	 "dev.pcm.1.play.vchans=4", "dev.pcm.1.play.vchans=4\ndev.pcm.1.play.vchans=4" + second_unit + "\n",
	 14, two_unit_card},
	{"a value that names a card's unit", std::string(), "hw.snd.latency=1", "hw.snd.latency=1\n",
	 14, two_unit_card},
	// The kernel's words about a question are not the companion's, and a
	// question it does not answer in time is given up: the setting is
	// recorded by number.
	{"the kernel says more than asked", std::string(), "dev.pcm.1.play.vchans=4",
	 "dev.pcm.1.play.vchans=4" + second_unit + "\n", 14, two_unit_card, "echo noise >&2;"},
	{"the kernel does not answer", std::string(), "dev.pcm.1.play.vchans=4",
	 "dev.pcm.1.play.vchans=4\n", 14, two_unit_card, "exec sleep 60;"},
	{"coupled, the companion's own lines go",
	 std::string("dev.pcm.0.play.vchans=4\nhw.snd.latency=3\nhw.snd.maxautovchans=2 # cap\ndev.pcm.0.play.vchans.=6\n"),
	 "dev.pcm.0.play.vchans=8",
	 "hw.snd.latency=3\nhw.snd.maxautovchans=2 # cap\ndev.pcm.0.play.vchans.=8\n", 14},
};
// clang-format on

void PrintTo(const edit_case &c, std::ostream *os)
{
	*os << c.what;
}

class edit : public testing::TestWithParam<edit_case> {};

TEST_P(edit, changes_only_the_value)
{
	const edit_case &c = GetParam();
	folder f;
	if (c.before)
		spill(f.conf(), *c.before);
	if (c.release != 0)
		kernel_of_release(f, c.release, c.nodes, c.asked);
	outcome o = record(f, c.assignment);
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(slurp(f.conf()), c.after);
	EXPECT_EQ(f.names(), file_and_lock);
	struct stat st {};
	ASSERT_EQ(stat(f.conf().c_str(), &st), 0);
	if (!c.before) {
		EXPECT_EQ(st.st_mode & 07777, 0644U);
	}
}

std::string case_name(const char *what)
{
	std::string name;
	for (const char *p = what; *p; ++p)
		name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
	return name;
}

INSTANTIATE_TEST_SUITE_P(golden, edit, testing::ValuesIn(edits),
			 [](const auto &info) { return case_name(info.param.what); });

struct refusal_case {
	const char *what;
	std::vector<std::string> args; // "FILE" stands for the file's path
	std::string err;               // "FILE" stands for the file's path
};

std::string not_ours(const std::string &arg)
{
	return "varnokeltrin: " + arg + ": not a sound setting that it records\n";
}

std::string bad_value(const std::string &arg)
{
	return "varnokeltrin: " + arg + ": the value is not a decimal 32-bit integer\n";
}

// clang-format off
const refusal_case refusals[] = {
	{"no operand", {"-f", "FILE"}, usage},
	{"two operands", {"-f", "FILE", "hw.snd.latency=1", "hw.snd.latency=2"}, usage},
	{"unknown option", {"-x", "-f", "FILE", "hw.snd.latency=1"}, ""},
	{"option after the operand", {"hw.snd.latency=1", "-f", "FILE"}, usage},
	{"not an assignment", {"-f", "FILE", "hw.snd.latency"},
	 "varnokeltrin: hw.snd.latency: not name=value\n"},
	{"another subsystem", {"-f", "FILE", "kern.securelevel=-1"}, not_ours("kern.securelevel=-1")},
	{"unknown sound name", {"-f", "FILE", "hw.snd.verbose=4"}, not_ours("hw.snd.verbose=4")},
	{"empty name", {"-f", "FILE", "=4"}, not_ours("=4")},
	{"unit with a leading zero", {"-f", "FILE", "dev.pcm.01.play.vchans=1"},
	 not_ours("dev.pcm.01.play.vchans=1")},
	{"unit minus zero", {"-f", "FILE", "dev.pcm.-0.rec.vchans=1"}, not_ours("dev.pcm.-0.rec.vchans=1")},
	{"negative unit", {"-f", "FILE", "dev.pcm.-1.play.vchans=4"}, not_ours("dev.pcm.-1.play.vchans=4")},
	{"unit beyond 32 bits", {"-f", "FILE", "dev.pcm.2147483648.play.vchans=1"},
	 not_ours("dev.pcm.2147483648.play.vchans=1")},
	{"unit missing", {"-f", "FILE", "dev.pcm..play.vchans=1"}, not_ours("dev.pcm..play.vchans=1")},
	{"other per-unit name", {"-f", "FILE", "dev.pcm.0.bitperfect=1"}, not_ours("dev.pcm.0.bitperfect=1")},
	{"empty value", {"-f", "FILE", "hw.snd.latency="}, bad_value("hw.snd.latency=")},
	{"plus sign", {"-f", "FILE", "hw.snd.latency=+1"}, bad_value("hw.snd.latency=+1")},
	{"leading zero", {"-f", "FILE", "hw.snd.latency=05"}, bad_value("hw.snd.latency=05")},
	{"minus zero", {"-f", "FILE", "hw.snd.latency=-0"}, bad_value("hw.snd.latency=-0")},
	{"beyond 32 bits", {"-f", "FILE", "hw.snd.latency=2147483648"}, bad_value("hw.snd.latency=2147483648")},
	{"below 32 bits", {"-f", "FILE", "hw.snd.latency=-2147483649"}, bad_value("hw.snd.latency=-2147483649")},
	{"hex", {"-f", "FILE", "hw.snd.latency=0x10"}, bad_value("hw.snd.latency=0x10")},
	{"a comment smuggled in", {"-f", "FILE", "hw.snd.latency=1 # x"}, bad_value("hw.snd.latency=1 # x")},
	{"a second line smuggled in", {"-f", "FILE", "hw.snd.latency=1\nkern.securelevel=-1"},
	 bad_value("hw.snd.latency=1\\012kern.securelevel=-1")},
	{"escape sequences shown", {"-f", "FILE", "\033[2J=1\\"}, not_ours("\\033[2J=1\\134")},
	{"folder instead of a file", {"-f", "FILE/", "hw.snd.latency=1"},
	 "varnokeltrin: FILE/: names a folder, not a file\n"},
	{"attach without a unit", {"-f", "FILE", "-a", "pcm"}, usage},
	{"attach of another device", {"-f", "FILE", "-a", "uaudio0"}, usage},
	{"attach with a leading zero", {"-f", "FILE", "-a", "pcm02"}, usage},
	{"attach of a negative unit", {"-f", "FILE", "-a", "pcm-1"}, usage},
	{"attach and an assignment", {"-f", "FILE", "-a", "pcm2", "hw.snd.latency=1"}, usage},
};
// clang-format on

std::string with_path(std::string text, const std::string &path)
{
	for (std::size_t at; (at = text.find("FILE")) != std::string::npos;)
		text.replace(at, 4, path);
	return text;
}

void PrintTo(const refusal_case &c, std::ostream *os)
{
	*os << c.what;
}

class refusal : public testing::TestWithParam<refusal_case> {};

TEST_P(refusal, leaves_the_file_as_it_was)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	const refusal_case &c = GetParam();
	folder f;
	spill(f.conf(), kept_by_hand);
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(with_path(a, f.conf()));
	outcome o = run(args);
	EXPECT_EQ(o.status, 1);
	if (!c.err.empty()) {
		EXPECT_EQ(o.err, with_path(c.err, f.conf()));
	} else {
		// getopt's diagnostic, in this C library's words, then the usage.
		EXPECT_TRUE(o.err.ends_with("\n" + usage)) << o.err;
	}
	EXPECT_EQ(slurp(f.conf()), kept_by_hand);
	EXPECT_EQ(f.names(), std::set<std::string>{"sysctl.conf"});
}

INSTANTIATE_TEST_SUITE_P(refused, refusal, testing::ValuesIn(refusals),
			 [](const auto &info) { return case_name(info.param.what); });

// What stands at the file's path instead of a regular file.
TEST(file_type, anything_but_a_regular_file_is_refused_untouched)
{
	struct kind {
		const char *what;
		void (*make)(const fs::path &conf, const fs::path &folder);
		const char *message;
	};
	const kind kinds[] = {
		{"symbolic link",
		 [](const fs::path &conf, const fs::path &dir) {
			 spill(dir / "target", kept_by_hand);
			 fs::create_symlink(dir / "target", conf);
		 },
		 ": is a symbolic link; not followed\n"},
		{"dangling symbolic link",
		 [](const fs::path &conf, const fs::path &dir) {
			 fs::create_symlink(dir / "nowhere", conf);
		 },
		 ": is a symbolic link; not followed\n"},
		{"folder",
		 [](const fs::path &conf, const fs::path &) { fs::create_directory(conf); },
		 ": not a regular file\n"},
		{"FIFO with no writer",
		 [](const fs::path &conf, const fs::path &) { mkfifo(conf.c_str(), 0644); },
		 ": not a regular file\n"},
	};
	for (const kind &k : kinds) {
		SCOPED_TRACE(k.what);
		folder f;
		k.make(f.conf(), f.path);
		auto before = f.names();
		outcome o = record(f, "hw.snd.latency=1");
		EXPECT_EQ(o.status, 1);
		EXPECT_EQ(o.err, "varnokeltrin: " + f.conf().string() + k.message);
		before.insert(".sysctl.conf.lock");
		EXPECT_EQ(f.names(), before);
		if (fs::exists(f.path / "target")) {
			EXPECT_EQ(slurp(f.path / "target"), kept_by_hand);
			EXPECT_TRUE(fs::is_symlink(f.conf()));
		}
	}
	// A device node of the test's own, made as the machine's /dev/null
	// is, so that a faulty run can replace nothing that matters.
	folder f;
	const fs::path device = f.path / "null";
	if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
		GTEST_SKIP() << "no device node can be made here: " << std::strerror(errno);
	outcome o = run({"-f", device, "hw.snd.latency=1"});
	EXPECT_EQ(o.status, 1);
	EXPECT_EQ(o.err, "varnokeltrin: " + device.string() + ": not a regular file\n");
	EXPECT_TRUE(fs::is_character_file(device));
	EXPECT_EQ(f.names(), (std::set<std::string>{".null.lock", "null"}));
}

// Without -f the setting goes to /etc/sysctl.conf, here the private one.
TEST(file_type, default_file_is_etc_sysctl_conf)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	folder f;
	ASSERT_EQ(in_private_etc(f,
				 "exec >out 2>&1; '" COMPANION "' hw.snd.latency=3 && "
				 "cat /etc/sysctl.conf && LC_ALL=C ls -A /etc",
				 true),
		  0)
		<< slurp(f.path / "out");
	EXPECT_EQ(slurp(f.path / "out"), "hw.snd.latency=3\n.sysctl.conf.lock\nsysctl.conf\n");
}

TEST(file_type, missing_folder_is_named)
{
	folder f;
	const std::string conf = (f.path / "none" / "sysctl.conf").string();
	outcome o = run({"-f", conf, "hw.snd.latency=1"});
	EXPECT_EQ(o.status, 1);
	EXPECT_EQ(o.err, "varnokeltrin: " + (f.path / "none").string() + ": " +
				 std::strerror(ENOENT) + "\n");
}

TEST(replacement, keeps_mode_owner_and_group)
{
	folder f;
	spill(f.conf(), "hw.snd.latency=1\n");
	ASSERT_EQ(chmod(f.conf().c_str(), 0640), 0);
	const bool root = geteuid() == 0;
	if (root) {
		ASSERT_EQ(chown(f.conf().c_str(), 1234, 5678), 0);
	}
	struct stat before {};
	ASSERT_EQ(stat(f.conf().c_str(), &before), 0);
	outcome o = record(f, "hw.snd.latency=2");
	EXPECT_EQ(o.status, 0) << o.err;
	struct stat after {};
	ASSERT_EQ(stat(f.conf().c_str(), &after), 0);
	EXPECT_EQ(slurp(f.conf()), "hw.snd.latency=2\n");
	EXPECT_NE(after.st_ino, before.st_ino) << "the file was written in place";
	EXPECT_EQ(after.st_mode, before.st_mode);
	EXPECT_EQ(after.st_uid, before.st_uid);
	EXPECT_EQ(after.st_gid, before.st_gid);
	if (!root)
		GTEST_SKIP() << "the owner could only be checked as root";
}

TEST(replacement, unchanged_value_is_not_rewritten)
{
	folder f;
	spill(f.conf(), "hw.snd.latency=3 # kept\nhw.snd.latency=2\n");
	const struct timeval long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
	ASSERT_EQ(utimes(f.conf().c_str(), long_ago), 0);
	struct stat before {};
	ASSERT_EQ(stat(f.conf().c_str(), &before), 0);
	outcome o = record(f, "hw.snd.latency=2");
	EXPECT_EQ(o.status, 0);
	struct stat after {};
	ASSERT_EQ(stat(f.conf().c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mtime, before.st_mtime);
	EXPECT_EQ(slurp(f.conf()), "hw.snd.latency=3 # kept\nhw.snd.latency=2\n");
}

// A file of the size of a busy sysctl.conf and more.
std::string large_file(int lines)
{
	std::string text;
	for (int i = 0; i < lines; ++i)
		text += "kern.example" + std::to_string(i) + "=" + std::to_string(i) +
			" # filler\n";
	return text + "hw.snd.latency=1\n";
}

TEST(replacement, large_file_takes_linear_time)
{
	folder f;
	const std::string text = large_file(100000);
	spill(f.conf(), text);
	const auto began = std::chrono::steady_clock::now();
	outcome o = record(f, "hw.snd.latency=2");
	const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(slurp(f.conf()), text.substr(0, text.size() - 2) + "2\n");
	std::cout << "100,000 lines (" << text.size() << " bytes) in " << took.count() << " s\n";
	EXPECT_LT(took.count(), 5.0);
}

// Stopped by a signal at random moments, a run leaves the file wholly old
// or wholly new.  SIGHUP, SIGINT and SIGTERM leave no temporary file; what
// SIGKILLed runs leave, the next run clears.
TEST(replacement, signals_leave_old_or_new_and_no_temporary_file)
{
	folder f;
	const std::string old_text = large_file(50000);
	spill(f.conf(), old_text);
	const fs::path err = f.path.parent_path() / (f.path.filename().string() + ".err");
	// How long an undisturbed run that rewrites the file takes.  Signals
	// fall anywhere within three times that.
	const auto began = std::chrono::steady_clock::now();
	ASSERT_EQ(record(f, "hw.snd.latency=0").status, 0);
	const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
		std::chrono::steady_clock::now() - began);
	std::mt19937 random(std::random_device{}());
	int saw_old = 0, saw_new = 0;
	std::size_t left = 0;
	std::string current = old_text.substr(0, old_text.size() - 2) + "0\n";
	for (int round = 0; round < 80; ++round) {
		const int signal = std::array{SIGHUP, SIGINT, SIGTERM, SIGKILL}[round / 20];
		const std::string value = std::to_string(round + 2);
		const std::string next = current.substr(0, current.rfind('=') + 1) + value + "\n";
		pid_t pid = start({"-f", f.conf(), "hw.snd.latency=" + value}, err);
		usleep(std::uniform_int_distribution<unsigned>(
			0, static_cast<unsigned>(span.count() * 3))(random));
		kill(pid, signal);
		finish(pid, err);
		const std::string now = slurp(f.conf());
		ASSERT_TRUE(now == current || now == next)
			<< "round " << round << ": a mix or a loss";
		(now == current ? saw_old : saw_new)++;
		current = now;
		left = f.names().size() - file_and_lock.size();
		if (signal != SIGKILL) {
			ASSERT_EQ(left, 0U) << "signal " << signal << " left a temporary file";
		}
	}
	std::cout << "80 runs of " << span.count() << " us stopped at random: " << saw_old
		  << " left the old file, " << saw_new << " the new one; the 20 SIGKILLed ones "
		  << left << " temporary files\n";
	// As a killed run leaves one, and a name that is not of that pattern.
	spill(f.path / ".sysctl.conf.varnokeltrin.Ab12Cd", "hw.snd.latency=");
	spill(f.path / ".sysctl.conf.backup", old_text);
	outcome o = record(f, "hw.snd.latency=99");
	EXPECT_EQ(o.status, 0) << o.err;
	EXPECT_EQ(slurp(f.conf()), old_text.substr(0, old_text.size() - 2) + "99\n");
	auto kept = file_and_lock;
	kept.insert(".sysctl.conf.backup");
	EXPECT_EQ(f.names(), kept);
}

// What FreeBSD's sysctl makes of each line, written out from its rules:
// the name and value of every piece that sets one, in order.
struct parse_case {
	const char *what;
	std::string text;
	std::vector<std::pair<std::string, std::string>> sets;
};

// clang-format off
const parse_case parses[] = {
	{"plain", "hw.snd.latency=3\n", {{"hw.snd.latency", "3"}}},
	{"blanks and a comment", "  hw.snd.latency = 3   # mine\n", {{"hw.snd.latency", "3"}}},
	{"every C blank", "\v\fhw.snd.latency \t=\t4\t\r\n", {{"hw.snd.latency", "4"}}},
	{"colon", "hw.snd.latency:3", {{"hw.snd.latency", "3"}}},
	{"first of = and :", "a:b=c\nd=e:f\n", {{"a", "b=c"}, {"d", "e:f"}}},
	{"double quotes", "hw.snd.latency=\"3\"", {{"hw.snd.latency", "3"}}},
	{"unmatched quote", "hw.snd.latency='3\n", {{"hw.snd.latency", "3"}}},
	{"blanks inside quotes", "a=' 3 '\n", {{"a", " 3 "}}},
	{"glued comment", "hw.snd.latency=3#why\n", {{"hw.snd.latency", "3"}}},
	{"no integer", "hw.snd.latency=3 extra\n", {{"hw.snd.latency", "3 extra"}}},
	{"hex stays text", "hw.snd.latency=0x0a\n", {{"hw.snd.latency", "0x0a"}}},
	{"a read", "hw.snd.latency\n\n   \n", {}},
	{"a comment", "#hw.snd.latency=3\n", {}},
	{"escaped hash", "hw.snd.latency=\\#3\n", {{"hw.snd.latency", "\\#3"}}},
	{"hash inside double quotes", "kern.y: \"a # b\" # c\n", {{"kern.y", "a # b"}}},
	{"hash after a single quote", "hw.snd.latency='3' # it's\n", {{"hw.snd.latency", "3"}}},
	{"hash after a quote left open", "a=\"3 # x\n", {{"a", "3 # x"}}},
	{"a zero byte ends it", std::string("hw.snd.latency=3\0=9\nb=1\n", 23), {{"hw.snd.latency", "3"}, {"b", "1"}}},
	{"empty name", "=3\n", {{"", "3"}}},
	{"trailing dot kept in the name", "hw.snd.latency.=7\n", {{"hw.snd.latency.", "7"}}},
	{"pieces of 1023 bytes", std::string(1023, 'x') + "hw.snd.latency=3\n", {{"hw.snd.latency", "3"}}},
	{"a piece ends a value", "a=" + std::string(1021, 'y') + "b=2\n", {{"a", std::string(1021, 'y')}, {"b", "2"}}},
	{"a newline fits the piece", std::string(1018, 'z') + "=1\n", {{std::string(1018, 'z'), "1"}}},
};
// clang-format on

TEST(conf_line, reads_each_line_as_freebsd_sysctl_does)
{
	for (const parse_case &c : parses) {
		std::vector<std::pair<std::string, std::string>> got;
		for (std::size_t at = 0; at < c.text.size();) {
			const conf_line line = read_conf_line(c.text, at);
			if (line.sets)
				got.emplace_back(line.name, line.value);
			at = line.end;
		}
		EXPECT_EQ(got, c.sets) << c.what;
	}
	// The number sysctl writes from a value, as the consequences of its
	// rules say; nothing where the line writes nothing.
	// clang-format off
	const std::vector<std::pair<std::string, std::optional<int>>> numbers{
		{"3", 3}, {"3,", 3}, {"3 7", 3}, {"3,,9", 3}, {" ,3", 3}, {"4294967299", 3},
		{"-3", -3}, {"0x0a", 10}, {"012", 10}, {"+5", 5}, {"-2147483649", 2147483647},
		{"3 extra", std::nullopt}, {"extra 3", std::nullopt}, {"3\t7", std::nullopt},
		{",", std::nullopt}, {" ", std::nullopt}, {"", std::nullopt}, {"0x", std::nullopt},
		{"99999999999999999999", std::nullopt}, {"3 99999999999999999999", std::nullopt}};
	// clang-format on
	for (const auto &[value, number] : numbers)
		EXPECT_EQ(sysctl_number(value), number) << "[" << value << "]";
	// The kernel's lookup takes one trailing dot, and no other spelling.
	EXPECT_TRUE(same_variable("hw.snd.latency.", "hw.snd.latency"));
	EXPECT_FALSE(same_variable("hw.snd.latency..", "hw.snd.latency"));
	EXPECT_FALSE(same_variable("hw.snd.latenc", "hw.snd.latency"));
}

// What boot applies from a file, read as plainly as the rules say and
// apart from the companion's own parser: each assignment in order, with
// the span of its value as written.
struct boot_line {
	std::string name, value;
	std::size_t begin, end;
};

std::vector<boot_line> plain_boot(const std::string &text)
{
	std::vector<boot_line> made;
	auto blank = [](char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; };
	for (std::size_t at = 0, start = 0; at < text.size(); start = at) {
		while (at < text.size() && at - start < 1023 && text[at++] != '\n') {
		}
		std::string line = text.substr(start, at - start).c_str();
		const std::size_t q1 = line.find('\''), q2 = line.find('"');
		for (std::size_t i = 0; i < line.size(); ++i) {
			const std::size_t quote = q1 < i ? q1 : q2 < i ? q2 : std::string::npos;
			if (line[i] == '#' && quote != std::string::npos) {
				const std::size_t match = line.find(line[quote], quote + 1);
				line.resize(match == std::string::npos ? line.size() : match + 1);
				break;
			}
			if (line[i] == '#' && (i == 0 || line[i - 1] != '\\')) {
				line.resize(i);
				break;
			}
		}
		std::size_t first = 0, last = line.size();
		while (first < last && blank(line[first]))
			++first;
		while (last > first && blank(line[last - 1]))
			--last;
		const std::size_t delimiter = line.find_first_of("=:", first);
		if (delimiter >= last)
			continue;
		std::size_t value = delimiter + 1, name_end = delimiter;
		while (value < last && blank(line[value]))
			++value;
		while (name_end > first && blank(line[name_end - 1]))
			--name_end;
		boot_line a{line.substr(first, name_end - first), line.substr(value, last - value),
			    start + value, start + last};
		if (a.name.ends_with('.'))
			a.name.pop_back();
		if (!a.value.empty() && (a.value[0] == '"' || a.value[0] == '\'')) {
			if (a.value.size() > 1 && a.value.back() == a.value[0])
				a.value.pop_back();
			a.value.erase(0, 1);
		}
		made.push_back(a);
	}
	return made;
}

// The assignments that boot makes from the files in turn: of name alone,
// or of every other name.
std::vector<std::pair<std::string, std::string>> boot(const std::vector<std::string> &files,
						      const std::string &name, bool of_name)
{
	std::vector<std::pair<std::string, std::string>> made;
	for (const std::string &text : files)
		for (const boot_line &a : plain_boot(text))
			if ((a.name == name) == of_name)
				made.emplace_back(a.name, a.value);
	return made;
}

// The number that sysctl writes for a value, read plainly: pieces between
// blanks and commas, each a whole base-0 integer, the first one kept to
// 32 bits.  Nothing when the line writes nothing.
std::optional<int> plain_number(const std::string &value)
{
	std::optional<int> first;
	std::string piece;
	for (std::size_t at = 0; at <= value.size(); ++at) {
		if (at < value.size() && value[at] != ' ' && value[at] != ',') {
			piece += value[at];
			continue;
		}
		if (piece.empty())
			continue;
		errno = 0;
		char *end = nullptr;
		const long long n = std::strtoll(piece.c_str(), &end, 0);
		if (*end != '\0' || end == piece.c_str() || errno != 0 || n < LONG_MIN ||
		    n > LONG_MAX)
			return std::nullopt;
		if (!first)
			first = static_cast<int>(static_cast<std::uint32_t>(n));
		piece.clear();
	}
	return first;
}

// The number that boot leaves name with, by the last line that writes it.
std::optional<int> boot_number_of(const std::vector<std::string> &files, const std::string &name)
{
	std::optional<int> last;
	for (const auto &[ignored, value] : boot(files, name, true))
		if (const std::optional<int> n = plain_number(value))
			last = n;
	return last;
}

// Random files made of the lines that sysctl.conf(5) allows, and the cases
// that earlier editing rules got wrong.  After each run, boot must apply
// the value, set every other name as before, and find every byte of both
// files where it was but the edited value, or the line appended; or, when
// boot gave the value already, both files as they were.
TEST(boot, applies_the_value_and_keeps_everything_else)
{
	const fuzz_settings fuzz = fuzz_settings_for("boot property (random file pairs)");
	const int runs = fuzz.runs;
	const unsigned seed = fuzz.seed;
	std::mt19937 random(seed);
	// clang-format off
	const std::vector<std::string> lines{
		"hw.snd.latency=3", "  hw.snd.latency = 3   # mine", "hw.snd.latency:3", "hw.snd.latency=\"3\"",
		"hw.snd.latency='4'", "hw.snd.latency=3#why", "hw.snd.latency=3 extra", "hw.snd.latency=0x0a",
		"hw.snd.latency", "#hw.snd.latency=3", "hw.snd.latency=\\#3", "\thw.snd.latency\t=\t4\t",
		"hw.snd.latency=\"3\" # it's", "hw.snd.latency='3", "hw.snd.latency=", "hw.snd.latency_x=2",
		"kern.x=1", "kern.y: \"a # b\"", "net.z='q'#c", "# comment", "", "   \\# x=1", "hw.snd.vpc_0db=50",
		"hw.snd.latency.=7", "hw.snd.latency..=6", "kern.q='a # b", "hw.snd.latency=3,",
		"hw.snd.latency=4 x7", "hw.snd.latency=4294967299", "hw.snd.latency=,", "hw.snd.latency=\" \"",
		"hw.snd.latency=0x4,,9", "hw.snd.latency=4\t7", "hw.snd.latency=99999999999999999999"};
	// clang-format on
	auto any_line = [&] { return lines[random() % lines.size()]; };
	auto any_file = [&] {
		std::string text;
		// Fillers make lines of several pieces, or nearly so.
		auto filler = [&] { return std::string(conf_piece_max - 24 + random() % 32, 'x'); };
		for (unsigned n = random() % 10; n > 0; --n) {
			text += (random() % 5 ? "" : filler()) + any_line();
			text += (random() % 5 ? "" : filler()) + (random() % 3 ? "\n" : "\r\n");
		}
		return random() % 4 ? text : text + any_line();
	};
	const std::string piece(conf_piece_max, 'x');
	// clang-format off
	const std::vector<std::array<std::string, 2>> fixed{
		{"hw.snd.latency=2\nhw.snd.latency = 8\n", ""}, {"hw.snd.latency=2\nhw.snd.latency:8\n", ""},
		{"hw.snd.latency=3 extra\n", ""}, {"hw.snd.latency=2\n" + piece + "hw.snd.latency=9\n", ""},
		{"hw.snd.latency=3\n", "hw.snd.latency=8\n"}, {"hw.snd.latency=3#why\n", ""},
		{"hw.snd.latency=3\r\n", ""}, {"  hw.snd.latency  =  3   # mine\n", ""},
		{piece.substr(20) + "hw.snd.latency=3 kern.x=1\n", ""},
		{piece + "hw.snd.latency=10" + piece.substr(17) + "kern.x=1\n", ""}};
	// clang-format on
	for (int run = 0; run < static_cast<int>(fixed.size()) + runs; ++run) {
		const bool is_fixed = run < static_cast<int>(fixed.size());
		const auto files = is_fixed ? fixed[run] : std::array{any_file(), any_file()};
		const bool has_local = is_fixed ? !files[1].empty() : random() % 2 == 0;
		const std::string value = is_fixed ? "4" : std::to_string(int(random() % 13) - 1);
		SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) +
			     ": hw.snd.latency=" + value + " on [" + files[0] + "] and [" +
			     files[1] + "]");
		folder f;
		const fs::path local = f.path / "sysctl.conf.local";
		spill(f.conf(), files[0]);
		if (has_local)
			spill(local, files[1]);
		const std::vector<std::string> before{files[0], has_local ? files[1] : ""};
		outcome o = record(f, "hw.snd.latency=" + value);
		ASSERT_EQ(o.status, 0) << o.err;
		ASSERT_EQ(fs::exists(local), has_local);
		const std::vector<std::string> after{slurp(f.conf()),
						     has_local ? slurp(local) : ""};
		EXPECT_EQ(boot_number_of(after, "hw.snd.latency"), std::stoi(value));
		EXPECT_EQ(boot(after, "hw.snd.latency", false),
			  boot(before, "hw.snd.latency", false));
		if (boot_number_of(before, "hw.snd.latency") == std::stoi(value)) {
			EXPECT_EQ(after, before);
			continue;
		}
		const std::size_t edited =
			boot({before[1]}, "hw.snd.latency", true).empty() ? 0 : 1;
		const std::string &old = before[edited];
		std::optional<boot_line> line;
		for (const boot_line &a : plain_boot(old))
			if (a.name == "hw.snd.latency")
				line = a;
		const std::string in_place =
			line ? old.substr(0, line->begin) + value + old.substr(line->end) : "";
		const std::string appended = old +
					     (old.empty() || old.ends_with('\n') ? "" : "\n") +
					     "hw.snd.latency=" + value + "\n";
		EXPECT_TRUE(after[edited] == appended || (line && after[edited] == in_place));
		EXPECT_EQ(after[1 - edited], before[1 - edited]);
	}
}

TEST(concurrency, fifty_parallel_runs_all_recorded)
{
	folder f;
	const std::string seed = "# kept\nkern.x=1\n";
	spill(f.conf(), seed);
	std::vector<std::pair<pid_t, fs::path>> runs;
	for (int unit = 0; unit < 50; ++unit) {
		fs::path err = f.path.parent_path() /
			       (f.path.filename().string() + ".err" + std::to_string(unit));
		runs.emplace_back(start({"-f", f.conf(),
					 "dev.pcm." + std::to_string(unit) +
						 ".play.vchans=" + std::to_string(unit)},
					err),
				  err);
	}
	for (auto &[pid, err] : runs)
		EXPECT_EQ(finish(pid, err).status, 0);
	const std::string text = slurp(f.conf());
	ASSERT_TRUE(text.starts_with(seed));
	std::set<std::string> lines;
	std::istringstream rest(text.substr(seed.size()));
	for (std::string line; std::getline(rest, line);)
		lines.insert(line);
	std::set<std::string> expected;
	for (int unit = 0; unit < 50; ++unit)
		expected.insert("dev.pcm." + std::to_string(unit) +
				".play.vchans=" + std::to_string(unit));
	EXPECT_EQ(lines, expected);
	EXPECT_EQ(f.names(), file_and_lock);
}

// True while some process holds an flock on path.
bool locked(const fs::path &path)
{
	const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
	if (fd >= 0)
		close(fd);
	return held;
}

// Nobody else can take the lock, and a run that holds it too long is given
// up on after ten seconds.
TEST(concurrency, only_the_companion_takes_the_lock_and_waits_ten_seconds_at_most)
{
	folder f;
	spill(f.conf(), "hw.snd.latency=1\n");
	fs::permissions(f.path, fs::perms::owner_all | fs::perms::group_exec |
					fs::perms::others_exec | fs::perms::group_read |
					fs::perms::others_read);
	pid_t nobody = fork();
	if (nobody == 0) {
		setpgid(0, 0); // flock runs sleep in a child, which the group takes along
		execlp("setpriv", "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
		       "flock", f.path.c_str(), "flock", f.conf().c_str(), "sleep", "60", nullptr);
		_exit(127);
	}
	while (!locked(f.conf()))
		usleep(1000);
	auto began = std::chrono::steady_clock::now();
	EXPECT_EQ(record(f, "hw.snd.latency=2").status, 0);
	EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
	kill(-nobody, SIGKILL);
	waitpid(nobody, nullptr, 0);

	spill(f.conf(), large_file(50000));

	const fs::path lock = f.path / ".sysctl.conf.lock", err = f.path / "err";
	pid_t stalled = -1;
	while (stalled < 0 || !locked(lock)) { // stopped with the lock held
		if (stalled > 0)
			finish(stalled, err);
		stalled = start({"-f", f.conf(), "hw.snd.latency=3"}, err);
		while (!locked(lock) && waitpid(stalled, nullptr, WNOHANG) == 0)
			usleep(200);
		kill(stalled, SIGSTOP);
	}
	const std::string text = slurp(f.conf());
	began = std::chrono::steady_clock::now();
	outcome o = record(f, "hw.snd.latency=4");
	const auto took = std::chrono::steady_clock::now() - began;
	EXPECT_EQ(o.status, 1);
	EXPECT_EQ(o.err, "varnokeltrin: " + f.conf().string() + ": busy: another run has held " +
				 lock.string() + " for 10 seconds; nothing was changed\n");
	EXPECT_GE(took, std::chrono::seconds(10));
	EXPECT_LT(took, std::chrono::seconds(12));
	EXPECT_EQ(slurp(f.conf()), text);
	kill(stalled, SIGKILL);
	finish(stalled, err);

	// A lock file that someone else could open is not used.
	fs::permissions(lock, fs::perms::others_read, fs::perm_options::add);
	EXPECT_EQ(record(f, "hw.snd.latency=5").err,
		  "varnokeltrin: " + lock.string() + ": not used as the lock: it must be a " +
			  "regular file that only user " + std::to_string(geteuid()) +
			  " may open\n");
}

TEST(replacement, keeps_the_access_acl)
{
	folder f;
	spill(f.conf(), "hw.snd.latency=1\n");
	const std::string file = f.conf().string(), listed = f.path.string() + "/acl";
	ASSERT_EQ(system(("chmod 640 " + file + " && setfacl -m u:nobody:rw,g::- " + file +
			  " && getfacl -n " + file + " >" + listed + "1")
				 .c_str()),
		  0);
	EXPECT_EQ(record(f, "hw.snd.latency=2").status, 0);
	ASSERT_EQ(system(("getfacl -n " + file + " >" + listed + "2").c_str()), 0);
	EXPECT_EQ(slurp(f.conf()), "hw.snd.latency=2\n");
	EXPECT_NE(slurp(listed + "1").find("user:65534:rw-"), std::string::npos);
	EXPECT_EQ(slurp(listed + "2"), slurp(listed + "1"));
}

// What another program, or the folder, does to the files while a run edits
// them: each script runs in the test's folder, which holds sysctl.conf
// with "hw.snd.latency=2", and prints what the run left.
struct meddling_case {
	const char *what, *script, *left;
};

// clang-format off
const meddling_case meddlings[] = {
	{"a line appended meanwhile is kept", "INTERFERE_TIMES=1 run hw.snd.latency=4; cat sysctl.conf",
	 "status 0\nhw.snd.latency=4\nkern.coredump=0\n"},
	{".local written every time", "INTERFERE_TIMES=9 INTERFERE_PATH=sysctl.conf.local run hw.snd.latency=4; cat sysctl.conf*",
	 "status 1\nvarnokeltrin: ./sysctl.conf: changed by another program while being edited; nothing was changed\n"
	 "hw.snd.latency=2\nkern.coredump=0\nkern.coredump=0\nkern.coredump=0\nkern.coredump=0\n"},
	{"written every time", "INTERFERE_TIMES=9 run hw.snd.latency=4; cat sysctl.conf",
	 "status 1\nvarnokeltrin: ./sysctl.conf: changed by another program while being edited; nothing was changed\n"
	 "hw.snd.latency=2\nkern.coredump=0\nkern.coredump=0\nkern.coredump=0\nkern.coredump=0\n"},
	{"a change of the same size, its time given back", "INTERFERE_HOW='same size' INTERFERE_TIMES=1 run hw.snd.latency=4; cat sysctl.conf",
	 "status 0\n#w.snd.latency=2\nhw.snd.latency=4\n"},
	{"removed meanwhile, and not put back", "echo kern.y=1 >>sysctl.conf; INTERFERE_HOW=remove INTERFERE_TIMES=1 run hw.snd.latency=4; cat sysctl.conf",
	 "status 0\nhw.snd.latency=4\n"},
	{"a .local file named", "run -f ./sysctl.conf.local hw.snd.latency=4; ls",
	 "status 1\nvarnokeltrin: ./sysctl.conf.local: names a .local file; name the file that boot reads before it\n"
	 "err\nleft\nscript.sh\nsysctl.conf\n"},
	// Refused whole, with no temporary file left.
	{"an immutable file", "chattr +i sysctl.conf && run hw.snd.latency=4; chattr -i sysctl.conf; ls -A; cat sysctl.conf",
	 "status 1\nvarnokeltrin: ./sysctl.conf: is immutable or append-only (chflags); nothing was changed\n"
	 ".etc\n.sysctl.conf.lock\nerr\nleft\nscript.sh\nsysctl.conf\nhw.snd.latency=2\n"},
	{"an append-only file", "chattr +a sysctl.conf && run hw.snd.latency=4; chattr -a sysctl.conf; ls -A; cat sysctl.conf",
	 "status 1\nvarnokeltrin: ./sysctl.conf: is immutable or append-only (chflags); nothing was changed\n"
	 ".etc\n.sysctl.conf.lock\nerr\nleft\nscript.sh\nsysctl.conf\nhw.snd.latency=2\n"},
	// Else the lock would take descriptor 2, and the message go into it.
	{"standard output and error closed", "rm sysctl.conf && mkdir sysctl.conf && '" COMPANION
	 "' -f ./sysctl.conf hw.snd.latency=4 >&- 2>&-; echo status $?; cat .sysctl.conf.lock", "status 1\n"},
	{"no ACL inherited from the folder", "setfacl -d -m u:65534:rw . && run hw.snd.latency=4 && "
	 "getfacl -cn .sysctl.conf.lock sysctl.conf | grep -c 65534; stat -c %a .sysctl.conf.lock",
	 "status 0\n0\n600\n"},
};
// clang-format on

TEST(replacement, keeps_what_others_write_and_takes_no_inherited_acl)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	for (const meddling_case &c : meddlings) {
		folder f;
		spill(f.conf(), "hw.snd.latency=2\n");
		const std::string run =
			"run() { LD_PRELOAD='" INTERFERING
			"' INTERFERE_PATH=${INTERFERE_PATH:-sysctl.conf} "
			"'" COMPANION
			"' -f ./sysctl.conf \"$@\" 2>err; echo status $?; cat err; }\n";
		in_private_etc(f, run + "{ " + c.script + "; } >left 2>&1", true);
		EXPECT_EQ(slurp(f.path / "left"), c.left) << c.what;
	}
}

#if defined(__has_feature)
constexpr bool under_address_sanitizer = __has_feature(address_sanitizer);
#elif defined(__SANITIZE_ADDRESS__)
constexpr bool under_address_sanitizer = true;
#else
constexpr bool under_address_sanitizer = false;
#endif

// Up to 64 MiB is edited; a larger file, and a lack of memory, end in one
// line and status 1 with the file untouched.
TEST(failure, memory_is_bounded)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	struct size_case {
		std::size_t size;
		const char *limit; // of the address space, or none
		std::string err;   // FILE stands for the file's path
	};
	const size_case cases[] = {
		{std::size_t{64} << 20, nullptr, ""},
		{(std::size_t{64} << 20) + 1, nullptr,
		 "varnokeltrin: FILE: larger than 64 MiB; not edited\n"},
		{std::size_t{60} << 20, "120000000",
		 "varnokeltrin: out of memory; nothing was changed\n"},
	};
	for (const size_case &c : cases) {
		if (c.limit && under_address_sanitizer) {
			std::cout << "AddressSanitizer needs more address space than the limit\n";
			continue;
		}
		folder f;
		spill(f.conf(), std::string(c.size - 18, '#') + "\nhw.snd.latency=1\n");
		const int status = in_private_etc(
			f, std::string(c.limit ? "prlimit --as=" : "") + (c.limit ? c.limit : "") +
				   " '" COMPANION "' -f sysctl.conf hw.snd.latency=2 2>err");
		EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.err.empty() ? 0 : 1);
		EXPECT_EQ(slurp(f.path / "err"), with_path(c.err, "sysctl.conf"));
		const std::string now = slurp(f.conf());
		EXPECT_EQ(now.size(), c.size);
		EXPECT_EQ(now.ends_with("=2\n"), c.err.empty());
	}
}

// On a full or read-only file system the file stays as it was and no
// temporary file is left.  A small tmpfs in a private mount namespace is
// the disk.
TEST(failure, full_or_read_only_disk_leaves_the_file_intact)
{
	if (system("unshare --mount --propagation private true 2>/dev/null") != 0) {
		const char *no_skip = std::getenv("TOLVAREN_NO_SKIP");
		ASSERT_FALSE(no_skip && std::string(no_skip) == "1")
			<< "no private mount namespace, and TOLVAREN_NO_SKIP=1";
		GTEST_SKIP() << "no private mount namespace can be made here";
	}
	struct disk_case {
		const char *what;
		const char *make_it_fail; // shell commands run on the prepared disk
		std::string err;
		const char *left; // the names on the disk afterwards
	};
	const disk_case cases[] = {
		{"full", "dd if=/dev/zero of=disk/filler bs=4k 2>/dev/null || true",
		 std::string("varnokeltrin: disk/sysctl.conf: ") + std::strerror(ENOSPC) + "\n",
		 ".sysctl.conf.lock\nfiller\nsysctl.conf\n"},
		{"read-only", "mount -o remount,ro disk",
		 std::string(
			 "varnokeltrin: disk/sysctl.conf: cannot make a temporary file in disk: ") +
			 std::strerror(EROFS) + "\n",
		 "sysctl.conf\n"},
	};
	for (const disk_case &c : cases) {
		SCOPED_TRACE(c.what);
		folder f;
		spill(f.path / "disk.sh",
		      std::string("set -e\n"
				  "mkdir disk\n"
				  "mount -t tmpfs -o size=256k tmpfs disk\n"
				  "awk 'BEGIN { for (i = 0; i < 3000; i++) print \"kern.x\" i "
				  "\"=\" i }' >disk/sysctl.conf\n"
				  "cp disk/sysctl.conf before\n") +
			      c.make_it_fail +
			      "\nset +e\n"
			      "'" COMPANION "' -f disk/sysctl.conf hw.snd.latency=3 2>err\n"
			      "echo $? >status\n"
			      "cmp -s before disk/sysctl.conf && echo intact >result\n"
			      "LC_ALL=C ls -A disk >left\n");
		ASSERT_EQ(in_private_etc(f, "exec sh disk.sh"), 0);
		EXPECT_EQ(slurp(f.path / "status"), "1\n");
		EXPECT_EQ(slurp(f.path / "err"), c.err);
		EXPECT_EQ(slurp(f.path / "result"), "intact\n");
		EXPECT_EQ(slurp(f.path / "left"), c.left);
	}
}

// Settings from a slider, on two units, where administrators' lines of the
// switch stand in both files: the files stay at most 16 lines longer than
// they started, and the same call again changes nothing.  That boot gives
// the kernel's state is the sandbox property test's to judge.
TEST(boot, coupled_settings_keep_the_files_small)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	const fuzz_settings fuzz = fuzz_settings_for("coupled settings (1000 a release)");
	std::mt19937 random(fuzz.seed);
	const std::vector<std::string> values{"-1", "0", "1", "2", "3", "4", "8", "16", "300"};
	for (int release : {14, 15}) {
		SCOPED_TRACE("seed " + std::to_string(fuzz.seed) + ", FreeBSD " +
			     std::to_string(release));
		folder f;
		spill(f.conf(),
		      release < 15 ? "# mine\nhw.snd.maxautovchans=4 # cap\n"
				     "dev.pcm.1.rec.vchans=3\ndev.pcm.0.play.vchans=2\t# jackd\n"
				     "kern.x=1\n"
				   : "hw.snd.maxautovchans=8\ndev.pcm.0.rec.vchans=1\n"
				     "dev.pcm.1.play.vchans=1 # for the mixer\n");
		spill(f.path / "sysctl.conf.local",
		      release < 15 ? "dev.pcm.0.play.vchans=2\n" : "hw.snd.vchans_enable=1 # on\n");
		spill(f.path / "sysctl",
		      release < 15 ? "#!/bin/sh\nexit 0\n"
				   : "#!/bin/sh\n[ \"$1\" != hw.snd.maxautovchans ]\n");
		fs::permissions(f.path / "sysctl", fs::perms::owner_all);
		std::string script = "cat sysctl.conf* | wc -l >lines\n", last;
		for (int i = 0; i < 1000; ++i) {
			const auto kind = random() % (release < 15 ? 3 : 2);
			last = (kind == 2 ? "hw.snd.maxautovchans"
					  : "dev.pcm." + std::to_string(random() % 2) +
						    (kind == 0 ? ".play.vchans" : ".rec.vchans")) +
			       "=" + values[random() % values.size()];
			script += "'" COMPANION "' -f ./sysctl.conf " + last +
				  " || exit 1\ncat sysctl.conf* | wc -l >>lines\n";
		}
		ASSERT_EQ(in_private_etc(f, script, true), 0);
		std::istringstream counts(slurp(f.path / "lines"));
		int start = 0, most = 0;
		counts >> start;
		for (int n = 0; counts >> n;)
			most = std::max(most, n);
		std::cout << "FreeBSD " << release << ": " << start << " lines at the start, "
			  << most << " at the most\n";
		EXPECT_LE(most, start + 16);
		std::array<struct stat, 2> before{}, after{};
		stat(f.conf().c_str(), &before[0]);
		stat((f.path / "sysctl.conf.local").c_str(), &before[1]);
		ASSERT_EQ(in_private_etc(f, "exec '" COMPANION "' -f ./sysctl.conf " + last, true),
			  0);
		stat(f.conf().c_str(), &after[0]);
		stat((f.path / "sysctl.conf.local").c_str(), &after[1]);
		EXPECT_EQ(after[0].st_ino, before[0].st_ino);
		EXPECT_EQ(after[1].st_ino, before[1].st_ino);
	}
}

// A unit that attaches gets what boot would give it, through exactly these
// commands: the stand-in sysctl records each, refuses what is listed, and
// hangs on what is listed as hung.  Built for the test, -a gives each
// command 2 seconds and all of them 5; it kills what it gives up on, lets
// its commands have SIGPIPE as the system gives it, and holds no lock
// while they run.
struct attach_case {
	std::string conf, local, refused, calls, err;
	std::string hung, before; // before: shell words run before it starts
	std::string meanwhile;    // shell words run while it runs
	std::string recorded;     // what that adds to the file
	std::string nodes;        // the kernel's device nodes (for a card)
	std::string edited;       // both files afterwards, when -a edits them
	int unit = 2;             // the unit that attaches
	bool immutable = false;   // sysctl.conf cannot be changed
};

// clang-format off
const attach_case attaches[] = {
	{"dev.pcm.2.play.vchans=8\ndev.pcm.2.rec.vchans=0\nhw.snd.maxautovchans=4\nhw.snd.default_unit=2\n", "", "",
	 "dev.pcm.2.play.vchans=4\ndev.pcm.2.rec.vchans=1\nhw.snd.default_unit=2\n", ""},
	{"hw.snd.maxautovchans=2\ndev.pcm.2.play.vchans.=0x10\ndev.pcm.1.rec.vchans=3\nhw.snd.default_unit=2\n",
	 "dev.pcm.2.play.vchans=abc\ndev.pcm.2.rec.vchans=300\nhw.snd.default_unit=0\n", "",
	 "dev.pcm.2.play.vchans=16\ndev.pcm.2.rec.vchans=256\n", ""},
	{"dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n", "", "dev.pcm.2.play.vchans=5",
	 "dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n",
	 "varnokeltrin: ./sysctl dev.pcm.2.play.vchans=5 exited with status 1\n"},
	// 15: the switch turns the unit's vchans off, named or not; a
	// direction that the unit lacks is left alone.
	{"dev.pcm.2.play.vchans=1\nhw.snd.vchans_enable=1\n", "hw.snd.vchans_enable=0 # off\n",
	 "hw.snd.maxautovchans\ndev.pcm.2.rec.vchans",
	 "hw.snd.vchans_enable\ndev.pcm.2.rec.vchans\ndev.pcm.2.play.vchans=0\n", ""},
	// 15 reads any number above 0 as on; a direction that no line names
	// gets the attach default where the unit has it.
	{"dev.pcm.2.play.vchans=5\n", "", "hw.snd.maxautovchans",
	 "hw.snd.vchans_enable\ndev.pcm.2.rec.vchans\ndev.pcm.2.play.vchans=1\ndev.pcm.2.rec.vchans=1\n", ""},
	// A write that hangs is ended, and the next one tried; a record made
	// meanwhile goes ahead at once.
	{"dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n", "", "", "dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n",
	 "varnokeltrin: ./sysctl dev.pcm.2.play.vchans=5 did not end within 2 seconds; it was ended\n",
	 "dev.pcm.2.play.vchans=5", "", "sleep 0.5; timeout 1 '" COMPANION "' -f ./sysctl.conf hw.snd.latency=7",
	 "hw.snd.latency=7\n"},
	// Three that hang share the 5 seconds.
	{"dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\nhw.snd.default_unit=2\n", "", "",
	 "dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\nhw.snd.default_unit=2\n",
	 "varnokeltrin: ./sysctl dev.pcm.2.play.vchans=5 did not end within 2 seconds; it was ended\n"
	 "varnokeltrin: ./sysctl dev.pcm.2.rec.vchans=6 did not end within 2 seconds; it was ended\n"
	 "varnokeltrin: ./sysctl hw.snd.default_unit=2 was ended: one -a gets 5 seconds in all\n",
	 "dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\nhw.snd.default_unit=2"},
	// Standard error a pipe that nobody reads, as with no logger.
	{"dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n", "", "dev.pcm.2.play.vchans=5",
	 "dev.pcm.2.play.vchans=5\ndev.pcm.2.rec.vchans=6\n", "", "", "mkfifo pipe && exec 3<>pipe 2>pipe 3<&- &&"},
	// A USB card at pcm2: its lines follow it there, another card's lines
	// for pcm2 are set aside, its own set aside are put back, and a line
	// without a card stays, but the card's own line moves after it.
	{.conf = "dev.pcm.3.play.vchans=8 # card 0x08bb:0x2902:/0 DAC\n"
		 "dev.pcm.2.play.vchans=4 # card 0x0d8c:0x0014:HS1/0 Headset\n"
		 "hw.snd.default_unit=3 # card 0x08bb:0x2902:/0 DAC\n"
		 "#varnokeltrin aside: dev.pcm.5.rec.vchans=0 # card 0x08bb:0x2902:/0 DAC\n"
		 "dev.pcm.2.rec.vchans=2\n",
	 .calls = "dev.pcm.2.play.vchans=8\ndev.pcm.2.rec.vchans=0\nhw.snd.default_unit=2\n",
	 .nodes = card_at_2,
	 .edited = "dev.pcm.2.play.vchans=8 # card 0x08bb:0x2902:/0 DAC\n"
		   "#varnokeltrin aside: dev.pcm.2.play.vchans=4 # card 0x0d8c:0x0014:HS1/0 Headset\n"
		   "hw.snd.default_unit=2 # card 0x08bb:0x2902:/0 DAC\n"
		   "dev.pcm.2.rec.vchans=2\n"
		   "dev.pcm.2.rec.vchans=0 # card 0x08bb:0x2902:/0 DAC\n"},
	// The second unit of a card that also has pcm0 attaches as pcm1:
	// its lines follow it from either file, one set aside at pcm1 comes
	// back, and a card that differs only in its serial number is another.
	{.conf = "dev.pcm.4.play.vchans=8 # card 0x0d8c:0x0014:S\\040N/1 Headset\n"
		 "dev.pcm.1.rec.vchans=3 # card 0x0d8c:0x0014:S\\040M/1 Other\n"
		 "#varnokeltrin aside: dev.pcm.1.rec.vchans=0 # card 0x0d8c:0x0014:S\\040N/1 Headset\n"
		 "dev.pcm.4.rec.vchans=2 # card 0x0d8c:0x0014:S\\040N/0 Headset\n",
	 .local = "hw.snd.default_unit=5 # card 0x0d8c:0x0014:S\\040N/1 Headset\n",
	 .calls = "dev.pcm.1.play.vchans=8\ndev.pcm.1.rec.vchans=0\nhw.snd.default_unit=1\n",
	 .nodes = two_unit_card,
	 .edited = "dev.pcm.1.play.vchans=8 # card 0x0d8c:0x0014:S\\040N/1 Headset\n"
		   "#varnokeltrin aside: dev.pcm.1.rec.vchans=3 # card 0x0d8c:0x0014:S\\040M/1 Other\n"
		   "dev.pcm.1.rec.vchans=0 # card 0x0d8c:0x0014:S\\040N/1 Headset\n"
		   "dev.pcm.4.rec.vchans=2 # card 0x0d8c:0x0014:S\\040N/0 Headset\n"
		   "hw.snd.default_unit=1 # card 0x0d8c:0x0014:S\\040N/1 Headset\n",
	 .unit = 1},
	// Where another card's line made the unit the default, the default
	// becomes what the edited files give, an attached unit.
	{.conf = "hw.snd.default_unit=1\nhw.snd.default_unit=2 # card 0x0d8c:0x0014:HS1/0 Headset\n",
	 .calls = "dev.pcm.2.play.vchans\ndev.pcm.2.rec.vchans\ndev.pcm.1.%parent\n"
		  "dev.pcm.2.play.vchans=1\ndev.pcm.2.rec.vchans=1\nhw.snd.default_unit=1\n",
	 .nodes = card_at_2,
	 .edited = "hw.snd.default_unit=1\n"
		   "#varnokeltrin aside: hw.snd.default_unit=2 # card 0x0d8c:0x0014:HS1/0 Headset\n"},
	// A file that cannot be changed stays as it is, and the unit still
	// gets what the edit would give it: its own line renumbered, and the
	// attach default for the direction of another card's line.
	{.conf = "dev.pcm.3.play.vchans=8 # card 0x08bb:0x2902:/0 DAC\n"
		 "dev.pcm.2.rec.vchans=0 # card 0x0d8c:0x0014:HS1/0 Headset\n",
	 .calls = "dev.pcm.2.rec.vchans\ndev.pcm.2.play.vchans=8\ndev.pcm.2.rec.vchans=1\n",
	 .err = "varnokeltrin: ./sysctl.conf: is immutable or append-only (chflags); not changed, but "
		"pcm2 was given what its edit gives\n",
	 .nodes = card_at_2, .immutable = true},
};
// clang-format on

TEST(attach, gives_the_unit_what_boot_would)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	for (const attach_case &c : attaches) {
		SCOPED_TRACE(c.conf + c.local);
		folder f;
		spill(f.conf(), c.conf);
		spill(f.path / "sysctl.conf.local", c.local);
		spill(f.path / "refused", c.refused + "\n");
		spill(f.path / "hung", c.hung + "\n");
		spill(f.path / "nodes", c.nodes);
		spill(f.path / "sysctl", "#!/bin/sh\n" + answer_nodes +
						 "printf '%s\\n' \"$*\" >>calls\nenv >environment\n"
						 "case $(ps -o sigignore= -p $$) in "
						 "*[13579bdfBDF]?\?\?) echo 'SIGPIPE "
						 "ignored' >>calls ;; esac\n"
						 "! grep -qxF -- \"$*\" hung || { echo $$ "
						 ">>hung_pids; exec sleep 60; }\n"
						 "! grep -qxF -- \"$*\" refused\n");
		fs::permissions(f.path / "sysctl", fs::perms::owner_all);
		const auto start = std::chrono::steady_clock::now();
		EXPECT_EQ(in_private_etc(
				  f,
				  (c.immutable ? "chattr +i sysctl.conf\n" : "") + c.before +
					  " X=1 '" COMPANION "' -f ./sysctl.conf -a pcm" +
					  std::to_string(c.unit) +
					  (c.before.empty() ? " 2>err" : "") + " &\na=$!\n" +
					  c.meanwhile +
					  "\nwait $a; s=$?\nchattr -i sysctl.conf 2>/dev/null\n"
					  "for p in $(cat hung_pids 2>/dev/null); do\n"
					  "\t! kill -0 $p 2>/dev/null || { echo $p "
					  ">>left_running; kill -9 $p; }\n"
					  "done\nexit $s\n",
				  true),
			  c.err.empty() && c.refused.find("=") == std::string::npos ? 0 : 1 << 8);
		EXPECT_LT(std::chrono::steady_clock::now() - start,
			  std::chrono::milliseconds(5900));
		EXPECT_EQ(slurp(f.path / "calls"), "hw.snd.maxautovchans\n" + c.calls);
		EXPECT_EQ(slurp(f.path / "err"), c.err);
		EXPECT_EQ(slurp(f.path / "left_running"), "");
		EXPECT_EQ(slurp(f.conf()) + slurp(f.path / "sysctl.conf.local"),
			  c.edited.empty() ? c.conf + c.recorded + c.local : c.edited);
		// Only PATH, whatever the caller had; a shell may add its own.
		const std::string environment = slurp(f.path / "environment");
		EXPECT_NE(environment.find("PATH=/sbin:/bin:/usr/sbin:/usr/bin\n"),
			  std::string::npos);
		EXPECT_EQ(environment.find("X="), std::string::npos) << environment;
	}
}

// The backend and the companion together: the assignment that the backend
// hands on is one that the companion records.
TEST(together, backend_hands_on_what_the_companion_records)
{
	if (!private_etc)
		GTEST_SKIP() << "needs a private mount namespace to keep /etc/sysctl.conf safe";
	folder f;
	std::ofstream(f.path / "sysctl") << "#!/bin/sh\nexit 0\n";
	std::ofstream(f.path / "varnokeltrin")
		<< "#!/bin/sh\nexec '" COMPANION "' -f ./sysctl.conf \"$@\"\n";
	fs::permissions(f.path / "sysctl", fs::perms::owner_all);
	fs::permissions(f.path / "varnokeltrin", fs::perms::owner_all);
	ASSERT_EQ(in_private_etc(f, "'" PROGRAM "' -u 2147483647 -p -7 -r 2147483647 -a ' +5' -b 0 "
				    "-d -l 3x -q -0 -v 9"),
		  0);
	EXPECT_EQ(slurp(f.conf()), "dev.pcm.2147483647.play.vchans=-7\n"
				   "dev.pcm.2147483647.rec.vchans=2147483647\n"
				   "hw.snd.vpc_0db=5\n"
				   "hw.snd.vpc_mixer_bypass=0\n"
				   "hw.snd.default_unit=2147483647\n"
				   "hw.snd.latency=3\n"
				   "hw.snd.feeder_rate_quality=0\n"
				   "hw.snd.maxautovchans=9\n");
}

} // namespace
