#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# README's sandbox examples, run as they stand: each "$ sandbox/run ..."
# line in a code block, with the lines after it up to the next command or
# the end of the block as its output, compared byte for byte.  The state
# folders are the test's own: README's build/sandbox-state and /tmp/cards
# stand for them.  The build is made already, so the first run's
# "== building" line is not printed here and is taken out.
#   readme_test.sh SOURCE_DIR BUILD_DIR
set -u
. "$(dirname "$0")/expect.sh"
source=$1
export TOLVAREN_BUILD="$2" TOLVAREN_SANDBOX_PREBUILT=1
unset TOLVAREN_SANDBOX_STATE
unshare --mount true 2>/dev/null || unshare --user --map-root-user --mount true 2>/dev/null ||
	skip "no private mount namespace can be made here"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/cards"
export TOLVAREN_SANDBOX_STATE="$work/state"
home=/home/me/tolvaren_backend/build/sandbox-state

# Each example becomes a file of its own: its command line, then what it
# shows.
awk -v dir="$work" '
	/^```/ { inside = !inside; if (!inside) file = ""; next }
	inside && /^\$ sandbox\/run/ { n++; file = sprintf("%s/example.%02d", dir, n) }
	inside && file != "" { print > file }
' "$source/README.md"
examples=$(ls "$work"/example.* 2>/dev/null | wc -l)
[ "$examples" -ge 5 ] || expect "README has its sandbox examples" "5 or more" "$examples"
for example in "$work"/example.*; do
	command=$(head -n 1 "$example" | sed 's/^\$ sandbox\/run//; s|/tmp/cards|'"$work/cards"'|g')
	tail -n +2 "$example" | sed '/^== building tolvaren_backend in .* (once)$/d' |
		sed "s|$home|$work/state|g; s|/tmp/cards|$work/cards|g" >"$work/expected"
	# shellcheck disable=SC2086
	(cd "$source" && sandbox/run $command) >"$work/actual" 2>&1 </dev/null
	expect "README: $(head -n 1 "$example")" "$(cat "$work/expected")" "$(cat "$work/actual")"
done
finish
