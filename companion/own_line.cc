// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include "own_line.h"

namespace {

constexpr std::string_view tag = " # card ";
constexpr std::string_view default_unit = "hw.snd.default_unit";
constexpr std::string_view device_prefix = "dev.pcm.";
constexpr std::array<std::string_view, 2> device_suffixes{".play.vchans", ".rec.vchans"};
constexpr std::size_t desc_most = 64;

bool is_hex_id(std::string_view id)
{
	return id.size() == 6 && id.starts_with("0x") &&
	       id.find_first_not_of("0123456789abcdef", 2) == std::string_view::npos;
}

bool plain_byte(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       c == '.' || c == '_' || c == '-';
}

std::string escaped(std::string_view serial)
{
	std::string out;
	for (const char c : serial) {
		std::array<char, 5> octal{};
		std::snprintf(octal.data(), octal.size(), "\\%03o", static_cast<unsigned char>(c));
		out += plain_byte(c) ? std::string(1, c) : std::string(octal.data());
	}
	return out;
}

std::optional<std::string> unescaped(std::string_view text)
{
	std::string out;
	for (std::size_t i = 0; i < text.size(); ++i) {
		if (plain_byte(text[i])) {
			out += text[i];
			continue;
		}
		const std::string_view digits = text.substr(i + 1, 3);
		int byte = 0;
		if (text[i] != '\\' || digits.size() != 3 ||
		    digits.find_first_not_of("01234567") != std::string_view::npos ||
		    std::from_chars(digits.data(), digits.data() + 3, byte, 8).ec != std::errc{} ||
		    byte > 0377 || plain_byte(static_cast<char>(byte)))
			return std::nullopt;
		out += static_cast<char>(byte);
		i += 3;
	}
	return out;
}

// "VENDOR:PRODUCT:SERIAL/INDEX", then a blank and the maker and product.
std::optional<card> card_of_comment(std::string_view text)
{
	const std::string_view id = text.substr(0, text.find(' '));
	if (id.size() < 16 || id[6] != ':' || id[13] != ':' || id[id.size() - 2] != '/' ||
	    (id.back() != '0' && id.back() != '1'))
		return std::nullopt;
	card c;
	c.vendor = id.substr(0, 6);
	c.product = id.substr(7, 6);
	const std::optional<std::string> serial = unescaped(id.substr(14, id.size() - 16));
	if (!serial)
		return std::nullopt;
	c.serial = *serial;
	c.index = id.back() - '0';
	c.desc = text.substr(std::min(id.size() + 1, text.size()));
	if (!is_card(c))
		return std::nullopt;
	return c;
}

} // namespace

bool is_unit_vchans(std::string_view name)
{
	if (!name.starts_with(device_prefix))
		return false;
	const std::string_view rest = name.substr(device_prefix.size());
	// The kernel names units in decimal, without leading zeros.
	return std::any_of(device_suffixes.begin(), device_suffixes.end(), [&](auto suffix) {
		if (!rest.ends_with(suffix))
			return false;
		const std::string_view unit = rest.substr(0, rest.size() - suffix.size());
		return !unit.empty() &&
		       unit.find_first_not_of("0123456789") == std::string_view::npos &&
		       (unit[0] != '0' || unit.size() == 1);
	});
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the name, then its value
int unit_of_setting(std::string_view name, std::string_view value)
{
	std::string_view digits = value;
	if (is_unit_vchans(name)) {
		digits = name.substr(8);
		digits = digits.substr(0, digits.find('.'));
	} else if (name != default_unit) {
		return -1;
	}
	int unit = -1;
	std::from_chars(digits.data(), digits.data() + digits.size(), unit);
	return unit;
}

bool is_card(const card &c)
{
	return is_hex_id(c.vendor) && is_hex_id(c.product) && (c.index == 0 || c.index == 1);
}

std::string card_comment(const card &c)
{
	std::string shown;
	for (const char ch : c.desc.substr(0, desc_most))
		shown += ch >= 0x20 && ch < 0x7f && ch != '\\' ? ch : '?';
	while (shown.ends_with(' '))
		shown.pop_back();
	return std::string(tag) + c.vendor + ":" + c.product + ":" + escaped(c.serial) + "/" +
	       std::to_string(c.index) + (shown.empty() ? "" : " " + shown);
}

std::optional<own_line> own_line_of(std::string_view line)
{
	const std::size_t eq = line.find('=');
	if (eq == std::string_view::npos || eq == 0)
		return std::nullopt;
	own_line own;
	own.name = line.substr(0, eq);
	const std::string_view rest = line.substr(eq + 1);
	own.number = rest.substr(0, rest.find(' '));
	int number = 0;
	const auto [end, error] =
		std::from_chars(own.number.data(), own.number.data() + own.number.size(), number);
	if (error != std::errc{} || end != own.number.data() + own.number.size() ||
	    std::to_string(number) != own.number ||
	    own.name.find_first_of(" \t\"'#") != std::string_view::npos || own.name.ends_with('.'))
		return std::nullopt;
	if (rest.size() == own.number.size())
		return own;
	own.comment = rest.substr(own.number.size());
	const std::string_view comment = own.comment;
	if (!comment.starts_with(tag) || (!is_unit_vchans(own.name) && own.name != default_unit))
		return std::nullopt;
	own.owner = card_of_comment(comment.substr(tag.size()));
	if (!own.owner)
		return std::nullopt;
	return own;
}

std::optional<card_line> card_line_of(std::string_view line)
{
	const bool aside = line.starts_with(aside_prefix);
	std::optional<own_line> own = own_line_of(aside ? line.substr(aside_prefix.size()) : line);
	if (!own || !own->owner)
		return std::nullopt;
	return card_line{*own, aside};
}

int unit_named(const own_line &line)
{
	return unit_of_setting(line.name, line.number);
}
