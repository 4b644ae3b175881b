#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Makes the release tarball tolvaren_backend-VERSION.tar.gz from the
# committed tree (HEAD), with the version that CMakeLists.txt gives: one
# top folder tolvaren_backend-VERSION/, nothing that is not committed, and
# the same bytes every time for the same commit and the same gzip (GNU
# gzip and FreeBSD's compress alike data to different bytes; the tar inside
# is the same everywhere).  Beside it, distinfo for the FreeBSD port, in the
# form that the ports framework's makesum writes, with the commit's time
# as its TIMESTAMP.
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
rm -f "$out/$name.tar.gz" "$out/distinfo"
trap 'rm -f "$out/$name.tar.part" "$out/$name.tar.gz.part" "$out/distinfo.part"' EXIT
# git archive gives every entry the commit's time, root as owner and a
# fixed mode, in the tree's sorted order; gzip -n leaves out the name and
# the time of its own.
git -C "$top" archive --format=tar --prefix="$name/" -o "$out/$name.tar.part" HEAD
gzip -n -9 <"$out/$name.tar.part" >"$out/$name.tar.gz.part"
# sha256(1) on FreeBSD, sha256sum(1) from GNU coreutils elsewhere.
if command -v sha256 >/dev/null 2>&1; then
	sum=$(sha256 -q "$out/$name.tar.gz.part")
else
	sum=$(sha256sum <"$out/$name.tar.gz.part" | cut -d ' ' -f 1)
fi
size=$(wc -c <"$out/$name.tar.gz.part" | tr -d ' ')
[ ${#sum} -eq 64 ] && [ -n "$size" ] || { echo "dist: cannot take the tarball's checksum" >&2; exit 1; }
printf 'TIMESTAMP = %s\nSHA256 (%s.tar.gz) = %s\nSIZE (%s.tar.gz) = %s\n' \
	"$(git -C "$top" log -1 --format=%ct HEAD)" "$name" "$sum" "$name" "$size" >"$out/distinfo.part"
mv "$out/$name.tar.gz.part" "$out/$name.tar.gz"
mv "$out/distinfo.part" "$out/distinfo"
echo "$out/$name.tar.gz"
