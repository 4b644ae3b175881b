/* SPDX-License-Identifier: BSD-2-Clause */
/* The least a program can do to record one setting as the companion does:
 *   edit_floor FOLDER
 * takes the lock, reads FOLDER/sysctl.conf and FOLDER/sysctl.conf.local,
 * writes "hw.snd.latency=3" to a temporary file with the old file's owner,
 * mode and ACL read, flushes it, renames it over the file and flushes the
 * folder.  Linux only, as the bench is. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	static char text[65536], acl[4096], temporary[4096];
	struct stat st;
	if (argc != 2)
		return 2;
	int folder = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	int lock = openat(folder, ".sysctl.conf.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
			  0600);
	if (folder < 0 || lock < 0 || fstat(lock, &st) != 0 || flock(lock, LOCK_EX | LOCK_NB) != 0)
		return 1;
	int fd = openat(folder, "sysctl.conf", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 || fstat(fd, &st) != 0 || read(fd, text, sizeof text) < 0)
		return 1;
	if (openat(folder, "sysctl.conf.local", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) >= 0)
		return 1;
	snprintf(temporary, sizeof temporary, "%s/.sysctl.conf.varnokeltrin.XXXXXX", argv[1]);
	int out = mkstemp(temporary);
	if (out < 0 || fchown(out, st.st_uid, st.st_gid) != 0 ||
	    fchmod(out, st.st_mode & 07777) != 0)
		return 1;
	(void)fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
	if (write(out, "hw.snd.latency=3\n", 17) != 17 || fsync(out) != 0 || close(out) != 0)
		return 1;
	char path[4096];
	snprintf(path, sizeof path, "%s/sysctl.conf", argv[1]);
	return rename(temporary, path) == 0 && fsync(folder) == 0 ? 0 : 1;
}
