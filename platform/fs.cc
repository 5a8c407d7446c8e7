#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform::fs {

namespace {

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

bool WriteAll(int fd, const char* p, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) {
        std::string path(buffer, static_cast<size_t>(n));
        auto slash = path.rfind('/');
        if (slash != std::string::npos) return path.substr(0, slash + 1);
    }
    if (char* cwd = ::getcwd(buffer, sizeof buffer)) return WithSlash(cwd);
    return "./";
}

std::string MachineDataFolder() { return "/var/lib/"; }

std::string UserDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') return WithSlash(xdg);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return WithSlash(home) + ".local/share/";
    return "";
}

MakeResult MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return MakeResult::Created;
    if (errno == EEXIST && IsDirectory(path)) return MakeResult::Exists;
    return MakeResult::Failed;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

FileStamp StampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    auto ns = [](const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; };
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            static_cast<long long>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::vector<std::string> ListFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
            names.push_back(std::move(name));
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool CopyIfMissing(const std::string& from, const std::string& to) {
    std::string contents;
    if (!ReadWholeFile(from, contents)) return false;
    // O_EXCL makes "only when missing" one step, so two servers sharing a folder can not
    // both decide to copy and one overwrite the other's edit.
    int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, contents.data(), contents.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok) ::unlink(to.c_str());
    return ok;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& contents) {
    mode_t mode = 0666;
    struct stat st {};
    bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed) mode = st.st_mode & 07777;
    std::string temp = path + ".tmp-" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, contents.data(), contents.size());
    if (ok && existed) ok = ::fchmod(fd, mode) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace platform::fs
