#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs first and last in the test suite: it notes what the machine's own
# files that a faulty program could damage look like, and at the end fails
# loudly if any of them changed, so that a hazard shows up in the run that
# caused it rather than as strange failures later.
#   host_guard.sh record|check NOTE_FILE
set -u
snapshot() {
	if [ -c /dev/null ]; then
		echo "/dev/null: a character device"
	else
		echo "/dev/null: no longer a character device"
	fi
	for file in /etc/sysctl.conf /etc/sysctl.conf.local /etc/.sysctl.conf.lock \
		/sbin/sysctl /usr/local/bin/varnokeltrin; do
		if [ -e "$file" ] || [ -L "$file" ]; then
			echo "$file: $(ls -ldn "$file" | awk '{ print $1, $3, $4 }') $(cksum <"$file" 2>&1)"
		else
			echo "$file: absent"
		fi
	done
}
case ${1:-} in
record)
	snapshot >"$2" ;;
check)
	if ! snapshot | cmp -s - "$2"; then
		echo "THE TESTS CHANGED THIS MACHINE'S OWN FILES.  Before, then now:" >&2
		cat "$2" >&2
		snapshot >&2
		exit 1
	fi
	echo "the machine's own files are as they were before the tests" ;;
*)
	echo "usage: host_guard.sh record|check NOTE_FILE" >&2
	exit 2 ;;
esac
