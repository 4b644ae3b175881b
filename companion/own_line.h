// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_OWN_LINE_H
#define TOLVAREN_OWN_LINE_H

// The words that the companion's edits share: which variables are a
// unit's vchans, the unit that a setting is about, and the form of the
// lines that the companion writes itself.  Such a line is the variable,
// "=", the number as %d writes it and nothing else (a line by number), or
// the same with a comment of one fixed form that names a USB sound card
// (a card's line):
//
//   dev.pcm.2.play.vchans=4 # card 0x08bb:0x2902:SERIAL/0 Maker Product
//
// vendor, product and serial number as the card's pnpinfo gives them (the
// serial with every byte but letters, digits, '.', '_' and '-' as a
// backslash and three octal digits), which of the card's pcm units it is,
// and for a person its maker and product.  A card's line that another unit
// has taken the number of is set aside, as a comment that boot skips:
//
//   #varnokeltrin aside: dev.pcm.2.play.vchans=8 # card 0x0d8c:...
//
// Every line in any other form is the administrator's.

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

// What the kernel says is behind a unit: a USB card, or something else
// (a built-in unit, HDMI audio, a driver module).  answered is false when
// it did not say in time; then nothing is known.
struct unit_owner {
	bool answered = false;
	std::optional<card> owner;
};

// dev.pcm.N.play.vchans or dev.pcm.N.rec.vchans, N a unit number.
bool is_unit_vchans(std::string_view name);

// The unit that the setting name=value is about: the unit of a unit's
// vchans, the value of hw.snd.default_unit; -1 for any other setting.
int unit_of_setting(std::string_view name, std::string_view value);

// True when the card's numbers are in the form that a comment holds.
bool is_card(const card &c);

// The comment that names the card, with its leading blank.
std::string card_comment(const card &c);

// The prefix of a line set aside.
constexpr std::string_view aside_prefix = "#varnokeltrin aside: ";

// One of the companion's own lines, without its newline: NAME=NUMBER, the
// number as %d writes it, with nothing else, or with a card's comment.
struct own_line {
	std::string_view name, number;
	std::string_view comment; // what follows the number: empty, or the card's
	std::optional<card> owner;
};
std::optional<own_line> own_line_of(std::string_view line);

// A whole line of a file, without its newline, as a card's line: active,
// or set aside.  Nothing for any other line.
struct card_line {
	own_line own;
	bool aside = false;
};
std::optional<card_line> card_line_of(std::string_view line);

// The unit that a card's line names.
int unit_named(const own_line &line);

#endif
