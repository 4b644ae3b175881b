#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The program loads the C library alone, runs its main paths under valgrind
# with no memory error and no heap allocation at all, and installs where
# FreeBSD and Linux users look for it.
#   footprint_test.sh PROGRAM PROGRAM_UNDER_TEST STAND_IN BUILD_DIR C_LIBRARY_PROBE
set -u
program=$1 under_test=$2 stand_in=$3 build=$4 probe=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/expect.sh"
command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not installed" >&2; exit 1; }

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
# The C library as this toolchain names it: libc.so.6 on glibc, libc.so.7
# on FreeBSD.
expect "shared libraries" "$(needed "$probe")" "$(needed "$program")"
# The companion's C++ runtime is linked in; the part of it that threads
# use names the dynamic loader, which every program loads anyway.
loader=$(readelf -l "$probe" | sed -n 's|.*interpreter: .*/\([^]/]*\)\]|\1|p')
expect "shared libraries of the companion" "$(needed "$probe")" \
	"$(needed "$build/varnokeltrin" | grep -vxF "${loader:-none}")"

# under_valgrind STATUS PROGRAM ARGUMENT...: runs it in $work/run, where
# the stand-ins are, and checks its status and valgrind's summary, for the
# program and for each child that it forks to write a setting.
under_valgrind() {
	status=$1 what="$*"
	shift
	rm -f "$work"/valgrind.*
	(cd "$work/run" && ${wrap:-} valgrind --trace-children=no --log-file="$work/valgrind.%p" "$@" \
		>/dev/null 2>&1)
	expect "$what: status" "$status" "$?"
	expect "$what: heap" "total heap usage: 0 allocs, 0 frees, 0 bytes allocated" \
		"$(cat "$work"/valgrind.* | grep -o 'total heap usage:.*' | sort -u)"
	expect "$what: errors" "ERROR SUMMARY: 0 errors from 0 contexts (suppressed: 0 from 0)" \
		"$(cat "$work"/valgrind.* | grep -o 'ERROR SUMMARY:.*' | sort -u)"
}
mkdir "$work/run"
ln -s "$stand_in" "$work/run/sysctl"
ln -s "$stand_in" "$work/run/varnokeltrin"
under_valgrind 0 "$under_test" -v 8 -q 7 -l 6 -d -b 4 -a 3 -r 2 -p 1 -u 5
under_valgrind 1 "$under_test" -a 5 -x
under_valgrind 1 "$under_test" -p 1
under_valgrind 1 "$under_test" -a "$(printf '99999999999\n\033')"
STANDIN_FAIL="sysctl * exit 1" under_valgrind 1 "$under_test" -l 5
rm "$work/run/varnokeltrin"
under_valgrind 1 "$under_test" -l 5
# The program as built has the real command paths, so it runs where /sbin
# and /usr/local/bin are empty folders of its own.
if unshare --mount --propagation private true 2>/dev/null; then
	cat >"$work/run/in_private" <<'EOF'
#!/bin/sh
exec unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /sbin &&
	mount -t tmpfs tmpfs /usr/local/bin && exec "$@"' in_private "$@"
EOF
	wrap="sh ./in_private" under_valgrind 0 "$program"
	wrap="sh ./in_private" under_valgrind 1 "$program" -d
elif [ "${TOLVAREN_NO_SKIP:-}" = 1 ]; then
	expect "a private mount namespace for the program as built" yes no
else
	echo "the program as built is not run: no private mount namespace keeps /sbin/sysctl out of reach"
fi

cmake --install "$build" --prefix "$work/prefix" >/dev/null
top=$(dirname "$0")/..
for installed in bin/tolvaren_backend:"$program" bin/varnokeltrin:"$build/varnokeltrin" \
	share/man/man8/tolvaren_backend.8:"$top/src/tolvaren_backend.8" \
	share/man/man8/varnokeltrin.8:"$top/companion/varnokeltrin.8"; do
	expect "installed ${installed%%:*}" "" "$(cmp "${installed#*:}" "$work/prefix/${installed%%:*}" 2>&1)"
done
finish
