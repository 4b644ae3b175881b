// SPDX-License-Identifier: BSD-2-Clause
// Runs the program as its front end does and checks its exit status, its
// output and the exact commands it ran.  The commands are the recording
// stand-ins, found in a fresh working directory of each run.
//
// The program's own messages are compared byte for byte.  What the platform
// says in its own words, getopt's diagnostics and the shell's line for a
// missing command, is compared with what this platform's getopt (a probe
// built with the program's toolchain) and /bin/sh actually print.
//
// TOLVAREN_PROGRAM and TOLVAREN_GETOPT_PROBE name another build of the
// program and its probe; TOLVAREN_PROGRAM_STATIC=1 says that it is linked
// statically, so that nothing can be interposed on it.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_settings.h"

namespace {

namespace fs = std::filesystem;

// What the platform adds to standard error before the program's own words.
enum class platform_words {
	none,
	getopt, // getopt's diagnostic for the same arguments
	shell,  // the shell's own words running a command line like the one
		// that failed: a command that is not there, or killed
};

struct setup {
	const char *fail = nullptr; // STANDIN_FAIL for the stand-ins
	bool companion_missing = false;
	bool sigchld_ignored = false;  // as a front end may start it
	bool system_fails = false;     // system() gives -1 with EAGAIN
	std::vector<const char *> env; // more NAME=VALUE for the program
	int closed_fd = -1;            // a standard descriptor left closed
	bool stderr_unread = false;    // a pipe whose reader has gone
	bool stdout_unread = false;    // the same for standard output
	bool no_processes = false;     // no process can be made (RLIMIT_NPROC 0)
	bool sigpipe_ignored = false;  // as a caller may start it
	bool sigterm_ignored = false;  // as nohup-like callers may
	int signal_number = 0;         // sent from outside after a pause:
	int signal_after_us = 0;       // this long after the start,
	bool to_group = false;         // to the program's process group
	// Standard output a pipe that the caller stops reading this long
	// after the start; -1 for none.
	int stdout_closed_after_us = -1;
};

struct outcome {
	int status = -1; // exit status, or 128 plus the signal that ended it
	std::string out, err, calls;
};

std::string slurp(const fs::path &p)
{
	std::ifstream in(p);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

const char *from_environment(const char *name, const char *otherwise)
{
	const char *value = std::getenv(name);
	return value && *value ? value : otherwise;
}

const char *const program_path = from_environment("TOLVAREN_PROGRAM", PROGRAM);
const char *const getopt_probe = from_environment("TOLVAREN_GETOPT_PROBE", GETOPT_PROBE);

// Runs path with argv in a fresh folder, with standard error into a
// string; the standard output and the exit status are dropped.
std::string error_output_of(const char *path, const std::vector<std::string> &argv)
{
	char tmpl[] = "/tmp/tolvaren_probe.XXXXXX";
	const fs::path dir = mkdtemp(tmpl);
	std::vector<char *> args;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int file = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		if (chdir(dir.c_str()) != 0 || file < 0)
			_exit(126);
		dup2(file, STDERR_FILENO);
		execv(path, args.data());
		_exit(126);
	}
	waitpid(pid, nullptr, 0);
	std::string err = slurp(dir / "err");
	fs::remove_all(dir);
	return err;
}

std::string platform_says(platform_words words, const std::vector<std::string> &args)
{
	std::vector<std::string> argv{"tolvaren_backend"};
	argv.insert(argv.end(), args.begin(), args.end());
	switch (words) {
	case platform_words::getopt:
		return error_output_of(getopt_probe, argv);
	case platform_words::shell:
		// As system() runs it, in a folder where no command is.
		return error_output_of("/bin/sh", {"sh", "-c", args.at(0)});
	case platform_words::none:
		break;
	}
	return "";
}

outcome run(const std::vector<std::string> &args, const setup &how = {})
{
	char tmpl[] = "/tmp/tolvaren_test.XXXXXX";
	const fs::path dir = mkdtemp(tmpl);
	fs::create_symlink(STAND_IN, dir / "sysctl");
	if (!how.companion_missing)
		fs::create_symlink(STAND_IN, dir / "varnokeltrin");
	// For ENV and BASH_ENV: a shell that reads it gives itself away.
	std::ofstream(dir / "hostile") << "echo hostile script ran >>calls\n";

	std::vector<char *> argv{const_cast<char *>("tolvaren_backend")};
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);

	std::array<int, 2> out_pipe{-1, -1};
	if (how.stdout_closed_after_us >= 0 && pipe(out_pipe.data()) != 0)
		return {};
	pid_t pid = fork();
	if (pid == 0) {
		// A group of its own, as a terminal or sudo's pseudo-terminal
		// gives it, so that a signal to the group spares the test.
		setpgid(0, 0);
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
			int file = open(fd == STDOUT_FILENO ? "out" : "err",
					O_WRONLY | O_CREAT | O_TRUNC, 0600);
			dup2(file, fd);
			close(file);
		}
		if (how.sigchld_ignored)
			signal(SIGCHLD, SIG_IGN);
		if (how.system_fails)
			setenv("LD_PRELOAD", FAILING_SYSTEM, 1);
		setenv("STANDIN_CALLER", std::to_string(getpid()).c_str(), 1);
		if (how.fail)
			setenv("STANDIN_FAIL", how.fail, 1);
		else
			unsetenv("STANDIN_FAIL");
		for (const char *assignment : how.env)
			putenv(const_cast<char *>(assignment));
		if (how.closed_fd >= 0)
			close(how.closed_fd);
		std::array<int, 2> pipe_ends{};
		for (const auto &[unread, fd] : {std::pair{how.stderr_unread, STDERR_FILENO},
						 {how.stdout_unread, STDOUT_FILENO}})
			if (unread && (pipe(pipe_ends.data()) != 0 || close(pipe_ends[0]) != 0 ||
				       dup2(pipe_ends[1], fd) < 0 || close(pipe_ends[1]) != 0))
				_exit(126);
		if (out_pipe[1] >= 0 && (dup2(out_pipe[1], STDOUT_FILENO) < 0 ||
					 close(out_pipe[0]) != 0 || close(out_pipe[1]) != 0))
			_exit(126);
		signal(SIGPIPE, how.sigpipe_ignored ? SIG_IGN : SIG_DFL);
		signal(SIGTERM, how.sigterm_ignored ? SIG_IGN : SIG_DFL);
		// As root the limit holds only for another user.
		const rlimit none{0, 0};
		if (how.no_processes &&
		    (setrlimit(RLIMIT_NPROC, &none) != 0 || (getuid() == 0 && setuid(65534) != 0)))
			_exit(126);
		execv(program_path, argv.data());
		_exit(126);
	}
	setpgid(pid, pid);
	if (out_pipe[1] >= 0)
		close(out_pipe[1]);
	// The signal and the caller's end of the pipe, each at its moment.
	const int signal_at = how.signal_number != 0 ? how.signal_after_us : -1;
	for (int now = 0;;) {
		int next = -1;
		for (const int at : {signal_at, how.stdout_closed_after_us})
			if (at >= now && (next < 0 || at < next))
				next = at;
		if (next < 0)
			break;
		usleep(static_cast<useconds_t>(next - now));
		if (next == signal_at)
			kill(how.to_group ? -pid : pid, how.signal_number);
		if (next == how.stdout_closed_after_us)
			close(out_pipe[0]);
		now = next + 1;
	}
	int status = 0;
	waitpid(pid, &status, 0);
	outcome o;
	o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	o.out = slurp(dir / "out");
	o.err = slurp(dir / "err");
	o.calls = slurp(dir / "calls");
	for (const auto &entry : fs::directory_iterator(dir)) {
		std::string name = entry.path().filename();
		if (name != "sysctl" && name != "varnokeltrin" && name != "hostile" &&
		    name != "out" && name != "err" && name != "calls")
			o.calls += "left behind: " + name + "\n";
	}
	fs::remove_all(dir);
	return o;
}

const std::string usage = "Usage: tolvaren_backend [-u unit -d] [-a amplify] [-q quality]\n";

// The two commands that writing one assignment runs.
std::string wrote(const std::string &assignment)
{
	return "./sysctl " + assignment + "\n./varnokeltrin " + assignment + "\n";
}

std::string range(const std::string &text, char option)
{
	return "tolvaren_backend: Value '" + text + "' of -" + option + " is out of range\n";
}

std::string failed(const std::string &command, int status)
{
	return "tolvaren_backend: Command '" + command + "' exited with status " +
	       std::to_string(status) + "\n";
}

struct run_case {
	const char *what;
	std::vector<std::string> args;
	setup how;
	int status;
	std::string err; // after what the platform says
	std::string calls;
	platform_words words = platform_words::none;
	std::vector<std::string> words_for; // the arguments it says them for
};

// One case a line or two, as a table reads best.
// clang-format off
const run_case cases[] = {
	{"nothing asked", {}, {}, 0, "", ""},
	{"unit alone", {"-u", "1"}, {}, 0, "", ""},
	{"unit alone is not examined", {"-u", "99999999999"}, {}, 0, "", ""},
	{"unknown option", {"-a", "5", "-x"}, {}, 1, usage, "", platform_words::getopt},
	{"missing argument", {"-a"}, {}, 1, usage, "", platform_words::getopt},
	{"unknown option in a cluster", {"-dxu", "1"}, {}, 1, usage, "", platform_words::getopt},
	{"play without unit", {"-p", "2"}, {}, 1, usage, ""},
	{"record without unit", {"-a", "1", "-r", "2"}, {}, 1, usage, ""},
	{"default without unit", {"-d"}, {}, 1, usage, ""},
	{"last text wins", {"-a", "5", "-a", "7"}, {}, 0, "", wrote("hw.snd.vpc_0db=7")},
	{"fixed order", {"-v", "4", "-a", "10", "-p", "2", "-u", "0"}, {}, 0, "",
	 wrote("dev.pcm.0.play.vchans=2") + wrote("hw.snd.vpc_0db=10") +
		 wrote("hw.snd.maxautovchans=4")},
	{"all eight",
	 {"-v", "8", "-q", "7", "-l", "6", "-d", "-b", "4", "-a", "3", "-r", "2", "-p", "1", "-u",
	  "5"},
	 {}, 0, "",
	 wrote("dev.pcm.5.play.vchans=1") + wrote("dev.pcm.5.rec.vchans=2") +
		 wrote("hw.snd.vpc_0db=3") + wrote("hw.snd.vpc_mixer_bypass=4") +
		 wrote("hw.snd.default_unit=5") + wrote("hw.snd.latency=6") +
		 wrote("hw.snd.feeder_rate_quality=7") + wrote("hw.snd.maxautovchans=8")},
	{"operand first stops parsing", {"x", "-a", "5"}, {}, 0, "", ""},
	{"operand after", {"-a", "5", "x", "-b", "1"}, {}, 0, "", wrote("hw.snd.vpc_0db=5")},
	{"double dash", {"-a", "5", "--", "-b", "1"}, {}, 0, "", wrote("hw.snd.vpc_0db=5")},
	{"argument with a minus", {"-a", "-5"}, {}, 0, "", wrote("hw.snd.vpc_0db=-5")},
	{"unit with junk", {"-u", "1x", "-p", "2"}, {}, 0, "", wrote("dev.pcm.1.play.vchans=2")},
	{"unit without digits", {"-u", "abc", "-r", "2"}, {}, 0, "", wrote("dev.pcm.0.rec.vchans=2")},
	{"default unit", {"-d", "-u", "3"}, {}, 0, "", wrote("hw.snd.default_unit=3")},
	{"clustered letters", {"-du", "0"}, {}, 0, "", wrote("hw.snd.default_unit=0")},
	{"blanks and sign", {"-l", " \t+7", "-q", "-0"}, {}, 0, "",
	 wrote("hw.snd.latency=7") + wrote("hw.snd.feeder_rate_quality=0")},
	{"junk after digits", {"-l", "0x10", "-q", "12abc", "-v", "abc", "-b", ""}, {}, 0, "",
	 wrote("hw.snd.vpc_mixer_bypass=0") + wrote("hw.snd.latency=0") +
		 wrote("hw.snd.feeder_rate_quality=12") + wrote("hw.snd.maxautovchans=0")},
	{"32-bit limits", {"-u", "-2147483648", "-p", "2147483647"}, {}, 0, "",
	 wrote("dev.pcm.-2147483648.play.vchans=2147483647")},
	{"beyond 32 bits", {"-a", "4294967297"}, {}, 1, range("4294967297", 'a'), ""},
	{"beyond long", {"-a", "5", "-v", "-99999999999999999999"}, {}, 1,
	 range("-99999999999999999999", 'v'), ""},
	{"shown as one printable line", {"-q", "99999999999\n\033[1m\\\303\251\t"}, {}, 1,
	 range("99999999999\\n\\033[1m\\\\\\303\\251\\t", 'q'), ""},
	{"shown cut short", {"-q", std::string(600, '9')}, {}, 1,
	 range(std::string(508, '9') + "...", 'q'), ""},
	{"just above", {"-l", "2147483648"}, {}, 1, range("2147483648", 'l'), ""},
	{"just below", {"-u", "-2147483649", "-d"}, {}, 1, range("-2147483649", 'u'), ""},
	{"unit checked first", {"-a", "9999999999", "-r", "1", "-u", "9999999999"}, {}, 1,
	 range("9999999999", 'u'), ""},
	{"checked in order of application", {"-v", "9999999999", "-a", "8888888888"}, {}, 1,
	 range("8888888888", 'a'), ""},
	{"usage before range", {"-a", "9999999999", "-p", "1"}, {}, 1, usage, ""},
	{"kernel refuses", {"-a", "5", "-l", "99", "-q", "2"}, {"sysctl hw.snd.latency=99 exit 1"},
	 1, failed("./sysctl hw.snd.latency=99", 1),
	 wrote("hw.snd.vpc_0db=5") + "./sysctl hw.snd.latency=99\n"},
	{"companion fails", {"-l", "5", "-q", "2"}, {"varnokeltrin * exit 3"}, 1,
	 failed("./varnokeltrin hw.snd.latency=5", 3), wrote("hw.snd.latency=5")},
	{"command killed", {"-l", "5"}, {"sysctl * killself ALRM"}, 1,
	 failed("./sysctl hw.snd.latency=5", 128 + SIGALRM), "./sysctl hw.snd.latency=5\n",
	 platform_words::shell, {"/bin/sh -c 'kill -s ALRM $$'"}},
	{"command killed hard", {"-u", "1", "-r", "4"}, {"varnokeltrin * killself KILL"}, 1,
	 failed("./varnokeltrin dev.pcm.1.rec.vchans=4", 137), wrote("dev.pcm.1.rec.vchans=4"),
	 platform_words::shell, {"/bin/sh -c 'kill -s KILL $$'"}},
	{"companion missing", {"-a", "5", "-b", "1"}, {.companion_missing = true}, 1,
	 "tolvaren_backend: Execution of shell failed\n", "./sysctl hw.snd.vpc_0db=5\n",
	 platform_words::shell, {"./varnokeltrin hw.snd.vpc_0db=5"}},
	{"companion missing after a unit without digits", {"-u", "abc", "-p", "2"},
	 {.companion_missing = true}, 1, "tolvaren_backend: Execution of shell failed\n",
	 "./sysctl dev.pcm.0.play.vchans=2\n", platform_words::shell,
	 {"./varnokeltrin dev.pcm.0.play.vchans=2"}},
	// The setting that the kernel took is recorded first; later ones are
	// not tried.
	{"SIGTERM while the kernel tool runs", {"-l", "5", "-q", "2"}, {"sysctl hw.snd.latency=5 signal TERM"},
	 128 + SIGTERM, "", wrote("hw.snd.latency=5")},
	{"SIGHUP while the kernel tool runs", {"-u", "1", "-p", "2", "-r", "3"},
	 {"sysctl dev.pcm.1.play.vchans=2 signal HUP"},
	 128 + SIGHUP, "", wrote("dev.pcm.1.play.vchans=2")},
	{"SIGTERM during the last setting", {"-l", "5", "-v", "4"},
	 {"sysctl hw.snd.maxautovchans=4 signal TERM"}, 128 + SIGTERM, "",
	 wrote("hw.snd.latency=5") + wrote("hw.snd.maxautovchans=4")},
	// As sudo with a pseudo-terminal relays it, and as a closing terminal
	// sends it: the commands get it too.
	{"SIGTERM to the group while the kernel tool runs", {"-l", "5", "-q", "2"},
	 {"sysctl hw.snd.latency=5 group TERM"}, 128 + SIGTERM, "", wrote("hw.snd.latency=5")},
	{"SIGHUP to the group while the companion runs", {"-u", "1", "-p", "2", "-r", "3"},
	 {"varnokeltrin dev.pcm.1.play.vchans=2 group HUP"}, 128 + SIGHUP, "",
	 wrote("dev.pcm.1.play.vchans=2")},
	{"SIGTERM ignored by the caller stays so", {"-l", "5", "-q", "2"},
	 {.fail = "sysctl hw.snd.latency=5 signal TERM", .sigterm_ignored = true}, 0, "",
	 wrote("hw.snd.latency=5") + wrote("hw.snd.feeder_rate_quality=2")},
	{"SIGCHLD ignored by the caller", {"-l", "5"}, {.sigchld_ignored = true}, 0, "",
	 wrote("hw.snd.latency=5")},
	{"no process for the shell", {"-l", "5"}, {.system_fails = true}, 1,
	 "tolvaren_backend: system(./sysctl hw.snd.latency=5): Resource temporarily unavailable\n",
	 ""},
	{"empty PATH", {"-l", "5"}, {.env = {"PATH="}}, 0, "", wrote("hw.snd.latency=5")},
	{"odd IFS", {"-u", "1", "-r", "5"}, {.env = {"IFS=5 =.:/lh"}}, 0, "",
	 wrote("dev.pcm.1.rec.vchans=5")},
	{"ENV and BASH_ENV", {"-l", "5"}, {.env = {"ENV=./hostile", "BASH_ENV=./hostile"}}, 0, "",
	 wrote("hw.snd.latency=5")},
	{"standard input closed", {"-l", "5"}, {.closed_fd = 0}, 0, "", wrote("hw.snd.latency=5")},
	{"standard output closed", {"-l", "5"}, {.closed_fd = 1}, 0, "", wrote("hw.snd.latency=5")},
	{"standard error closed", {"-l", "5", "-q", "1"},
	 {.fail = "varnokeltrin * exit 1", .closed_fd = 2}, 1, "", wrote("hw.snd.latency=5")},
	{"unread standard error, misuse", {"-a", "5", "-x"}, {.stderr_unread = true}, 1, "", ""},
	{"unread standard error, a failed command", {"-l", "5", "-q", "1"},
	 {.fail = "sysctl * exit 1", .stderr_unread = true}, 1, "", "./sysctl hw.snd.latency=5\n"},
	// A front end that has stopped reading: sysctl(8)'s line after the
	// kernel took the value must not kill it.  The stand-in notes a
	// SIGPIPE that is not ignored, whatever the caller's.
	{"the kernel tool's line to a pipe nobody reads", {"-l", "3", "-q", "1"},
	 {.env = {"STANDIN_SAYS=1"}, .stdout_unread = true}, 0, "",
	 wrote("hw.snd.latency=3") + wrote("hw.snd.feeder_rate_quality=1")},
	{"commands ignore SIGPIPE, standard error unread", {"-l", "5"}, {.stderr_unread = true}, 0, "",
	 wrote("hw.snd.latency=5")},
	{"commands ignore SIGPIPE that the caller ignores", {"-l", "5"}, {.sigpipe_ignored = true}, 0, "",
	 wrote("hw.snd.latency=5")},
	// LeakSanitizer, in the sanitized build, needs a process of its own
	// to check at exit.
	{"no process for the writer", {"-l", "5", "-q", "2"},
	 {.env = {"ASAN_OPTIONS=detect_leaks=0"}, .no_processes = true}, 1,
	 "tolvaren_backend: system(./sysctl hw.snd.latency=5): " + std::string(std::strerror(EAGAIN)) + "\n", ""},
	{"the writer killed from outside", {"-l", "5", "-q", "2"}, {"sysctl hw.snd.latency=5 writer KILL"}, 1,
	 "tolvaren_backend: Writing hw.snd.latency was ended by signal 9\n", "./sysctl hw.snd.latency=5\n"},
};
// clang-format on

void PrintTo(const run_case &c, std::ostream *os)
{
	*os << c.what;
}

class program : public testing::TestWithParam<run_case> {};

TEST_P(program, runs_exactly_the_expected_commands)
{
	const run_case &c = GetParam();
	if (c.how.system_fails && std::getenv("TOLVAREN_PROGRAM_STATIC"))
		GTEST_SKIP() << "system() cannot be interposed on a statically linked program";
	outcome o = run(c.args, c.how);
	EXPECT_EQ(o.status, c.status);
	EXPECT_EQ(o.err,
		  platform_says(c.words, c.words_for.empty() ? c.args : c.words_for) + c.err);
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.calls, c.calls);
}

// Test names from the case descriptions.
std::string case_name(const testing::TestParamInfo<run_case> &info)
{
	std::string name;
	for (const char *p = info.param.what; *p; ++p)
		name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
	return name;
}

INSTANTIATE_TEST_SUITE_P(cases, program, testing::ValuesIn(cases), case_name);

// Whole argument vectors at random: known and unknown letters, clusters,
// operands, "--", numbers at and beyond every limit, and shell
// metacharacters.  Whatever the input, only the two commands run, each
// with one well-formed assignment, the companion only right after the
// kernel-variable tool accepted the same one, and nothing at all runs on
// misuse.  TOLVAREN_FUZZ_RUNS and TOLVAREN_FUZZ_SEED set the count and seed.
TEST(fuzz, any_argument_vector_is_safe)
{
	const fuzz_settings fuzz = fuzz_settings_for("fuzz");
	const int runs = fuzz.runs;
	const unsigned seed = fuzz.seed;
	std::mt19937 random(seed);
	auto pick = [&](const std::vector<std::string> &from) {
		return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
	};
	// clang-format off
	const std::vector<std::string> letters = {"a", "b", "d", "l", "p", "q", "r", "u", "v",
						  "x", "W", "-", ":", "?", "h", "du", "dv"};
	const std::vector<std::string> pieces = {
		"0", "1", "7", "-5", "+3", " 9", "2147483647", "2147483648", "-2147483648",
		"-2147483649", "4294967297", "99999999999999999999", "0x10", "12abc", "", "x",
		"--", "-", ";", "$(touch injected)", "`touch injected`", "|", "&", ">injected", "<",
		"\n", "\t", " ", "'", "\"", "\\", "*", "?", "~", "#", "!", "${IFS}", "%d", "%s%n"};
	const std::regex command(
		"\\./(sysctl|varnokeltrin) (hw\\.snd\\.(vpc_0db|vpc_mixer_bypass|default_unit|latency|"
		"feeder_rate_quality|maxautovchans)|dev\\.pcm\\.-?[0-9]+\\.(play|rec)\\.vchans)=-?[0-9]+");
	// clang-format on

	for (int run_number = 0; run_number < runs; ++run_number) {
		std::vector<std::string> args;
		for (int n = std::uniform_int_distribution<int>(0, 8)(random); n > 0; --n) {
			std::string word;
			if (random() % 2)
				word = "-" + pick(letters) + (random() % 3 ? "" : pick(letters));
			for (int k = static_cast<int>(random() % 3); k > 0; --k)
				word += pick(pieces);
			args.push_back(word);
		}
		const bool kernel_fails = random() % 4 == 0;
		outcome o = run(args, {.fail = kernel_fails ? "sysctl * exit 1" : nullptr});

		std::string context = "seed " + std::to_string(seed) + ", run " +
				      std::to_string(run_number) + ", arguments:";
		for (const std::string &a : args)
			context += " [" + a + "]";
		SCOPED_TRACE(context);
		ASSERT_TRUE(o.status == 0 || o.status == 1) << o.status;
		std::istringstream lines(o.calls);
		std::vector<std::string> calls;
		for (std::string line; std::getline(lines, line);) {
			ASSERT_TRUE(std::regex_match(line, command)) << line;
			calls.push_back(line);
		}
		for (std::size_t i = 0; i < calls.size(); i += 2) {
			std::string assignment = calls[i].substr(calls[i].find(' '));
			ASSERT_EQ(calls[i], "./sysctl" + assignment);
			if (i + 1 < calls.size()) {
				ASSERT_EQ(calls[i + 1], "./varnokeltrin" + assignment);
			}
		}
		if (o.status == 1 && !kernel_fails) {
			ASSERT_EQ(o.calls, "") << "a command ran although the run was refused";
		}
		if (kernel_fails) {
			ASSERT_LE(calls.size(), 1U);
		} else {
			ASSERT_EQ(calls.size() % 2, 0U);
		}
	}
}

// A signal from outside at a random moment, to the program alone or to its
// process group, while slow commands run, and in half the runs a caller
// that stops reading the program's standard output at another: every
// setting that the kernel took is recorded.  The program ends by that signal, having written the
// settings before it; or with status 0 and everything written, where the
// signal came after the end; or with status 1 and its message, where a
// command failed.
TEST(signals, a_setting_is_whole_whatever_signal_comes)
{
	const fuzz_settings fuzz = fuzz_settings_for("signals (one run for 25)");
	std::mt19937 random(fuzz.seed);
	const std::array<int, 4> signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM};
	// Each setting's two commands take about 80 ms with this pause.
	const char *pause = "STANDIN_PAUSE=0.03";
	const char *says = "STANDIN_SAYS=1";
	for (int run_number = 0; run_number < std::max(20, fuzz.runs / 25); ++run_number) {
		std::vector<std::string> args{"-u", "1"}, asked;
		for (const auto &[option, name] : {std::pair{"-p", "dev.pcm.1.play.vchans="},
						   {"-a", "hw.snd.vpc_0db="},
						   {"-l", "hw.snd.latency="}}) {
			if (random() % 3 == 0 && !(asked.empty() && option[1] == 'l'))
				continue;
			const std::string value = std::to_string(random() % 100);
			args.insert(args.end(), {option, value});
			asked.push_back(name + value);
		}
		const bool fails = random() % 4 == 0;
		const std::string failing = fails ? asked[random() % asked.size()] : "";
		const std::string fail = "sysctl " + failing + " exit 1";
		auto moment = [&] {
			return static_cast<int>(random() % (asked.size() * 80'000 + 10'000));
		};
		const setup how{.fail = fails ? fail.c_str() : nullptr,
				.env = {pause, says},
				.signal_number = signals[random() % signals.size()],
				.signal_after_us = moment(),
				.to_group = random() % 2 == 0,
				.stdout_closed_after_us = random() % 2 == 0 ? moment() : -1};
		SCOPED_TRACE("seed " + std::to_string(fuzz.seed) + ", run " +
			     std::to_string(run_number) + ": signal " +
			     std::to_string(how.signal_number) +
			     (how.to_group ? " to the group" : "") + " after " +
			     std::to_string(how.signal_after_us) + " us" +
			     (how.stdout_closed_after_us >= 0
				      ? ", output closed after " +
						std::to_string(how.stdout_closed_after_us) + " us"
				      : "") +
			     (fails ? ", failing " + failing : ""));
		const outcome o = run(args, how);

		std::vector<std::string> took, recorded;
		std::istringstream lines(o.calls);
		for (std::string line; std::getline(lines, line);) {
			if (line.starts_with("./sysctl ") && line.substr(9) != failing)
				took.push_back(line.substr(9));
			else if (line.starts_with("./varnokeltrin "))
				recorded.push_back(line.substr(15));
		}
		EXPECT_EQ(recorded, took);
		const auto upto = std::find(asked.begin(), asked.end(), failing);
		const std::vector<std::string> before_failing(asked.begin(), upto);
		if (o.status == 128 + how.signal_number) {
			EXPECT_TRUE(took.size() <= asked.size() &&
				    std::equal(took.begin(), took.end(), asked.begin()));
			EXPECT_EQ(o.err, "");
		} else if (o.status == 1) {
			EXPECT_TRUE(fails);
			EXPECT_EQ(took, before_failing);
			EXPECT_EQ(o.err, failed("./sysctl " + failing, 1));
		} else {
			EXPECT_EQ(o.status, 0);
			EXPECT_FALSE(fails);
			EXPECT_EQ(took, asked);
			EXPECT_EQ(o.err, "");
		}
	}
}

} // namespace
