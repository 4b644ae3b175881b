#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# End to end: the real program, with its fixed command paths, run by
# sandbox/run on the simulated FreeBSD sound driver, with the real companion
# recording what the kernel accepted.
#   sandbox_test.sh BUILD_DIR
set -u
. "$(dirname "$0")/expect.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
export TOLVAREN_BUILD="$1" TOLVAREN_SANDBOX_PREBUILT=1
unset TOLVAREN_SANDBOX_STATE TOLVAREN_SANDBOX_RELEASE TOLVAREN_SANDBOX_UNITS

namespace="unshare --mount --propagation private"
if ! $namespace true 2>/dev/null; then
	namespace="unshare --user --map-root-user --mount --propagation private"
	$namespace true 2>/dev/null || skip "no private mount namespace can be made here"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
host_sysctl=$(ls -l /sbin/sysctl 2>&1; cksum /sbin/sysctl 2>&1)
nl='
'

# sandboxed [SANDBOX OPTION...] -- [PROGRAM OPTION...]: runs it on a new
# state, seeded with the file $seed when that is set, and keeps its status,
# output and files.
sandboxed() {
	rm -rf "$work/state"
	if [ -n "${seed:-}" ]; then
		"$top/sandbox/run" --state "$work/state" "$@" >/dev/null 2>&1 </dev/null
		printf '%s' "$seed" >"$work/state/sysctl.conf"
	fi
	again "$@"
}
# again [SANDBOX OPTION...]: runs it on the state as it is.
again() {
	"$top/sandbox/run" --state "$work/state" "$@" >"$work/out" 2>"$work/err"
	status=$?
}
kernel() { for name; do sed -n "s/^$name=//p" "$work/state/kernel"; done | tr '\n' ' '; }
recorded() { cat "$work/state/sysctl.conf" 2>/dev/null; }
err() { cat "$work/err"; }

sandboxed --release 14 -- -u 1 -p 4 -r 300 -a 60 -d
expect "good run: status" 0 "$status"
expect "good run: errors" "" "$(err)"
expect "good run: kernel" "4 256 60 1 5 " \
	"$(kernel 'dev\.pcm\.1\.play\.vchans' 'dev\.pcm\.1\.rec\.vchans' 'hw\.snd\.vpc_0db' \
		'hw\.snd\.default_unit' 'hw\.snd\.latency')"
expect "good run: recorded by the companion" \
	"dev.pcm.1.play.vchans=4${nl}dev.pcm.1.rec.vchans=300${nl}hw.snd.vpc_0db=60${nl}hw.snd.default_unit=1" \
	"$(recorded)"
expect "good run: shows the change" "dev.pcm.1.rec.vchans: 1 -> 256" \
	"$(sed -n '/^== changed/,/^==/p' "$work/out" | grep rec.vchans)"
expect "good run: names the release" "== tolvaren_backend -u 1 -p 4 -r 300 -a 60 -d (simulated FreeBSD 14)" \
	"$(head -n 1 "$work/out")"

sandboxed -- -a 60 -l 99 -q 2
expect "refused: status" 1 "$status"
expect "refused: errors" "sysctl: hw.snd.latency=99: Invalid argument${nl}tolvaren_backend: Command '/sbin/sysctl hw.snd.latency=99' exited with status 1" "$(err)"
expect "refused: kernel" "60 2 1 " "$(kernel 'hw\.snd\.vpc_0db' 'hw\.snd\.latency' 'hw\.snd\.feeder_rate_quality')"
expect "refused: recorded" "hw.snd.vpc_0db=60" "$(recorded)"

sandboxed -- -u 2 -p 2
expect "absent unit: status" 1 "$status"
expect "absent unit: errors" "sysctl: unknown oid 'dev.pcm.2.play.vchans'${nl}tolvaren_backend: Command '/sbin/sysctl dev.pcm.2.play.vchans=2' exited with status 1" "$(err)"
expect "absent unit: recorded" "" "$(recorded)"

# A unit without recording refuses its rec.vchans as FreeBSD does; a
# default unit that is plugged out moves to the best unit left, and -a
# gives it back when it is plugged in again.
sandboxed --playback-only 1 -- -u 1 -r 2
expect "playback-only unit: refused" "1 sysctl: dev.pcm.1.rec.vchans=2: Operation not supported by device${nl}tolvaren_backend: Command '/sbin/sysctl dev.pcm.1.rec.vchans=2' exited with status 1" "$status $(err)"
sandboxed --release 14 --usb-units 1 -- -u 2 -d
again --detach 2
expect "default unplugged: moves" "0 1 " "$(kernel 'hw\.snd\.default_unit' 'hw\.snd\.default_auto')"
again --attach 2
expect "default plugged in: back" "2 0 " "$(kernel 'hw\.snd\.default_unit' 'hw\.snd\.default_auto')"

sandboxed --units 3 -- -u 2 -p 0 -d
expect "third unit: status" 0 "$status"
expect "third unit: kernel" "0 2 " "$(kernel 'dev\.pcm\.2\.play\.vchans' 'hw\.snd\.default_unit')"

# The releases differ where FreeBSD 15 reworked the virtual channels.
for release in 14 15; do
	sandboxed --release $release -- -v 4
	printf '%s %s\n' "$status" "$(err)" >"$work/v$release"
	sandboxed --release $release -- -u 0 -p 4
	printf '%s %s\n' "$status" "$(kernel 'dev\.pcm\.0\.play\.vchans')" >"$work/p$release"
done
expect "14: -v accepted" "0 " "$(cat "$work/v14")"
expect "15: -v refused" "1 sysctl: unknown oid 'hw.snd.maxautovchans'${nl}tolvaren_backend: Command '/sbin/sysctl hw.snd.maxautovchans=4' exited with status 1" "$(cat "$work/v15")"
expect "14: vchans as given" "0 4 " "$(cat "$work/p14")"
expect "15: vchans on or off" "0 1 " "$(cat "$work/p15")"
sandboxed -- -l 3
expect "15 is the default" "== tolvaren_backend -l 3 (simulated FreeBSD 15)" "$(head -n 1 "$work/out")"

# What the shell says of a missing companion, where none can be installed.
missing=$($namespace sh -c 'mount -t tmpfs tmpfs /usr/local/bin &&
	sh -c "/usr/local/bin/varnokeltrin hw.snd.latency=3"' 2>&1)
sandboxed --no-companion -- -l 3 -q 2
expect "no companion: status" 1 "$status"
expect "no companion: errors" "$missing${nl}tolvaren_backend: Execution of shell failed" "$(err)"
expect "no companion: kernel keeps the value" "3 1 " "$(kernel 'hw\.snd\.latency' 'hw\.snd\.feeder_rate_quality')"
expect "no companion: recorded" "" "$(recorded)"

seed="# sound${nl}hw.snd.latency=2 # quiet${nl}kern.x=1${nl}hw.snd.latency=9${nl}" sandboxed -- -l 4 -a 8
expect "existing file: edited in place" "# sound${nl}hw.snd.latency=2 # quiet${nl}kern.x=1${nl}hw.snd.latency=4${nl}hw.snd.vpc_0db=8" "$(recorded)"
expect "existing file: nothing left behind" ".kernel.lock .sysctl.conf.lock .tolvaren-sandbox kernel sysctl.conf" \
	"$(LC_ALL=C ls -A "$work/state" | tr '\n' ' ' | sed 's/ $//')"

# A reboot applies what was recorded, sysctl.conf.local last.
sandboxed -- -u 0 -p 4 -l 3
again --reboot
expect "reboot: status" 0 "$status"
expect "reboot: sysctl's own line, each pass" "hw.snd.latency: 2 -> 3 hw.snd.latency: 3 -> 3" \
	"$(sed -n '/^== early pass/,/^== changed/p' "$work/out" | grep latency | tr '\n' ' ' | sed 's/ $//')"
printf 'hw.snd.latency=8\n' >"$work/state/sysctl.conf.local"
again --reboot
expect "reboot: .local wins" "hw.snd.latency: 2 -> 8" \
	"$(sed -n '/^== changed/,/^==/p' "$work/out" | grep latency)"
again --reset
expect "reset: no .local" "" "$(ls "$work/state/sysctl.conf.local" 2>/dev/null)"
# What boot makes of each kind of line.
while IFS='|' read -r latency line; do
	seed="$line$nl" sandboxed --reboot
	expect "boot applies [$line]" "0 $latency " "$status $(kernel 'hw\.snd\.latency')"
done <<'EOF'
3|hw.snd.latency=3
3|  hw.snd.latency = 3   # mine
3|hw.snd.latency:3
3|hw.snd.latency="3"
3|hw.snd.latency=3#why
2|hw.snd.latency=3 extra
10|hw.snd.latency=0x0a
2|hw.snd.latency
2|#hw.snd.latency=3
3|hw.snd.latency='3' # it's
2|hw.snd.latency=\#3
3|hw.snd.latency=3,
3|hw.snd.latency=3 7
3|hw.snd.latency=4294967299
2|hw.snd.latency=,
EOF

# Settings written by eight runs at once all reach the kernel and the file,
# with the build current, and with a build folder that they must make
# first: one run builds it while the others wait for it.
for build in "$TOLVAREN_BUILD" "$work/build"; do
	prebuilt=1
	[ "$build" = "$TOLVAREN_BUILD" ] || prebuilt= how=", building"
	sandboxed --release 14
	for options in "-a 50" "-b 0" "-l 2" "-q 3" "-v 8" "-u 0 -p 3" "-u 1 -r 3" "-u 1 -d"; do
		# shellcheck disable=SC2086
		TOLVAREN_BUILD=$build TOLVAREN_SANDBOX_PREBUILT=$prebuilt \
			"$top/sandbox/run" --state "$work/state" $options >/dev/null 2>&1 &
	done
	wait
	expect "parallel${how:-}: kernel" "50 0 2 3 8 3 3 1 " \
		"$(kernel 'hw\.snd\.vpc_0db' 'hw\.snd\.vpc_mixer_bypass' 'hw\.snd\.latency' \
			'hw\.snd\.feeder_rate_quality' 'hw\.snd\.maxautovchans' 'dev\.pcm\.0\.play\.vchans' \
			'dev\.pcm\.1\.rec\.vchans' 'hw\.snd\.default_unit')"
	expect "parallel${how:-}: recorded" "dev.pcm.0.play.vchans=3 dev.pcm.1.rec.vchans=3 hw.snd.default_unit=1 hw.snd.feeder_rate_quality=3 hw.snd.latency=2 hw.snd.maxautovchans=8 hw.snd.vpc_0db=50 hw.snd.vpc_mixer_bypass=0" \
		"$(sort "$work/state/sysctl.conf" | tr '\n' ' ' | sed 's/ $//')"
done

# On the build that is now current, twelve runs at once say nothing of
# waiting; and a run whose program waits (here for the simulated kernel,
# which the test holds) does not hold up another: the build lock is held
# for the build alone.
runs_on_work_build() {
	TOLVAREN_BUILD=$work/build TOLVAREN_SANDBOX_PREBUILT= "$top/sandbox/run" --state "$@"
}
runs_on_work_build "$work/held" -l 1 >/dev/null 2>&1
flock "$work/held/.kernel.lock" sleep 8 &
holder=$!
n=0; until ! flock -n "$work/held/.kernel.lock" true || [ $n -ge 50 ]; do sleep 0.1; n=$((n + 1)); done
runs_on_work_build "$work/held" -l 2 >/dev/null 2>&1 &
held=$!
sleep 1
runs_on_work_build "$work/free" -l 3 >/dev/null 2>&1
expect "a run beside one whose program waits: done first" "waiting" \
	"$(kill -0 $held 2>/dev/null && echo waiting || echo ended)"
wait $held $holder
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
	runs_on_work_build "$work/overlap$i" -l 3 >"$work/overlap$i.out" 2>&1 &
done
wait
expect "twelve runs at once on a current build: no waiting line" "" \
	"$(cat "$work"/overlap*.out | grep -e '== waiting')"
expect "twelve runs at once on a current build: one output, of a run that wrote" "1 == exit status 0" \
	"$(for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
		sed "s|$work/overlap$i|STATE|g" "$work/overlap$i.out" | cksum
	done | sort -u | wc -l | tr -d ' ') $(grep -e '^== exit status' "$work/overlap1.out")"

# Corrupt state is reported, not shown.
sandboxed -- -l 3
printf 'hw.snd.latency=abc\n' >>"$work/state/kernel"
again -l 4
expect "corrupt value: status" 2 "$status"
expect "corrupt value: says so" "sandbox: corrupt state in $work/state/kernel: line 12 is 'hw.snd.latency=abc'" "$(err)"
sandboxed -- -l 3
printf '=1\n' >>"$work/state/kernel"
again -l 4
expect "empty name: says so" "2 sandbox: corrupt state in $work/state/kernel: line 12 is '=1'" "$status $(err)"
sandboxed -- -l 3
echo garbage >"$work/state/.tolvaren-sandbox"
again -l 4
expect "corrupt marker: says so" "2 sandbox: corrupt state: $work/state/.tolvaren-sandbox is not a sandbox marker" "$status $(err)"

# A folder that the sandbox did not make is never touched.
mkdir -p "$work/foreign/sub"
printf 'precious\n' >"$work/foreign/sysctl.conf"
printf 'hw.snd.latency=1\n' >"$work/foreign/kernel"
snapshot() { (cd "$work/foreign" && ls -lAR --time-style=full-iso . && cat sysctl.conf kernel); }
before=$(snapshot)
"$top/sandbox/run" --state "$work/foreign" --reset -l 3 >"$work/out" 2>"$work/err"
expect "foreign folder: refused" "2 sandbox: $work/foreign is not a sandbox state folder and is not empty; nothing was touched" "$? $(err)"
expect "foreign folder: unchanged" "$before" "$(snapshot)"
expect "foreign folder: nothing run" "" "$(cat "$work/out")"

# The sandbox's own failures: one line, status 2.
printf 'x' >"$work/file"
mkdir "$work/conf-folder" "$work/conf-folder/sysctl.conf"
printf 'tolvaren_backend sandbox state: FreeBSD 15, 2 units\n' >"$work/conf-folder/.tolvaren-sandbox"
mkdir_says=$(mkdir -p "$work/file/sub" 2>&1)
sandboxed -- -l 1
while IFS='|' read -r what message args; do
	# shellcheck disable=SC2086
	eval "set -- $args"
	"$top/sandbox/run" "$@" >"$work/out" 2>"$work/err"
	expect "$what" "2 sandbox: $message" "$? $(err)"
done <<EOF
unknown option|unknown option '--colour' (see sandbox/run --help)|--colour -l 3
state without folder|--state needs an argument (see sandbox/run --help)|--state
forgotten state folder|--state needs a folder, not '-l' (see sandbox/run --help)|--state -l 4
empty state folder|the state folder must be named (an empty --state or TOLVAREN_SANDBOX_STATE names none)|--state ''
state is a file|$work/file is not a folder|--state "$work/file"
state under a file|cannot make the state folder ($mkdir_says)|--state "$work/file/sub"
sysctl.conf is a folder|$work/conf-folder/sysctl.conf is not a plain file|--state "$work/conf-folder" -l 1
release missing|--release needs an argument (see sandbox/run --help)|--release
release 12|--release takes 13, 14 or 15, not '12'|--release 12
units 65|--units takes a number from 0 to 64, not '65'|--units 65
units negative|--units takes a number from 0 to 64, not '-1'|--units -1
units huge|--units takes a number from 0 to 64, not '99999999999'|--units 99999999999
units not a number|--units takes a number from 0 to 64, not '2x'|--units 2x
units of an existing state|this state has 2 units; --units applies only to a new state (add --reset)|--state "$work/state" --units 3
release of an existing state|this state simulates FreeBSD 15; --release applies only to a new state (add --reset)|--state "$work/state" --release 13
more than 64 units|a state has 64 units at the most|--units 2 --usb-units 63
attach of an attached unit|cannot attach pcm0 (sandbox: pcm0 is attached already)|--state "$work/state" --attach 0
detach of an absent unit|cannot detach pcm5 (sandbox: pcm5 is not attached)|--state "$work/state" --detach 5
attach with program options|--attach runs no program; it takes no program options ('-l 3')|--state "$work/state" --attach 2 -l 3
EOF
for units in 0 64; do
	sandboxed --units $units -- -l 1
	expect "units $units: accepted" "0 $(($units * 2 + 7))" "$status $(wc -l <"$work/state/kernel" | tr -d ' ')"
done

"$top/sandbox/run" --help >"$work/out" 2>"$work/err"
expect "help: status and stream" "0 " "$? $(err)"
expect "help: on standard output" "usage: sandbox/run [--state DIR] [--release 13|14|15] [--units N]" \
	"$(head -n 1 "$work/out")"

# A program ended by a signal: a build whose program kills itself after
# one setting.
fake=$work/fake-build
mkdir -p "$fake/sandbox/bin"
grep '^TOLVAREN_.*_PATH\(_BUILT\)\{0,1\}:' "$TOLVAREN_BUILD/CMakeCache.txt" >"$fake/CMakeCache.txt"
ln -s "$TOLVAREN_BUILD/sandbox/bin/sysctl" "$fake/sandbox/bin/sysctl"
ln -s "$TOLVAREN_BUILD/varnokeltrin" "$fake/varnokeltrin"
for signal in TERM:15 HUP:1; do
	number=${signal#*:} signal=${signal%:*}
	printf '#!/bin/sh\n/sbin/sysctl hw.snd.latency=7 >/dev/null\nkill -s %s $$\n' $signal \
		>"$fake/tolvaren_backend"
	chmod +x "$fake/tolvaren_backend"
	TOLVAREN_BUILD=$fake sandboxed
	expect "killed by $signal: status" $((128 + number)) "$status"
	expect "killed by $signal: says so" "== killed by signal $number (exit status $((128 + number)))" \
		"$(sed -n 2p "$work/out")"
	expect "killed by $signal: kernel kept what it did" "7 " "$(kernel 'hw\.snd\.latency')"
done

# Interrupted, the sandbox leaves no temporary file and ends by the signal.
printf '#!/bin/sh\nexec sleep 30\n' >"$fake/tolvaren_backend"
mkdir "$work/tmp"
TMPDIR=$work/tmp TOLVAREN_BUILD=$fake setsid "$top/sandbox/run" --state "$work/state" \
	>/dev/null 2>&1 &
n=0; while [ -z "$(ls "$work/tmp")" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
kill -s TERM -- -$!
wait $!
expect "interrupted: status" 143 "$?"
expect "interrupted: temporary files" "" "$(ls "$work/tmp")"

# The program runs from where the front end runs it.
sandboxed -- -x
case $(head -n 1 "$work/err") in
/usr/local/bin/tolvaren_backend:*) from=/usr/local/bin ;;
*) from="elsewhere: $(head -n 1 "$work/err")" ;;
esac
expect "run as /usr/local/bin/tolvaren_backend" /usr/local/bin "$from"
expect "misuse: status" 1 "$status"

# Units with a leading zero are decimal; a relative state folder is the
# one in the working folder, whatever CDPATH says.
sandboxed --units 08 -- -l 1
expect "units 08" "0 23" "$status $(wc -l <"$work/state/kernel" | tr -d ' ')"
mkdir -p "$work/cdpath/rel" "$work/cwd"
(cd "$work/cwd" && CDPATH=$work/cdpath "$top/sandbox/run" --state rel -l 1 >/dev/null 2>&1)
expect "relative state: used where checked" "yes " \
	"$([ -f "$work/cwd/rel/kernel" ] && echo yes) $(ls -A "$work/cdpath/rel")"

# A build folder of another source tree is not touched.
mkdir -p "$work/foreign-build/CMakeFiles"
printf 'CMAKE_HOME_DIRECTORY:INTERNAL=%s\n' "$work" >"$work/foreign-build/CMakeCache.txt"
TOLVAREN_BUILD=$work/foreign-build TOLVAREN_SANDBOX_PREBUILT= sandboxed -- -l 3
expect "foreign build: refused" "2 sandbox: $work/foreign-build holds the build of another source tree ($work); nothing was touched" "$status $(err)"
expect "foreign build: kept" "CMakeCache.txt CMakeFiles" "$(ls "$work/foreign-build" | tr '\n' ' ' | sed 's/ $//')"

mkdir "$work/no-namespace"
printf '#!/bin/sh\necho "unshare: unshare failed: Operation not permitted" >&2\nexit 1\n' \
	>"$work/no-namespace/unshare"
printf '#!/bin/sh\necho built >>"%s/built"\n' "$work" >"$work/no-namespace/cmake"
chmod +x "$work/no-namespace/unshare" "$work/no-namespace/cmake"
PATH=$work/no-namespace:$PATH TOLVAREN_SANDBOX_PREBUILT= sandboxed -- -l 3
expect "no namespace: nothing built" "" "$(cat "$work/built" 2>/dev/null)"
expect "no namespace: status" 2 "$status"
expect "no namespace: says so" "sandbox: cannot make a private mount namespace here (unshare: unshare failed: Operation not permitted); nothing was run. It needs root with a / that is a mount point (in a chroot: mount --bind / /), or user namespaces for an ordinary user" "$(err)"
expect "no namespace: nothing ran" "" "$(cat "$work/out")"

expect "host /sbin/sysctl untouched" "$host_sysctl" "$(ls -l /sbin/sysctl 2>&1; cksum /sbin/sysctl 2>&1)"
expect "host has no companion" "" "$(ls /usr/local/bin/varnokeltrin 2>/dev/null)"

finish
