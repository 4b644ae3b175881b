/* SPDX-License-Identifier: BSD-2-Clause */
/* Interposed on the companion: each time it flushes a regular file, until
 * INTERFERE_TIMES is used up, another program appends a line to the file
 * INTERFERE_PATH, as an administrator's echo >> would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int fsync(int fd)
{
	static int done;
	int (*real)(int) = NULL;
	void *symbol = dlsym(RTLD_NEXT, "fsync");
	memcpy(&real, &symbol, sizeof real);
	const char *path = getenv("INTERFERE_PATH");
	const char *times = getenv("INTERFERE_TIMES");
	struct stat st;
	if (path && times && done < atoi(times) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
		int other = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
		++done;
		if (other >= 0) {
			ssize_t n = write(other, "kern.coredump=0\n", 16);
			(void)n;
			close(other);
		}
	}
	return real(fd);
}
