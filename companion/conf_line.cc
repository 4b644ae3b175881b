// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>

#include "conf_line.h"

namespace {

// What isspace() takes in the C locale.
bool is_blank(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trimmed_end(std::string_view text)
{
	while (!text.empty() && is_blank(text.back()))
		text.remove_suffix(1);
	return text;
}

std::size_t first_not_blank(std::string_view text, std::size_t from)
{
	while (from < text.size() && is_blank(text[from]))
		++from;
	return from;
}

// The piece up to its comment.  A '#' after the first quote of either kind
// ends the line just after that quote's match, when there is one; any
// other '#' ends it, unless a backslash stands before it.
std::string_view without_comment(std::string_view piece)
{
	const std::size_t q1 = piece.find('\'');
	const std::size_t q2 = piece.find('"');
	for (std::size_t hash = piece.find('#'); hash != std::string_view::npos;
	     hash = piece.find('#', hash + 1)) {
		for (auto [quote, at] : {std::pair{'\'', q1}, std::pair{'"', q2}}) {
			if (at == std::string_view::npos || hash < at)
				continue;
			const std::size_t match = piece.find(quote, at + 1);
			return match == std::string_view::npos ? piece : piece.substr(0, match + 1);
		}
		if (hash == 0 || piece[hash - 1] != '\\')
			return piece.substr(0, hash);
	}
	return piece;
}

} // namespace

conf_line read_conf_line(std::string_view text, std::size_t at)
{
	conf_line line;
	line.begin = at;
	const std::size_t limit = std::min(text.size(), at + conf_piece_max);
	const std::size_t newline = text.substr(at, limit - at).find('\n');
	line.end = newline == std::string_view::npos ? limit : at + newline + 1;

	// The rest is C string handling: a zero byte ends the line.
	std::string_view piece = text.substr(at, line.end - at);
	piece = without_comment(piece.substr(0, piece.find('\0')));
	const std::size_t first = first_not_blank(piece, 0);
	piece = trimmed_end(piece.substr(first));
	const std::size_t equals = piece.find('=');
	const std::size_t delimiter = std::min(equals, piece.substr(0, equals).find(':'));
	if (delimiter == std::string_view::npos)
		return line;

	line.sets = true;
	line.name = trimmed_end(piece.substr(0, delimiter));
	const std::size_t value = first_not_blank(piece, delimiter + 1);
	line.value_begin = at + first + value;
	line.value_end = at + first + piece.size();
	line.value = piece.substr(value);
	if (line.value.starts_with('"') || line.value.starts_with('\'')) {
		const char quote = line.value.front();
		line.value.remove_prefix(1);
		if (line.value.ends_with(quote))
			line.value.remove_suffix(1);
	}
	return line;
}

std::string_view variable_of(std::string_view line_name)
{
	if (line_name.ends_with('.'))
		line_name.remove_suffix(1);
	return line_name;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the line's name first
bool same_variable(std::string_view line_name, std::string_view name)
{
	return !name.empty() && variable_of(line_name) == name;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the order of find()
conf_line last_setting(std::string_view text, std::string_view name)
{
	conf_line last;
	for (std::size_t at = 0; at < text.size();) {
		const conf_line line = read_conf_line(text, at);
		if (line.sets && same_variable(line.name, name))
			last = line;
		at = line.end;
	}
	return last;
}

std::optional<std::string_view> whole_line(std::string_view text, const conf_line &line)
{
	if ((line.begin != 0 && text[line.begin - 1] != '\n') || line.end == line.begin ||
	    text[line.end - 1] != '\n')
		return std::nullopt;
	return text.substr(line.begin, line.end - line.begin - 1);
}

std::string with_setting(std::string_view text, const conf_line &line, std::string_view name,
			 std::string_view value)
{
	std::string out;
	if (line.sets) {
		out.reserve(text.size() + value.size());
		out.append(text.substr(0, line.value_begin))
			.append(value)
			.append(text.substr(line.value_end));
		return out;
	}
	out.reserve(text.size() + name.size() + value.size() + 3);
	out.append(text);
	if (!out.empty() && out.back() != '\n')
		out += '\n';
	out.append(name).append("=").append(value).append("\n");
	return out;
}
