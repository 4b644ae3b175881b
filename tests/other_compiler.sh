#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the default programs with the other compiler (clang++ when the
# suite was built by g++, else g++), warnings as errors, and checks their
# hardening as the suite checks its own.
#   other_compiler.sh SOURCE_DIR BUILD_DIR C_COMPILER CXX_COMPILER
set -u
. "$(dirname "$0")/expect.sh"
source=$1 out=$2
command -v "$4" >/dev/null 2>&1 || skip "$4 is not installed"
CC=$3 CXX=$4 cmake -S "$source" -B "$out" -DCMAKE_BUILD_TYPE=Release \
	-DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null || exit 1
cmake --build "$out" -j2 --target tolvaren_backend varnokeltrin || exit 1
case $4 in *clang*) id=Clang ;; *) id=GNU ;; esac
exec sh "$(dirname "$0")/hardening_test.sh" Release $id "$out/tolvaren_backend" "$out/varnokeltrin"
