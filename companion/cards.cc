// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <array>
#include <vector>

#include "cards.h"

namespace {

constexpr std::string_view default_unit = "hw.snd.default_unit";
constexpr std::array<std::string_view, 2> device_suffixes{".play.vchans", ".rec.vchans"};

// The line, which names a unit, naming unit instead.
std::string renumbered(const own_line &line, int unit)
{
	const std::string number = std::to_string(unit);
	if (line.name == default_unit)
		return std::string(line.name) + "=" + number + std::string(line.comment);
	const std::string_view suffix = line.name.substr(line.name.find('.', 8));
	return "dev.pcm." + number + std::string(suffix) + "=" + std::string(line.number) +
	       std::string(line.comment);
}

// The text with edit made to each of its lines: edit is given the line
// without its newline and gives its new text, or nothing for a line that
// goes.
template <typename function> std::string each_line(std::string_view text, function edit)
{
	std::string out;
	out.reserve(text.size());
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t newline = std::min(text.find('\n', at), text.size());
		const std::optional<std::string> line = edit(text.substr(at, newline - at));
		if (line) {
			out += *line;
			if (newline < text.size())
				out += '\n';
		}
		at = newline + 1;
	}
	return out;
}

// One line of the files that sets a variable, and the file it is in.
struct placed {
	std::size_t file;
	conf_line line;
};

// The lines that set name, in the order boot applies them.
std::vector<placed> lines_setting(const conf_texts &files, std::string_view name)
{
	std::vector<placed> found;
	for (std::size_t file = 0; file < files.size(); ++file)
		for (std::size_t at = 0; at < files[file].size();) {
			const conf_line line = read_conf_line(files[file], at);
			at = line.end;
			if (line.sets && same_variable(line.name, name))
				found.push_back({file, line});
		}
	return found;
}

// The text without the pieces of lines.
std::string without(std::string_view text, const std::vector<conf_line> &lines)
{
	std::string out;
	std::size_t from = 0;
	for (const conf_line &line : lines) {
		out.append(text.substr(from, line.begin - from));
		from = line.end;
	}
	return out.append(text.substr(from));
}

// The owner's card line as a whole line of its file, or nothing.
std::optional<card_line> owners_line(std::string_view text, const conf_line &line,
				     const card &owner)
{
	const std::optional<std::string_view> whole = whole_line(text, line);
	const std::optional<card_line> found = whole ? card_line_of(*whole) : std::nullopt;
	return found && !found->aside && found->own.owner->same(owner) ? found : std::nullopt;
}

// The files with the owner's last line of name, the vchans of its unit,
// moved after the other lines of name that stand after it, with the value
// that boot gives it where it stands.  Lines of the switch apply to a
// unit's vchans as a clamp does, so that those after its new place change
// nothing that they had not changed.
void put_last(std::array<std::string, 2> &texts, std::string_view name, const card &owner,
	      vchans_switch kind)
{
	const conf_texts now{texts[0], texts[1]};
	const std::vector<placed> lines = lines_setting(now, name);
	std::optional<card_line> found;
	auto mine = std::find_if(lines.rbegin(), lines.rend(), [&](const placed &p) {
		found = owners_line(now[p.file], p.line, owner);
		return found.has_value();
	});
	if (mine == lines.rend() || mine == lines.rbegin())
		return;
	std::array<std::vector<conf_line>, 2> later;
	for (auto p = lines.rbegin(); p != mine; ++p)
		later[p->file].insert(later[p->file].begin(), p->line);
	const std::array<std::string, 2> before{without(now[0], later[0]),
						without(now[1], later[1])};
	const int value = replay_vchans({before[0], before[1]}, name, kind, 1);
	const std::string moved = std::to_string(value) + std::string(found->own.comment);
	const std::size_t last = lines.back().file;
	texts[mine->file] = without(now[mine->file], {mine->line});
	texts[last] = with_setting(texts[last], conf_line{}, name, moved);
}

} // namespace

std::array<std::string, 2> attached_texts(const conf_texts &files, int unit,
					  const std::optional<card> &owner, vchans_switch kind)
{
	std::array<std::string, 2> out;
	for (std::size_t i = 0; i < files.size(); ++i)
		out[i] = each_line(
			files[i], [&](std::string_view line) -> std::optional<std::string> {
				const std::optional<card_line> found = card_line_of(line);
				if (!found || unit_named(found->own) < 0)
					return std::string(line);
				const bool mine = owner && found->own.owner->same(*owner);
				if (mine && (found->aside || unit_named(found->own) != unit))
					return renumbered(found->own, unit);
				if (!mine && !found->aside && unit_named(found->own) == unit)
					return std::string(aside_prefix) + std::string(line);
				return std::string(line);
			});
	if (owner)
		for (const std::string_view suffix : device_suffixes)
			put_last(out, "dev.pcm." + std::to_string(unit) + std::string(suffix),
				 *owner, kind);
	return out;
}

std::array<std::string, 2> claimed_texts(const conf_texts &files, std::string_view name,
					 const std::optional<card> &owner)
{
	std::array<std::string, 2> out;
	for (std::size_t i = 0; i < files.size(); ++i)
		out[i] = each_line(
			files[i], [&](std::string_view line) -> std::optional<std::string> {
				const std::optional<card_line> found = card_line_of(line);
				if (!found || found->own.name != name)
					return std::string(line);
				const bool mine = owner && found->own.owner->same(*owner);
				if (name == default_unit && (found->aside || !mine))
					return std::nullopt;
				if (name != default_unit && !found->aside && !mine)
					return std::string(aside_prefix) + std::string(line);
				return std::string(line);
			});
	return out;
}
