/* SPDX-License-Identifier: BSD-2-Clause */
/* Interposed on the program to make every system() call fail as if no
 * process could be made. */
#include <errno.h>
#include <stdlib.h>

int system(const char *command)
{
	(void)command;
	errno = EAGAIN;
	return -1;
}
