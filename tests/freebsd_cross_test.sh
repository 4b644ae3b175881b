#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Both programs cross-compile for FreeBSD 14.2 with clang and lld, warnings
# as errors, so that the code under __FreeBSD__ meets a compiler on every
# run; tolvaren_backend needs FreeBSD's C library alone.
#   freebsd_cross_test.sh SOURCE_DIR BUILD_DIR SYSROOT
set -u
. "$(dirname "$0")/expect.sh"
source=$1 out=$2 sysroot=${3:-}
[ -n "$sysroot" ] || skip "no FreeBSD sysroot: set TOLVAREN_FREEBSD_SYSROOT"
[ -d "$sysroot/usr/include" ] || skip "$sysroot is no FreeBSD sysroot"
rm -rf "$out"
cmake -S "$source" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$source/packaging/freebsd/toolchain.cmake" \
	-DTOLVAREN_FREEBSD_SYSROOT="$sysroot" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >"$out.log" 2>&1 &&
	cmake --build "$out" -j2 --target tolvaren_backend varnokeltrin >>"$out.log" 2>&1
status=$?
[ $status -eq 0 ] || cat "$out.log"
expect "configured and built" 0 "$status"
needed() { readelf -d "$1" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '; }
expect "tolvaren_backend needs" "libc.so.7 " "$(needed "$out/tolvaren_backend")"
expect "for FreeBSD" "FreeBSD FreeBSD " "$(for f in tolvaren_backend varnokeltrin; do
	readelf -h "$out/$f" 2>/dev/null | sed -n 's/.*OS\/ABI:.*UNIX - \(FreeBSD\)/\1/p'; done | tr '\n' ' ')"
finish
