// SPDX-License-Identifier: BSD-2-Clause
// Parses its arguments with getopt as tolvaren_backend does and stops where
// it would print its usage line, so that a test can learn what this C
// library's getopt says in its own words.
#include <unistd.h>

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
	const char *options = "+a:b:dl:p:q:r:u:v:";
#else
	const char *options = "a:b:dl:p:q:r:u:v:";
#endif
	int ch;
	while ((ch = getopt(argc, argv, options)) != -1)
		if (ch == '?' || ch == ':')
			return 1;
	return 0;
}
