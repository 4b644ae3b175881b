#include <sys/file.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "conf_file.h"

namespace {

std::string folder_of(const std::string &path)
{
	std::size_t slash = path.find_last_of('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
	std::size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

// O_NOFOLLOW refuses a link with ELOOP on Linux and EMLINK on FreeBSD.
bool is_link(const std::string &path)
{
	struct stat st {};
	return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void read_all(int fd, conf_file &file)
{
	std::array<char, 65536> chunk{};
	for (;;) {
		ssize_t n = read(fd, chunk.data(), chunk.size());
		if (n == 0)
			return;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			err(1, "%s", file.path.c_str());
		file.text.append(chunk.data(), static_cast<std::size_t>(n));
	}
}

bool write_all(int fd, std::string_view text)
{
	while (!text.empty()) {
		ssize_t n = write(fd, text.data(), text.size());
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		text.remove_prefix(static_cast<std::size_t>(n));
	}
	return true;
}

} // namespace

conf_file lock_conf_file(const char *path)
{
	conf_file file;
	file.path = path;
	file.folder = folder_of(file.path);
	if (base_of(file.path).empty())
		errx(1, "%s: names a folder, not a file", path);
	file.folder_fd = open(file.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (file.folder_fd < 0)
		err(1, "%s", file.folder.c_str());
	// The lock is on the folder, not on the file: the file is replaced by
	// a rename, and a lock on the old one would not hold the new one.
	while (flock(file.folder_fd, LOCK_EX) != 0)
		if (errno != EINTR)
			err(1, "%s: cannot lock its folder", path);

	// O_NONBLOCK, so that a FIFO does not keep the open waiting.
	int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
	if (fd < 0 && errno == ENOENT)
		return file;
	if (fd < 0 && (errno == ELOOP || errno == EMLINK) && is_link(file.path))
		errx(1, "%s: is a symbolic link; not followed", path);
	if (fd < 0)
		err(1, "%s", path);
	if (fstat(fd, &file.status) != 0)
		err(1, "%s", path);
	if (!S_ISREG(file.status.st_mode))
		errx(1, "%s: not a regular file", path);
	file.exists = true;
	read_all(fd, file);
	close(fd);
	return file;
}

void replace_conf_file(const conf_file &file, std::string_view text)
{
	std::string temporary = file.folder + "/." + base_of(file.path) + ".XXXXXX";
	int fd = mkstemp(temporary.data());
	if (fd < 0)
		err(1, "%s: cannot make a temporary file in %s", file.path.c_str(),
		    file.folder.c_str());
	const mode_t mode = file.exists ? file.status.st_mode & 07777 : 0644;
	errno = 0;
	bool written = fchmod(fd, mode) == 0 &&
		       (!file.exists || fchown(fd, file.status.st_uid, file.status.st_gid) == 0) &&
		       write_all(fd, text) && fsync(fd) == 0;
	if (close(fd) != 0)
		written = false;
	if (written && rename(temporary.c_str(), file.path.c_str()) == 0) {
		// The new file is in place; the folder's own flush makes the
		// rename survive a crash.
		if (fsync(file.folder_fd) != 0)
			err(1, "%s: replaced, but its folder could not be flushed",
			    file.path.c_str());
		return;
	}
	const int saved = errno != 0 ? errno : EIO; // a write that wrote nothing
	unlink(temporary.c_str());
	errno = saved;
	err(1, "%s", file.path.c_str());
}

value_span last_setting(std::string_view text, std::string_view name)
{
	value_span last;
	for (std::size_t line = 0; line < text.size();) {
		std::size_t end = text.find('\n', line);
		if (end == std::string_view::npos)
			end = text.size();
		std::size_t word = text.find_first_not_of(" \t", line);
		if (word < end && text.compare(word, name.size(), name) == 0 &&
		    word + name.size() < end && text[word + name.size()] == '=') {
			std::size_t value = word + name.size() + 1;
			std::size_t value_end = text.find_first_of(" \t\n", value);
			last = {true, value,
				value_end == std::string_view::npos ? text.size() : value_end};
		}
		line = end + 1;
	}
	return last;
}

std::string with_setting(std::string_view text, std::string_view name, std::string_view value)
{
	std::string out;
	value_span span = last_setting(text, name);
	if (span.found) {
		out.reserve(text.size() + value.size());
		out.append(text.substr(0, span.begin)).append(value).append(text.substr(span.end));
		return out;
	}
	out.reserve(text.size() + name.size() + value.size() + 3);
	out.append(text);
	if (!out.empty() && out.back() != '\n')
		out += '\n';
	out.append(name).append("=").append(value).append("\n");
	return out;
}
