// A binary file with explicit offsets, for the server's fixed-record files.
// Never buffered, never translated; offsets and lengths are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class File {
public:
    File() = default;
    ~File() { Close(); }
    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens for reading and writing, creating the file when missing.
    static File OpenReadWrite(const std::string& path);
    static File OpenReadOnly(const std::string& path);

    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Whole-buffer reads and writes at an offset; false on error or a short read.
    bool ReadAt(int64_t offset, void* buffer, size_t size) const;
    bool WriteAt(int64_t offset, const void* data, size_t size);
    int64_t Size() const;  // -1 on error
    bool Truncate(int64_t length);
    bool Sync();
    // A second handle on the same open file, for a sync that must not hold up the owner.
    File Duplicate() const;

private:
    int fd_ = -1;
};

}  // namespace platform
