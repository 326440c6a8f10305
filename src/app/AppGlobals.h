#pragma once

#include "platform/Color.h"

#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

namespace quintarvel {

// Application-wide values, each made once on first use (thread-safe) and never changed.
// The folder values are addresses only; start-up creates the folders. When a folder or a
// version entry cannot be had, the first use reports it to the system log and ends the
// process: nothing can be served without them.

const Color &successColor(); // green, results and success
const Color &warningColor(); // orange, work in progress
const Color &errorColor();   // red, failures

const std::string &appShortVersion();
const std::string &appBuildVersion();

// The user's Application Support folder + "Quintarvel": emptied into the shared folder at
// start-up.
const std::filesystem::path &legacySupportURL();
// The container folder of the group "K3VQ7RZ2NP.TALVEN". Start-up keeps it private to the
// user: what lies inside, the named pipes included, relies on that.
const std::filesystem::path &sharedContainerURL();
// sharedContainerURL + "Data/Library/Application Support/Quintarvel": engine working folder,
// index files, configuration file, named pipes.
const std::filesystem::path &sharedSupportURL();
// sharedSupportURL + "quintarvel-0.cfg".
const std::filesystem::path &configurationURL();

using IndexFileTable = std::unordered_map<std::string, std::vector<std::string>>;
// 33 index names (the index window's check box titles) to the 301 file names they stand
// for. A hash map: its key order is not the build order.
const IndexFileTable &indexFileTable();

inline constexpr const char *applicationGroup = "K3VQ7RZ2NP.TALVEN";

} // namespace quintarvel
