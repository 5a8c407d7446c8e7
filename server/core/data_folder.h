// Where the server keeps its data.
#pragma once

#include <string>

namespace heraldon {

struct DataFolderChoice {
    std::string folder;    // with a trailing '/'; empty when no folder could be made
    std::string fallback;  // the machine folder that could not be used, when the user's was
};

// dataPathKey is the DataPath setting as a file-system path. Non-empty: that folder (one
// trailing '/' stripped, created one level deep; a relative path is taken from the program
// folder, so that a copied server finds its data beside itself whatever the working
// directory). Empty: "Norvane/Heraldon" inside the machine data folder, or inside the
// user's data folder when the machine folder can not be written. Never the root folder.
DataFolderChoice ResolveDataFolder(const std::string& dataPathKey, const std::string& programFolder,
                                   const std::string& machineDataFolder,
                                   const std::string& userDataFolder);

}  // namespace heraldon
