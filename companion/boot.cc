// SPDX-License-Identifier: BSD-2-Clause
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <set>
#include <vector>

#include "boot.h"
#include "own_line.h"

namespace {

// The most vchans a unit has on 13 and 14; on 15 they are off or on.
constexpr int most_vchans = 256;

// The lines that set a variable, across the files in boot order.
struct boot_order {
	conf_texts files;
	std::size_t file = 0, at = 0;

	bool next(conf_line &line)
	{
		for (; file < files.size(); ++file, at = 0) {
			while (at < files[file].size()) {
				line = read_conf_line(files[file], at);
				at = line.end;
				if (line.sets)
					return true;
			}
		}
		return false;
	}
};

// The line that boot applies last for name, and the file that holds it:
// file.local when a line there sets the name, else the file.
struct boot_winner {
	std::size_t file;
	conf_line line;
};

boot_winner last_in_boot(const conf_texts &files, std::string_view name)
{
	const conf_line local = last_setting(files[1], name);
	return local.sets ? boot_winner{1, local} : boot_winner{0, last_setting(files[0], name)};
}

// One line that writes a coupled variable: the switch, or a unit's vchans
// (variable names it), with the number sysctl(8) writes.
struct coupled_op {
	bool is_switch;
	std::string_view variable;
	int number;
	std::size_t file;
	conf_line line;
};

std::vector<coupled_op> coupled_ops(const conf_texts &files, vchans_switch kind)
{
	std::vector<coupled_op> ops;
	boot_order order{files};
	conf_line line;
	while (order.next(line)) {
		const std::string_view variable = variable_of(line.name);
		const bool is_switch = kind != vchans_switch::none && variable == name_of(kind);
		if (!is_switch && !is_unit_vchans(variable))
			continue;
		if (const std::optional<int> number = sysctl_number(line.value))
			ops.push_back({is_switch, variable, *number, order.file, line});
	}
	return ops;
}

// What the kernel keeps of a written number: 0..256 on 13 and 14, off or
// on on 15.
int kept(vchans_switch kind, int number)
{
	if (kind == vchans_switch::vchans_enable)
		return number > 0 ? 1 : 0;
	return std::clamp(number, 0, most_vchans);
}

// A unit's vchans after one op; ops of other units leave it alone.
int after_op(vchans_switch kind, const coupled_op &op, std::string_view variable, int vchans)
{
	const int value = kept(kind, op.number);
	if (!op.is_switch)
		return op.variable == variable ? value : vchans;
	if (kind == vchans_switch::vchans_enable)
		return value;
	// pcm_setmaxautovchans: more than the new most come down to it, and
	// none become one when any are allowed.
	if (vchans > value)
		return value;
	return vchans == 0 && value > 0 ? 1 : vchans;
}

// The last op that sets the variable itself, or ops.rend().
auto last_own(const std::vector<coupled_op> &ops, std::string_view variable)
{
	return std::find_if(ops.rbegin(), ops.rend(), [&](const coupled_op &op) {
		return !op.is_switch && op.variable == variable;
	});
}

// A unit's vchans after the ops, from start: the last op of its own sets
// them whatever they were, so only the ops after it count.
int replay(const std::vector<coupled_op> &ops, std::string_view variable, vchans_switch kind,
	   int start)
{
	const auto own = last_own(ops, variable);
	const bool set = own != ops.rend();
	return std::accumulate(set ? own.base() : ops.begin(), ops.end(),
			       set ? kept(kind, own->number) : start,
			       [&](int vchans, const coupled_op &op) {
				       return after_op(kind, op, variable, vchans);
			       });
}

// The lines of every other variable, as name and value, in boot order.
std::vector<std::pair<std::string_view, std::string_view>> other_lines(const conf_texts &files,
								       vchans_switch kind)
{
	std::vector<std::pair<std::string_view, std::string_view>> lines;
	boot_order order{files};
	conf_line line;
	while (order.next(line)) {
		const std::string_view variable = variable_of(line.name);
		if ((kind == vchans_switch::none || variable != name_of(kind)) &&
		    !is_unit_vchans(variable))
			lines.emplace_back(line.name, line.value);
	}
	return lines;
}

std::optional<int> last_switch(const std::vector<coupled_op> &ops, vchans_switch kind)
{
	const auto last = std::find_if(ops.rbegin(), ops.rend(),
				       [](const coupled_op &op) { return op.is_switch; });
	return last == ops.rend() ? std::nullopt : std::optional<int>(kept(kind, last->number));
}

// True when the piece is one of the companion's own lines (own_line.h): the
// variable, "=", the number as %d writes it and the newline, with no
// blank, quote, comment or trailing dot but a card's comment.  Only such a
// line is the companion's to remove; every other one is the
// administrator's.
bool is_own_line(std::string_view text, const coupled_op &op)
{
	const std::optional<std::string_view> line = whole_line(text, op.line);
	const std::optional<own_line> own = line ? own_line_of(*line) : std::nullopt;
	return own && own->name == op.variable && own->number == std::to_string(op.number);
}

// True when boot, reading before and after, leaves every variable alike:
// the lines of every variable but the switch and the units' vchans stand
// in the same order with the same values; the switch ends with the same
// value; and every unit's vchans, named by a line or not, end alike from
// every value that the unit may start boot with.
bool boots_alike(const conf_texts &before, const conf_texts &after, vchans_switch kind)
{
	if (other_lines(before, kind) != other_lines(after, kind))
		return false;
	const std::vector<coupled_op> old_ops = coupled_ops(before, kind);
	const std::vector<coupled_op> new_ops = coupled_ops(after, kind);
	if (last_switch(old_ops, kind) != last_switch(new_ops, kind))
		return false;
	// Each unit a line names, and one that none names (the empty name).
	std::set<std::string_view> units{""};
	for (const auto *ops : {&old_ops, &new_ops})
		for (const coupled_op &op : *ops)
			if (!op.is_switch)
				units.insert(op.variable);
	const int most = kind == vchans_switch::vchans_enable ? 1 : most_vchans;
	for (const std::string_view variable : units) {
		// Set by a line in both, it ends alike from any start or none.
		const bool from_any = last_own(old_ops, variable) != old_ops.rend() &&
				      last_own(new_ops, variable) != new_ops.rend();
		for (int start = 0; start <= (from_any ? 0 : most); ++start)
			if (replay(old_ops, variable, kind, start) !=
			    replay(new_ops, variable, kind, start))
				return false;
	}
	return true;
}

// The card comment of an op's line; empty for any line that is no card's.
std::string_view card_of(const conf_texts &files, const coupled_op &op)
{
	const std::optional<std::string_view> line = whole_line(files[op.file], op.line);
	const std::optional<own_line> own = line ? own_line_of(*line) : std::nullopt;
	return own ? own->comment : std::string_view{};
}

// The file of files[file] without the coupled lines that boot no longer
// needs: a unit's vchans line that a later line of the same variable and
// the same card, or of no card for a line of none, overrides (a card's
// line is set aside while another unit has its number, and moves to the
// end when the card comes back, so that the line it hides applies again),
// and, of a run of switch lines with no vchans line between them, all but
// the one that limits the most (on 13 and 14) and the last.  Only the
// companion's own lines of that file go; every other byte stays.
std::string compacted(const conf_texts &files, std::size_t file, vchans_switch kind)
{
	const std::vector<coupled_op> ops = coupled_ops(files, kind);
	std::vector<bool> needed(ops.size(), true);
	for (std::size_t i = 0; i < ops.size(); ++i) {
		if (ops[i].is_switch)
			continue;
		needed[i] =
			std::none_of(ops.begin() + static_cast<std::ptrdiff_t>(i) + 1, ops.end(),
				     [&](const coupled_op &later) {
					     return !later.is_switch &&
						    later.variable == ops[i].variable &&
						    card_of(files, later) == card_of(files, ops[i]);
				     });
	}
	// A run of switch lines acts as its last line after the one that
	// limits the most: on 15 the last alone counts.
	for (std::size_t first = 0; first < ops.size();) {
		std::size_t end = first;
		while (end < ops.size() && ops[end].is_switch)
			++end;
		if (end == first) {
			++first;
			continue;
		}
		std::size_t least = end - 1;
		for (std::size_t i = first; i < end; ++i) {
			if (kind == vchans_switch::maxautovchans &&
			    kept(kind, ops[i].number) < kept(kind, ops[least].number))
				least = i;
			needed[i] = false;
		}
		needed[least] = needed[end - 1] = true;
		first = end;
	}

	const std::string_view text = files[file];
	std::string out;
	out.reserve(text.size());
	std::size_t from = 0;
	for (std::size_t i = 0; i < ops.size(); ++i) {
		const conf_line &line = ops[i].line;
		if (needed[i] || ops[i].file != file || !is_own_line(text, ops[i]))
			continue;
		out.append(text.substr(from, line.begin - from));
		from = line.end;
	}
	out.append(text.substr(from));
	return out;
}

// A change of the two files: their text before and after it, and the
// setting it is to record.
struct conf_change {
	conf_texts before, after;
	std::string_view name, value;
};

// True when boot, reading the files after the change, ends with the name
// set to the value and sets every other name as it does reading them
// before.
bool boot_applies(const conf_change &c)
{
	boot_order old_lines{c.before};
	boot_order new_lines{c.after};
	conf_line old_line;
	conf_line new_line;
	auto next_other = [&](boot_order &order, conf_line &line) {
		while (order.next(line))
			if (!same_variable(line.name, c.name))
				return true;
		return false;
	};
	for (;;) {
		const bool more = next_other(old_lines, old_line);
		if (more != next_other(new_lines, new_line))
			return false;
		if (!more)
			break;
		if (old_line.name != new_line.name || old_line.value != new_line.value)
			return false;
	}
	const conf_line last = last_in_boot(c.after, c.name).line;
	return last.sets && last.value == c.value;
}

// The names of the coupled variables: both releases' switches and the
// units' vchans.
bool is_coupled(std::string_view line_name)
{
	const std::string_view name = variable_of(line_name);
	return name == name_of(vchans_switch::maxautovchans) ||
	       name == name_of(vchans_switch::vchans_enable) || is_unit_vchans(name);
}

// The files with the one that r records in replaced.
conf_texts with_file(conf_texts texts, const recording &r)
{
	texts[r.file] = r.text;
	return texts;
}

// True when the line, which sets name, is one that a record of name with
// comment edits in place: a line of the companion's own with the same
// comment (the same card's, or none), or, for a setting that is no card's,
// an administrator's line.  A card's choice never takes an administrator's
// line or another card's, and a setting that is no card's never takes a
// card's line: each goes on a line of its own after it.
bool takes_line(std::string_view text, const conf_line &line, std::string_view comment)
{
	const std::optional<std::string_view> whole = whole_line(text, line);
	const std::optional<own_line> own = whole ? own_line_of(*whole) : std::nullopt;
	if (own)
		return own->comment == comment;
	return comment.empty();
}

// The text with name=value recorded at line, or appended as a line of its
// own when line sets nothing or is not one to take (takes_line).  A line
// of the companion's own is written whole, with comment (a card's, or
// none); an administrator's line gets only the new value, and keeps its
// own comment.
std::string with_record(std::string_view text, const conf_line &line, std::string_view name,
			std::string_view value, std::string_view comment)
{
	const std::string own = std::string(name) + "=" + std::string(value) + std::string(comment);
	if (!line.sets || !takes_line(text, line, comment))
		return with_setting(text, conf_line{}, name, own.substr(name.size() + 1));
	const std::optional<std::string_view> whole = whole_line(text, line);
	if (!whole || !own_line_of(*whole))
		return with_setting(text, line, name, value);
	return std::string(text.substr(0, line.begin)) + own + "\n" +
	       std::string(text.substr(line.end));
}

// True when the line that boot applies last for name, if there is one, is
// the one that a record of name with comment would take in place.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a name, then a comment
bool comment_kept(const conf_texts &texts, std::string_view name, std::string_view comment)
{
	const boot_winner found = last_in_boot(texts, name);
	return !found.line.sets || takes_line(texts[found.file], found.line, comment);
}

// The assignment appended where boot applies it after every coupled line:
// to file.local when that holds one, else to the file.  Boot replays the
// kernel's own history from it, on any release.
recording appended_to(const conf_texts &texts, std::string_view name, std::string_view value,
		      std::string_view comment)
{
	bool in_local = false;
	boot_order order{texts};
	conf_line line;
	while (order.next(line))
		in_local = in_local || (order.file == 1 && is_coupled(line.name));
	const std::size_t file = in_local ? 1 : 0;
	return {file, with_record(texts[file], conf_line{}, name, value, comment)};
}

// The switch whose rules boot follows with these files.  The kernel is
// asked only when the choice matters: lines of a switch stand with lines
// of the other coupled kinds.  With no switch line the two read alike.
vchans_switch switch_for(const conf_texts &texts, vchans_switch (*running_switch)())
{
	bool vchans = false;
	std::array<bool, 2> switches{};
	boot_order order{texts};
	conf_line line;
	while (order.next(line)) {
		const std::string_view name = variable_of(line.name);
		vchans = vchans || is_unit_vchans(name);
		switches[0] = switches[0] || name == name_of(vchans_switch::maxautovchans);
		switches[1] = switches[1] || name == name_of(vchans_switch::vchans_enable);
	}
	const vchans_switch only =
		switches[0] ? vchans_switch::maxautovchans : vchans_switch::vchans_enable;
	if (!switches[0] && !switches[1])
		return vchans_switch::maxautovchans;
	if (switches[0] != switches[1] && !vchans)
		return only;
	const vchans_switch running = running_switch();
	return running != vchans_switch::none || switches[0] == switches[1] ? running : only;
}

// Records a setting of the switch or of a unit's vchans.  The kernel's
// history, and so what boot must replay, is the files with the assignment
// appended.  When boot gives that already nothing is written; else the
// last line of the name is edited in place where that boots alike, or
// the assignment is appended, and lines that boot no longer needs go.
std::optional<recording> coupled_recording(const conf_texts &texts, std::string_view name,
					   std::string_view value, std::string_view comment,
					   vchans_switch (*running_switch)())
{
	const recording plain = appended_to(texts, name, value, comment);
	const bool comment_ok = comment_kept(texts, name, comment);
	const conf_texts history = with_file(texts, plain);
	const vchans_switch kind = switch_for(history, running_switch);
	if (kind == vchans_switch::none) {
		// Neither release's rules known: append, which boots right on
		// either, unless boot gives the history on both already.
		constexpr std::array<vchans_switch, 2> either{vchans_switch::maxautovchans,
							      vchans_switch::vchans_enable};
		if (comment_ok &&
		    std::all_of(either.begin(), either.end(), [&](vchans_switch rules) {
			    return boots_alike(texts, history, rules);
		    }))
			return std::nullopt;
		return plain;
	}
	if (comment_ok && boots_alike(texts, history, kind))
		return std::nullopt;
	auto shortest = [&](recording r) -> std::optional<recording> {
		r.text = compacted(with_file(texts, r), r.file, kind);
		if (!boots_alike(with_file(texts, r), history, kind))
			return std::nullopt;
		return r;
	};
	const boot_winner found = last_in_boot(texts, name);
	if (found.line.sets)
		if (auto in_place = shortest({found.file, with_record(texts[found.file], found.line,
								      name, value, comment)}))
			return in_place;
	if (auto shorter = shortest(plain))
		return shorter;
	return plain;
}

// Records any other setting: the value of the line that boot applies last
// is edited in place where that keeps every other line as boot reads it,
// which a longer or shorter value can fail to do on a line of more than
// one piece; else the assignment is appended.  Nothing when boot gives the
// value already.
std::optional<recording> plain_recording(const conf_texts &texts, std::string_view name,
					 std::string_view value, std::string_view comment)
{
	if (const std::optional<int> number = boot_number(texts, name);
	    number && std::to_string(*number) == value && comment_kept(texts, name, comment))
		return std::nullopt;
	const boot_winner found = last_in_boot(texts, name);
	recording r{found.file, with_record(texts[found.file], found.line, name, value, comment)};
	if (!boot_applies({texts, with_file(texts, r), name, value}))
		r.text = with_record(texts[found.file], conf_line{}, name, value, comment);
	r.possible = boot_applies({texts, with_file(texts, r), name, value});
	return r;
}

} // namespace

std::optional<int> sysctl_number(std::string_view value)
{
	std::optional<int> first;
	bool any = false;
	while (!value.empty()) {
		const std::size_t cut = std::min(value.find_first_of(" ,"), value.size());
		const std::string piece(value.substr(0, cut));
		value.remove_prefix(std::min(cut + 1, value.size()));
		if (piece.empty())
			continue;
		char *end = nullptr;
		errno = 0;
		const long number = std::strtol(piece.c_str(), &end, 0);
		if (end == piece.c_str() || *end != '\0' || errno == ERANGE)
			return std::nullopt;
		if (!any)
			first = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
		any = true;
	}
	return first;
}

std::string_view name_of(vchans_switch kind)
{
	switch (kind) {
	case vchans_switch::maxautovchans:
		return "hw.snd.maxautovchans";
	case vchans_switch::vchans_enable:
		return "hw.snd.vchans_enable";
	case vchans_switch::none:
		break;
	}
	return "";
}

int replay_vchans(const conf_texts &files, std::string_view name, vchans_switch kind, int start)
{
	return replay(coupled_ops(files, kind), name, kind, start);
}

std::optional<int> boot_number(const conf_texts &files, std::string_view name)
{
	std::optional<int> last;
	boot_order order{files};
	conf_line line;
	while (order.next(line))
		if (same_variable(line.name, name))
			if (const std::optional<int> number = sysctl_number(line.value))
				last = number;
	return last;
}

std::optional<recording> recording_for(const conf_texts &texts, std::string_view name,
				       std::string_view value, std::string_view comment,
				       vchans_switch (*running_switch)())
{
	return is_coupled(name) ? coupled_recording(texts, name, value, comment, running_switch)
				: plain_recording(texts, name, value, comment);
}
