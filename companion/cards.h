// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_CARDS_H
#define TOLVAREN_CARDS_H

// The lines that belong to a USB sound card rather than to a unit number.
// A unit number says nothing lasting about the card behind it: a unit
// takes the lowest free number when it attaches, USB cards attach in
// either order at boot, and a unit that is no card (HDMI audio, a driver
// module) can take a number that a card held.  So a line that records a
// setting of a USB card's unit (its vchans, or hw.snd.default_unit naming
// it) carries a comment that names the card (own_line.h).
//
// When a unit attaches, the lines of every card but its own that name its
// number are set aside; a card's own lines are renumbered to it, and those
// set aside before are put back.  A card's line then applies over the
// lines by number and the administrator's lines of the same variable that
// stand after it: it moves to the end, with the value that boot gave it
// where it stood.  When a setting is recorded, another card's line of the
// same variable is set aside, and every card's line of hw.snd.default_unit
// but the chooser's goes: a later choice of the default supersedes it.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "boot.h"
#include "own_line.h"

// What unit N, attaching, makes of the two files: owner is the card behind
// it, or nothing for a unit that is no card.  kind is the kernel's vchans
// switch, for the value of a line that moves.  Every other byte stays.
std::array<std::string, 2> attached_texts(const conf_texts &files, int unit,
					  const std::optional<card> &owner, vchans_switch kind);

// The two files made ready to record name=value for owner (a card, or
// nothing for a unit that is no card): for a unit's vchans, other cards'
// lines of that variable set aside; for hw.snd.default_unit, every card's
// line of it that is set aside or another card's removed.
std::array<std::string, 2> claimed_texts(const conf_texts &files, std::string_view name,
					 const std::optional<card> &owner);

#endif
