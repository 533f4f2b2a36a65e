#include "tools/sifter/ProcessScan.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <memory>

#include "tools/sifter/Reasons.h"

namespace sifter {

namespace {

struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};

bool isProcessId(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

std::string linkText(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

bool isBelowFolder(const std::string& path, const std::string& folder) {
  std::string prefix = folder;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix != "/") prefix += '/';
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

ProcessScanCounts scanProcesses(const std::vector<std::string>& writableFolders, Collection& collection) {
  ProcessScanCounts counts;
  std::unique_ptr<DIR, FolderCloser> proc(opendir("/proc"));
  if (!proc) return counts;
  const std::string self = std::to_string(getpid());
  while (const dirent* entry = readdir(proc.get())) {
    if (!isProcessId(entry->d_name) || self == entry->d_name) continue;
    const std::string exe = std::string("/proc/") + entry->d_name + "/exe";
    const std::string target = linkText(exe);
    if (target.empty()) continue;
    auto opened = openRegularFileFollowing(exe);
    if (!opened.fd.valid()) continue;
    ++counts.processes;
    const pid_t pid = static_cast<pid_t>(std::stol(entry->d_name));
    // A link count of zero, not the " (deleted)" the kernel appends to the name,
    // decides: a file may carry that text in its real name.
    const char* reasonText = nullptr;
    if (opened.status.st_nlink == 0) {
      reasonText = reason::kDeletedExecutable;
    } else {
      for (const auto& folder : writableFolders) {
        if (isBelowFolder(target, folder)) reasonText = reason::kProcessInWritableFolder;
      }
    }
    if (reasonText == nullptr) continue;
    ++counts.suspicious;
    collection.add(target, opened.fd.get(), opened.status, reasonText, pid);
  }
  return counts;
}

}  // namespace sifter
