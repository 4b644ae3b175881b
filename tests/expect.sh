# SPDX-License-Identifier: BSD-2-Clause
# Shared by the shell tests: expect WHAT EXPECTED ACTUAL counts a check,
# and finish prints the tally and fails when a check failed.
passed=0 failed=0
expect() {
	if [ "$2" = "$3" ]; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		printf 'FAILED: %s\n  expected: [%s]\n  actual:   [%s]\n' "$1" "$2" "$3"
	fi
}
finish() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
# skip REASON: this test cannot run here.  It is skipped (status 77), or
# fails where TOLVAREN_NO_SKIP=1 says that everything must run, as in CI.
skip() {
	if [ "${TOLVAREN_NO_SKIP:-}" = 1 ]; then
		echo "cannot run, and TOLVAREN_NO_SKIP=1: $*" >&2
		exit 1
	fi
	echo "skipped: $*"
	exit 77
}
