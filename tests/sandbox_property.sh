#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Random sessions of the real programs on the simulated FreeBSD 13, 14 and
# 15: settings as the front end sends them, some refused, reboots, and a
# unit plugged out and in again.  After every reboot the kernel is as it
# was before it, and after every attach as it was before the detach.  The
# fixed sessions first are the orders that editing in place got wrong.
#   sandbox_property.sh BUILD_DIR
set -u
. "$(dirname "$0")/expect.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
export TOLVAREN_BUILD="$1" TOLVAREN_SANDBOX_PREBUILT=1
unset TOLVAREN_SANDBOX_STATE TOLVAREN_SANDBOX_RELEASE TOLVAREN_SANDBOX_UNITS TOLVAREN_SANDBOX_USB_UNITS
unshare --mount true 2>/dev/null || unshare --user --map-root-user --mount true 2>/dev/null ||
	skip "no private mount namespace can be made here"
seed=${TOLVAREN_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
steps=${TOLVAREN_SANDBOX_STEPS:-25}
echo "sandbox property: seed $seed, $steps random steps a release"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/state

sandbox() { "$top/sandbox/run" --state "$state" "$@" >"$work/out" 2>&1; }
kernel() { LC_ALL=C sort "$state/kernel"; }
# step WORDS: one step of a session; the name of the session says where.
step() {
	case $1 in
	new) rm -rf "$state"; sandbox --release "$2" --units 2 --usb-units 1 --reset ;;
	conf) printf '%s\n' "$2" >>"$state/sysctl.conf" ;;
	local) printf '%s\n' "$2" >>"$state/sysctl.conf.local" ;;
	boot) sandbox --reboot ;;
	reboot)
		kernel >"$work/before"
		sandbox --reboot
		expect "$session: reboot at step $n" "$(cat "$work/before")" "$(kernel)" ;;
	replug)
		kernel >"$work/before"
		sandbox --detach "$2" && sandbox --attach "$2"
		expect "$session: pcm$2 plugged in again at step $n" "$(cat "$work/before")" "$(kernel)" ;;
	*) sandbox "$@" ;;
	esac
	[ $? -ne 2 ] || expect "$session: the sandbox ran step $n ($*)" "" "$(cat "$work/out")"
}

# The sessions: a line a step, a line "session NAME" before each.
{
	cat <<'EOF_FIXED'
session more vchans after a lower maxautovchans
new 14
-v 4
-u 0 -p 8
-v 6
reboot
session vchans raised from 0
new 14
-u 0 -p 8
-v 0
-v 16
reboot
session sysctl.conf.local read last
new 14
local dev.pcm.1.rec.vchans=3
boot
-v 1
reboot
session a trailing dot names the variable
new 13
conf hw.snd.latency=5
conf hw.snd.latency.=7
boot
-l 4
reboot
session a USB card plugged in again
new 14
-u 2 -p 4
replug 2
EOF_FIXED
	awk -v seed="$seed" -v steps="$steps" 'BEGIN {
		srand(seed)
		split("-1 0 1 2 3 4 8 16 300", count, " ")
		split("-a 0|-a 45|-a 101|-b 0|-l 3|-l 11|-q 4|-q -1|-u 1 -d|-u 2 -d|-u 7 -d", other, "|")
		for (r = 13; r <= 15; r++) {
			print "session FreeBSD " r " from seed " seed; print "new " r
			for (i = 0; i < steps; i++) {
				k = int(rand() * 10); c = count[1 + int(rand() * 9)]; u = int(rand() * 4)
				if (k < 3) print "-v " c
				else if (k < 5) print "-u " u " -p " c
				else if (k < 6) print "-u " u " -r " c " -v " count[1 + int(rand() * 9)]
				else if (k < 8) print other[1 + int(rand() * 11)]
				else if (k < 9) print "reboot"
				else print "replug " (1 + int(rand() * 2))
			}
			print "reboot"
		}
	}'
} >"$work/sessions"

n=0 session=
while read -r word rest; do
	n=$((n + 1))
	case $word in
	session) session=$rest ;;
	new | conf | local | replug) step "$word" "$rest" ;;
	# shellcheck disable=SC2086
	*) step $word $rest ;;
	esac
done <"$work/sessions"
finish
