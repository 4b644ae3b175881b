#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port installs exactly what CMake installs, with the CMake
# version and the license file; every source file, script and manual page
# carries its license line; and the release tarball has the same bytes
# each time, holds what is committed and nothing else, and builds and
# installs on its own.
#   packaging_test.sh SOURCE_DIR BUILD_DIR VERSION
set -u
. "$(dirname "$0")/expect.sh"
source=$1 build=$2 version=$3
port=$source/packaging/freebsd/audio/tolvaren-backend
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# installed BUILD_DIR STAGE: what cmake --install puts under the prefix, as
# a packing list names it (the ports framework compresses manual pages).
installed() {
	DESTDIR=$2 cmake --install "$1" --prefix /usr/local >/dev/null || echo "(cmake --install failed)"
	(cd "$2/usr/local" 2>/dev/null && find . ! -type d) |
		sed 's|^\./||; s|^\(share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort
}
# Lines of pkg-plist that start with @ are commands, not files.
plist=$(grep -v '^@' "$port/pkg-plist" | LC_ALL=C sort)
expect "port: DISTVERSION" "$version" "$(sed -n 's/^DISTVERSION=[[:space:]]*//p' "$port/Makefile")"
license=$(sed -n 's/^LICENSE_FILE=[[:space:]]*${WRKSRC}\///p' "$port/Makefile")
expect "port: LICENSE_FILE" "LICENSE present" "$license$([ -f "$source/${license:-none}" ] && echo ' present')"
expect "port: pkg-plist is what is installed" "$plist" "$(installed "$build" "$work/stage")"

unlicensed=$(cd "$source" && find CMakeLists.txt .ci bench companion packaging sandbox src tests -type f |
	while read -r f; do
		case $f in
		*.cc | *.h | *.c | *.8 | *.sh | */CMakeLists.txt | CMakeLists.txt) ;;
		*) head -n 1 "$f" | grep -q '^#!' || continue ;;
		esac
		head -n 2 "$f" | grep -q 'SPDX-License-Identifier: BSD-2-Clause' || echo "$f"
	done)
expect "license line everywhere" "" "$unlicensed"

if ! git -C "$source" rev-parse -q --verify HEAD >/dev/null 2>&1; then
	[ "${TOLVAREN_NO_SKIP:-}" = 1 ] && expect "a git checkout to make the tarball from" yes no
	echo "note: not a git checkout; the tarball is not made"
	finish
	exit
fi
name=tolvaren_backend-$version
mkdir "$work/1" "$work/2"
# A second apart, so that a time in the gzip header would show.
sh "$source/packaging/dist.sh" "$work/1" >/dev/null && sleep 1 && sh "$source/packaging/dist.sh" "$work/2" >/dev/null
expect "tarball: the same bytes twice" "" "$(cmp "$work/1/$name.tar.gz" "$work/2/$name.tar.gz" 2>&1)"
# distinfo as makesum writes it, for the tarball beside it.
expect "distinfo: the tarball's checksum and size" \
	"TIMESTAMP = $(git -C "$source" log -1 --format=%ct HEAD)
SHA256 ($name.tar.gz) = $(openssl dgst -sha256 -r "$work/1/$name.tar.gz" 2>/dev/null | cut -d ' ' -f 1)
SIZE ($name.tar.gz) = $(ls -ln "$work/1/$name.tar.gz" | awk '{ print $5 }')" "$(cat "$work/1/distinfo" 2>&1)"
# A git that fails part way through its archive: no tarball is left.
mkdir "$work/bin" "$work/3"
printf '#!/bin/sh\ncase "$*" in *archive*) echo partial; exit 1 ;; esac\nexec %s "$@"\n' \
	"$(command -v git)" >"$work/bin/git"
chmod +x "$work/bin/git"
PATH=$work/bin:$PATH sh "$source/packaging/dist.sh" "$work/3" >/dev/null 2>&1
expect "tarball: a failing git fails it and leaves nothing" "1 " "$? $(ls -A "$work/3")"
tar -tzf "$work/1/$name.tar.gz" >"$work/list"
expect "tarball: one top folder" "$name" "$(cut -d/ -f1 "$work/list" | sort -u)"
expect "tarball: what is committed, and nothing else" \
	"$(git -C "$source" ls-tree -r --name-only HEAD | LC_ALL=C sort)" \
	"$(sed -n "s|^$name/\(.*[^/]\)$|\1|p" "$work/list" | LC_ALL=C sort)"
tar -xzf "$work/1/$name.tar.gz" -C "$work"
{ cmake -S "$work/$name" -B "$work/build" -DTOLVAREN_TESTS=ON -DTOLVAREN_CHECKS=OFF &&
	cmake --build "$work/build" -j2; } >"$work/log" 2>&1
expect "tarball: builds with its tests" 0 "$?"
expect "tarball: installs what pkg-plist lists" "$plist" "$(installed "$work/build" "$work/tarball-stage")"
# The companion that the program runs and the devd rule names is the one
# installed with it, under the prefix.
names_companion() {
	printf '%s %s' "$(grep -v '^#' "$1/etc/devd/varnokeltrin.conf" | grep -c "\"$2 -a ")" \
		"$(strings "$1/bin/tolvaren_backend" | grep -c -x "$2")"
}
expect "default prefix: the companion named" "1 1" \
	"$(names_companion "$work/tarball-stage/usr/local" /usr/local/bin/varnokeltrin)"
{ cmake -S "$work/$name" -B "$work/opt" -DCMAKE_INSTALL_PREFIX=/opt/tv &&
	cmake --build "$work/opt" -j2 --target tolvaren_backend varnokeltrin &&
	DESTDIR=$work/opt-stage cmake --install "$work/opt"; } >"$work/log" 2>&1
expect "another prefix: the companion named" "1 1" "$(names_companion "$work/opt-stage/opt/tv" /opt/tv/bin/varnokeltrin)"
finish
