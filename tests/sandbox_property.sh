#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Random sessions of the real programs on the simulated FreeBSD 13, 14 and
# 15: settings as the front end sends them, some refused, reboots, and a
# unit plugged out and in again.  After every reboot the kernel is as it
# was before it, and after every attach as before the detach; after every
# step each line that an administrator wrote is still there, byte for byte
# or with only its value changed.  The fixed sessions first are orders
# that editing in place, or compacting, got wrong.  Sessions with two USB
# cards plug them out and in in any order, and reboot with the cards
# attaching in a random order: after every step each card that is plugged
# in has what was last chosen for it, whatever its unit number, and each
# built-in unit what was chosen for its number.
#   sandbox_property.sh BUILD_DIR
set -u
. "$(dirname "$0")/expect.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
export TOLVAREN_BUILD="$1" TOLVAREN_SANDBOX_PREBUILT=1
unset TOLVAREN_SANDBOX_STATE TOLVAREN_SANDBOX_RELEASE TOLVAREN_SANDBOX_UNITS TOLVAREN_SANDBOX_USB_UNITS
unshare --mount true 2>/dev/null || unshare --user --map-root-user --mount true 2>/dev/null ||
	skip "no private mount namespace can be made here"
seed=${TOLVAREN_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
steps=${TOLVAREN_SANDBOX_STEPS:-25}
echo "sandbox property: seed $seed, $steps random steps a release"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/state

sandbox() { "$top/sandbox/run" --state "$state" "$@" >"$work/out" 2>&1 </dev/null; }
kernel() { LC_ALL=C sort "$state/kernel"; }
# Each session is a line: its name, then its steps, separated by '|'.
{
	cat <<'EOF_FIXED'
more vchans after a lower maxautovchans|new 14|-v 4|-u 0 -p 8|-v 6|reboot
vchans raised from 0|new 14|-u 0 -p 8|-v 0|-v 16|reboot
sysctl.conf.local read last|new 14|local dev.pcm.1.rec.vchans=3|boot|-v 1|reboot
a trailing dot names the variable|new 13|conf hw.snd.latency=5|conf hw.snd.latency.=7|boot|-l 4|reboot
a USB card plugged in again|new 14|-u 2 -p 4|replug 2
15's switch in sysctl.conf.local|new 15|-u 0 -r 1|local hw.snd.vchans_enable=1|boot|-u 0 -r 0|reboot
15's switch off|new 15|local hw.snd.vchans_enable=0|boot|-u 0 -p 1|reboot|replug 2
a playback-only unit|new 14 --playback-only 1|-u 1 -r 2|-u 1 -p 3 -d|-v 2|reboot|replug 1
the default unit plugged out and in|new 13|-u 2 -d|replug 2|reboot
two cards plugged in the other way round|new 14 --card headset=0x0d8c:0x0014:HS1 --card dac=0x08bb:0x2902:|plug headset|plug dac|-U headset -p 4 -r 2|-U dac -p 8 -d|unplug headset|unplug dac|plug dac|plug headset|reboot 3|reboot 1
an administrator's note kept|new 14|admin conf dev.pcm.0.play.vchans=4	# jackd needs 4, keep it|conf hw.snd.latency=3|conf dev.pcm.0.play.vchans=6|boot|-u 0 -p 8|reboot
EOF_FIXED
	awk -v seed="$seed" -v steps="$steps" 'BEGIN {
		srand(seed)
		split("-1 0 1 2 3 4 8 16 300", n, " ")
		split("-a 0|-a 45|-a 101|-b 0|-l 3|-l 11|-q 4|-q -1|-u 1 -d|-u 2 -d|-u 7 -d", other, "|")
		# The switch of the other release, left over from an upgrade.
		split("hw.snd.vchans_enable=0|hw.snd.maxautovchans=2", other_switch, "|")
		for (r = 13; r <= 15; r++) {
			line = "FreeBSD " r " from seed " seed "|new " r
			sw = r < 15 ? "hw.snd.maxautovchans=" : "hw.snd.vchans_enable="
			if (rand() < 0.5) line = line " --playback-only " int(rand() * 3)
			# An administrator'"'"'s line for the switch, read last at boot.
			if (rand() < 0.5)
				line = line "|local " sw n[1 + int(rand() * 9)] "|boot"
			for (i = 0; i < steps; i++) {
				k = int(rand() * 10); c = n[1 + int(rand() * 9)]; u = int(rand() * 4)
				if (k < 3) s = "-v " c
				else if (k < 5) s = "-u " u " -p " c
				else if (k < 6) s = "-u " u " -r " c " -v " n[1 + int(rand() * 9)]
				else if (k < 8) s = other[1 + int(rand() * 11)]
				else if (k < 9) {
					c = rand(); v = n[1 + int(rand() * 9)]
					s = c < 0.1 ? "conf " other_switch[1 + (r < 15 ? 0 : 1)] : c < 0.2 ? "local " sw v "|boot" : \
					    c < 0.3 ? "admin conf dev.pcm." int(rand() * 2) ".play.vchans=" v " # mine|boot" : \
					    c < 0.4 ? "admin local " sw v "	# cap|boot" : "reboot"
				}
				else s = "replug " (1 + int(rand() * 2))
				line = line "|" s
			}
			print line "|reboot"
			# Two cards, one without a serial number; no -v, whose
			# coupling would change what was chosen for a card that is
			# plugged out.
			line = "cards on FreeBSD " r " from seed " seed "|new " r \
			    " --card headset=0x0d8c:0x0014:HS1 --card dac=0x08bb:0x2902:|plug headset|plug dac"
			for (i = 0; i < steps; i++) {
				k = rand(); c = rand() < 0.5 ? "headset" : "dac"; v = n[1 + int(rand() * 9)]
				s = k < 0.3 ? "-U " c " -p " v : k < 0.45 ? "-U " c " -r " v : k < 0.55 ? "-U " c " -d" : \
				    k < 0.6 ? "-u " int(rand() * 2) " -p " v : k < 0.65 ? "-u 0 -d" : \
				    k < 0.7 ? other[1 + int(rand() * 8)] : k < 0.8 ? "unplug " c : \
				    k < 0.9 ? "plug " c : "reboot " int(rand() * 1000)
				line = line "|" s
			}
			print line "|reboot " int(rand() * 1000)
		}
	}'
} >"$work/sessions"
# The administrator's lines that are not where they were: each must stand
# in its file as written, or with another number for its value.
admin_lost() {
	while IFS='|' read -r file line; do
		awk -v want="$line" 'BEGIN {
			eq = index(want, "="); name = substr(want, 1, eq)
			rest = substr(want, eq + 1); sub(/^-?[0-9]+/, "", rest)
		}
		$0 == want { found = 1 }
		substr($0, 1, eq) == name && match(substr($0, eq + 1), /^-?[0-9]+/) &&
			substr($0, eq + 1 + RLENGTH) == rest { found = 1 }
		END { exit !found }' "$state/$file" 2>/dev/null || printf '%s: %s\n' "$file" "$line"
	done <"$work/admin"
}
# unit_of C: the unit that card C is plugged in at, or nothing.
unit_of() { sed -n "s/^$1 \([0-9]*\) .*/\1/p" "$state/plugged" 2>/dev/null; }
value() { sed -n "s/^$1=//p" "$state/kernel"; }
# note_chosen WHO UNIT OPTION...: after a setting that succeeded, what was
# chosen for WHO (a card, or unitN), read back from the kernel.
note_chosen() {
	who=$1 u=$2
	shift 2
	while [ $# -gt 0 ]; do
		case $1 in
		-p) what=play.vchans ;;
		-r) what=rec.vchans ;;
		-d) what=default ;;
		*) shift; continue ;;
		esac
		if [ "$what" = default ]; then
			grep -v '^default ' "$work/chosen" >"$work/chosen.new"
			echo "default $who" >>"$work/chosen.new"
		else
			grep -v "^$who $what " "$work/chosen" >"$work/chosen.new"
			echo "$who $what $(value "dev.pcm.$u.$what")" >>"$work/chosen.new"
		fi
		mv "$work/chosen.new" "$work/chosen"
		shift
	done
}
# What is not as chosen: each card plugged in, at whatever unit, and each
# built-in unit.
not_as_chosen() {
	while read -r who what v; do
		case $who in
		unit*) u=${who#unit} ;;
		default) u=$(unit_of "$what"); case $what in unit*) u=${what#unit} ;; esac ;;
		*) u=$(unit_of "$who") ;;
		esac
		[ -n "$u" ] || continue
		if [ "$who" = default ]; then
			[ "$(value hw.snd.default_unit)" = "$u" ] || echo "default unit not $what's ($u)"
		else
			[ "$(value "dev.pcm.$u.$what")" = "$v" ] || echo "$who at pcm$u: $what not $v"
		fi
	done <"$work/chosen"
}
while IFS='|' read -r session steps; do
	n=0
	while [ -n "$steps" ]; do
		step=${steps%%|*} n=$((n + 1))
		[ "$step" != "$steps" ] && steps=${steps#*|} || steps=
		kernel >"$work/before" 2>/dev/null
		case $step in
		# shellcheck disable=SC2086
		"new "*)
			rm -rf "$state"; : >"$work/admin"; : >"$work/chosen"
			case $step in *--card*) usb= ;; *) usb="--usb-units 1" ;; esac
			sandbox --release ${step#new } --units 2 $usb --reset ;;
		"plug "*) [ -n "$(unit_of "${step#plug }")" ] || sandbox --attach "${step#plug }" ;;
		"unplug "*) [ -z "$(unit_of "${step#unplug }")" ] || sandbox --detach "${step#unplug }" ;;
		"reboot "*) sandbox --reboot --seed "${step#reboot }" ;;
		"-U "*)
			card=${step#-U } card=${card%% *} u=$(unit_of "$card")
			if [ -n "$u" ]; then
				sandbox -u "$u" ${step#-U "$card"} && note_chosen "$card" "$u" ${step#-U "$card"}
			fi ;;
		"-u "*)
			u=${step#-u } u=${u%% *}
			sandbox $step && [ -s "$state/cards" ] && note_chosen "unit$u" "$u" ${step#-u "$u"} ;;
		"admin conf "*) printf '%s\n' "${step#admin conf }" | tee -a "$state/sysctl.conf" | sed 's/^/sysctl.conf|/' >>"$work/admin" ;;
		"admin local "*) printf '%s\n' "${step#admin local }" | tee -a "$state/sysctl.conf.local" | sed 's/^/sysctl.conf.local|/' >>"$work/admin" ;;
		"conf "*) printf '%s\n' "${step#conf }" >>"$state/sysctl.conf" ;;
		"local "*) printf '%s\n' "${step#local }" >>"$state/sysctl.conf.local" ;;
		boot | reboot) sandbox --reboot ;;
		"replug "*) sandbox --detach "${step#replug }" && sandbox --attach "${step#replug }" ;;
		# shellcheck disable=SC2086
		*) sandbox $step ;;
		esac
		[ $? -ne 2 ] || expect "$session: step $n ($step) runs" "" "$(cat "$work/out")"
		expect "$session: the administrator's lines kept at step $n ($step)" "" "$(admin_lost)"
		expect "$session: as chosen after step $n ($step)" "" "$(not_as_chosen)"
		# A default unit that the kernel chose itself moves when units come
		# and go, and boot chooses afresh: only one set by hand must stay.
		chosen='^hw\.snd\.default_unit='
		grep -qx 'hw.snd.default_auto=1' "$work/before" || chosen='^$'

		[ ! -s "$state/cards" ] || continue
		case $step in reboot | replug*)
			expect "$session: kernel kept across step $n ($step)" "$(grep -v "$chosen" "$work/before")" \
				"$(kernel | grep -v "$chosen")" ;;
		esac
	done
done <"$work/sessions"
finish
