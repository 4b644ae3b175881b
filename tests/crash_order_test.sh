#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# A crash at any moment leaves the old file or the new one, whole: the
# system calls of a real edit write the temporary file, flush it, rename it
# over the file and then flush the folder, in that order.
#   crash_order_test.sh COMPANION
set -u
. "$(dirname "$0")/expect.sh"
command -v strace >/dev/null 2>&1 || skip "strace is not installed"
unshare --mount true 2>/dev/null || skip "no private mount namespace can be made here"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'hw.snd.latency=2\n' >"$work/sysctl.conf"
# /etc is an empty in-memory folder, so that a faulty companion cannot
# reach the machine's own, and a guard that notes any call stands at
# /sbin/sysctl: a latency names no unit, so the kernel is not asked.
printf '#!/bin/sh\necho "$0 $*" >>"%s/guarded"\nexit 1\n' "$work" >"$work/guard"
chmod 700 "$work/guard"
unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /etc &&
	{ [ ! -e /sbin/sysctl ] || mount --bind "$1/guard" /sbin/sysctl; } &&
	exec strace -qq -o "$1/calls" -e trace=openat,write,fsync,fdatasync,rename,renameat,renameat2 \
	"$2" -f "$1/sysctl.conf" hw.snd.latency=4' sh "$work" "$1"
expect "edited" "hw.snd.latency=4" "$(cat "$work/sysctl.conf")"
expect "the machine's /sbin/sysctl not run" "" "$(cat "$work/guarded" 2>/dev/null)"
# The descriptors of the folder and of the temporary file, then the order
# of the calls on them.
order=$(awk -v folder="$work" '
	/^openat\(/ && index($0, "\"" folder "\", O_RDONLY") && /O_DIRECTORY/ { dir = $NF }
	/^openat\(/ && /varnokeltrin\.[A-Za-z0-9]+", O_RDWR[|]O_CREAT[|]O_EXCL/ { tmp = $NF }
	tmp != "" && $0 ~ "^write\\(" tmp "," { if (!w++) print "write" }
	tmp != "" && $0 ~ "^f(data)?sync\\(" tmp "\\)" { print "fsync file" }
	/^rename/ && /varnokeltrin\./ { print "rename" }
	dir != "" && $0 ~ "^f(data)?sync\\(" dir "\\)" { print "fsync folder" }' "$work/calls" | tr '\n' ' ')
expect "write, fsync, rename, fsync of the folder" "write fsync file rename fsync folder " "$order"
finish
