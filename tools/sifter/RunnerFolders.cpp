#include "tools/sifter/RunnerFolders.h"

#include <unistd.h>

namespace sifter {

namespace {

bool isRandomCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool isRunnerPrivateFolder(const std::string& name, const struct stat& status) {
  if (name.size() != kRunnerFolderPrefix.size() + kRunnerFolderRandomLength ||
      !std::string_view(name).starts_with(kRunnerFolderPrefix)) {
    return false;
  }
  for (std::size_t i = kRunnerFolderPrefix.size(); i < name.size(); ++i) {
    if (!isRandomCharacter(name[i])) return false;
  }
  return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

}  // namespace sifter
