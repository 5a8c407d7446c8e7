// Folders and whole files: the program folder, the data folder, folder creation and
// renaming, listing a folder, copying a file only when the target is missing.
// Paths are UTF-8; folders are written with a trailing '/'.
#pragma once

#include <string>
#include <vector>

namespace platform::fs {

// Folder of the running executable, with a trailing '/'; the current directory when the
// executable's path cannot be had.
std::string ProgramFolder();

// The machine-wide data folder ("/var/lib/"), or, when a subfolder cannot be created
// there (an ordinary user), the user's ($XDG_DATA_HOME, else ~/.local/share/).
// Empty only when neither exists. Always with a trailing '/'.
std::string MachineDataFolder();
std::string UserDataFolder();

enum class MakeResult { Created, Exists, Failed };
// One level only, like the server expects: a missing parent is a failure.
MakeResult MakeFolder(const std::string& path);
inline bool EnsureFolder(const std::string& path) {
    return MakeFolder(path) != MakeResult::Failed;
}

bool Exists(const std::string& path);

// What identifies one version of a file: a write in place changes its size or times, a
// replacement its inode. A missing file has the stamp of all zeros.
struct FileStamp {
    unsigned long long device = 0, inode = 0;
    long long size = 0, modifiedNs = 0, changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);
bool IsDirectory(const std::string& path);
bool Rename(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);

// Plain names (no path) of the regular files in a folder, sorted by name.
std::vector<std::string> ListFiles(const std::string& folder);

// Copies from to to only when to does not exist yet; never overwrites, never leaves a
// partial target behind. Returns true when a copy was made.
bool CopyIfMissing(const std::string& from, const std::string& to);

// Reads a whole (small) file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);

// Writes a whole file through a temporary file and a rename, so readers see either the
// old or the new contents, never a mix. Keeps the old file's permissions.
bool ReplaceFileAtomically(const std::string& path, const std::string& contents);

}  // namespace platform::fs
