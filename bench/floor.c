/* SPDX-License-Identifier: BSD-2-Clause */
/* The least a program can do to write all eight settings: the same sixteen
 * command lines through system(), stopping at the first failure. */
#include <stdlib.h>

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

int main(void)
{
	for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i)
		if (system(commands[i]) != 0)
			return 1;
	return 0;
}
