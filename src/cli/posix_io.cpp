// SPDX-License-Identifier: MIT
#include "posix_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <utility>

namespace conemask {

namespace {

// The temporaries not yet committed or removed. A staged output is made,
// committed and removed under the lock, so that abandoning them all sees
// each one either as a temporary or as a finished file.
std::mutex staged_lock;
std::list<std::string> staged_names;  // NOLINT(cert-err58-cpp): an empty list does not throw
bool abandoned = false;

[[noreturn]] void throw_errno(const std::string& name, int error) { throw io_error(name, std::strerror(error)); }

}  // namespace

void write_all(int fd, const void* bytes, std::size_t size, const std::string& name)
{
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= static_cast<std::size_t>(put);
        } else if (put == 0) {
            throw io_error(name, "cannot write");
        } else if (errno != EINTR) {
            throw_errno(name, errno);
        }
    }
}

void pwrite_all(int fd, const void* bytes, std::size_t size, off_t offset, const std::string& name)
{
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t put = pwrite(fd, data, size, offset);
        if (put > 0) {
            data += put;
            size -= static_cast<std::size_t>(put);
            offset += put;
        } else if (put == 0) {
            throw io_error(name, "cannot write");
        } else if (errno != EINTR) {
            throw_errno(name, errno);
        }
    }
}

void pread_all(int fd, void* bytes, std::size_t size, off_t offset, const std::string& name)
{
    auto* data = static_cast<std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t got = pread(fd, data, size, offset);
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
            offset += got;
        } else if (got == 0) {
            throw io_error(name, "cannot read back the mask");
        } else if (errno != EINTR) {
            throw_errno(name, errno);
        }
    }
}

void store_little_endian(std::int16_t* samples, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8U | bits >> 8U));
        }
    }
}

file_identity identify(const std::string& name)
{
    struct stat status {};
    if (stat(name.c_str(), &status) == 0) {
        return {status.st_dev, status.st_ino, ""};
    }
    const std::size_t slash = name.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string entry = slash == std::string::npos ? name : name.substr(slash + 1);
    if (stat(directory.c_str(), &status) != 0) {
        throw_errno(name, errno);
    }
    return {status.st_dev, status.st_ino, entry};
}

bool exists_but_not_regular(const std::string& name)
{
    struct stat status {};
    return stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

staged_output::staged_output(std::string name) : name_(std::move(name))
{
    const std::lock_guard<std::mutex> hold(staged_lock);
    if (abandoned) {
        throw io_error(name_, "the run is ending");
    }
    std::string pattern = name_ + ".XXXXXX";
    staged_names.push_back(pattern);  // before the file exists: a throw here leaves nothing
    const int created = mkostemp(staged_names.back().data(), O_CLOEXEC);
    if (created < 0) {
        const int error = errno;
        staged_names.pop_back();
        throw_errno(name_, error);
    }
    const mode_t mask = umask(0);
    (void)umask(mask);
    if (fchmod(created, new_file_mode & ~mask) != 0) {
        // A constructor that throws has no destructor to clean up after it.
        const int error = errno;
        (void)close(created);
        (void)unlink(staged_names.back().c_str());
        staged_names.pop_back();
        throw_errno(name_, error);
    }
    temporary_ = staged_names.back();
    fd_ = created;
}

staged_output::~staged_output()
{
    const std::lock_guard<std::mutex> hold(staged_lock);
    if (fd_ >= 0) {
        (void)close(fd_);  // the file is being thrown away
    }
    if (!temporary_.empty()) {
        (void)unlink(temporary_.c_str());  // a failure here has nowhere left to go
        staged_names.remove(temporary_);
    }
}

void staged_output::commit()
{
    if (close(std::exchange(fd_, -1)) != 0) {
        throw_errno(name_, errno);
    }
    const std::lock_guard<std::mutex> hold(staged_lock);
    if (abandoned) {
        throw io_error(name_, "the run is ending");
    }
    if (std::rename(temporary_.c_str(), name_.c_str()) != 0) {
        throw_errno(name_, errno);
    }
    staged_names.remove(temporary_);
    temporary_.clear();
}

void abandon_staged_outputs()
{
    staged_lock.lock();  // held to the end of the process
    abandoned = true;
    for (const std::string& temporary : staged_names) {
        (void)unlink(temporary.c_str());
    }
}

}  // namespace conemask
