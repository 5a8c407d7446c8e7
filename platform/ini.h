// Private-profile (INI) files with the semantics the server's configuration relies on:
// section and key names compared without case, the first match wins, surrounding quotes
// stripped, a missing file or key gives the default. Lines starting with ';' or '#' are
// comments. Writes keep every other line of the file as it was and replace the file
// atomically, so a crash or a full disk never leaves a half-written configuration.
//
// Paths are file-system paths (UTF-8). Section, key and value texts are the system's
// internal 8-bit text (Windows-1252); files on disk are UTF-8 and converted at this seam.
//
// Thread-safe as far as the file system is: every call reads or writes the file anew.
#pragma once

#include <string>
#include <vector>

namespace platform::ini {

std::string ReadString(const std::string& path, const std::string& section,
                       const std::string& key, const std::string& defaultValue);

// Decimal with an optional leading sign; a value that is not a number reads as 0, like
// the private-profile functions do; a missing key gives defaultValue.
int ReadInt(const std::string& path, const std::string& section, const std::string& key,
            int defaultValue);

// Every section header in file order, duplicates included (reads look only in the first
// of them, but callers that check for duplicate names need to see the others).
std::vector<std::string> SectionNames(const std::string& path);
std::vector<std::string> KeyNames(const std::string& path, const std::string& section);

// Creates the file and the section when missing. Returns false when the file could not be
// written; the old file is then left untouched.
bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& value);

// Removes the first key of that name in the first matching section. Returns false only on
// a write failure; deleting what is not there succeeds.
bool DeleteKey(const std::string& path, const std::string& section, const std::string& key);

// Removes the first matching section and every key in it.
bool DeleteSection(const std::string& path, const std::string& section);

}  // namespace platform::ini
