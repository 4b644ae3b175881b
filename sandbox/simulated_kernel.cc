// SPDX-License-Identifier: BSD-2-Clause
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "conf_file.h"
#include "conf_line.h"
#include "simulated_kernel.h"

namespace {

// What the driver does with a written value.
enum class accepts {
	range,  // min..max, else EINVAL
	clamp,  // any integer, clamped into min..max
	toggle, // any integer: 0 or less is off (0), more is on (1)
	unit,   // a unit that exists
};

struct variable {
	const char *name; // per unit when it starts with '.': "dev.pcm.N" + name
	accepts how;
	long min, max;
	int initial;
	int first_release, last_release; // the releases that have it
};

constexpr std::array<variable, 13> variables{{
	{"hw.snd.vpc_0db", accepts::range, 1, 100, 45, 13, 15},
	{"hw.snd.vpc_mixer_bypass", accepts::range, INT_MIN, INT_MAX, 1, 13, 15},
	{"hw.snd.default_unit", accepts::unit, 0, 0, 0, 13, 15},
	{"hw.snd.default_auto", accepts::range, INT_MIN, INT_MAX, 1, 13, 15},
	{"hw.snd.latency", accepts::range, 0, 10, 5, 13, 14},
	{"hw.snd.latency", accepts::range, 0, 10, 2, 15, 15},
	{"hw.snd.feeder_rate_quality", accepts::range, 0, 4, 1, 13, 15},
	{"hw.snd.maxautovchans", accepts::clamp, 0, 256, 16, 13, 14},
	{"hw.snd.vchans_enable", accepts::toggle, 0, 1, 1, 15, 15},
	{".play.vchans", accepts::clamp, 0, 256, 1, 13, 14},
	{".rec.vchans", accepts::clamp, 0, 256, 1, 13, 14},
	{".play.vchans", accepts::toggle, 0, 1, 1, 15, 15},
	{".rec.vchans", accepts::toggle, 0, 1, 1, 15, 15},
}};

constexpr const char *unit_prefix = "dev.pcm.";

const variable *variable_for(const sandbox &box, std::string_view name)
{
	for (const variable &v : variables) {
		if (box.release < v.first_release || box.release > v.last_release)
			continue;
		std::string_view pattern = v.name;
		if (name == pattern)
			return &v;
		if (pattern[0] != '.' || !name.starts_with("dev.pcm.") || !name.ends_with(pattern))
			continue;
		std::string_view unit = name.substr(8, name.size() - 8 - pattern.size());
		if (!unit.empty() && unit.find_first_not_of("0123456789") == std::string_view::npos)
			return &v;
	}
	return nullptr;
}

// True when a value of the state is an int as the kernel reads it back.
bool is_kept_int(const std::string &text)
{
	char *end = nullptr;
	errno = 0;
	const long value = std::strtol(text.c_str(), &end, 10);
	return !text.empty() && *end == '\0' && errno == 0 && value >= INT_MIN && value <= INT_MAX;
}

// What FreeBSD's sysctl makes of the value of an assignment: it is cut at
// every blank and comma, each piece must be a whole integer (base 0,
// within a long), and the first one, cut to an int, is written.  Says why
// not, as it does.  A value of no piece writes nothing and is no error.
enum class reading { refused, nothing, number };

reading written_number(const std::string &text, long &value)
{
	if (text.empty()) {
		std::fprintf(stderr, "sysctl: empty numeric value\n");
		return reading::refused;
	}
	std::vector<std::string> pieces;
	std::string piece;
	for (const char c : text + ",") {
		if (c != ' ' && c != ',') {
			piece += c;
		} else if (!piece.empty()) {
			pieces.push_back(piece);
			piece.clear();
		}
	}
	for (const std::string &p : pieces) {
		char *end = nullptr;
		errno = 0;
		const long n = std::strtol(p.c_str(), &end, 0);
		if (end == p.c_str() || *end != '\0' || errno == ERANGE) {
			std::fprintf(stderr, "sysctl: invalid integer '%s'\n", p.c_str());
			return reading::refused;
		}
		if (&p == pieces.data())
			value = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
	}
	return pieces.empty() ? reading::nothing : reading::number;
}

bool has_recording(const sandbox &box, long unit)
{
	return unit < 0 || unit >= most_units || (box.playback_only >> unit & 1U) == 0;
}

void set_to(std::string &text, const std::string &name, long value)
{
	text = with_setting(text, last_setting(text, name), name, std::to_string(value));
}

bool attached(const std::string &text, long unit)
{
	return last_setting(text, unit_prefix + std::to_string(unit) + ".play.vchans").sets;
}

// pcm_best_unit: units that play and record first, then those that only
// play; among equals the current default stays, else the lowest number
// wins.  -1 when no unit is attached.
long best_unit(const sandbox &box, const std::string &text, long current)
{
	long best = -1;
	auto rank = [&](long unit) { return has_recording(box, unit) ? 0 : 1; };
	for (long unit = 0; unit < most_units; ++unit) {
		if (!attached(text, unit))
			continue;
		if (best < 0 || rank(unit) < rank(best) ||
		    (rank(unit) == rank(best) && unit == current))
			best = unit;
	}
	return best;
}

// Sets every attached unit's vchans, each direction it has, to what
// change makes of it.
template <typename function> void change_every_unit(std::string &text, function change)
{
	std::string out;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t end = text.find('\n', at) + 1;
		std::string line = text.substr(at, end - at - 1);
		at = end;
		const std::size_t eq = line.find('=');
		const std::string name = line.substr(0, eq);
		if (name.starts_with(unit_prefix) &&
		    (name.ends_with(".play.vchans") || name.ends_with(".rec.vchans"))) {
			const long vchans = std::strtol(line.c_str() + eq + 1, nullptr, 10);
			line.replace(eq + 1, std::string::npos, std::to_string(change(vchans)));
		}
		out.append(line) += '\n';
	}
	text = out;
}

// What the kernel does to every unit when its vchans switch is written:
// pcm_setmaxautovchans on 13 and 14 brings vchans above most down to it
// and makes none one when most allows any; on 15, vchans_enable turns them
// all off or on.
void couple_units(std::string &text, const std::string &name, long value)
{
	if (name == "hw.snd.maxautovchans")
		change_every_unit(text, [&](long vchans) {
			if (vchans > value)
				return value;
			return vchans == 0 && value > 0 ? 1L : vchans;
		});
	else if (name == "hw.snd.vchans_enable")
		change_every_unit(text, [&](long) { return value; });
}

// The unit of a unit's recording vchans, or -1 for any other name.
long recording_unit(const std::string &name)
{
	if (!name.starts_with(unit_prefix) || !name.ends_with(".rec.vchans"))
		return -1;
	const std::string digits = name.substr(8, name.size() - 8 - 11);
	return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
			       digits.size() < 3
		       ? std::stol(digits)
		       : -1;
}

std::string value_in(const std::string &text, const std::string &name)
{
	return std::string(last_setting(text, name).value);
}

// The variable that name is in the simulated kernel, or nullptr.
const variable *oid(const sandbox &box, const std::string &text, const std::string &name)
{
	const variable *v = variable_for(box, name);
	return v && last_setting(text, name).sets ? v : nullptr;
}

} // namespace

[[noreturn]] void corrupt(const sandbox &box, const std::string &what)
{
	std::fprintf(stderr, "sandbox: corrupt state in %s: %s\n", box.kernel_path.c_str(),
		     what.c_str());
	std::exit(2);
}

long number_from(const char *variable_name, long min, long max)
{
	const char *text = std::getenv(variable_name);
	char *end = nullptr;
	errno = 0;
	long n = text ? std::strtol(text, &end, 10) : LONG_MIN;
	if (!text || end == text || *end != '\0' || errno != 0 || n < min || n > max) {
		std::fprintf(stderr, "sandbox: %s must be a number from %ld to %ld\n",
			     variable_name, min, max);
		std::exit(2);
	}
	return n;
}

// The units that TOLVAREN_SANDBOX_PLAYBACK_ONLY lists, as bits.
std::uint64_t playback_only_units()
{
	const char *list = std::getenv("TOLVAREN_SANDBOX_PLAYBACK_ONLY");
	std::uint64_t units = 0;
	for (const char *p = list ? list : ""; *p != '\0';) {
		char *end = nullptr;
		const long unit = std::strtol(p, &end, 10);
		if (end == p || unit < 0 || unit >= most_units || (*end != ' ' && *end != '\0')) {
			std::fprintf(stderr,
				     "sandbox: TOLVAREN_SANDBOX_PLAYBACK_ONLY must list "
				     "units from 0 to %ld\n",
				     most_units - 1);
			std::exit(2);
		}
		units |= std::uint64_t{1} << unit;
		p = *end == ' ' ? end + 1 : end;
	}
	return units;
}

// The name as the kernel looks it up: one trailing dot is taken.
std::string kernel_name(std::string_view name)
{
	return std::string(variable_of(name));
}

std::string defaults(const sandbox &box)
{
	std::string text;
	for (const variable &v : variables) {
		if (box.release < v.first_release || box.release > v.last_release)
			continue;
		if (v.name[0] != '.') {
			text += std::string(v.name) + "=" + std::to_string(v.initial) + "\n";
			continue;
		}
		for (long unit = 0; unit < box.units; ++unit)
			if (std::string_view(v.name) != ".rec.vchans" || has_recording(box, unit))
				text += "dev.pcm." + std::to_string(unit) + v.name + "=" +
					std::to_string(v.initial) + "\n";
	}
	// The units attached in turn, each chosen as the default when it is
	// the best so far; with none, no unit is chosen yet.
	set_to(text, "hw.snd.default_unit", best_unit(box, text, -1));
	if (box.units == 0)
		set_to(text, "hw.snd.default_auto", -1);
	return text;
}

// The variables of the simulated kernel as name and value, in order.  A
// line that is not "name=integer" for a variable of this release, or a
// name that stands twice, means the state was not written by this program.
std::vector<std::pair<std::string, std::string>> variables_in(const sandbox &box,
							      const std::string &text)
{
	std::vector<std::pair<std::string, std::string>> found;
	if (text.empty() || text.back() != '\n')
		corrupt(box, "it does not end in a complete line");
	std::size_t number = 0;
	for (std::size_t line = 0; line < text.size(); line = text.find('\n', line) + 1) {
		++number;
		std::string whole = text.substr(line, text.find('\n', line) - line);
		std::size_t eq = whole.find('=');
		std::string name = whole.substr(0, eq);
		if (eq == std::string::npos || !variable_for(box, name) ||
		    !is_kept_int(whole.substr(eq + 1)))
			corrupt(box, "line " + std::to_string(number) + " is '" + whole + "'");
		for (const auto &[earlier, ignored] : found)
			if (earlier == name)
				corrupt(box, name + " stands twice");
		found.emplace_back(name, whole.substr(eq + 1));
	}
	return found;
}

// True, said as sysctl says it for shown, when name is the recording
// vchans of an attached unit that has no recording channel.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel, then the name
bool lacks_direction(const sandbox &box, const std::string &text, const std::string &name,
		     const std::string &shown)
{
	const long unit = recording_unit(name);
	if (unit < 0 || has_recording(box, unit) || !attached(text, unit))
		return false;
	// FreeBSD's words for ENODEV.
	std::fprintf(stderr, "sysctl: %s: Operation not supported by device\n", shown.c_str());
	return true;
}

// Writes one assignment into text; true when the kernel took it, or when
// the kernel lacks the name and ignore_unknown says to skip it silently.
bool assign(const sandbox &box, std::string &text, const std::string &name,
	    const std::string &value_text, bool ignore_unknown)
{
	if (lacks_direction(box, text, name, name + "=" + value_text))
		return false;
	const variable *v = oid(box, text, name);
	if (!v) {
		if (!ignore_unknown)
			std::fprintf(stderr, "sysctl: unknown oid '%s'\n", name.c_str());
		return ignore_unknown;
	}
	long value = 0;
	const reading read = written_number(value_text, value);
	if (read != reading::number)
		return read == reading::nothing;
	const std::string old = value_in(text, name);
	const char *refusal = nullptr;
	if (geteuid() != 0 && v->how != accepts::unit)
		refusal = "Operation not permitted";
	else if (v->how == accepts::unit)
		refusal = value >= 0 && attached(text, value) ? nullptr : "Invalid argument";
	else if (v->how == accepts::toggle)
		value = value > 0 ? 1 : 0;
	else if (v->how == accepts::clamp)
		value = value < v->min ? v->min : value > v->max ? v->max : value;
	else if (value < v->min || value > v->max)
		refusal = "Invalid argument";
	if (refusal) {
		std::printf("%s: %s\n", name.c_str(), old.c_str());
		std::fflush(stdout);
		std::fprintf(stderr, "sysctl: %s=%s: %s\n", name.c_str(), value_text.c_str(),
			     refusal);
		return false;
	}
	set_to(text, name, value);
	std::printf("%s: %s -> %ld\n", name.c_str(), old.c_str(), value);
	couple_units(text, name, value);
	// A default chosen by hand is kept when units come and go.
	if (v->how == accepts::unit)
		set_to(text, "hw.snd.default_auto", 0);
	return true;
}

// Plugs unit in with the release's defaults for its own variables, or
// out, and moves the default unit as the kernel does; false, said as a
// line, when it is attached already or is not.
bool plug(const sandbox &box, std::string &text, long unit, bool in)
{
	const std::string prefix = unit_prefix + std::to_string(unit) + ".";
	if (attached(text, unit) == in) {
		std::fprintf(stderr, "sandbox: pcm%ld is %s\n", unit,
			     in ? "attached already" : "not attached");
		return false;
	}
	std::string out;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t end = text.find('\n', at) + 1;
		if (in || text.compare(at, prefix.size(), prefix) != 0)
			out += text.substr(at, end - at);
		at = end;
	}
	// While maxautovchans is 0, a new unit gets no vchans on 13 and 14.
	const std::string most = value_in(text, "hw.snd.maxautovchans");
	const std::string vchans = box.release < 15 && most == "0" ? "0" : "1";
	if (in)
		for (const char *direction : {"play", "rec"})
			if (direction[0] == 'p' || has_recording(box, unit))
				out.append(prefix)
					.append(direction)
					.append(".vchans=")
					.append(vchans) += '\n';
	text = out;

	const long current =
		std::strtol(value_in(text, "hw.snd.default_unit").c_str(), nullptr, 10);
	// A state made before the kernel had default_auto chooses as it starts.
	const std::string auto_text = value_in(text, "hw.snd.default_auto");
	long how = auto_text.empty() ? 1 : std::strtol(auto_text.c_str(), nullptr, 10);
	if (in && how == -1)
		how = 1;
	if (in && how == 2)
		set_to(text, "hw.snd.default_unit", unit);
	else if (in && how == 1)
		set_to(text, "hw.snd.default_unit", best_unit(box, text, current));
	if (!in && unit == current) {
		set_to(text, "hw.snd.default_unit", best_unit(box, text, -1));
		how = how == 0 ? 1 : how;
	}
	set_to(text, "hw.snd.default_auto", how);
	return true;
}

namespace {

// The lines of a text, each cut at every blank.
std::vector<std::vector<std::string>> words_of(const std::string &text)
{
	std::vector<std::vector<std::string>> lines;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t end = std::min(text.find('\n', at), text.size());
		std::vector<std::string> words;
		for (std::size_t from = at; from <= end;) {
			const std::size_t blank = std::min(text.find(' ', from), end);
			words.push_back(text.substr(from, blank - from));
			from = blank + 1;
		}
		lines.push_back(words);
		at = end + 1;
	}
	return lines;
}

// A number of digits alone, or -1.
long count_of(const std::string &word)
{
	char *end = nullptr;
	const long n = std::strtol(word.c_str(), &end, 10);
	return word.empty() || *end != '\0' || word[0] == '-' ? -1 : n;
}

} // namespace

std::vector<usb_card> cards_of(const sandbox &box, const std::string &plugged)
{
	std::vector<usb_card> cards;
	for (const auto &words : words_of(read_conf_file(box.folder + "/cards").text)) {
		if (words.size() != 4 && (words.size() != 5 || words[4] != "2"))
			corrupt(box, "cards: a line is not NAME VENDOR PRODUCT SERIAL [2]");
		cards.push_back(
			{words[0], words[1], words[2], words[3], words.size() == 5 ? 2 : 1});
	}
	// Those plugged in last, in the order they attached.
	std::vector<usb_card> in;
	for (const auto &words : words_of(plugged)) {
		auto found = cards.end();
		if (words.size() == 3 || words.size() == 4)
			found = std::find_if(cards.begin(), cards.end(),
					     [&](const usb_card &c) { return c.name == words[0]; });
		const bool fits = found != cards.end() &&
				  words.size() == 3 + static_cast<std::size_t>(found->units) - 1;
		const long unit = fits ? count_of(words[1]) : -1;
		const long uaudio = fits ? count_of(words[2]) : -1;
		const long second = fits && words.size() == 4 ? count_of(words[3]) : -1;
		if (!fits || unit < 0 || unit >= most_units || uaudio < 0 ||
		    (found->units == 2 && (second < 0 || second >= most_units)))
			corrupt(box, "plugged: a line is not a known card, its units and uaudio");
		found->unit = unit;
		found->uaudio = uaudio;
		found->second_unit = second;
		in.push_back(*found);
		cards.erase(found);
	}
	cards.insert(cards.end(), in.begin(), in.end());
	return cards;
}

std::string plugged_text(const std::vector<usb_card> &cards)
{
	std::vector<const usb_card *> in;
	for (const usb_card &c : cards)
		if (c.unit >= 0)
			in.push_back(&c);
	// In the order they attached, which their uaudio numbers do not keep.
	std::string text;
	for (const usb_card *c : in) {
		text.append(c->name).append(" ").append(std::to_string(c->unit));
		text.append(" ").append(std::to_string(c->uaudio));
		if (c->second_unit >= 0)
			text.append(" ").append(std::to_string(c->second_unit));
		text += '\n';
	}
	return text;
}

long lowest_free_unit(const std::string &text)
{
	long unit = 0;
	while (unit < most_units && attached(text, unit))
		++unit;
	return unit;
}

long plug_card(const sandbox &box, std::string &text, std::vector<usb_card> &cards,
	       const std::string &name, bool in)
{
	auto card = std::find_if(cards.begin(), cards.end(),
				 [&](const usb_card &c) { return c.name == name; });
	if (card == cards.end() || (card->unit >= 0) == in) {
		std::fprintf(stderr, "sandbox: card %s is %s\n", name.c_str(),
			     card == cards.end() ? "not known"
			     : in                ? "plugged in already"
						 : "not plugged in");
		return -1;
	}
	if (!in) {
		const long unit = card->unit;
		const long second = card->second_unit;
		card->unit = card->uaudio = card->second_unit = -1;
		// Plugged out last, it keeps its place among the others.
		std::rotate(card, card + 1, cards.end());
		return plug(box, text, unit, false) &&
				       (second < 0 || plug(box, text, second, false))
			       ? unit
			       : -1;
	}
	long uaudio = 0;
	while (std::any_of(cards.begin(), cards.end(),
			   [&](const usb_card &c) { return c.uaudio == uaudio; }))
		++uaudio;
	const long unit = lowest_free_unit(text);
	if (unit == most_units || !plug(box, text, unit, true))
		return -1;
	const long second = card->units == 2 ? lowest_free_unit(text) : -1;
	if (second == most_units || (second >= 0 && !plug(box, text, second, true)))
		return -1;
	card->unit = unit;
	card->uaudio = uaudio;
	card->second_unit = second;
	// The plugged file lists cards in the order they attached.
	std::rotate(card, card + 1, cards.end());
	return unit;
}

namespace {

// What node what of device shows for card c, when it is the card's or one
// of its units'.
std::optional<std::string> card_node(const usb_card &c, const std::string &device,
				     const std::string &what)
{
	if (c.unit < 0)
		return std::nullopt;
	if (device == "dev.uaudio." + std::to_string(c.uaudio) && what == "pnpinfo")
		return "vendor=" + c.vendor + " product=" + c.product +
		       " devclass=0x00 devsubclass=0x00 devproto=0x00 sernum=\"" + c.serial +
		       "\" release=0x0100 mode=host intclass=0x01 intsubclass=0x01 "
		       "intprotocol=0x00";
	const bool its_unit =
		device == unit_prefix + std::to_string(c.unit) ||
		(c.second_unit >= 0 && device == unit_prefix + std::to_string(c.second_unit));
	if (its_unit && what == "parent")
		return "uaudio" + std::to_string(c.uaudio);
	if (its_unit && what == "desc")
		return "USB audio " + c.name;
	return std::nullopt;
}

} // namespace

std::optional<std::string> value_of(const sandbox &box, const std::string &text,
				    const std::vector<usb_card> &cards, const std::string &name)
{
	if (oid(box, text, name))
		return value_in(text, name);
	const auto node = name.rfind(".%");
	if (node == std::string::npos)
		return std::nullopt;
	const std::string device = name.substr(0, node);
	const std::string what = name.substr(node + 2);
	std::optional<std::string> shown;
	const auto card = std::find_if(cards.begin(), cards.end(), [&](const usb_card &c) {
		shown = card_node(c, device, what);
		return shown.has_value();
	});
	if (card != cards.end())
		return shown;
	for (long unit = 0; unit < most_units; ++unit)
		if (attached(text, unit) && device == unit_prefix + std::to_string(unit)) {
			if (what == "parent")
				return "hdaa" + std::to_string(unit);
			if (what == "desc")
				return "Built-in audio (Analog)";
		}
	return std::nullopt;
}
