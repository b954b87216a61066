// A tool's --registry FILE option.
#pragma once

#include <string>

namespace kelo::cli {

// Puts the registry file in force for this run. The library reads some
// settings while it loads, before main runs, from the file KELO_REGISTRY
// names, so the program starts itself again with the variable set (argv is
// its own command line); when that cannot be done the file is loaded late,
// with a warning naming `tool`. Returns the reason when the file cannot be
// used (missing, unreadable, not a regular file), else an empty string.
std::string UseRegistryFile(const std::string& tool, const std::string& file, char** argv);

}  // namespace kelo::cli
