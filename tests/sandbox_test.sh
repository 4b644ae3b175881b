#!/usr/bin/env bash
# End to end: the real program, with its fixed command paths, run by
# sandbox/run on the simulated FreeBSD sound driver.
#   sandbox_test.sh BUILD_DIR
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
export TOLVAREN_BUILD=$1 TOLVAREN_SANDBOX_PREBUILT=1
unset TOLVAREN_SANDBOX_STATE TOLVAREN_SANDBOX_UNITS

if ! unshare --mount true 2>/dev/null &&
	! unshare --user --map-root-user --mount true 2>/dev/null; then
	echo "skipped: no private mount namespace can be made here"
	exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
host_sysctl=$(ls -l /sbin/sysctl 2>&1; cksum /sbin/sysctl 2>&1)
. "$(dirname "$0")/expect.sh"

# sandboxed [SANDBOX OPTION...] -- [PROGRAM OPTION...]: runs it on a fresh
# state and keeps its status, output and files.
sandboxed() {
	rm -rf "$work/state"
	mkdir "$work/state"
	[ -z "${seed:-}" ] || printf '%s' "$seed" >"$work/state/sysctl.conf"
	"$top/sandbox/run" --state "$work/state" "$@" >"$work/out" 2>"$work/err"
	status=$?
}
kernel() { sed -n "s/^$1=//p" "$work/state/kernel"; }
recorded() { cat "$work/state/sysctl.conf" 2>/dev/null; }

sandboxed -- -u 1 -p 4 -r 300 -a 60 -d
expect "good run: status" 0 "$status"
expect "good run: errors" "" "$(cat "$work/err")"
expect "good run: kernel" "4 256 60 1 5" \
	"$(echo $(kernel 'dev\.pcm\.1\.play\.vchans') $(kernel 'dev\.pcm\.1\.rec\.vchans') \
		$(kernel 'hw\.snd\.vpc_0db') $(kernel 'hw\.snd\.default_unit') $(kernel 'hw\.snd\.latency'))"
expect "good run: recorded" $'dev.pcm.1.play.vchans=4\ndev.pcm.1.rec.vchans=300\nhw.snd.vpc_0db=60\nhw.snd.default_unit=1' "$(recorded)"
expect "good run: shows the change" "dev.pcm.1.rec.vchans: 1 -> 256" \
	"$(sed -n '/^== changed/,/^==/p' "$work/out" | grep rec.vchans)"

sandboxed -- -a 60 -l 99 -q 2
expect "refused: status" 1 "$status"
expect "refused: errors" $'sysctl: hw.snd.latency=99: Invalid argument\ntolvaren_backend: Command \'/sbin/sysctl hw.snd.latency=99\' exited with status 1' "$(cat "$work/err")"
expect "refused: kernel" "60 5 1" "$(echo $(kernel 'hw\.snd\.vpc_0db') $(kernel 'hw\.snd\.latency') $(kernel 'hw\.snd\.feeder_rate_quality'))"
expect "refused: recorded" "hw.snd.vpc_0db=60" "$(recorded)"

sandboxed -- -u 2 -p 2
expect "absent unit: status" 1 "$status"
expect "absent unit: errors" $'sysctl: unknown oid \'dev.pcm.2.play.vchans\'\ntolvaren_backend: Command \'/sbin/sysctl dev.pcm.2.play.vchans=2\' exited with status 1' "$(cat "$work/err")"
expect "absent unit: recorded" "" "$(recorded)"

sandboxed --units 3 -- -u 2 -p 2 -d
expect "third unit: status" 0 "$status"
expect "third unit: kernel" "2 2" "$(echo $(kernel 'dev\.pcm\.2\.play\.vchans') $(kernel 'hw\.snd\.default_unit'))"

sandboxed --no-companion -- -l 3 -q 2
expect "no companion: status" 1 "$status"
expect "no companion: errors" $'sh: 1: /usr/local/bin/varnokeltrin: not found\ntolvaren_backend: Execution of shell failed: Success' "$(cat "$work/err")"
expect "no companion: kernel keeps the value" "3 1" "$(echo $(kernel 'hw\.snd\.latency') $(kernel 'hw\.snd\.feeder_rate_quality'))"
expect "no companion: recorded" "" "$(recorded)"

seed=$'# sound\nhw.snd.latency=2 # quiet\nkern.x=1\nhw.snd.latency=9\n' sandboxed -- -l 4 -v 8
expect "existing file: recorded in place" $'# sound\nhw.snd.latency=4 # quiet\nkern.x=1\nhw.snd.maxautovchans=8' "$(recorded)"
expect "existing file: no temporary left" "kernel sysctl.conf" "$(echo $(ls "$work/state"))"

# The companion stand-in on its own, where it cannot record.
companion() {
	TOLVAREN_SANDBOX_STATE=$work/companion "$TOLVAREN_BUILD/sandbox/bin/varnokeltrin" "$@" 2>&1
	echo "status $?"
}
expect "companion: no folder" \
	"varnokeltrin: $work/companion/sysctl.conf: No such file or directory"$'\nstatus 1' \
	"$(companion hw.snd.latency=1)"
mkdir -p "$work/companion/sysctl.conf"
expect "companion: unreadable file" \
	"varnokeltrin: $work/companion/sysctl.conf: Is a directory"$'\nstatus 1' \
	"$(companion hw.snd.latency=1)"
expect "companion: not an assignment" "varnokeltrin: 'hw.snd latency=1' is not name=value"$'\nstatus 2' \
	"$(companion 'hw.snd latency=1')"

mkdir "$work/no-namespace"
printf '#!/bin/sh\necho "unshare: unshare failed: Operation not permitted" >&2\nexit 1\n' \
	>"$work/no-namespace/unshare"
chmod +x "$work/no-namespace/unshare"
PATH=$work/no-namespace:$PATH sandboxed -- -l 3
expect "no namespace: status" 2 "$status"
expect "no namespace: says so" "sandbox: cannot make a private mount namespace here (unshare: unshare failed: Operation not permitted); nothing was run" "$(cat "$work/err")"
expect "no namespace: nothing ran" "" "$(cat "$work/out")"

expect "host /sbin/sysctl untouched" "$host_sysctl" "$(ls -l /sbin/sysctl 2>&1; cksum /sbin/sysctl 2>&1)"
expect "host has no companion" "" "$(ls /usr/local/bin/varnokeltrin 2>/dev/null)"

finish
