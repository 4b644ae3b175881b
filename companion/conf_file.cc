// SPDX-License-Identifier: BSD-2-Clause
#include <sys/types.h>
#include <sys/file.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#elif defined(__FreeBSD__)
#include <sys/acl.h>
#else
#error "how to keep a file's ACL is not known for this system"
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

#include "conf_file.h"

namespace {

// Temporary files are ".NAME" followed by this and mkstemp's six letters.
constexpr std::string_view temporary_tag = ".varnokeltrin.";
constexpr std::size_t random_letters = 6;

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
bool refused_link(int error)
{
	return error == ELOOP || error == EMLINK;
}

#if defined(__linux__)
constexpr const char *acl_attribute = "system.posix_acl_access";

// Gives the file open as to the access ACL of the file, if it has one;
// false, with errno, when that cannot be done.
bool copy_acl(const conf_file &file, int to)
{
	std::array<char, 4096> acl{};
	const ssize_t size = fgetxattr(file.fd, acl_attribute, acl.data(), acl.size());
	if (size < 0)
		return errno == ENODATA || errno == ENOTSUP;
	return fsetxattr(to, acl_attribute, acl.data(), static_cast<std::size_t>(size), 0) == 0;
}

// True when the file open as fd has an ACL beyond its mode.
bool has_extended_acl(int fd)
{
	return fgetxattr(fd, acl_attribute, nullptr, 0) >= 0;
}

// Takes from a file just made the ACL that it inherited from the folder's
// default ACL; true when it has none left.
bool strip_acl(int fd)
{
	return fremovexattr(fd, acl_attribute) == 0 || errno == ENODATA || errno == ENOTSUP;
}
#elif defined(__FreeBSD__)
// The kind of ACL the file system of fd keeps: NFSv4 ACLs (ZFS) or
// POSIX.1e ones (UFS with "acls"); false when it keeps none.
// errno is set afresh for each question, so that the answer "no" to the
// first is not taken for a failure of the second.
bool acl_kind(int fd, acl_type_t &type)
{
	errno = 0;
	if (fpathconf(fd, _PC_ACL_NFS4) == 1) {
		type = ACL_TYPE_NFS4;
		return true;
	}
	type = ACL_TYPE_ACCESS;
	errno = 0;
	const long extended = fpathconf(fd, _PC_ACL_EXTENDED);
	if (extended != 1 && errno == EINVAL)
		errno = 0; // a file system that keeps no ACL
	return extended == 1;
}

// The ACL of fd when it is more than its mode; nullptr, with errno 0 when
// it is not, and with the error when it cannot be read.
acl_t extended_acl(int fd, acl_type_t &type)
{
	errno = 0;
	if (!acl_kind(fd, type))
		return nullptr;
	acl_t acl = acl_get_fd_np(fd, type);
	if (acl == nullptr)
		return nullptr;
	int trivial = 0;
	if (acl_is_trivial_np(acl, &trivial) != 0 || trivial) {
		const int saved = trivial ? 0 : errno;
		acl_free(acl);
		errno = saved;
		return nullptr;
	}
	return acl;
}

bool copy_acl(const conf_file &file, int to)
{
	acl_type_t type{};
	acl_t acl = extended_acl(file.fd, type);
	if (acl == nullptr)
		return errno == 0;
	const bool copied = acl_set_fd_np(to, acl, type) == 0;
	const int saved = errno;
	acl_free(acl);
	errno = saved;
	return copied;
}

bool has_extended_acl(int fd)
{
	acl_type_t type{};
	acl_t acl = extended_acl(fd, type);
	if (acl == nullptr)
		return errno != 0;
	acl_free(acl);
	return true;
}

// Takes from a file just made what it inherited: the POSIX.1e default ACL
// of the folder on UFS, or its inheritable NFSv4 entries on ZFS.
bool strip_acl(int fd)
{
	acl_type_t type{};
	if (!acl_kind(fd, type))
		return errno == 0;
	acl_t acl = acl_get_fd_np(fd, type);
	if (acl == nullptr)
		return false;
	acl_t stripped = acl_strip_np(acl, 0);
	acl_free(acl);
	if (stripped == nullptr)
		return false;
	const bool set = acl_set_fd_np(fd, stripped, type) == 0;
	const int saved = errno;
	acl_free(stripped);
	errno = saved;
	return set;
}

// The flags that forbid replacing a file by a rename, or removing it.
constexpr unsigned long fixing_flags =
	SF_IMMUTABLE | UF_IMMUTABLE | SF_APPEND | UF_APPEND | SF_NOUNLINK | UF_NOUNLINK;

bool is_fixed_by_flags(const conf_file &file)
{
	return file.exists && (file.status.st_flags & fixing_flags) != 0;
}

// The old file's other flags (nodump, uarch, ...) on the new one.
bool copy_flags(const conf_file &file, int to)
{
	return !file.exists || fchflags(to, file.status.st_flags & ~fixing_flags) == 0;
}
#endif

#if defined(__linux__)
// Linux's immutable and append-only attributes (chattr +i, +a), where the
// file system has them.
bool is_fixed_by_flags(const conf_file &file)
{
	int attributes = 0;
	return file.exists && ioctl(file.fd, FS_IOC_GETFLAGS, &attributes) == 0 &&
	       (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

bool copy_flags(const conf_file & /*file*/, int /*to*/)
{
	return true;
}
#endif

bool same_time(const timespec &a, const timespec &b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when the folder's entry for the file is still what was read.
bool unchanged(const conf_lock &lock, const conf_file &file)
{
	struct stat now {};
	const std::string base = base_of(file.path);
	if (fstatat(lock.folder_fd, base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
		return !file.exists && errno == ENOENT;
	const struct stat &then = file.status;
	return file.exists && now.st_dev == then.st_dev && now.st_ino == then.st_ino &&
	       now.st_size == then.st_size && same_time(now.st_mtim, then.st_mtim) &&
	       same_time(now.st_ctim, then.st_ctim);
}

void read_all(int fd, conf_file &file)
{
	if (static_cast<std::size_t>(file.status.st_size) <= conf_file_max)
		file.text.reserve(static_cast<std::size_t>(file.status.st_size));
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
		if (file.text.size() > conf_file_max)
			errx(1, "%s: larger than %zu MiB; not edited", file.path.c_str(),
			     conf_file_max >> 20);
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

double seconds_now()
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Takes the lock on the lock file, trying again for conf_lock_seconds.
void wait_for(int lock_fd, const std::string &path, const std::string &lock_path)
{
	const double deadline = seconds_now() + conf_lock_seconds;
	while (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK && errno != EINTR)
			err(1, "%s: cannot lock %s", path.c_str(), lock_path.c_str());
		if (seconds_now() > deadline)
			errx(1,
			     "%s: busy: another run has held %s for %d seconds; nothing was "
			     "changed",
			     path.c_str(), lock_path.c_str(), conf_lock_seconds);
		const timespec pause{0, 10'000'000};
		nanosleep(&pause, nullptr);
	}
}

// True for a name that mkstemp made from ".BASE" and the tag.
bool is_temporary_name(std::string_view name, std::string_view base)
{
	const std::size_t stem = 1 + base.size() + temporary_tag.size();
	if (name.size() != stem + random_letters || !name.starts_with('.') ||
	    name.substr(1, base.size()) != base ||
	    name.substr(1 + base.size(), temporary_tag.size()) != temporary_tag)
		return false;
	const std::string_view letters = name.substr(stem);
	return std::all_of(letters.begin(), letters.end(), [](char c) {
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
	});
}

// Removes the temporary files of base that runs stopped by SIGKILL or a
// crash left behind: only regular files of this user.  The lock is held,
// so no live run is writing one.
void remove_leftovers(const conf_lock &lock, const std::string &base)
{
	const int fd = dup(lock.folder_fd);
	DIR *folder = fd < 0 ? nullptr : fdopendir(fd);
	if (folder == nullptr) {
		if (fd >= 0)
			close(fd);
		return;
	}
	rewinddir(folder);
	while (const dirent *entry = readdir(folder)) {
		struct stat st {};
		if (is_temporary_name(entry->d_name, base) &&
		    fstatat(lock.folder_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISREG(st.st_mode) && st.st_uid == geteuid())
			unlinkat(lock.folder_fd, entry->d_name, 0);
	}
	closedir(folder);
}

// The signals that would stop a run between making its temporary file and
// renaming or removing it.
sigset_t interrupting_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
		sigaddset(&set, signal);
	return set;
}

} // namespace

conf_lock lock_conf_folder(const char *path)
{
	conf_lock lock;
	lock.folder = folder_of(path);
	lock.base = base_of(path);
	if (lock.base.empty())
		errx(1, "%s: names a folder, not a file", path);
	lock.folder_fd = open(lock.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (lock.folder_fd < 0)
		err(1, "%s", lock.folder.c_str());

	// A lock on the file or on the folder would not do: anyone may open
	// them read-only, and flock() takes any descriptor.
	const std::string name = "." + lock.base + ".lock";
	const std::string lock_path = lock.folder + "/" + name;
	constexpr int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
	lock.lock_fd = openat(lock.folder_fd, name.c_str(), flags | O_CREAT | O_EXCL, 0600);
	if (lock.lock_fd >= 0 && (!strip_acl(lock.lock_fd) || fchmod(lock.lock_fd, 0600) != 0))
		err(1, "%s: cannot take the folder's ACL from it", lock_path.c_str());
	if (lock.lock_fd < 0 && errno == EEXIST)
		lock.lock_fd = openat(lock.folder_fd, name.c_str(), flags);
	if (lock.lock_fd < 0 && errno == EROFS)
		return lock; // nobody can change a read-only file system: no lock needed
	if (lock.lock_fd < 0 && refused_link(errno))
		errx(1, "%s: is a symbolic link; not used as the lock", lock_path.c_str());
	if (lock.lock_fd < 0)
		err(1, "%s", lock_path.c_str());
	struct stat st {};
	if (fstat(lock.lock_fd, &st) != 0)
		err(1, "%s", lock_path.c_str());
	if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0 ||
	    st.st_nlink != 1 || has_extended_acl(lock.lock_fd))
		errx(1,
		     "%s: not used as the lock: it must be a regular file that only user %ld may "
		     "open",
		     lock_path.c_str(), static_cast<long>(geteuid()));
	wait_for(lock.lock_fd, path, lock_path);
	return lock;
}

void unlock_conf_folder(conf_lock &lock)
{
	for (int *fd : {&lock.lock_fd, &lock.folder_fd})
		if (*fd >= 0)
			close(std::exchange(*fd, -1));
}

conf_file::conf_file(conf_file &&other) noexcept
    : path(std::move(other.path)), fd(std::exchange(other.fd, -1)), exists(other.exists),
      status(other.status), text(std::move(other.text))
{
}

conf_file &conf_file::operator=(conf_file &&other) noexcept
{
	if (this != &other) {
		if (fd >= 0)
			close(fd);
		path = std::move(other.path);
		fd = std::exchange(other.fd, -1);
		exists = other.exists;
		status = other.status;
		text = std::move(other.text);
	}
	return *this;
}

conf_file::~conf_file()
{
	if (fd >= 0)
		close(fd);
}

conf_file read_conf_file(const std::string &path)
{
	conf_file file;
	file.path = path;
	// O_NONBLOCK, so that a FIFO does not keep the open waiting.
	file.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
	if (file.fd < 0 && errno == ENOENT)
		return file;
	if (file.fd < 0 && refused_link(errno))
		errx(1, "%s: is a symbolic link; not followed", path.c_str());
	if (file.fd < 0)
		err(1, "%s", path.c_str());
	if (fstat(file.fd, &file.status) != 0)
		err(1, "%s", path.c_str());
	if (!S_ISREG(file.status.st_mode))
		errx(1, "%s: not a regular file", path.c_str());
	file.exists = true;
	read_all(file.fd, file);
	return file;
}

bool is_unchangeable(const conf_file &file)
{
	return is_fixed_by_flags(file);
}

bool replace_conf_file(const conf_lock &lock, const conf_file &file, std::string_view text,
		       const conf_file *also)
{
	const std::string base = base_of(file.path);
	// Such a file can be neither replaced nor edited in place, and a
	// temporary file given its flags could not even be removed.
	if (is_fixed_by_flags(file))
		errx(1, "%s: is immutable or append-only (chflags); nothing was changed",
		     file.path.c_str());
	remove_leftovers(lock, base);

	std::string temporary = lock.folder + "/." + base + std::string(temporary_tag) +
				std::string(random_letters, 'X');
	const sigset_t held = interrupting_signals();
	sigset_t old{};
	sigprocmask(SIG_BLOCK, &held, &old);
	int fd = mkstemp(temporary.data());
	if (fd < 0)
		err(1, "%s: cannot make a temporary file in %s", file.path.c_str(),
		    lock.folder.c_str());
	const mode_t mode = file.exists ? file.status.st_mode & 07777 : 0644;
	errno = 0;
	bool written = (!file.exists || fchown(fd, file.status.st_uid, file.status.st_gid) == 0) &&
		       strip_acl(fd) && fchmod(fd, mode) == 0 &&
		       (!file.exists || copy_acl(file, fd)) && write_all(fd, text) &&
		       fsync(fd) == 0 && copy_flags(file, fd);
	if (close(fd) != 0)
		written = false;
	if (written && (!unchanged(lock, file) || (also != nullptr && !unchanged(lock, *also)))) {
		// Another program wrote meanwhile: its change is kept, and the
		// edit is to be made again on it.
		unlink(temporary.c_str());
		sigprocmask(SIG_SETMASK, &old, nullptr);
		return false;
	}
	if (written && rename(temporary.c_str(), file.path.c_str()) == 0) {
		// The new file is in place; the folder's own flush makes the
		// rename survive a crash.
		if (fsync(lock.folder_fd) != 0)
			err(1, "%s: replaced, but its folder could not be flushed",
			    file.path.c_str());
		sigprocmask(SIG_SETMASK, &old, nullptr);
		return true;
	}
	const int saved = errno != 0 ? errno : EIO; // a write that wrote nothing
	unlink(temporary.c_str());
	sigprocmask(SIG_SETMASK, &old, nullptr);
	errno = saved;
	err(1, "%s", file.path.c_str());
}
