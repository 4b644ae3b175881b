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
