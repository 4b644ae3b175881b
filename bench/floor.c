/* SPDX-License-Identifier: BSD-2-Clause */
/* The least a program can do to write all eight settings: the same sixteen
 * command lines through system(), stopping at the first failure.
 *   floor          every command run straight from this process
 *   floor guarded  each setting's two commands run in a child that ignores
 *                  SIGHUP, SIGINT, SIGQUIT, SIGTERM and SIGPIPE, while this
 *                  process holds the first four blocked: the least that a
 *                  setting no signal can split needs */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static const char *const commands[] = {
	"/bin/true dev.pcm.0.play.vchans=1",      "/bin/true dev.pcm.0.play.vchans=1",
	"/bin/true dev.pcm.0.rec.vchans=2",       "/bin/true dev.pcm.0.rec.vchans=2",
	"/bin/true hw.snd.vpc_0db=3",             "/bin/true hw.snd.vpc_0db=3",
	"/bin/true hw.snd.vpc_mixer_bypass=4",    "/bin/true hw.snd.vpc_mixer_bypass=4",
	"/bin/true hw.snd.default_unit=0",        "/bin/true hw.snd.default_unit=0",
	"/bin/true hw.snd.latency=6",             "/bin/true hw.snd.latency=6",
	"/bin/true hw.snd.feeder_rate_quality=7", "/bin/true hw.snd.feeder_rate_quality=7",
	"/bin/true hw.snd.maxautovchans=8",       "/bin/true hw.snd.maxautovchans=8",
};
static const int ending[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

/* Both commands of the setting at i, in a guarded child. */
static int guarded_pair(size_t i)
{
	sigset_t block, callers;
	sigemptyset(&block);
	for (size_t s = 0; s < sizeof ending / sizeof ending[0]; ++s)
		sigaddset(&block, ending[s]);
	sigprocmask(SIG_BLOCK, &block, &callers);
	pid_t pid = fork();
	if (pid == 0) {
		struct sigaction ignored;
		memset(&ignored, 0, sizeof ignored);
		ignored.sa_handler = SIG_IGN;
		for (size_t s = 0; s < sizeof ending / sizeof ending[0]; ++s)
			sigaction(ending[s], &ignored, NULL);
		sigaction(SIGPIPE, &ignored, NULL);
		sigprocmask(SIG_SETMASK, &callers, NULL);
		_exit(system(commands[i]) != 0 || system(commands[i + 1]) != 0);
	}
	int status = 0;
	int ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
		 WEXITSTATUS(status) == 0;
	sigprocmask(SIG_SETMASK, &callers, NULL);
	return ok;
}

int main(int argc, char **argv)
{
	const int guarded = argc > 1 && strcmp(argv[1], "guarded") == 0;
	for (size_t i = 0; i < sizeof commands / sizeof commands[0]; i += 2) {
		if (guarded ? !guarded_pair(i)
			    : system(commands[i]) != 0 || system(commands[i + 1]) != 0)
			return 1;
	}
	return 0;
}
