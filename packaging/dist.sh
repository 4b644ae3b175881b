#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Makes the release tarball tolvaren_backend-VERSION.tar.gz from the
# committed tree (HEAD), with the version that CMakeLists.txt gives: one
# top folder tolvaren_backend-VERSION/, nothing that is not committed, and
# the same bytes every time for the same commit and the same gzip (GNU
# gzip and FreeBSD's compress alike data to different bytes; the tar inside
# is the same everywhere).
#   packaging/dist.sh [OUTPUT_DIR]
set -eu
top=$(CDPATH= cd -P -- "$(dirname -- "$0")/.." && pwd)
out=${1:-.}
version=$(sed -n 's/^project(tolvaren_backend VERSION \([0-9][0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "dist: CMakeLists.txt names no version" >&2; exit 1; }
git -C "$top" rev-parse -q --verify HEAD >/dev/null 2>&1 ||
	{ echo "dist: $top is not a git checkout with a commit" >&2; exit 1; }
out=$(CDPATH= cd -P -- "$out" && pwd)
name=tolvaren_backend-$version
# A failure of either step leaves no tarball: each writes a file of its
# own, checked before the next step, and what is left of them goes.
rm -f "$out/$name.tar.gz"
trap 'rm -f "$out/$name.tar.part" "$out/$name.tar.gz.part"' EXIT
# git archive gives every entry the commit's time, root as owner and a
# fixed mode, in the tree's sorted order; gzip -n leaves out the name and
# the time of its own.
git -C "$top" archive --format=tar --prefix="$name/" -o "$out/$name.tar.part" HEAD
gzip -n -9 <"$out/$name.tar.part" >"$out/$name.tar.gz.part"
mv "$out/$name.tar.gz.part" "$out/$name.tar.gz"
echo "$out/$name.tar.gz"
