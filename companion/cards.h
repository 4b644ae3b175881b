// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_CARDS_H
#define TOLVAREN_CARDS_H

// The lines that belong to a USB sound card rather than to a unit number.
// A unit number says nothing lasting about the card behind it: a unit
// takes the lowest free number when it attaches, and USB cards attach in
// either order at boot.  So a line that records a setting of a USB card's
// unit (its vchans, or hw.snd.default_unit naming it) ends in a comment of
// one fixed form that names the card:
//
//   dev.pcm.2.play.vchans=4 # card 0x08bb:0x2902:SERIAL/0 Maker Product
//
// vendor, product and serial number as the card's pnpinfo gives them (the
// serial with every byte but letters, digits, '.', '_' and '-' as a
// backslash and three octal digits), which of the card's pcm units it is,
// and for a person its maker and product.  When the card attaches, its
// lines are renumbered to its unit, and the lines of another card that
// name that unit are set aside, as a comment that boot skips:
//
//   #varnokeltrin aside: dev.pcm.2.play.vchans=8 # card 0x0d8c:...
//
// and are put back when that card attaches again.

#include <optional>
#include <string>
#include <string_view>

struct card {
	std::string vendor, product; // 0x and four hex digits
	std::string serial;          // as the card gives it; may be empty
	int index = 0;               // the card's first pcm unit (0), or its second
	std::string desc;            // its maker and product, for a person only

	[[nodiscard]] bool same(const card &other) const
	{
		return vendor == other.vendor && product == other.product &&
		       serial == other.serial && index == other.index;
	}
};

// The unit that the setting name=value is about: the unit of a unit's
// vchans, the value of hw.snd.default_unit; -1 for any other setting.
int unit_of_setting(std::string_view name, std::string_view value);

// True when the card's numbers are in the form that a comment holds.
bool is_card(const card &c);

// The comment that names the card, with its leading blank.
std::string card_comment(const card &c);

// One of the companion's own lines, without its newline: NAME=NUMBER, the
// number as %d writes it, with nothing else, or with a card's comment.
struct own_line {
	std::string_view name, number;
	std::optional<card> owner;
};
std::optional<own_line> own_line_of(std::string_view line);

// What a card's unit N, attaching, makes of a settings file: its own lines
// renumbered to N, and those of other cards that name N set aside; its own
// lines set aside before are put back.  Every other byte stays.
std::string attached_text(std::string_view text, int unit, const card &c);

#endif
