#include "tools/common/registry_option.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/host/host_api.h"

namespace kelo::cli {

namespace {

// False when the program could not start itself again with the file.
bool RestartWithRegistry(const std::string& file, char** argv) {
  const char* current = std::getenv("KELO_REGISTRY");
  if (current != nullptr && file == current) return true;  // already in force
  if (setenv("KELO_REGISTRY", file.c_str(), 1) != 0) return false;
  execv("/proc/self/exe", argv);
  return false;
}

}  // namespace

std::string UseRegistryFile(const std::string& tool, const std::string& file, char** argv) {
  if (!std::ifstream(file)) {
    return "cannot read the registry file " + file + ": " + std::strerror(errno);
  }
  // A directory opens as a stream too; the registry would refuse it while
  // the library loads and leave the run without its settings.
  struct stat info = {};
  if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return "cannot read the registry file " + file + ": " +
           (S_ISDIR(info.st_mode) ? "it is a directory" : "it is not a regular file");
  }
  if (!RestartWithRegistry(file, argv)) {
    // Only the settings read at load time are missed; the rest applies.
    std::fprintf(stderr, "%s: cannot restart with %s (%s); loading it late\n", tool.c_str(),
                 file.c_str(), std::strerror(errno));
    if (!kelo::host::LoadRegistryFile(file)) return "cannot read the registry file " + file;
  }
  return {};
}

}  // namespace kelo::cli
