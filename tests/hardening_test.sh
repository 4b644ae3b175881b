#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Reads the built programs, which run as root, and fails if any of their
# hardening is missing: stack protector, fortified C library calls, full
# RELRO with BIND_NOW, PIE, a stack that cannot execute, and control-flow
# protection on x86-64.
#   hardening_test.sh CONFIGURATION COMPILER_ID PROGRAM...
set -u
configuration=$1 compiler=$2
shift 2
command -v readelf >/dev/null 2>&1 || { echo "readelf is not installed" >&2; exit 1; }
. "$(dirname "$0")/expect.sh"

# Fortified calls are expected with glibc only: musl has none, and where a
# FreeBSD release has _FORTIFY_SOURCE at all, its headers apply it to C and
# not to C++.  With glibc they come from g++: clang++ cannot use glibc's
# fortified printf family in C++, and the programs' other calls have sizes
# that are known to fit.
fortified=no
case $(uname -s) in
Linux) ldd --version 2>&1 | grep -qi 'gnu\|glibc' && fortified=yes ;;
esac
if [ "$compiler" != GNU ] && [ $fortified = yes ]; then
	echo "note: fortified calls are not expected from $compiler with this C library"
	fortified=no
fi
if [ "$configuration" = Debug ]; then
	echo "note: fortified calls are not checked in a Debug build, which does not optimize"
	fortified=no
fi
objdump=$(command -v objdump || command -v llvm-objdump)

for program in "$@"; do
	name=$(basename "$program")
	symbols=$(readelf --dyn-syms -W "$program")
	dynamic=$(readelf -d -W "$program")
	segments=$(readelf -l -W "$program")
	has() { printf '%s\n' "$1" | grep -q -- "$2" && echo yes || echo no; }
	expect "$name: stack protector" yes "$(has "$symbols" '__stack_chk_fail')"
	if [ $fortified = yes ]; then
		# Any __*_chk call but the stack protector's __stack_chk_fail.
		expect "$name: fortified calls" yes "$(has "$symbols" '__[a-z0-9_]*_chk\(@\| \|$\)')"
	fi
	expect "$name: RELRO" yes "$(has "$segments" 'GNU_RELRO')"
	expect "$name: BIND_NOW" yes "$(has "$dynamic" 'BIND_NOW\|FLAGS_1.*NOW')"
	expect "$name: PIE" yes "$(has "$(readelf -h "$program")" 'DYN (')"
	expect "$name: stack not executable" "RW" \
		"$(printf '%s\n' "$segments" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')"
	if [ "$(uname -m)" = x86_64 ] || [ "$(uname -m)" = amd64 ]; then
		if [ -n "$objdump" ]; then
			expect "$name: control-flow protection" yes \
				"$(has "$("$objdump" -d "$program" | grep -A1 '<main>:')" 'endbr64')"
		else
			echo "note: control-flow protection not checked: no objdump"
		fi
	fi
done
finish
