/* SPDX-License-Identifier: BSD-2-Clause */
/* Times two commands, run alternately so that both see the same machine:
 *   timer RUNS COMMAND_A... -- COMMAND_B...
 * prints the median wall time of each in microseconds and their ratio. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static double run_once(char **argv)
{
	struct timespec start, end;
	pid_t pid;
	int status;
	clock_gettime(CLOCK_MONOTONIC, &start);
	if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) != 0 ||
	    waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "timer: %s did not run cleanly\n", argv[0]);
		exit(1);
	}
	clock_gettime(CLOCK_MONOTONIC, &end);
	return (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
}

static int compare(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;
	return (x > y) - (x < y);
}

static double median(double *t, int n)
{
	qsort(t, (size_t)n, sizeof *t, compare);
	return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
}

int main(int argc, char **argv)
{
	int runs = argc > 1 ? atoi(argv[1]) : 0;
	int split = 2;
	while (split < argc && strcmp(argv[split], "--") != 0)
		++split;
	if (runs < 1 || split == 2 || split >= argc - 1) {
		fprintf(stderr, "usage: timer RUNS COMMAND_A... -- COMMAND_B...\n");
		return 2;
	}
	argv[split] = NULL;
	double *a = calloc((size_t)runs, sizeof *a), *b = calloc((size_t)runs, sizeof *b);
	if (!a || !b)
		return 1;
	for (int i = 0; i < runs / 10 + 1; ++i) { /* warm the caches */
		run_once(argv + 2);
		run_once(argv + split + 1);
	}
	for (int i = 0; i < runs; ++i) {
		a[i] = run_once(argv + 2);
		b[i] = run_once(argv + split + 1);
	}
	double ma = median(a, runs), mb = median(b, runs);
	printf("%.1f us %.1f us %.3f\n", ma, mb, ma / mb);
	free(a);
	free(b);
	return 0;
}
