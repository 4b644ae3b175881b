#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>
#include <utility>

#include "settings_file.h"

namespace {

std::string trim(const std::string &s)
{
	const char *blanks = " \t\r";
	std::size_t first = s.find_first_not_of(blanks);
	if (first == std::string::npos)
		return "";
	return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// The name and value a line sets, both "" for a comment or a blank line.
std::pair<std::string, std::string> split(const std::string &line)
{
	std::string setting = trim(line.substr(0, line.find('#')));
	std::size_t eq = setting.find('=');
	if (eq == std::string::npos)
		return {"", ""};
	return {trim(setting.substr(0, eq)), trim(setting.substr(eq + 1))};
}

} // namespace

std::string state_file(const std::string &name, const char *tool)
{
	const char *state = std::getenv("TOLVAREN_SANDBOX_STATE");
	if (!state || !*state) {
		std::fprintf(stderr, "%s: TOLVAREN_SANDBOX_STATE names no folder\n", tool);
		return "";
	}
	return std::string(state) + "/" + name;
}

bool read_lines(const std::string &path, lines &out)
{
	out.clear();
	std::ifstream in(path);
	if (!in)
		return errno == ENOENT;
	for (std::string line; std::getline(in, line);)
		out.push_back(line);
	return !in.bad(); // errno says why
}

bool write_lines(const std::string &path, const lines &in)
{
	std::string text;
	for (const std::string &line : in)
		text += line + "\n";
	std::string tmp = path + ".XXXXXX";
	int fd = mkstemp(tmp.data());
	if (fd < 0)
		return false;
	errno = EIO; // what a short write leaves
	bool ok = fchmod(fd, 0644) == 0 &&
		  write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
		  fsync(fd) == 0;
	ok = close(fd) == 0 && ok;
	if (ok && std::rename(tmp.c_str(), path.c_str()) == 0)
		return true;
	int saved = errno;
	unlink(tmp.c_str());
	errno = saved;
	return false;
}

std::string name_of(const std::string &line)
{
	return split(line).first;
}

std::string value_of(const std::string &line)
{
	return split(line).second;
}

void set_value(lines &file, const std::string &name, const std::string &value)
{
	bool done = false;
	for (auto it = file.begin(); it != file.end();) {
		if (name_of(*it) != name) {
			++it;
		} else if (done) {
			it = file.erase(it);
		} else {
			std::size_t hash = it->find('#');
			std::string comment = hash == std::string::npos ? "" : it->substr(hash);
			it->assign(name).append("=").append(value);
			if (!comment.empty())
				it->append(" ").append(comment);
			done = true;
			++it;
		}
	}
	if (!done)
		file.push_back(name + "=" + value);
}
