#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs the program's whole case table with bash as /bin/sh, in a private
# mount namespace so that the host keeps its own shell.  bash, like
# FreeBSD's sh, runs a lone command in place of itself instead of in a
# child, so a command ended by a signal reaches the program as a shell
# ended by that signal.
#   bash_as_sh.sh PROGRAM_TEST
set -u
. "$(dirname "$0")/expect.sh"
program_test=$1
bash=$(command -v bash) || skip "bash is not installed"
if ! unshare --mount --propagation private true 2>/dev/null; then
	skip "no private mount namespace can be made here"
fi
export TOLVAREN_FUZZ_RUNS=${TOLVAREN_FUZZ_RUNS:-100}
exec unshare --mount --propagation private sh -c '
	mount --bind "$1" /bin/sh || exit 1
	case $(/bin/sh -c "echo \$BASH_VERSION") in
	"") echo "/bin/sh is not bash in the namespace" >&2; exit 1 ;;
	esac
	exec "$2"
' bash_as_sh "$bash" "$program_test"
