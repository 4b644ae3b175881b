#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the program, the copy under test and the getopt probe against musl,
# linked statically, and runs the program's whole case table against them.
# musl's getopt, like FreeBSD's, stops at the first operand and knows no
# leading '+', so this runs the code that FreeBSD compiles.
#   musl_suite.sh SOURCE_DIR BUILD_DIR PROGRAM_TEST
set -u
. "$(dirname "$0")/expect.sh"
source=$1 out=$2 program_test=$3
musl=/usr/lib/x86_64-linux-musl
[ "$(uname -m)" = x86_64 ] || skip "the musl build is set up for x86_64"
for need in clang++ "$musl/libc.a" /usr/include/x86_64-linux-musl/stdio.h /usr/include/c++/v1/array; do
	case $need in
	/*) [ -e "$need" ] ;;
	*) command -v "$need" >/dev/null 2>&1 ;;
	esac || skip "$need is missing (Debian: clang musl-tools libc++-14-dev)"
done
resource=$(clang++ -print-resource-dir)
builtins=$(clang++ --rtlib=compiler-rt -print-libgcc-file-name)
[ -f "$builtins" ] || skip "$builtins is missing (Debian: libclang-rt-14-dev)"
mkdir -p "$out/under_test"

# build OUTPUT DEFINITION... SOURCE...: one static musl program.
build() {
	output=$1
	shift
	clang++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti \
		-nostdinc -nostdinc++ -isystem /usr/include/c++/v1 -isystem "$resource/include" \
		-isystem /usr/include/x86_64-linux-musl -static -nostdlib -o "$output" \
		"$musl/crt1.o" "$musl/crti.o" "$@" -L"$musl" -lc "$builtins" "$musl/crtn.o" || exit 1
}
build "$out/tolvaren_backend" "$source/src/tolvaren_backend.cc" "$source/src/setting_writer.cc"
build "$out/under_test/tolvaren_backend" -DSYSCTL_PATH='"./sysctl"' \
	-DCOMPANION_PATH='"./varnokeltrin"' "$source/src/tolvaren_backend.cc" \
	"$source/src/setting_writer.cc"
build "$out/getopt_probe" "$source/tests/getopt_probe.cc"

if readelf -d "$out/tolvaren_backend" 2>/dev/null | grep -q NEEDED; then
	echo "the musl program is not linked statically" >&2
	exit 1
fi
TOLVAREN_PROGRAM=$out/under_test/tolvaren_backend TOLVAREN_GETOPT_PROBE=$out/getopt_probe \
	TOLVAREN_PROGRAM_STATIC=1 TOLVAREN_FUZZ_RUNS=${TOLVAREN_FUZZ_RUNS:-100} exec "$program_test"
