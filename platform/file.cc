#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

File File::OpenReadWrite(const std::string& path) {
    File f;
    f.fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    return f;
}

File File::OpenReadOnly(const std::string& path) {
    File f;
    f.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return f;
}

File File::Duplicate() const {
    File f;
    if (fd_ >= 0) f.fd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    return f;
}

void File::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool File::ReadAt(int64_t offset, void* buffer, size_t size) const {
    if (fd_ < 0 || offset < 0) return false;
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool File::WriteAt(int64_t offset, const void* data, size_t size) {
    if (fd_ < 0 || offset < 0) return false;
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t File::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool File::Truncate(int64_t length) {
    return fd_ >= 0 && length >= 0 && ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
}

bool File::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

}  // namespace platform
