/* SPDX-License-Identifier: BSD-2-Clause */
/* Loads the C library and nothing else, as a program of this toolchain
 * does, so that a test can learn that library's name. */
#include <stdio.h>

int main(void)
{
	return puts("") == EOF;
}
