// The folder of an Alarm Source inside the data folder.
#pragma once

#include <ctime>
#include <string>

namespace heraldon {

// A source's name becomes a folder name inside the data folder; a name that could reach
// outside it ("." or "..", or one with a path separator) or name the data folder itself
// (empty) must never be used.
bool IsUsableFolderName(const std::string& ansiName);

// Data folder + the name as a file-system name, without a trailing '/'.
std::string SourceFolderPath(const std::string& dataFolder, const std::string& ansiName);

// Moves a source folder aside as "<folder>_YYYYMMDD_hhmmss" (local time), logging the
// outcome; a folder that does not exist simply fails.
void MoveSourceFolderAside(const std::string& folderWithoutSlash, const std::tm& localNow);

// Creates the folder and its "Historic" and "Comment" subfolders. False when the folder
// itself could not be created (an existing folder is fine).
bool CreateSourceFolders(const std::string& folderWithoutSlash);

}  // namespace heraldon
