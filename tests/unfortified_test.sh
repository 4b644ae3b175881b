#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The hardening check must fail on a program built without _FORTIFY_SOURCE,
# and for that alone: the stack protector's own __stack_chk_fail must not
# pass for a fortified call.
# It builds with g++, the compiler that gives fortified calls.
#   unfortified_test.sh SOURCE_DIR BUILD_DIR
set -u
. "$(dirname "$0")/expect.sh"
source=$1 out=$2 cxx=g++
ldd --version 2>&1 | grep -qi 'gnu\|glibc' || skip "fortified calls are expected with glibc only"
command -v $cxx >/dev/null 2>&1 || skip "$cxx is not installed"
mkdir -p "$out"
"$cxx" -std=c++20 -O2 -fno-exceptions -fno-rtti -fstack-protector-strong -fPIE -pie \
	-fcf-protection -U_FORTIFY_SOURCE -Wl,-z,relro,-z,now -Wl,-z,noexecstack \
	-o "$out/tolvaren_backend" "$source/src/tolvaren_backend.cc" "$source/src/setting_writer.cc" ||
	exit 1
sh "$(dirname "$0")/hardening_test.sh" Release GNU "$out/tolvaren_backend" >"$out/report" 2>&1
expect "the check fails" 1 "$?"
expect "on fortification alone" "FAILED: tolvaren_backend: fortified calls" "$(grep FAILED "$out/report")"
finish
