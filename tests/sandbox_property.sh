#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Random sessions of the real programs on the simulated FreeBSD 13, 14 and
# 15: settings as the front end sends them, some refused, reboots, and a
# unit plugged out and in again.  After every reboot the kernel is as it
# was before it, and after every attach as before the detach; after every
# step each line that an administrator wrote is still there, byte for byte
# or with only its value changed.  The fixed sessions first are orders
# that editing in place, or compacting, got wrong.  Sessions with three USB
# cards, one of them with two pcm units, plug them out and in in any order,
# plug in and out a unit that is no card (as HDMI audio) at the lowest free
# number, and reboot with the cards attaching in a random order, each
# before the early pass or between the passes: after every step each unit
# of a card that is plugged in has what was last chosen for it, whatever
# its number (where nothing was, what was chosen by number for a unit that
# is no card, or the attach default), each unit that is no card what was
# chosen for its number, and the default unit is the unit or card last
# chosen, when it is attached.
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
the default chosen for one card, the other, then the first|new 14 --card headset=0x0d8c:0x0014:HS1 --card dac=0x08bb:0x2902:|admin conf hw.snd.default_unit=1|admin conf #dev.pcm.2.play.vchans=4|admin conf #dev.pcm.3.rec.vchans=0|boot|plug dac|-U dac -d -p 8|unplug dac|plug headset|-U headset -d -r 0|unplug headset|plug dac|-U dac -d|plug headset|reboot 3 loader|reboot 1 loader|unplug dac|unplug headset|plug headset|plug dac|reboot 2 rc|exact conf hw.snd.default_unit=1
a unit that is no card takes a card's number|new 15 --card headset=0x0d8c:0x0014:HS1|plug headset|-U headset -p 0|unplug headset|hdmi|-L -p 1 -d|hdmi|plug headset|reboot 1 loader|hdmi|-L -r 0|reboot 2 rc
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
			# Three cards, one without a serial number and one with two
			# pcm units; no -v, whose coupling would change what was
			# chosen for a card that is plugged out.
			line = "cards on FreeBSD " r " from seed " seed "|new " r \
			    " --card headset=0x0d8c:0x0014:HS1 --card dac=0x08bb:0x2902: --card dock=0x17ef:0x306f:DK7:2" \
			    "|plug headset|plug dac|plug dock"
			split("headset/0 dac/0 dock/0 dock/1", who, " ")
			for (i = 0; i < steps; i++) {
				k = rand(); c = who[1 + int(rand() * 4)]; v = n[1 + int(rand() * 9)]
				l = rand() < 0.4 ? "-p " v : rand() < 0.6 ? "-r " v : "-d"
				s = k < 0.25 ? "-U " c " -p " v : k < 0.35 ? "-U " c " -r " v : k < 0.42 ? "-U " c " -d" : \
				    k < 0.47 ? "-u " int(rand() * 2) " -p " v : k < 0.5 ? "-u 0 -d" : \
				    k < 0.55 ? other[1 + int(rand() * 8)] : k < 0.65 ? "unplug " c : \
				    k < 0.75 ? "plug " c : k < 0.81 ? "hdmi" : k < 0.88 ? "-L " l : \
				    "reboot " int(rand() * 1000) " either"
				sub(/\/[01]$/, "", s)
				line = line "|" s
			}
			print line "|reboot " int(rand() * 1000) " either"
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
# unit_of C[/I]: the unit that card C's first (or I-th) unit is plugged in
# at, or nothing.
unit_of() {
	awk -v c="${1%/*}" -v i="$(case $1 in */1) echo 4 ;; *) echo 2 ;; esac)" \
		'$1 == c { print $i }' "$state/plugged" 2>/dev/null
}
value() { sed -n "s/^$1=//p" "$state/kernel"; }
# who_at N: the card unit (C/I) at unit N, or unitN.
who_at() {
	cat "$state/plugged" 2>/dev/null | awk -v u="$1" '$2 == u { w = $1 "/0" }
		NF == 4 && $4 == u { w = $1 "/1" } END { print w ? w : "unit" u }'
}
# note_chosen UNIT OPTION...: after a setting that succeeded, what was
# chosen for what is at UNIT (a card's unit, or unitN), read back from the
# kernel.
note_chosen() {
	u=$1 who=$(who_at "$1")
	shift
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
# chosen WHO WHAT: what was last chosen for it, or nothing.
chosen() { awk -v w="$1" -v t="$2" '$1 == w && $2 == t { print $3 }' "$work/chosen"; }
# What is not as chosen, in a session with cards: each unit attached, by
# what it is, and the default unit.
not_as_chosen() {
	[ -s "$state/cards" ] || return 0
	for u in $(sed -n 's/^dev\.pcm\.\([0-9]*\)\.play\.vchans=.*/\1/p' "$state/kernel"); do
		who=$(who_at "$u")
		for what in play.vchans rec.vchans; do
			now=$(value "dev.pcm.$u.$what")
			[ -n "$now" ] || continue
			want=$(chosen "$who" "$what")
			[ -n "$want" ] || want=$(chosen "unit$u" "$what")
			[ "$now" = "${want:-1}" ] || echo "$who at pcm$u: $what $now, not ${want:-1}"
		done
	done
	want=$(sed -n "s/^default //p" "$work/chosen")
	case $want in
	'') ;;
	unit*) [ "$(who_at "${want#unit}")" != "$want" ] || [ -z "$(value "dev.pcm.${want#unit}.play.vchans")" ] ||
		[ "$(value hw.snd.default_unit)" = "${want#unit}" ] ||
		echo "default unit $(value hw.snd.default_unit), not $want" ;;
	*) u=$(unit_of "$want")
	   [ -z "$u" ] || [ "$(value hw.snd.default_unit)" = "$u" ] ||
		echo "default unit $(value hw.snd.default_unit), not $want's ($u)" ;;
	esac
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
			rm -rf "$state"; : >"$work/admin"; : >"$work/chosen"; : >"$work/late"
			case $step in *--card*) usb= ;; *) usb="--usb-units 1" ;; esac
			sandbox --release ${step#new } --units 2 $usb --reset ;;
		"plug "*) [ -n "$(unit_of "${step#plug }")" ] || sandbox --attach "${step#plug }" ;;
		"unplug "*) [ -z "$(unit_of "${step#unplug }")" ] || sandbox --detach "${step#unplug }" ;;
		"reboot "*)
			seed=${step#reboot } driver=${seed#* } seed=${seed%% *}
			[ "$driver" != "$seed" ] || driver=rc
			sandbox --reboot --seed "$seed" --usb-driver "$driver"
			r=$?; : >"$work/late"; (exit $r) ;;
		hdmi)
			if [ -s "$work/late" ]; then
				sandbox --detach "$(cat "$work/late")"; r=$?; : >"$work/late"
			else
				sandbox --attach-unit; r=$?
				sed -n 's/^== pcm\([0-9]*\), a unit that is no card.*/\1/p' "$work/out" >"$work/late"
			fi
			(exit $r) ;;
		"-L "*)
			if [ -s "$work/late" ]; then
				u=$(cat "$work/late")
				sandbox -u "$u" ${step#-L } && note_chosen "$u" ${step#-L }
			fi ;;
		"exact conf "*) expect "$session: the line stands as written" "${step#exact conf }" \
			"$(grep -x -F -- "${step#exact conf }" "$state/sysctl.conf")" ;;
		"-U "*)
			card=${step#-U } card=${card%% *} u=$(unit_of "$card")
			if [ -n "$u" ]; then
				sandbox -u "$u" ${step#-U "$card"} && note_chosen "$u" ${step#-U "$card"}
			fi ;;
		"-u "*)
			u=${step#-u } u=${u%% *}
			sandbox $step && [ -s "$state/cards" ] && note_chosen "$u" ${step#-u "$u"} ;;
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
