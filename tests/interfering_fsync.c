/* SPDX-License-Identifier: BSD-2-Clause */
/* Interposed on the companion: each time it flushes a regular file, until
 * INTERFERE_TIMES is used up, another program changes the file
 * INTERFERE_PATH as INTERFERE_HOW says: "append" (the default) a line, as
 * an administrator's echo >> would; "same size" to turn its first byte
 * into '#' and give it back its modification time; "remove" it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void interfere(const char *path, const char *how)
{
	if (strcmp(how, "remove") == 0) {
		unlink(path);
		return;
	}
	const int same_size = strcmp(how, "same size") == 0;
	int other = open(path, same_size ? O_WRONLY : O_WRONLY | O_APPEND | O_CREAT, 0644);
	struct stat before;
	if (other < 0 || fstat(other, &before) != 0)
		return;
	ssize_t n = same_size ? pwrite(other, "#", 1, 0) : write(other, "kern.coredump=0\n", 16);
	(void)n;
	if (same_size) {
		const struct timespec times[2] = {before.st_atim, before.st_mtim};
		futimens(other, times);
	}
	close(other);
}

int fsync(int fd)
{
	static int done;
	int (*real)(int) = NULL;
	void *symbol = dlsym(RTLD_NEXT, "fsync");
	memcpy(&real, &symbol, sizeof real);
	const char *path = getenv("INTERFERE_PATH");
	const char *times = getenv("INTERFERE_TIMES");
	const char *how = getenv("INTERFERE_HOW");
	struct stat st;
	if (path && times && done < atoi(times) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
		++done;
		interfere(path, how ? how : "append");
	}
	return real(fd);
}
