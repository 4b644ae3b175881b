#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the programs and their tests with clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors, and runs the tests but
# those that read the release build (hardening) or build their own (musl,
# the other compiler, FreeBSD).
#   sanitized_suite.sh SOURCE_DIR BUILD_DIR
set -eu
CC=clang CXX=clang++ cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Debug -DTOLVAREN_TESTS=ON \
	-DTOLVAREN_SANITIZE=ON -DTOLVAREN_CHECKS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$2" -j2
ctest --test-dir "$2" --output-on-failure -j2 -E '^(hardening|hardening_check_fails_unfortified|musl_suite|other_compiler|FreeBSD_cross_compile)$'
