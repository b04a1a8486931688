// SPDX-License-Identifier: MIT
// The programs' file plumbing: whole writes and reads, the little-endian
// store, the identity of a file, and the staged output, written under a
// temporary name beside its own and renamed only once complete.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace conemask {

// A file that cannot be written or read: what() is "NAME: reason".
class io_error : public std::runtime_error {
public:
    io_error(const std::string& name, const std::string& reason) : std::runtime_error(name + ": " + reason) {}
};

// As fopen's "wb" creates files; the umask narrows it.
inline constexpr mode_t new_file_mode = 0666;

// Write or read all `size` bytes, through EINTR and short counts. Throw
// io_error naming `name`.
void write_all(int fd, const void* bytes, std::size_t size, const std::string& name);
void pwrite_all(int fd, const void* bytes, std::size_t size, off_t offset, const std::string& name);
void pread_all(int fd, void* bytes, std::size_t size, off_t offset, const std::string& name);

// Samples are stored little-endian whatever the host's byte order; the same
// swap reads them back.
void store_little_endian(std::int16_t* samples, std::size_t count);

// What a name leads to: an existing file by its device and inode, so that
// links and other spellings meet; a file yet to be made by its directory's
// device and inode and its last component.
struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string entry;  // empty for an existing file
    bool operator==(const file_identity&) const = default;
};

// Throws io_error when neither the file nor its directory can be looked at.
file_identity identify(const std::string& name);

// True when `name` exists and is not a regular file (a device, a FIFO, a
// directory): renaming a new file over it would replace it.
bool exists_but_not_regular(const std::string& name);

// An output under construction: a temporary file beside `name`, with the
// permissions a new file gets, renamed to `name` by commit() and removed
// otherwise. Every staged output of the process is known to
// abandon_staged_outputs(), so that a signal leaves none behind.
class staged_output {
public:
    explicit staged_output(std::string name);  // throws io_error
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;
    staged_output(staged_output&&) = delete;
    staged_output& operator=(staged_output&&) = delete;
    ~staged_output();

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const std::string& name() const { return name_; }
    // Closes the file (a deferred write error shows there) and renames it.
    void commit();

private:
    std::string name_;
    std::string temporary_;
    int fd_ = -1;
};

// Removes every staged output not yet committed and keeps any other from
// being made or committed: for the end of the process (a signal), which must
// follow at once. Only async-signal-safe calls once the lock is taken.
void abandon_staged_outputs();

}  // namespace conemask
