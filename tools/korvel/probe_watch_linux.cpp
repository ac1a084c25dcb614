#include "probe_watch.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace korvel::cli {
namespace {

constexpr const char *kOwnFiles = "/proc/self/fd";
constexpr const char *kDeviceFolder = "/dev/";

} // namespace

bool can_see_open_devices() { return access(kOwnFiles, R_OK) == 0; }

std::vector<std::string> open_devices() {
  std::vector<std::string> paths;
  DIR *folder = opendir(kOwnFiles);
  if (folder == nullptr) {
    return paths;
  }
  while (const dirent *entry = readdir(folder)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const std::string link = std::string(kOwnFiles) + "/" + entry->d_name;
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0) {
      paths.emplace_back(target, static_cast<std::size_t>(length));
    }
  }
  closedir(folder);
  return paths;
}

std::string probe_path(const std::string &name) { return kDeviceFolder + name; }

bool output_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

} // namespace korvel::cli
