// SPDX-License-Identifier: BSD-2-Clause
#ifndef TOLVAREN_CONF_FILE_H
#define TOLVAREN_CONF_FILE_H

// A boot-time settings file in the manner of sysctl.conf(5), edited as root
// safely: under a lock that no other user can take, and replaced whole,
// never written in place.  Every failure reports the file and the cause and
// ends the process with status 1, leaving the file as it was.

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

// The largest file that is read; a larger one is refused.
constexpr std::size_t conf_file_max = std::size_t{64} << 20;

// How long a run waits for the lock before it reports the file busy.
constexpr int conf_lock_seconds = 10;

// The folder of a settings file, locked for this process.  The lock is
// taken on ".NAME.lock" in that folder, a file that only this user may
// open, so that nobody else can hold it; it is left in place.
struct conf_lock {
	std::string folder;
	std::string base;   // the file's own name
	int folder_fd = -1; // for flushing the folder and clearing leftovers
	int lock_fd = -1;
};

// One settings file as read under the lock.  Its descriptor is closed with
// it.
struct conf_file {
	std::string path;
	int fd = -1; // kept open while it exists: its ACL is read from it
	bool exists = false;
	struct stat status {};
	std::string text; // the whole file, byte for byte

	conf_file() = default;
	conf_file(const conf_file &) = delete;
	conf_file &operator=(const conf_file &) = delete;
	conf_file(conf_file &&other) noexcept;
	conf_file &operator=(conf_file &&other) noexcept;
	~conf_file();
};

// Locks the folder of path, waiting conf_lock_seconds at most.  A lock
// file that is a link, or that another user could open, is refused.
conf_lock lock_conf_folder(const char *path);

// Gives the lock back before the process ends: another run may take it.
void unlock_conf_folder(conf_lock &lock);

// Reads a file of the locked folder.  A file that does not exist reads as
// empty; a symbolic link or anything but a regular file is refused without
// being read, and a file larger than conf_file_max once that much is read.
conf_file read_conf_file(const std::string &path);

// True when the file is immutable or append-only (chflags; chattr on
// Linux), so that replace_conf_file would refuse it.
bool is_unchangeable(const conf_file &file);

// Replaces the file by one holding text, with the old file's mode, owner,
// group, access ACL and, on FreeBSD, flags (a new file gets mode 0644 and
// no ACL, whatever the folder would give it): a temporary file in the same
// folder is written, flushed to disk and renamed over the file, and the
// folder is flushed so that the rename lasts.  Temporary files that runs
// killed earlier left behind are removed first.  Interrupting signals wait
// until the temporary file is renamed or removed.
//
// Just before the rename, the file and also (when given) must still be as
// they were read: the same device, inode, size, modification and change
// time, or still missing.  When another program changed one, nothing is
// replaced and false is returned, so that the edit can be made again.
[[nodiscard]] bool replace_conf_file(const conf_lock &lock, const conf_file &file,
				     std::string_view text, const conf_file *also = nullptr);

#endif
